// The ring directory: where the recorder's segments and their list lie, and how each
// recorder start empties it so old segments are not taken for new ones. Called on the
// thread that starts the recorder.
#pragma once

#include <filesystem>

#include "engine/error.hpp"

namespace vc {

// Where this attempt's ring lies. Without a home directory it is in the shared temporary
// directory, where another user may have planted something under its name.
struct RingLocation {
    std::filesystem::path path;
    bool shared_temp = false;
};

// "ring" in the cache directory, else "vantrel-clips-ring" in TMPDIR (or /tmp).
RingLocation ring_location();

// Makes the ring directory and deletes every file in it (subdirectories and the join lock
// stay), once no earlier save's join still reads it (wait_for_joins). In the shared temporary
// directory the ring is made private to this user first, and a symbolic link or a directory
// of another user there is refused.
[[nodiscard]] Status prepare_ring_dir(const RingLocation& ring);

// The ring directory: "ring" in the cache directory, else "vantrel-clips-ring" in TMPDIR
// (or /tmp), which the start then keeps private to this user.
std::filesystem::path ring_dir_path();

}  // namespace vc
