// SegmentWatch: did a save's join read each chosen segment before the recorder came round to
// it? The recorder's ffmpeg writes its ring in place, so a join that falls far enough behind
// may read a segment that has meanwhile been rewritten with a later second. The watch judges
// the join by what it read, never by how long it took: a segment is overtaken only when the
// join read from it after a write had reached it. Writes after the join's last read of a
// segment cost nothing, however long the join then goes on: writing the clip, rewriting it
// for "+faststart" on a slow disk or a busy machine, and all the while keeping its last
// segment open (ffmpeg closes that one only when it exits). (A segment cut short under the
// join shows in the clip itself: mp4_timeline.hpp.)
//
// Built on inotify watches of the chosen files: every read and every write of them is an
// event, which the kernel keeps in order and merges while a run of reads of one file goes
// on. The save reads them while the join runs (catch_up): the join reads the segments in
// order, so once it reads one it is done with those before it, which are then no longer
// watched. So the recorder's writes to segments the join has passed, which would otherwise
// come between its reads and queue two events for every read and write of a long join at a
// high bitrate, cost nothing, and the kernel's queue stays short. Where the events say
// nothing (no watch could be set, the queue overflowed all the same) the file status tells
// what it can: unchanged since the watch began is in time; changed is overtaken only where
// the file system says that the join read it after the change. Where it cannot say
// (noatime), the change is no overtake: a clip is not thrown away on a guess. Owned by the
// save on thread "engine", for one join.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/file_descriptor.hpp"
#include "engine/ring_list.hpp"
#include "engine/segment_stamps.hpp"

namespace vc {

class SegmentWatch {
public:
    // Starts watching `chosen` (oldest first) in `ring_dir`, as soon as they are chosen.
    SegmentWatch(const std::filesystem::path& ring_dir, const std::vector<Segment>& chosen);

    // Right before the join starts. The recorder lists a segment a moment before it closes
    // it (its last bytes go out after the list is in place), so the newest chosen one may
    // have been written since the watch began: that was the recorder finishing that second,
    // not coming round to it, which it does only some ten seconds later.
    void join_starts();

    // While the join runs, now and then: reads the events queued so far, and stops watching
    // the segments that the join has passed.
    void catch_up();

    // Once the join has ended: true when the join read a chosen segment after the recorder
    // had written to it.
    bool overtaken();

    // What the events came to, for the log: how many were read, the most queued at once,
    // and whether the kernel's queue overflowed.
    struct Tally {
        std::size_t events = 0;
        std::size_t most_queued = 0;
        bool lost = false;
    };
    Tally tally() const { return {events_, most_queued_, events_lost_}; }

private:
    struct Reads {
        std::size_t segment = 0;        // its place among the chosen
        bool written = false;           // a write reached the file since the watch began
        bool read = false;              // the join read from it
        bool read_after_write = false;  // ... after a write had reached it
    };

    // Replays the queued events; notes when the kernel dropped some (its queue overflowed).
    void replay_events();
    // The join reads `segment`: it is done with every one before it.
    void passed_up_to(std::size_t segment);

    std::filesystem::path ring_dir_;
    std::vector<Segment> chosen_;
    FileDescriptor inotify_;
    // Per watch, what its file went through; a chosen segment without a watch has none.
    std::unordered_map<int, Reads> reads_;
    std::vector<std::optional<int>> watch_of_;  // per chosen segment
    std::vector<std::optional<SegmentStamp>> stamps_;
    std::size_t passed_ = 0;  // the segments before this one are no longer watched
    bool events_lost_ = false;
    std::size_t events_ = 0;
    std::size_t most_queued_ = 0;
};

}  // namespace vc
