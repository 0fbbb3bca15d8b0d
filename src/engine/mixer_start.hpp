// Where the audio stream's first sample is decided. ffmpeg numbers the raw audio on its
// standard input from its first sample and the screen grab from its first frame, so the
// stream must begin at the moment of that first frame. ffmpeg takes that frame right before
// it first reads its standard input, hundreds of milliseconds after the hand-over (over a
// second on a busy machine); whatever the mixer wrote before then would become a standing
// lag of the sound behind the picture in every clip.
//
// So the mixer hands ffmpeg one block of silence and waits until ffmpeg has read it: that
// moment is the stream's start, and the silence stands in for its first 10 ms. Every later
// block holds the tracks' audio of its own place after that moment, so the first tick is
// due once the audio of the stream's second block can have come (the take's lag behind a
// tick, kTakeLag). Runs on thread "audio-mixer" between the hand-over and the first tick.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

#include "engine/mixer_loop.hpp"
#include "engine/mixer_tick.hpp"

namespace vc {

// How long after the stream's start its first tick is due: the block of silence, then the
// take's lag.
inline constexpr std::chrono::milliseconds kFirstTickAfterStart =
    std::chrono::milliseconds(1000 * kBlockFrames / kStreamRate) + kTakeLag;

// Writes one block of silence and waits, looking every millisecond, until ffmpeg has taken
// all of it; then gives the pipe room for a second of the stream and readies every track for
// the stream's start (start_track). Gives the first tick's deadline; nullopt when `stop` is
// seen first or the write fails (reported as a tick's failed write is); the mixer then ends.
std::optional<std::chrono::steady_clock::time_point> start_stream(MixerState& mixer, const StdinWriter& writer,
                                                                  const std::atomic<bool>& stop);

// With the track's queue locked, at the stream's start (`started`): what the track captured
// until then lies before the stream and is forgotten, and audio that its pace places before
// the stream's second block is dropped at once when it comes (as after a padded tick).
void start_track(std::deque<StereoPair>& queue, ResampleState& resample, TrackPace& pace,
                 std::chrono::steady_clock::time_point started);

}  // namespace vc
