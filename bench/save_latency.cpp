// How long the user waits for a save: save_replay of 30 s from a ring of 40 real one-second
// 1280x720 segments, against the two bare ffmpeg runs it cannot avoid (the concat join of
// the same segments and the thumbnail), in the same process run. Prints both medians and
// their ratio; the system's own work (list, naming, metadata, stat) should be noise.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <vector>

#include "engine/clips.hpp"
#include "engine/ffmpeg.hpp"
#include "engine/replay.hpp"
#include "engine/ring_list.hpp"

namespace {

namespace fs = std::filesystem;

struct Fixture {
    fs::path root;
    fs::path ring;
    fs::path clips;
};

Fixture& fixture() {
    static Fixture made = [] {
        char pattern[] = "/tmp/vantrel-bench-XXXXXX";
        Fixture f;
        f.root = ::mkdtemp(pattern);
        f.ring = f.root / "ring";
        f.clips = f.root / "clips";
        fs::create_directories(f.ring);
        vc::Command command = vc::ffmpeg_command();
        command.append({"-f", "lavfi", "-i", "testsrc=s=1280x720:r=30", "-t", "40", "-c:v", "libx264", "-preset",
                        "ultrafast", "-tune", "zerolatency", "-g", "30", "-pix_fmt", "yuv420p", "-f", "segment",
                        "-segment_time", "1", "-reset_timestamps", "1", "-segment_format", "mpegts",
                        "-segment_list", (f.ring / "ring.csv").string(), "-segment_list_type", "csv",
                        (f.ring / "seg_%05d.ts").string()});
        if (auto made = vc::run_ffmpeg(std::move(command), "making bench segments"); !made) {
            std::fprintf(stderr, "%s\n", vc::format_engine_error(made.error()).c_str());
            std::exit(1);
        }
        return f;
    }();
    return made;
}

std::vector<double> save_times;
std::vector<double> bare_times;

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Body>
void timed(benchmark::State& state, std::vector<double>& times, Body body) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        times.push_back(took.count());
        state.PauseTiming();
        fs::remove_all(fixture().clips);
        state.ResumeTiming();
    }
}

void BM_save_replay(benchmark::State& state) {
    const Fixture& f = fixture();
    timed(state, save_times, [&] {
        auto saved = vc::save_replay(f.ring, f.clips, 30, -std::numeric_limits<double>::infinity(),
                                     vc::Origin::manual, {});
        if (!saved) state.SkipWithError(vc::format_engine_error(saved.error()).c_str());
    });
}

void BM_bare_ffmpeg(benchmark::State& state) {
    const Fixture& f = fixture();
    // The same 30 newest segments, listed once up front.
    const auto segments = vc::choose_segments(
        vc::parse_ring_list([&] {
            std::FILE* in = std::fopen((f.ring / "ring.csv").c_str(), "rb");
            std::string text;
            char buffer[4096];
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
            std::fclose(in);
            return text;
        }()),
        30);
    std::string list;
    for (const auto& segment : segments) list += vc::concat_list_line(f.ring, segment.name);
    const fs::path list_path = f.root / "bare.txt";
    std::FILE* out = std::fopen(list_path.c_str(), "wb");
    std::fwrite(list.data(), 1, list.size(), out);
    std::fclose(out);

    timed(state, bare_times, [&] {
        fs::create_directories(f.clips / ".thumbs");
        const fs::path clip = f.clips / "bare.mp4";
        vc::Command join = vc::ffmpeg_command();
        join.append({"-f", "concat", "-safe", "0", "-i", list_path.string(), "-map", "0", "-c", "copy",
                     "-movflags", "+faststart", clip.string()});
        if (auto joined = vc::run_ffmpeg(std::move(join), "bare join"); !joined)
            state.SkipWithError(vc::format_engine_error(joined.error()).c_str());
        vc::Command thumbnail = vc::ffmpeg_command();
        thumbnail.append(vc::thumbnail_args(clip, 30.0));
        if (auto made = vc::run_ffmpeg(std::move(thumbnail), "bare thumbnail"); !made)
            state.SkipWithError(vc::format_engine_error(made.error()).c_str());
    });
}

BENCHMARK(BM_save_replay)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(15);
BENCHMARK(BM_bare_ffmpeg)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(15);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    fixture();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double save = median(save_times);
    const double bare = median(bare_times);
    std::printf("median save_replay: %.1f ms\nmedian bare ffmpeg join + thumbnail: %.1f ms\nratio: %.3f\n",
                save * 1e3, bare * 1e3, bare > 0 ? save / bare : 0.0);
    fs::remove_all(fixture().root);
    return 0;
}
