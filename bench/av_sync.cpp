// How far a clip's sound lies behind its picture, judged from the content (a tone and a
// white screen switched together every 2 s, see tests/support/av_sync.hpp), edge by edge
// through whole 30 s clips, against ffmpeg alone recording the same screen and sound at the
// same time: the first clip of a run, a clip after a long recording, and the first clip after
// a restart (what a screen switch does), at each frame rate asked for; with each clip's
// timeline (tests/support/clip_timeline.hpp: steps between packets off their own length,
// where segments meet). Then the breaks of a steady tone through whole clips
// (tests/support/steady_tone.hpp): holes and splices in each clip, in ffmpeg alone on the
// same monitor at the same time, and in a witness reader that tells a gap of the source from
// one of ours.
//
//   bench_av_sync [--minutes M] [--load N] [--tone-clips K] [--fps F] [--blocks MS[,MS...]]
//
// --minutes: recording before the late clip (default 10); --load: N busy loops in this
// program's own session for the whole run, stopped by pid at the end (the kernel gives each
// session its own share of the processors, so load from another terminal hardly shows);
// --tone-clips: how many 20 s clips of the steady tone (default 3); --fps: one frame rate
// (default 30, then 60); --blocks: instead of all that, the steady tone from a device that
// hands it over in blocks of each length given, in ms (SyncRig::block_tone_breaks): the holes
// in a 20 s clip and in ffmpeg alone, one line per length.
#include <array>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/log.hpp"
#include "engine/process.hpp"
#include "support/av_sync.hpp"
#include "support/clip_timeline.hpp"

namespace {

constexpr std::uint32_t kClipSeconds = 30;


// One whole clip: its edges and ffmpeg alone's, how far each clip edge lies from ffmpeg
// alone's median, and the clip's timeline.
void print_whole_clip(const char* what, vc::test::SyncRig& rig, vc::Engine& engine, int fps) {
    const auto measured = rig.whole_clip(engine, kClipSeconds, fps);
    if (!measured) {
        std::printf("  %s: no figure: %s\n", what, measured.error().c_str());
        std::fflush(stdout);
        return;
    }
    const double alone = measured->alone_median();
    const auto timeline = vc::test::clip_timeline(measured->info.path, fps);
    double first = 0.0, last = 0.0, worst = 0.0;
    for (std::size_t i = 0; i < measured->clip.each.size(); ++i) {
        const double off = measured->clip.each[i] - alone;
        if (i == 0) first = off;
        last = off;
        if (std::abs(off) > std::abs(worst)) worst = off;
    }
    std::printf("  %s:\n    clip         %s\n    ffmpeg alone %s\n    ... on ALSA  %s\n"
                "    clip - alone (between the two): median %+.1f ms, first edge %+.1f, last %+.1f, worst %+.1f (%zu edges)\n"
                "    timeline: %s\n",
                what, measured->clip.text().c_str(), measured->alone.text().c_str(), measured->alone_alsa.text().c_str(),
                (measured->clip.median() - alone) * 1e3, first * 1e3, last * 1e3, worst * 1e3,
                measured->clip.each.size(), timeline ? timeline->text().c_str() : timeline.error().c_str());
    if (measured->info.meta) std::printf("    duration_s in the JSON: %.3f\n", measured->info.meta->duration_s);
    std::fflush(stdout);
}

// N shells spinning for ever, in this session; killed by pid when the object goes.
class BusyLoops {
public:
    explicit BusyLoops(int count) {
        for (int i = 0; i < count; ++i) {
            vc::Command command("/bin/sh", {"-c", "while :; do :; done"});
            command.stdin_mode = vc::Stdio::null_device;
            if (auto spawned = vc::Process::spawn(command)) loops_.push_back(std::move(*spawned));
        }
    }
    ~BusyLoops() {
        for (auto& loop : loops_) {
            loop.kill(SIGKILL);
            (void)loop.wait();
        }
    }

private:
    std::vector<vc::Process> loops_;
};

// What the mixer says of its ticks (engine::audio, debug and trace): how long ticks waited
// for their audio, and every time it moved audio to keep it in its place, as it happens.
class MixerLog final : public vc::log::Logger {
public:
    vc::log::Level max_level() const override { return vc::log::Level::Trace; }
    vc::log::Interest interest(vc::log::Level, std::string_view target) const override {
        return target == "engine::audio" ? vc::log::Interest::Always : vc::log::Interest::Never;
    }
    bool enabled(const vc::log::Event&) const override { return true; }
    void write(const vc::log::Event& event) override {
        std::lock_guard lock(mutex_);
        if (event.message == "tick waited for audio") {
            const double ms = std::get<double>(event.fields[0].value);
            const bool ready = std::get<bool>(event.fields[1].value);
            ++waits_[ready ? bin(ms) : kBins - 1];
            return;
        }
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        std::string line;
        for (const auto& field : event.fields)
            if (const auto* n = std::get_if<std::uint64_t>(&field.value); n && *n != 0 && field.name != "track")
                line += " " + std::string(field.name) + "=" + std::to_string(*n);
        if (event.level <= vc::log::Level::Debug) std::printf("    [%7.2f s] %.*s:%s\n", at, int(event.message.size()), event.message.data(), line.c_str());
    }
    void print_waits() {
        std::lock_guard lock(mutex_);
        static const char* names[kBins] = {"<=5 ms", "<=10", "<=20", "<=30", "<=40", "<=50", "<=75", "<=100",
                                           "<=150", "<=250", "longer", "budget spent"};
        std::printf("  ticks that waited for audio:");
        for (int i = 0; i < kBins; ++i)
            if (waits_[i] != 0) std::printf(" %s: %llu", names[i], static_cast<unsigned long long>(waits_[i]));
        std::printf("\n");
        waits_ = {};
    }

private:
    static constexpr int kBins = 12;
    static int bin(double ms) {
        const double edges[] = {5, 10, 20, 30, 40, 50, 75, 100, 150, 250};
        for (int i = 0; i < 10; ++i)
            if (ms <= edges[i]) return i;
        return 10;
    }
    std::mutex mutex_;
    std::array<std::uint64_t, kBins> waits_{};
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

struct Options {
    double minutes = 10.0;
    int load = 0;
    int tone_clips = 3;
    std::vector<int> fps{30, 60};
    std::vector<int> blocks;  // ms; empty: the normal run
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    if (argc % 2 == 0) return std::nullopt;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0)
            options.minutes = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--load") == 0)
            options.load = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--tone-clips") == 0)
            options.tone_clips = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--fps") == 0)
            options.fps = {std::atoi(argv[i + 1])};
        else if (std::strcmp(argv[i], "--blocks") == 0) {
            for (const char* at = argv[i + 1]; *at != '\0'; at += (*at == ',')) {
                char* end = nullptr;
                const long ms = std::strtol(at, &end, 10);
                if (end == at || ms <= 0) return std::nullopt;
                options.blocks.push_back(static_cast<int>(ms));
                at = end;
            }
        } else
            return std::nullopt;
    }
    return options;
}

