// A running engine as the user meets it: a real recorder grabbing a private 1280x720 Xvfb
// with a 30 s replay: without audio, with one paced PulseAudio track, with that track and a
// dead one beside it (a suspended sink's monitor: it opens and delivers nothing), and with
// two paced tracks. For each it prints
//  - the time from Save sent to ClipSaved received, median of repeated saves, next to the
//    two bare ffmpeg runs a save cannot avoid (the join of the same newest segments with the
//    same options, and the thumbnail) run on the live ring right after each save, so both
//    see the same machine with the recorder encoding beside them;
//  - the engine's own CPU while recording: this process's CPU (its threads only; the
//    recorder ffmpeg and the save's ffmpeg runs are child processes and not part of it),
//    per minute of recording and as a share of one core, with the busiest threads;
//  - its context switches a second (all its threads);
//  - with audio, the floor under that CPU: what reading the same devices through the same
//    ALSA plugin at the same 10 ms period costs by itself (one arecord per track, side by
//    side with the engine, over the same window);
//  - with audio, how many debug lines the mixer writes a second (engine::audio at debug,
//    over a window of its own, so that the figures above have no logging in them).
// It is a plain program: each figure comes from a few long real runs, which a benchmark
// loop's repetitions would only multiply.
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <thread>

#include "engine/clips.hpp"
#include "engine/process.hpp"
#include "engine/engine.hpp"
#include "engine/ffmpeg.hpp"
#include "engine/log.hpp"
#include "engine/replay.hpp"
#include "engine/ring_list.hpp"
#include "support/environment.hpp"
#include "support/own_threads.hpp"
#include "support/pulse_server.hpp"
#include "support/xvfb.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kRecordFirst = 35s;
constexpr int kSaves = 9;
constexpr auto kBetweenSaves = 1500ms;  // so every save finds a newer segment than the last

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// utime + stime of a stat line, in seconds.
double cpu_seconds_of_stat(const fs::path& stat_path) {
    std::ifstream in(stat_path);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct ThreadCpu {
    std::string name;
    double seconds = 0.0;
    long long switches = 0;  // voluntary and not
};

// Every thread of this process by id: its name, CPU and context switches so far.
std::map<std::string, ThreadCpu> thread_cpu() {
    std::map<std::string, ThreadCpu> threads;
    for (const vc::test::OwnThread& thread : vc::test::own_threads())
        threads[thread.task.filename().string()] = {thread.name, cpu_seconds_of_stat(thread.task / "stat"),
                                                    vc::test::context_switches(thread)};
    return threads;
}

// Counts the mixer's debug lines while counting; shows nothing. Installed for the whole
// run (a logger must outlive every thread that may log); counting is switched by installing
// it again, which makes every call site ask anew.
class DebugLines final : public vc::log::Logger {
public:
    void count(bool on) {
        counting_.store(on);
        vc::log::install(this);
    }
    std::uint64_t lines() const { return lines_.load(); }

    vc::log::Level max_level() const override { return vc::log::Level::Debug; }
    vc::log::Interest interest(vc::log::Level level, std::string_view target) const override {
        return counting_.load() && level >= vc::log::Level::Debug && target.starts_with("engine::audio")
                   ? vc::log::Interest::Always
                   : vc::log::Interest::Never;
    }
    bool enabled(const vc::log::Event&) const override { return true; }
    void write(const vc::log::Event&) override { ++lines_; }

private:
    std::atomic<bool> counting_{false};
    std::atomic<std::uint64_t> lines_{0};
};

DebugLines& debug_lines() {
    static auto* lines = new DebugLines;
    return *lines;
}

struct Figures {
    std::vector<double> saves;
    std::vector<double> bare;
    double cpu_per_minute = 0.0;  // seconds of CPU per minute of recording
    double switches_per_second = 0.0;
    std::vector<ThreadCpu> busiest;
    double floor_per_minute = 0.0;  // the arecord processes together
    double debug_lines_per_second = 0.0;
};

// One arecord per device, reading as the mixer's capture does (48 kHz stereo float, 10 ms
// periods) into nothing; stopped by pid when it goes.
class CaptureFloor {
public:
    explicit CaptureFloor(const std::vector<std::string>& devices) {
        for (const auto& device : devices) {
            vc::Command command("arecord", {"-q", "-D", device, "-f", "FLOAT_LE", "-r", "48000", "-c", "2",
                                            "--period-time=10000", "-t", "raw", "/dev/null"});
            command.stdin_mode = vc::Stdio::null_device;
            if (auto spawned = vc::Process::spawn(command)) readers_.push_back(std::move(*spawned));
        }
    }
    ~CaptureFloor() {
        for (auto& reader : readers_) {
            reader.kill(SIGKILL);
            (void)reader.wait();
        }
    }
    double cpu_seconds() const {
        double total = 0.0;
        for (const auto& reader : readers_) total += cpu_seconds_of_stat(fs::path("/proc") / std::to_string(reader.pid()) / "stat");
        return total;
    }

private:
    std::vector<vc::Process> readers_;
};

// The two ffmpeg runs of a save, by hand, on the segments the save would take now.
double bare_join_and_thumbnail(const fs::path& ring, const fs::path& out, const std::vector<std::string>& track_names) {
    std::ifstream in(ring / "ring.csv");
    const std::string list_text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string list;
    for (const auto& segment : vc::choose_segments(vc::parse_ring_list(list_text), 30))
        list += vc::concat_list_line(ring, segment.name);
    fs::create_directories(out / ".thumbs");
    const fs::path list_path = out / "bare.txt";
    std::ofstream(list_path, std::ios::binary) << list;
    const fs::path clip = out / "bare.mp4";
    fs::remove(clip);

    const auto start = Clock::now();
    vc::Command join = vc::ffmpeg_command();
    join.append(vc::join_args(list_path, track_names, clip));
    if (auto joined = vc::run_ffmpeg(std::move(join), "bare join"); !joined)
        std::fprintf(stderr, "bare join: %s\n", vc::format_engine_error(joined.error()).c_str());
    vc::Command thumbnail = vc::ffmpeg_command();
    thumbnail.append(vc::thumbnail_args(clip, 30.0));
    if (auto made = vc::run_ffmpeg(std::move(thumbnail), "bare thumbnail"); !made)
        std::fprintf(stderr, "bare thumbnail: %s\n", vc::format_engine_error(made.error()).c_str());
    const std::chrono::duration<double> took = Clock::now() - start;
    return took.count();
}

// Events until `want` arrives (or the deadline); messages are shown as they come.
template <typename Want>
std::optional<Want> wait_for(vc::Engine& engine, std::chrono::seconds within) {
    const auto deadline = Clock::now() + within;
    while (true) {
        auto received = engine.events.recv_until(deadline);
        auto* event = std::get_if<vc::EngineEvent>(&received);
        if (!event) return std::nullopt;
        if (auto* wanted = std::get_if<Want>(event)) return *wanted;
        if (auto* message = std::get_if<vc::event::Message>(event))
            std::fprintf(stderr, "engine message: %s\n", message->text.c_str());
    }
}

std::optional<Figures> run(const vc::Config& settings, const fs::path& home) {
    std::vector<std::string> devices;
    for (const auto& track : settings.tracks)
        if (track.enabled && track.device) devices.push_back(*track.device);
    vc::EncoderProbes probes;
    auto spawned = vc::spawn_engine(settings, probes);
    if (!spawned) {
        std::fprintf(stderr, "engine start: %s\n", vc::format_engine_error(spawned.error()).c_str());
        return std::nullopt;
    }
    vc::Engine engine = std::move(*spawned);
    if (!wait_for<vc::event::EncoderChosen>(engine, 5s)) return std::nullopt;

    // The first seconds hold the start-up work; the steady state is what runs for hours.
    std::optional<CaptureFloor> floor;
    if (!devices.empty()) floor.emplace(devices);
    std::this_thread::sleep_for(3s);
    const auto before = thread_cpu();
    const double process_before = cpu_seconds_of_stat("/proc/self/stat");
    const double floor_before = floor ? floor->cpu_seconds() : 0.0;
    const auto window_start = Clock::now();
    std::this_thread::sleep_for(kRecordFirst - 3s);
    const std::chrono::duration<double> window = Clock::now() - window_start;
    const double process_cpu = cpu_seconds_of_stat("/proc/self/stat") - process_before;

    Figures figures;
    figures.cpu_per_minute = process_cpu / window.count() * 60.0;
    if (floor) figures.floor_per_minute = (floor->cpu_seconds() - floor_before) / window.count() * 60.0;
    floor.reset();
    long long switches = 0;
    for (const auto& [tid, now] : thread_cpu()) {
        const auto old = before.find(tid);
        const double used = now.seconds - (old == before.end() ? 0.0 : old->second.seconds);
        switches += now.switches - (old == before.end() ? 0 : old->second.switches);
        if (used > 0.0) figures.busiest.push_back({now.name + " (" + tid + ")", used / window.count() * 60.0});
    }
    figures.switches_per_second = static_cast<double>(switches) / window.count();
    if (!devices.empty()) {
        constexpr auto kDebugWindow = 10s;
        const std::uint64_t lines_before = debug_lines().lines();
        debug_lines().count(true);
        std::this_thread::sleep_for(kDebugWindow);
        debug_lines().count(false);
        figures.debug_lines_per_second =
            static_cast<double>(debug_lines().lines() - lines_before) / std::chrono::duration<double>(kDebugWindow).count();
    }
    std::sort(figures.busiest.begin(), figures.busiest.end(),
              [](const ThreadCpu& a, const ThreadCpu& b) { return a.seconds > b.seconds; });

    std::vector<std::string> track_names;
    for (const auto& track : settings.tracks)
        if (track.enabled) track_names.push_back(track.name);
    const fs::path ring = home / ".cache/vantrelclips/ring";
    for (int i = 0; i < kSaves; ++i) {
        const auto sent = Clock::now();
        engine.commands.send(vc::command::Save{0ns, vc::Origin::manual});
        const auto saved = wait_for<vc::event::ClipSaved>(engine, 60s);
        const std::chrono::duration<double> took = Clock::now() - sent;
        if (!saved) {
            std::fprintf(stderr, "save %d: no clip\n", i);
            return std::nullopt;
        }
        figures.saves.push_back(took.count());
        figures.bare.push_back(bare_join_and_thumbnail(ring, home / "bare", track_names));
        std::this_thread::sleep_for(kBetweenSaves);
    }
    engine.commands.send(vc::command::Stop{});
    wait_for<vc::event::Stopped>(engine, 15s);
    return figures;
}

void print(const char* label, const Figures& figures) {
    const double save = median(figures.saves);
    const double bare = median(figures.bare);
    std::printf("%s\n", label);
    std::printf("  median Save -> ClipSaved (%zu saves): %.1f ms\n", figures.saves.size(), save * 1e3);
    std::printf("  median bare ffmpeg join + thumbnail:  %.1f ms\n", bare * 1e3);
    std::printf("  ratio: %.3f\n", bare > 0 ? save / bare : 0.0);
    std::printf("  engine's own CPU: %.3f s per minute of recording (%.3f%% of one core); %.0f context switches a second\n",
                figures.cpu_per_minute, figures.cpu_per_minute / 60.0 * 100.0, figures.switches_per_second);
    for (std::size_t i = 0; i < figures.busiest.size() && i < 6; ++i)
        std::printf("    %-24s %.3f s/min\n", figures.busiest[i].name.c_str(), figures.busiest[i].seconds);
    if (figures.floor_per_minute > 0.0)
        std::printf("  floor, arecord on the same devices at 10 ms periods: %.3f s per minute (%.3f%% of one core); "
                    "engine / floor: %.2f\n",
                    figures.floor_per_minute, figures.floor_per_minute / 60.0 * 100.0,
                    figures.cpu_per_minute / figures.floor_per_minute);
    if (figures.debug_lines_per_second > 0.0 || figures.floor_per_minute > 0.0)
        std::printf("  mixer's debug lines: %.1f a second\n", figures.debug_lines_per_second);
}

}  // namespace

