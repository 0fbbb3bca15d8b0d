// Segment stamps: what the chosen segment files looked like before a save's join, so that
// the save can tell whether the recorder came round to one of them while the join ran, and,
// where the file system keeps it, whether the join read it after that. The recorder's ffmpeg
// writes the ring in place: at a used name it truncates the file and writes the new second
// into it. It lists a segment only after its last write, so a listed segment never changes
// until the ring comes round to it again. Pure file status reads; any thread may call them.
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
    std::int64_t accessed_ns = 0;  // its last read, where the file system keeps that

    // The same file with the same contents, whatever read it since.
    bool same_file(const SegmentStamp& other) const {
        return inode == other.inode && size == other.size && modified_ns == other.modified_ns;
    }
};

// One stamp per segment, in order; nullopt for a file whose status cannot be read (a missing
// segment is the join's to report).
std::vector<std::optional<SegmentStamp>> stamp_segments(const std::filesystem::path& ring_dir,
                                                        const std::vector<Segment>& segments);

// Whether the file system of `dir` notes when a file was read after its last change (the
// usual "relatime", or "strictatime"): a read then leaves the file's access time at or past
// its change time. Not so with "noatime", or when the file system cannot say.
bool reads_after_changes_kept(const std::filesystem::path& dir);

// A segment whose stamp changed since it was first taken: was it read after the change, as
// its stamp `after` tells, on a file system that keeps reads (reads_after_changes_kept)? A
// file last read before its last change has an access time before its change time; a tie
// counts as a read after it.
bool read_after_change(const SegmentStamp& after);

}  // namespace vc
