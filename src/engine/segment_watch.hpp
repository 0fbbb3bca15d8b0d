// SegmentWatch: did a save's join read each chosen segment before the recorder came round to
// it? The recorder's ffmpeg writes its ring in place, so a join that falls far enough behind
// may read a segment that has meanwhile been cut short or rewritten with a later second. The
// watch judges the join by what it read, never by how long it took: a segment is overtaken
// only when the join read from it after a write had reached it. Writes after the join's last
// read of a segment cost nothing, however long the join then goes on: writing the clip,
// rewriting it for "+faststart" on a slow disk or a busy machine, and all the while keeping
// its last segment open (ffmpeg closes that one only when it exits).
//
// Built on inotify watches of the chosen files: every read and every write of them is an
// event, which the kernel keeps in order (and merges while a run of reads of one file goes
// on, so a long join queues a few events a segment), so nothing needs to look while the join
// runs. A segment whose events say nothing (no watch could be set, the kernel's queue
// overflowed) is judged by its file status instead: unchanged since the watch began is in
// time; changed is overtaken, unless the file system says that the join's last read of it
// came before the change. Owned by the save on thread "engine", for one join.
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

    // Once the join has ended: true when the join read a chosen segment after the recorder
    // had written to it.
    bool overtaken();

private:
    struct Reads {
        bool written = false;           // a write reached the file since the watch began
        bool read = false;              // the join read from it
        bool read_after_write = false;  // ... after a write had reached it
    };

    // Replays the queued events; notes when the kernel dropped some (its queue overflowed).
    void replay_events();

    std::filesystem::path ring_dir_;
    std::vector<Segment> chosen_;
    FileDescriptor inotify_;
    // Per watch, what its file went through; a chosen segment without a watch has none.
    std::unordered_map<int, Reads> reads_;
    std::vector<std::optional<int>> watch_of_;  // per chosen segment
    std::vector<std::optional<SegmentStamp>> stamps_;
    bool events_lost_ = false;
};

}  // namespace vc
