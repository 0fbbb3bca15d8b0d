// Where the audio stream's first sample is decided. ffmpeg numbers the raw audio on its
// standard input from its first sample and the screen grab from its first frame, so the
// stream must begin at the moment of that first frame. ffmpeg takes that frame right before
// it first reads its standard input, hundreds of milliseconds after the hand-over (over a
// second on a busy machine); whatever the mixer wrote before then would become a standing
// lag of the sound behind the picture in every clip.
//
// So the mixer hands ffmpeg one block of silence, waits until ffmpeg has read it, and only
// then starts its tick clock, with the audio the tracks captured last. Runs on thread
// "audio-mixer" between the hand-over and the first tick.
#pragma once

#include <atomic>
#include <deque>

#include "engine/mixer_loop.hpp"
#include "engine/mixer_tick.hpp"

namespace vc {

// Writes one block of silence and waits, looking every millisecond, until ffmpeg has taken
// all of it; then gives the pipe room for a second of the stream and cuts every track to its
// current audio. False when `stop` is seen first or the write fails (reported as a tick's
// failed write is); the mixer then ends.
bool start_stream(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop);

// With the queue's lock held: forgets what piled up while ffmpeg was starting, keeping only
// the newest pairs that the first two ticks take.
void keep_current_audio(std::deque<StereoPair>& queue, ResampleState& state);

}  // namespace vc
