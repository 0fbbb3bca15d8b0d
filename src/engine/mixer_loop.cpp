#include "engine/mixer_loop.hpp"

#include <chrono>
#include <thread>

namespace vc {
namespace {

constexpr auto kTick = std::chrono::milliseconds(10);

class SteadyTickClock final : public TickClock {
public:
    std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
    void sleep_for(std::chrono::steady_clock::duration duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

TickClock& steady_tick_clock() {
    // Trivially destructible: still usable by a thread that outlives static destruction.
    static SteadyTickClock clock;
    return clock;
}

MixerState::MixerState(std::vector<MixTrack> tracks_in, SharedLevels levels_in, RecorderContext context_in)
    : tracks(std::move(tracks_in)),
      blocks(tracks.size()),
      levels(std::move(levels_in)),
      context(std::move(context_in)) {
    bytes.reserve(kBlockFrames * 2 * sizeof(float) * tracks.size());
}

bool write_stream(MixerState& mixer, const StdinWriter& writer, std::string_view bytes, const std::atomic<bool>& stop) {
    auto written = writer.write_all(bytes);
    // Once stopping, the recorder has killed ffmpeg on purpose: the broken pipe is expected.
    if (!written && !stop.load())
        mixer.context.events.send(event::Message{"audio pipe closed: " + format_os_error(written.error())});
    return written.has_value();
}

bool run_tick(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop) {
    for (std::size_t t = 0; t < mixer.tracks.size(); ++t) {
        MixTrack& track = mixer.tracks[t];
        {
            auto locked = track.queue->lock();
            take_pairs(locked.pairs(), track.resample);
        }
        fill_block(track.resample, mixer.blocks[t]);
        apply_volume(mixer.blocks[t], track.volume);
    }

    interleave(mixer.blocks, mixer.bytes);
    if (!write_stream(mixer, writer, mixer.bytes, stop)) return false;

    float detector_input = kSilenceDb;
    for (std::size_t t = 0; t < mixer.blocks.size(); ++t) {
        const float level = block_level(mixer.blocks[t]);
        mixer.levels->set(t, level);
        if (t == mixer.detector_track) detector_input = level;
    }
    if (mixer.detector) mixer.detector->update(detector_input, mixer.context);

    if (mixer.voice) {
        mixer.voice_feed.add(mixer.blocks[mixer.detector_track]);
        // A listener that falls behind loses chunks rather than holding up the stream.
        if (mixer.voice_feed.chunk_ready()) (void)mixer.voice->try_send(mixer.voice_feed.take_chunk());
    }
    return true;
}

std::uint64_t run_tick_schedule(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop,
                                TickClock& clock) {
    std::uint64_t ticks = 0;
    auto deadline = clock.now();
    if (stop.load()) return ticks;
    for (;;) {
        // Relative sleeps towards an absolute deadline: a late wake-up shortens the next
        // sleep instead of shifting every later tick, so the stream cannot drift.
        while (clock.now() < deadline) {
            clock.sleep_for(deadline - clock.now());
            if (stop.load()) return ticks;
        }
        deadline += kTick;
        ++ticks;
        if (!run_tick(mixer, writer, stop)) return ticks;
        if (stop.load()) return ticks;
    }
}

}  // namespace vc
