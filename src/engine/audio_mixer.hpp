// The audio mixer: the body of thread "audio-mixer". It opens every enabled track, reports
// once which opened (AudioSetup), waits for ffmpeg's standard input, and then every 10 ms
// writes exactly 480 frames per track, interleaved, as 32-bit float little-endian at
// 48 kHz. In the same tick it meters each track, feeds the loud-moment detector and the
// voice listener. The recorder owns the thread through AudioCapture; the mixer owns the
// capture streams and, once handed over, ffmpeg's standard input.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "engine/audio_levels.hpp"
#include "engine/messages.hpp"
#include "engine/settings.hpp"

namespace vc {

struct AudioSetup {
    std::vector<Track> tracks;  // the tracks that opened, in settings order
    SharedLevels levels;
};

struct MixerArgs {
    RecorderContext context;
    Sender<AudioSetup> setup;       // one slot
    Receiver<StdinWriter> writer;   // one slot
    Config config;
    StopFlag stop;
};

void run_audio_mixer(MixerArgs args);

// The recorder's handle on thread "audio-mixer". Releasing it sets the stop flag, lets go
// of the writer sender if it is still held (so a mixer still waiting for ffmpeg's standard
// input ends) and joins the thread.
class AudioCapture {
public:
    AudioCapture(Sender<StdinWriter> writer, std::vector<Track> tracks, StopFlag stop, SharedLevels levels,
                 std::thread thread);
    AudioCapture(AudioCapture&&) = default;
    // Replacing a live handle first closes it: a joinable thread must not be dropped.
    AudioCapture& operator=(AudioCapture&& other) noexcept;
    ~AudioCapture() { close(); }

    // Takes the writer sender out for the hand-over; empty once taken.
    std::optional<Sender<StdinWriter>> take_writer() { return std::exchange(writer_, std::nullopt); }
    const std::vector<Track>& tracks() const { return tracks_; }
    const SharedLevels& levels() const { return levels_; }
    void request_stop() {
        if (stop_) stop_->store(true);
    }
    void close();

private:
    std::optional<Sender<StdinWriter>> writer_;
    std::vector<Track> tracks_;
    StopFlag stop_;
    SharedLevels levels_;
    std::thread thread_;
};

inline void close_audio_capture(std::optional<AudioCapture>& capture) { capture.reset(); }

}  // namespace vc
