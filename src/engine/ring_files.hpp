// The names of the files in the ring directory. The recorder's ffmpeg writes the segments
// and their list; a save reads the list and writes its concat list beside them. Whatever
// lies there but the join lock is deleted when the next recorder starts.
#pragma once

#include <string_view>

namespace vc {

// ffmpeg's segment list: "name,start,end" per segment, the newest last.
inline constexpr std::string_view kRingListName = "ring.csv";
// The concat list of the segments a save joins.
inline constexpr std::string_view kSaveListName = "save.txt";
// What a save's join holds while it reads the ring, and a start waits for (ring_lock.hpp).
// It stays when the ring is emptied.
inline constexpr std::string_view kJoinLockName = "join.lock";
// ffmpeg's pattern for the segment files, numbered round the ring.
inline constexpr std::string_view kSegmentPattern = "seg_%05d.ts";

}  // namespace vc
