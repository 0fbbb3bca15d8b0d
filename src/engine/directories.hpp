// Directory creation: the one way the program makes a directory with every missing parent
// (the settings directory, the ring directory, the clips directory and ".thumbs"). Any
// thread may call it.
#pragma once

#include <expected>
#include <filesystem>

#include "engine/error.hpp"

namespace vc {

// mkdir -p with 0777 (less the umask); an existing directory is fine, and so is the empty
// path. The error is that of the mkdir that stopped it, so a regular file standing where
// the directory goes gives "File exists", as the system's own mkdir says.
[[nodiscard]] std::expected<void, OsError> make_directories(const std::filesystem::path& directory);

}  // namespace vc
