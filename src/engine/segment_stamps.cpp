#include "engine/segment_stamps.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace vc {
namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

}  // namespace

std::vector<std::optional<SegmentStamp>> stamp_segments(const std::filesystem::path& ring_dir,
                                                        const std::vector<Segment>& segments) {
    std::vector<std::optional<SegmentStamp>> stamps;
    stamps.reserve(segments.size());
    for (const auto& segment : segments) {
        struct stat status {};
        if (::stat((ring_dir / segment.name).c_str(), &status) != 0) {
            stamps.emplace_back();
            continue;
        }
        stamps.push_back(SegmentStamp{status.st_ino, static_cast<std::int64_t>(status.st_size),
                                      nanoseconds(status.st_mtim), nanoseconds(status.st_atim)});
    }
    return stamps;
}

bool reads_after_changes_kept(const std::filesystem::path& dir) {
    struct statvfs status {};
    return ::statvfs(dir.c_str(), &status) == 0 && (status.f_flag & ST_NOATIME) == 0;
}

bool read_after_change(const SegmentStamp& after) { return after.accessed_ns >= after.modified_ns; }

}  // namespace vc
