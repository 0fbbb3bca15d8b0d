// SegmentWatch: did a save's join read each chosen segment before the recorder came round to
// it? The recorder's ffmpeg writes its ring in place, so a join that falls far enough behind
// may read a segment that has meanwhile been cut short or rewritten with a later second. The
// watch judges the join by what it read, never by how long it took: the join opens the
// chosen segments one after the other and closes each once it has read all of it, so a
// segment is read in time when no write reached it before the join's last close of it.
// Writes that come after that close (the join still writing the clip, rewriting it for
// "+faststart", on a slow disk or a busy machine) cost nothing.
//
// Built on inotify watches of the chosen files (the kernel keeps their events in order, so
// nothing needs to look while the join runs). A segment whose events say nothing (no watch
// could be set, the join never got to it, the kernel's queue overflowed) is judged by its
// file status instead: changed since the watch began means overtaken. Owned by the save on
// thread "engine", for one join.
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
    // Starts watching `chosen` in `ring_dir`; call it before the join starts.
    SegmentWatch(const std::filesystem::path& ring_dir, const std::vector<Segment>& chosen);

    // Once the join has ended: true when the recorder wrote to a chosen segment before the
    // join was done reading it.
    bool overtaken();

private:
    struct Reads {
        bool written = false;  // a write reached the file since the watch began
        // The verdict of the join's last close of the file: true when it came after a
        // write. nullopt while the file was never closed by a reader.
        std::optional<bool> read_late;
    };

    // Replays the queued events; false when the kernel dropped some (its queue overflowed).
    bool replay_events();

    std::filesystem::path ring_dir_;
    std::vector<Segment> chosen_;
    FileDescriptor inotify_;
    // Per watch, what its file went through; a chosen segment without a watch has none.
    std::unordered_map<int, Reads> reads_;
    std::vector<std::optional<int>> watch_of_;  // per chosen segment
    std::vector<std::optional<SegmentStamp>> stamps_;
};

}  // namespace vc
