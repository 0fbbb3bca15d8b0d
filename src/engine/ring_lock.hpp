// The ring's join lock: the file "join.lock" in the ring directory. A save's join holds it,
// shared, for as long as the join runs: its ffmpeg keeps the locked descriptor, so the lock
// lasts as long as the join, also once the program that started it has gone. A recorder
// start takes it, exclusive, before it empties the ring, so that a start right after a run
// that ended in the middle of a save lets that join finish its clip first. The lock (flock)
// only ever makes a start wait, never a save. Called on the thread that starts the
// recorder, and on thread "engine" for a save.
#pragma once

#include <chrono>
#include <filesystem>

#include "engine/file_descriptor.hpp"

namespace vc {

// How long a start waits for an earlier join: longer than the longest join seen (a 600 s
// replay on a slow disk, beside a busy machine, joined in 70 s), yet bounded, so that a join
// that never ends cannot keep the program from starting.
inline constexpr std::chrono::seconds kJoinWait{120};

// The lock file (created when missing), relative to the open ring directory `dir`; an empty
// descriptor when it cannot be opened (a symbolic link stands there, say).
FileDescriptor open_ring_lock(int dir);

// A save's share of the lock of `ring_dir`, for its join to keep (Command::kept_descriptor);
// an empty descriptor when it cannot be had at once, and the join then runs without it.
FileDescriptor lock_ring_for_join(const std::filesystem::path& ring_dir);

// Takes `lock` exclusive for a start: when a join holds it, says so in one log line and
// waits for it, at most `limit`, looking every 50 ms; says so again if it gives up. The lock
// is the start's until `lock` is closed.
void wait_for_joins(const FileDescriptor& lock, std::chrono::milliseconds limit = kJoinWait);

}  // namespace vc
