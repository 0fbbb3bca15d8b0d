// The cost of one mixer tick (take, resample, volume, interleave, level) for 1, 2 and 6
// tracks, at 48 kHz (pass-through) and at 44.1 kHz (resampling). Each tick has 10 ms; the
// "budget" counter is the share of those 10 ms one tick costs on one core.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/mixer_take.hpp"
#include "engine/mixer_tick.hpp"

namespace {

void MixerTick(benchmark::State& state) {
    const auto tracks = static_cast<std::size_t>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    const std::size_t per_tick = static_cast<std::size_t>(rate / 100);
    std::vector<vc::ResampleState> states(tracks, vc::ResampleState{rate / 48000.0, 0.0, {}});
    std::vector<vc::TrackPace> paces(tracks);
    std::vector<std::deque<vc::StereoPair>> queues(tracks);
    std::vector<std::uint64_t> delivered(tracks, 0);
    std::vector<vc::Block> blocks(tracks);
    std::string bytes;
    bytes.reserve(3840 * tracks);
    float sink = 0.0f;
    // A device keeping pace with the ticks, on a clock of their own.
    auto tick = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    for (auto _ : state) {
        tick += std::chrono::milliseconds(10);
        for (std::size_t t = 0; t < tracks; ++t) {
            // What a capture worker would have queued meanwhile (counted in the figure).
            for (std::size_t i = 0; i < per_tick; ++i) queues[t].push_back({0.25f, -0.25f});
            delivered[t] += per_tick;
            vc::take_pairs(queues[t], {delivered[t], tick}, states[t], paces[t], vc::TickTime{tick, tick});
            vc::fill_block(states[t], blocks[t]);
            vc::apply_volume(blocks[t], 0.8f);
        }
        vc::interleave(blocks, bytes);
        for (const auto& block : blocks) sink += vc::block_level(block);
        benchmark::DoNotOptimize(bytes.data());
    }
    benchmark::DoNotOptimize(sink);
    // elapsed / (iterations * 10 ms) * 100
    state.counters["budget_%"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1e-4,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(MixerTick)->ArgsProduct({{1, 2, 6}, {48000, 44100}})->ArgNames({"tracks", "rate"});

}  // namespace

BENCHMARK_MAIN();