int main() {
    debug_lines().count(false);
    try {
        vc::test::TempDir home;
        vc::test::XvfbServer xvfb("1280x720x24");
        vc::test::ScopedEnv env{{"HOME", home.path().string()},
                                {"XDG_CACHE_HOME", std::nullopt},
                                {"DISPLAY", xvfb.display()},
                                {"RUST_LOG", "off"}};
        vc::Config settings = vc::default_config();
        settings.replay_seconds = 30;
        settings.clips_dir = home / "clips";
        settings.encoder = "libx264";
        settings.tracks.clear();

        const auto silent = run(settings, home.path());
        if (!silent) return 1;
        print("no audio track:", *silent);
        std::fflush(stdout);

        vc::test::PulseServer pulse;
        pulse.add_suspended_sink("mute");
        home.write(".asoundrc", vc::test::PulseServer::alsa_config());
        // The null sink's monitor: paced like a real device (the sine sources come in bursts).
        const vc::Track desk{.name = "Desk", .source = vc::TrackSource::Input, .device = "vc_desk"};
        const vc::Track desk2{.name = "Desk 2", .source = vc::TrackSource::Input, .device = "vc_desk"};
        const vc::Track dead{.name = "Muted", .source = vc::TrackSource::Input, .device = "vc_mute"};
        const std::pair<const char*, std::vector<vc::Track>> cases[] = {
            {"one paced PulseAudio track:", {desk}},
            {"one paced track and a dead one beside it:", {desk, dead}},
            {"two paced PulseAudio tracks:", {desk, desk2}},
        };
        for (const auto& [label, tracks] : cases) {
            settings.tracks = tracks;
            const auto figures = run(settings, home.path());
            if (!figures) return 1;
            print(label, *figures);
            std::fflush(stdout);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