// The holes of the block tone in a 20 s clip and in ffmpeg alone, one line per block length.
void print_block_holes(vc::test::SyncRig& rig, MixerLog& mixer_log, const std::vector<int>& blocks) {
    std::printf("steady tone from a device handing it over in blocks, holes in a 20 s clip:\n"
                "  block   clip (s of tone)        ffmpeg alone (s of tone)\n");
    for (const int ms : blocks) {
        const auto breaks = rig.block_tone_breaks(std::chrono::milliseconds(ms), 20);
        if (!breaks)
            std::printf("  %4d ms no figure: %s\n", ms, breaks.error().c_str());
        else
            std::printf("  %4d ms %3zu (%5.1f s)           %3zu (%5.1f s)\n    clip:  %s\n    alone: %s\n", ms,
                        breaks->clip.holes.size(), breaks->clip.seconds, breaks->ffmpeg_alone.holes.size(),
                        breaks->ffmpeg_alone.seconds, vc::test::describe(breaks->clip).c_str(),
                        vc::test::describe(breaks->ffmpeg_alone).c_str());
        mixer_log.print_waits();
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: bench_av_sync [--minutes M] [--load N] [--tone-clips K] [--fps F] [--blocks MS[,MS...]]\n");
        return 2;
    }
    auto* mixer_log = new MixerLog;  // lives as long as the process: threads may log late
    vc::log::install(mixer_log);
    try {
        BusyLoops load(options->load);
        std::printf("busy loops beside it: %d\n", options->load);
        vc::test::SyncRig rig;
        if (!options->blocks.empty()) {
            print_block_holes(rig, *mixer_log, options->blocks);
            return 0;
        }
        (void)rig.reference(1);  // warms the display and the sound server up
        for (const int fps : options->fps) {
            std::printf("%d fps, sound behind picture in whole %u s clips, median (each edge):\n", fps, kClipSeconds);
            {
                auto engine = rig.start_engine(kClipSeconds, fps);
                if (!engine) {
                    std::fprintf(stderr, "engine start: %s\n", engine.error().c_str());
                    return 1;
                }
                print_whole_clip("first clip", rig, *engine, fps);
                if (options->minutes > 0) {
                    std::this_thread::sleep_for(std::chrono::duration<double>(options->minutes * 60.0));
                    char label[64];
                    std::snprintf(label, sizeof label, "clip after %.1f more minutes", options->minutes);
                    print_whole_clip(label, rig, *engine, fps);
                }
            }
            auto engine = rig.start_engine(kClipSeconds, fps);
            if (!engine) {
                std::fprintf(stderr, "engine restart: %s\n", engine.error().c_str());
                return 1;
            }
            print_whole_clip("first clip after a restart", rig, *engine, fps);
            mixer_log->print_waits();
        }

        std::printf("steady tone, breaks (holes, splices):\n");
        vc::test::Breaks clips, alone, witness;
        for (int i = 0; i < options->tone_clips; ++i) {
            const auto breaks = rig.tone_breaks(20);
            if (!breaks) {
                std::printf("  clip %d: no figure: %s\n", i + 1, breaks.error().c_str());
                continue;
            }
            std::printf("  clip %d:       %s\n  ffmpeg alone: %s\n  witness:      %s\n", i + 1,
                        vc::test::describe(breaks->clip).c_str(), vc::test::describe(breaks->ffmpeg_alone).c_str(),
                        vc::test::describe(breaks->witness).c_str());
            mixer_log->print_waits();
            std::fflush(stdout);
            for (auto [total, one] : {std::pair{&clips, &breaks->clip}, std::pair{&alone, &breaks->ffmpeg_alone},
                                      std::pair{&witness, &breaks->witness}}) {
                total->holes.insert(total->holes.end(), one->holes.begin(), one->holes.end());
                total->splices.insert(total->splices.end(), one->splices.begin(), one->splices.end());
                total->seconds += one->seconds;
            }
        }
        const auto per_minute = [](const vc::test::Breaks& b) {
            const double minutes = b.seconds / 60.0;
            return std::pair{b.holes.size() / minutes, b.splices.size() / minutes};
        };
        for (auto [name, total] : {std::pair{"clips", &clips}, std::pair{"ffmpeg alone", &alone},
                                   std::pair{"witness", &witness}}) {
            const auto [holes, splices] = per_minute(*total);
            std::printf("  %-13s %.1f holes, %.1f splices per minute (%.1f s of tone)\n", name, holes, splices,
                        total->seconds);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
