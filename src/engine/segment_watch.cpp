#include "engine/segment_watch.hpp"

#include <sys/inotify.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "engine/format.hpp"
#include "engine/log.hpp"

namespace vc {
namespace {

// What a writer does to a file: the recorder truncates it, writes the new second and closes
// it. Whatever else changes it (a rename, a removal) counts the same.
constexpr std::uint32_t kWritten = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;

}  // namespace

SegmentWatch::SegmentWatch(const std::filesystem::path& ring_dir, const std::vector<Segment>& chosen)
    : ring_dir_(ring_dir), chosen_(chosen), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!inotify_)
        VC_DEBUG("engine::clips", format("no inotify ({}): the join is judged by the segments' file status",
                                         format_os_error(OsError::from_errno(errno))));
    watch_of_.reserve(chosen_.size());
    for (const Segment& segment : chosen_) {
        std::optional<int> watch;
        if (inotify_) {
            const int added = ::inotify_add_watch(inotify_.get(), (ring_dir_ / segment.name).c_str(), kWritten | IN_ACCESS);
            if (added >= 0) {
                watch = added;
                reads_.try_emplace(added, Reads{.segment = watch_of_.size()});
            }
        }
        watch_of_.push_back(watch);
    }
    // Taken once the watches are in place: a write after this is seen by the watch too.
    stamps_ = stamp_segments(ring_dir_, chosen_);
}

void SegmentWatch::replay_events() {
    if (!inotify_ || events_lost_) return;
    alignas(inotify_event) std::array<char, 64 * 1024> buffer;
    std::size_t queued = 0;
    for (;;) {
        auto got = inotify_.read_some(buffer.data(), buffer.size());
        // EAGAIN: every queued event has been read.
        if (!got || *got == 0) break;
        for (std::size_t at = 0; at < *got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            at += sizeof event + event.len;
            ++queued;
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                events_lost_ = true;
                break;
            }
            const auto reads = reads_.find(event.wd);
            if (reads == reads_.end()) continue;
            Reads& file = reads->second;
            if ((event.mask & kWritten) != 0) file.written = true;
            if ((event.mask & IN_ACCESS) != 0) {
                file.read = true;
                file.read_after_write = file.read_after_write || file.written;
                passed_up_to(file.segment);
            }
        }
        if (events_lost_) break;
    }
    events_ += queued;
    most_queued_ = std::max(most_queued_, queued);
}

void SegmentWatch::passed_up_to(std::size_t segment) {
    for (; passed_ < segment; ++passed_)
        if (watch_of_[passed_]) (void)::inotify_rm_watch(inotify_.get(), *watch_of_[passed_]);
}

void SegmentWatch::join_starts() {
    if (chosen_.empty()) return;
    replay_events();
    if (watch_of_.back()) reads_.at(*watch_of_.back()).written = false;
    stamps_.back() = stamp_segments(ring_dir_, {chosen_.back()}).front();
}

void SegmentWatch::catch_up() { replay_events(); }

bool SegmentWatch::overtaken() {
    replay_events();
    const auto now = stamp_segments(ring_dir_, chosen_);
    const bool reads_kept = reads_after_changes_kept(ring_dir_);
    for (std::size_t i = 0; i < chosen_.size(); ++i) {
        const Reads* reads = watch_of_[i] ? &reads_.at(*watch_of_[i]) : nullptr;
        // What the events showed holds, also when later ones were lost; and a segment that
        // the join had passed before any were lost is told whole.
        if (reads && reads->read_after_write) return true;
        if (reads && reads->read && (!events_lost_ || i < passed_)) continue;
        // The events say nothing of the join's reads: the file status tells what it can.
        const bool unchanged =
            now[i] && stamps_[i] ? now[i]->same_file(*stamps_[i]) : now[i].has_value() == stamps_[i].has_value();
        if (unchanged && !(reads && reads->written)) continue;
        if (!now[i] || (reads_kept && read_after_change(*now[i]))) return true;
    }
    return false;
}

}  // namespace vc
