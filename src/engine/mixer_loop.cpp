#include "engine/mixer_loop.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/log.hpp"

namespace vc {
namespace {

constexpr auto kTick = std::chrono::milliseconds(10);
// The debug log sums up what the takes did over a second, not tick by tick.
constexpr std::uint64_t kTicksPerReport = 100;

void report_takes(MixerState& mixer) {
    for (std::size_t t = 0; t < mixer.tracks.size(); ++t) {
        TakeReport& report = mixer.tracks[t].unreported;
        if (report.any())
            VC_DEBUG("engine::audio", "audio kept in its place over a second", log::field("track", t),
                     log::field("lost", report.lost), log::field("backlog", report.backlog),
                     log::field("late", report.late), log::field("quiet", report.quiet),
                     log::field("silence", report.silence), log::field("padded", report.padded));
        report = TakeReport{};
    }
}

class SteadyTickClock final : public TickClock {
public:
    std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
    void sleep_for(std::chrono::steady_clock::duration duration) override { std::this_thread::sleep_for(duration); }
    void wait_for_delivery(DeliverySignal& deliveries, std::uint64_t seen,
                           std::chrono::steady_clock::time_point until) override {
        deliveries.wait(seen, until);
    }
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
    for (MixTrack& track : tracks) track.queue->ring_on_delivery(deliveries);
}

bool write_stream(MixerState& mixer, const StdinWriter& writer, std::string_view bytes, const std::atomic<bool>& stop) {
    auto written = writer.write_all(bytes);
    // Once stopping, the recorder has killed ffmpeg on purpose: the broken pipe is expected.
    if (!written && !stop.load())
        mixer.context.events.send(event::Message{"audio pipe closed: " + format_os_error(written.error())});
    return written.has_value();
}

bool run_tick(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop,
              std::optional<TickTime> tick) {
    for (std::size_t t = 0; t < mixer.tracks.size(); ++t) {
        MixTrack& track = mixer.tracks[t];
        const bool was_quiet = track.pace.quiet;
        {
            auto locked = track.queue->lock();
            track.unreported += take_pairs(locked.pairs(), locked.deliveries(), track.resample, track.pace, tick);
        }
        if (track.pace.quiet != was_quiet)
            VC_DEBUG("engine::audio",
                     track.pace.quiet ? "audio track delivers nothing: silent until it delivers again"
                                      : "audio track delivers again",
                     log::field("track", t));
        fill_block(track.resample, mixer.blocks[t]);
        apply_volume(mixer.blocks[t], track.volume);
    }

    if (++mixer.ticks_unreported == kTicksPerReport) {
        report_takes(mixer);
        mixer.ticks_unreported = 0;
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

TickWait tick_wait(MixerState& mixer, TickTime tick) {
    TickWait wait;
    for (MixTrack& track : mixer.tracks) {
        auto locked = track.queue->lock();
        const Deliveries deliveries = locked.deliveries();
        if (ready_to_take(locked.pairs().size(), deliveries, track.resample, track.pace, tick)) continue;
        wait.ready = false;
        const auto given_up = tick.deadline + audio_wait(deliveries);
        if (tick.now < given_up) wait.until = std::min(wait.until.value_or(given_up), given_up);
    }
    return wait;
}

std::uint64_t run_tick_schedule(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop,
                                TickClock& clock, std::optional<std::chrono::steady_clock::time_point> first_deadline) {
    std::uint64_t ticks = 0;
    auto deadline = first_deadline.value_or(clock.now());
    if (stop.load()) return ticks;
    for (;;) {
        // Relative sleeps towards an absolute deadline: a late wake-up shortens the next
        // sleep instead of shifting every later tick, so the stream cannot drift.
        while (clock.now() < deadline) {
            clock.sleep_for(deadline - clock.now());
            if (stop.load()) return ticks;
        }
        // The count of deliveries is taken before each look, so that one that comes between
        // the look and the wait ends the wait at once.
        std::uint64_t seen = mixer.deliveries->rings();
        TickWait wait = tick_wait(mixer, {deadline, clock.now()});
        while (wait.until) {
            clock.wait_for_delivery(*mixer.deliveries, seen, *wait.until);
            if (stop.load()) return ticks;
            seen = mixer.deliveries->rings();
            wait = tick_wait(mixer, {deadline, clock.now()});
        }
        if (const auto waited = clock.now() - deadline; waited > std::chrono::steady_clock::duration::zero())
            VC_TRACE("engine::audio", "tick waited for audio",
                     log::field("ms", std::chrono::duration<double, std::milli>(waited).count()),
                     log::field("ready", wait.ready));
        const auto due = deadline;
        deadline += kTick;
        ++ticks;
        if (!run_tick(mixer, writer, stop, TickTime{due, clock.now()})) return ticks;
        if (stop.load()) return ticks;
    }
}

}  // namespace vc
