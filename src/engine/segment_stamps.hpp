// Segment stamps: what the chosen segment files looked like before a save's join, so that
// the save can tell whether the recorder came round to one of them while the join ran. The recorder's ffmpeg writes the ring in place: at a used name it truncates
// the file and writes the new second into it. It lists a segment only after its last write,
// so a listed segment never changes until the ring comes round to it again. Pure file
// status reads; any thread may call them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "engine/ring_list.hpp"

namespace vc {

struct SegmentStamp {
    ino_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified_ns = 0;

    bool operator==(const SegmentStamp&) const = default;
};

// One stamp per segment, in order; nullopt for a file whose status cannot be read (a missing
// segment is the join's to report).
std::vector<std::optional<SegmentStamp>> stamp_segments(const std::filesystem::path& ring_dir,
                                                        const std::vector<Segment>& segments);

}  // namespace vc
