#include "engine/segment_stamps.hpp"

#include <sys/stat.h>

namespace vc {

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
                                      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 +
                                          status.st_mtim.tv_nsec});
    }
    return stamps;
}

}  // namespace vc
