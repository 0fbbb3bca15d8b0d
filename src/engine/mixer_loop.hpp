// The audio mixer's tick loop, apart from opening tracks and the hand-shake with the
// recorder: per-track resampling state over the tracks' frame queues, the blocks and the
// interleave buffer, the shared levels, the detector and the voice feed. run_audio_mixer
// builds a MixerState once ffmpeg's standard input has arrived and runs the schedule on
// thread "audio-mixer"; nothing here is shared but the queues, the levels and the stop flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/audio_levels.hpp"
#include "engine/detector.hpp"
#include "engine/frame_queue.hpp"
#include "engine/messages.hpp"
#include "engine/mixer_take.hpp"
#include "engine/mixer_tick.hpp"

namespace vc {

// One track as the tick sees it. The queue is shared with the track's capture worker.
struct MixTrack {
    SharedFrameQueue queue;
    ResampleState resample;
    float volume = 1.0f;
    TrackPace pace{};
    // What the takes did beyond the plain take since the last debug line.
    TakeReport unreported{};
};

struct MixerState {
    MixerState(std::vector<MixTrack> tracks, SharedLevels levels, RecorderContext context);

    std::vector<MixTrack> tracks;  // the opened tracks, in settings order
    std::vector<Block> blocks;     // one per track, refilled every tick
    std::string bytes;             // the interleave buffer, 3840 bytes per track
    SharedLevels levels;
    RecorderContext context;
    std::size_t detector_track = 0;      // the microphone track, else the first
    std::optional<LoudDetector> detector;  // only with automatic clips on
    std::optional<Sender<VoiceChunk>> voice;  // only with voice commands on and a microphone
    VoiceFeed voice_feed;
    // Rung by every track's queue when its device delivers.
    std::shared_ptr<DeliverySignal> deliveries = std::make_shared<DeliverySignal>();
    // Ticks since the tracks' takes were last summed up in the debug log (once a second).
    std::uint64_t ticks_unreported = 0;
};

// Writes bytes of the stream to ffmpeg. A failed write sends "audio pipe closed: {}" unless
// `stop` is set, and gives false: the mixer then ends.
bool write_stream(MixerState& mixer, const StdinWriter& writer, std::string_view bytes, const std::atomic<bool>& stop);

// One tick: take, resample and scale every track, write the interleaved block, meter the
// levels, update the detector and feed the voice listener. `tick`: the schedule's
// (take_pairs); a tick run by hand takes what the queues hold. A failed write sends "audio
// pipe closed: {}" unless `stop` is set, and returns false; nothing else of the tick then runs.
bool run_tick(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop,
              std::optional<TickTime> tick = std::nullopt);

// The tick schedule's time: the monotonic clock, a relative sleep on it, and a wait for the
// tracks' next delivery. The mixer runs on steady_tick_clock(); a test passes a clock of its
// own to run many seconds of ticks, stalls included, exactly and at once.
class TickClock {
public:
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void sleep_for(std::chrono::steady_clock::duration duration) = 0;
    // Until `deliveries` rings past `seen` (a track delivered), or `until`.
    virtual void wait_for_delivery(DeliverySignal& deliveries, std::uint64_t seen,
                                   std::chrono::steady_clock::time_point until) = 0;

protected:
    ~TickClock() = default;
};

// std::chrono::steady_clock and std::this_thread::sleep_for.
TickClock& steady_tick_clock();

// Where `tick` stands in its wait for audio. `until`: nullopt once every track holds what
// the tick takes (ready_to_take) or has been waited for as long as its device needs
// (audio_wait); otherwise the end of the shortest of the waits that still run. `ready`:
// every track holds what the tick takes.
struct TickWait {
    std::optional<std::chrono::steady_clock::time_point> until;
    bool ready = true;
};
TickWait tick_wait(MixerState& mixer, TickTime tick);

// Ticks on absolute 10 ms deadlines of `clock`, the first at `first_deadline` (at once
// without one), until `stop` is seen (before the first tick, after every sleep and after
// every tick) or a write fails. A tick whose audio has not all come waits for it, as long
// past its deadline as each track's device needs (audio_wait), and looks again whenever a
// track delivers; a track that has gone quiet is not waited for (kQuietAfter). Late ticks
// are never skipped: after a stall they run back to back until caught up. Gives the number
// of ticks that ran, the failed one included.
std::uint64_t run_tick_schedule(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop,
                                TickClock& clock = steady_tick_clock(),
                                std::optional<std::chrono::steady_clock::time_point> first_deadline = std::nullopt);

}  // namespace vc
