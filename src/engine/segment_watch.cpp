#include "engine/segment_watch.hpp"

#include <sys/inotify.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace vc {
namespace {

// What a writer does to a file: the recorder truncates it, writes the new second and closes
// it. Whatever else changes it (a rename, a removal) counts the same.
constexpr std::uint32_t kWritten = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;
// The join opens each segment for reading only, and closes it once it has read all of it.
constexpr std::uint32_t kReadDone = IN_CLOSE_NOWRITE;

}  // namespace

SegmentWatch::SegmentWatch(const std::filesystem::path& ring_dir, const std::vector<Segment>& chosen)
    : ring_dir_(ring_dir), chosen_(chosen), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    watch_of_.reserve(chosen_.size());
    for (const Segment& segment : chosen_) {
        std::optional<int> watch;
        if (inotify_) {
            const int added = ::inotify_add_watch(inotify_.get(), (ring_dir_ / segment.name).c_str(), kWritten | kReadDone);
            if (added >= 0) {
                watch = added;
                reads_.try_emplace(added);
            }
        }
        watch_of_.push_back(watch);
    }
    // Taken once the watches are in place: a write after this is seen by the watch too.
    stamps_ = stamp_segments(ring_dir_, chosen_);
}

bool SegmentWatch::replay_events() {
    if (!inotify_) return true;
    alignas(inotify_event) std::array<char, 64 * 1024> buffer;
    for (;;) {
        auto got = inotify_.read_some(buffer.data(), buffer.size());
        // EAGAIN: every queued event has been read.
        if (!got || *got == 0) return true;
        for (std::size_t at = 0; at < *got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            at += sizeof event + event.len;
            if ((event.mask & IN_Q_OVERFLOW) != 0) return false;
            const auto reads = reads_.find(event.wd);
            if (reads == reads_.end()) continue;
            if ((event.mask & kWritten) != 0) reads->second.written = true;
            if ((event.mask & kReadDone) != 0) reads->second.read_late = reads->second.written;
        }
    }
}

bool SegmentWatch::overtaken() {
    const bool events_complete = replay_events();
    const auto now = stamp_segments(ring_dir_, chosen_);
    for (std::size_t i = 0; i < chosen_.size(); ++i) {
        const Reads* reads = events_complete && watch_of_[i] ? &reads_.at(*watch_of_[i]) : nullptr;
        if (reads && reads->read_late) {
            if (*reads->read_late) return true;
            continue;
        }
        // Nothing says when the join was done with it: any change at all counts.
        if (now[i] != stamps_[i] || (reads && reads->written)) return true;
    }
    return false;
}

}  // namespace vc
