// What a log call costs: a rejected event (the call site's cached answer) and an accepted
// one (formatted and handed to a writer that discards it).
#include <benchmark/benchmark.h>

#include "cli/logging.hpp"

namespace {

vc::cli::TerminalLogger& logger() {
    static vc::cli::TerminalLogger instance(vc::cli::LogFilter::parse("warn,engine=info"),
                                            vc::cli::LineFormat{true}, {},
                                            [](std::string_view text) -> std::expected<void, vc::OsError> {
                                                benchmark::DoNotOptimize(text.data());
                                                return {};
                                            });
    vc::log::install(&instance);
    return instance;
}

void RejectedEvent(benchmark::State& state) {
    logger();
    for (auto _ : state) VC_DEBUG("engine", "unavailable", vc::log::field("encoder", "libx264"));
}
BENCHMARK(RejectedEvent);

void RejectedByTargetEvent(benchmark::State& state) {
    logger();
    for (auto _ : state) VC_INFO("ffmpeg", "frame=1");
}
BENCHMARK(RejectedByTargetEvent);

void AcceptedEvent(benchmark::State& state) {
    logger();
    for (auto _ : state)
        VC_INFO("engine::audio", "audio source opened", vc::log::field("label", "Microphone"),
                vc::log::field("rate", 48000u), vc::log::field("channels", 2u));
}
BENCHMARK(AcceptedEvent);

void FilterDecisionUncached(benchmark::State& state) {
    const auto filter = vc::cli::LogFilter::parse("warn,engine=info,engine::audio=debug");
    for (auto _ : state) benchmark::DoNotOptimize(filter.enabled(vc::log::Level::Debug, "engine::clips"));
}
BENCHMARK(FilterDecisionUncached);

}  // namespace

BENCHMARK_MAIN();
