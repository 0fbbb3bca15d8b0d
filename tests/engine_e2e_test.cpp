// The engine end to end: a real ffmpeg recording a private Xvfb display (no audio tracks),
// saves through the engine's queues, the engine's own end when its ffmpeg is killed, and
// the start-up notice of a recorder that never writes its segment list (a stand-in, since a
// real ffmpeg on a live display always does). Every ffmpeg the engine started is looked up
// by its pid and must be gone at the end.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/engine.hpp"
#include "engine/process.hpp"
#include "engine/ring_list.hpp"
#include "support/environment.hpp"
#include "support/clip_timeline.hpp"
#include "support/fake_ffmpeg.hpp"
#include "support/screen_noise.hpp"
#include "support/tmpfs_mount.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The long join's size: its clip's seconds, and the noise that makes its bitrate high.
constexpr std::uint32_t kLongJoinSeconds = 30;
constexpr int kNoiseWidth = 640;
constexpr int kNoiseHeight = 360;

bool process_exists(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

// Our own child processes running `program`.
std::vector<pid_t> children_running(const std::string& program) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = test::read_file(entry.path() / "stat");
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid() && stat.substr(open + 1, close - open - 1) == program) found.push_back(std::stoi(name));
    }
    return found;
}

// The finished segments the ring's list names.
std::size_t listed_segments(const std::filesystem::path& ring) {
    std::ifstream in(ring / "ring.csv");
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) lines += !line.empty();
    return lines;
}

std::optional<EngineEvent> next_event(Engine& engine, std::chrono::milliseconds within = 15s) {
    auto received = engine.events.recv_until(Clock::now() + within);
    if (auto* event = std::get_if<EngineEvent>(&received)) return std::move(*event);
    return std::nullopt;
}

std::string describe(const std::optional<EngineEvent>& event) {
    if (!event) return "no event";
    if (auto* message = std::get_if<event::Message>(&*event)) return "Message: " + message->text;
    return "event #" + std::to_string(event->index());
}

// Waits (up to `limit`) until the ring's list names a whole replay of `settings` and two
// seconds more.
void wait_for_a_whole_list(const std::filesystem::path& ring, const Config& settings, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    const std::size_t whole_list = settings.replay_seconds + 2;
    while (listed_segments(ring) < whole_list && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
    ASSERT_GE(listed_segments(ring), whole_list) << "a whole ring list";
}

// Asks for one save and waits (up to `within` for each event) for its clip; every message
// on the way is a failure.
std::optional<ClipInfo> save_one(Engine& engine, std::chrono::seconds within) {
    engine.commands.send(command::Save{0ns, Origin::manual});
    for (std::optional<EngineEvent> event; (event = next_event(engine, within));) {
        if (auto* saved = std::get_if<event::ClipSaved>(&*event)) return saved->clip;
        if (auto* message = std::get_if<event::Message>(&*event)) ADD_FAILURE() << message->text;
    }
    return std::nullopt;
}

std::string video_codec(const std::filesystem::path& clip) {
    Command command("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries", "stream=codec_name", "-of",
                                "csv=p=0", clip.string()});
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output || !output->status.success()) return "";
    std::string text = output->stdout_bytes;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

double video_duration(const std::filesystem::path& clip) {
    Command command("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries", "stream=duration", "-of",
                                "csv=p=0", clip.string()});
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output || !output->status.success()) return 0.0;
    return std::strtod(output->stdout_bytes.c_str(), nullptr);
}

struct EngineFixture : ::testing::Test {
    test::TempDir home;
    test::ScopedEnv env{{"HOME", home.path().string()}, {"XDG_CACHE_HOME", std::nullopt}};
    EncoderProbes probes;

    Config config() const {
        Config config = default_config();
        config.tracks.clear();
        config.clips_dir = home / "clips";
        config.replay_seconds = 5;
        return config;
    }
};

struct RealEngineFixture : EngineFixture {
    test::XvfbServer xvfb;
    test::ScopedEnv display{{"DISPLAY", xvfb.display()}, {"VANTREL_FFMPEG", std::nullopt}};

    // Starts the engine and returns its recorder ffmpeg's pid once EncoderChosen has come.
    pid_t start(std::optional<Engine>& engine) {
        auto spawned = spawn_engine(config(), probes);
        if (!spawned) {
            ADD_FAILURE() << format_engine_error(spawned.error());
            return -1;
        }
        engine.emplace(std::move(*spawned));
        auto first = next_event(*engine, 1s);
        // A machine too busy for ffmpeg to finish its first segment within 8 s gets the
        // start-up notice first.
        if (first && std::holds_alternative<event::Message>(*first) &&
            std::get<event::Message>(*first).text.starts_with("no video captured yet: "))
            first = next_event(*engine, 1s);
        const auto* chosen = first ? std::get_if<event::EncoderChosen>(&*first) : nullptr;
        EXPECT_TRUE(chosen != nullptr) << describe(first);
        if (chosen) {
            EXPECT_EQ(chosen->encoder, Encoder::libx264);  // no GPU here
        }
        const auto children = children_running("ffmpeg");
        EXPECT_EQ(children.size(), 1u);
        return children.empty() ? -1 : children.front();
    }
};

TEST_F(RealEngineFixture, SavesRealClipsReportsAnUnchangedReplayAgainAndStops) {
    std::optional<Engine> engine;
    const pid_t ffmpeg = start(engine);
    ASSERT_GT(ffmpeg, 1);
    const auto ring = home / ".cache/vantrelclips/ring";
    const auto deadline = Clock::now() + 30s;
    while (listed_segments(ring) < 3 && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
    ASSERT_GE(listed_segments(ring), 3u) << "a few finished segments";

    // Frozen, the recorder finishes no segment between the two saves.
    ASSERT_EQ(::kill(ffmpeg, SIGSTOP), 0);
    engine->commands.send(command::Save{0ns, Origin::manual});
    engine->commands.send(command::Save{0ns, Origin::manual});
    auto first = next_event(*engine, 30s);
    auto second = next_event(*engine, 30s);
    ::kill(ffmpeg, SIGCONT);
    ASSERT_TRUE(first && std::holds_alternative<event::ClipSaved>(*first)) << describe(first);
    ASSERT_TRUE(second && std::holds_alternative<event::ClipSaved>(*second)) << describe(second);
    const ClipInfo& clip = std::get<event::ClipSaved>(*first).clip;
    const ClipInfo& again = std::get<event::ClipSaved>(*second).clip;
    EXPECT_EQ(again.path, clip.path);
    EXPECT_EQ(again.size, clip.size);
    EXPECT_EQ(clip.path.parent_path(), home / "clips");
    EXPECT_EQ(clip.path.extension(), ".mp4");
    EXPECT_EQ(std::filesystem::file_size(clip.path), clip.size);
    EXPECT_EQ(video_codec(clip.path), "h264");

    engine->commands.send(command::Stop{});
    auto stopped = next_event(*engine);
    EXPECT_TRUE(stopped && std::holds_alternative<event::Stopped>(*stopped)) << describe(stopped);
    engine.reset();
    EXPECT_FALSE(process_exists(ffmpeg));
    EXPECT_TRUE(children_running("ffmpeg").empty());
}

TEST_F(RealEngineFixture, KilledRecorderEndsTheEngine) {
    std::optional<Engine> engine;
    const pid_t ffmpeg = start(engine);
    ASSERT_GT(ffmpeg, 1);
    ASSERT_EQ(::kill(ffmpeg, SIGKILL), 0);
    auto message = next_event(*engine);
    ASSERT_TRUE(message && std::holds_alternative<event::Message>(*message)) << describe(message);
    EXPECT_EQ(std::get<event::Message>(*message).text.rfind("recorder stopped: ", 0), 0u);
    auto stopped = next_event(*engine);
    EXPECT_TRUE(stopped && std::holds_alternative<event::Stopped>(*stopped)) << describe(stopped);
    EXPECT_FALSE(process_exists(ffmpeg));  // reaped by the engine itself, before Stopped
    engine.reset();
}

// A join that takes longer than the recorder needs to come round to a chosen segment,
// although it read every segment in time: it sleeps once it is done (a slow disk, a busy
// machine, at the end of a long clip), the real join stalls as it opens the newest
// segment, or it stalls when it reopens the clip to move its index to the front ("+faststart"
// on a slow disk), all the while holding the newest segment open (ffmpeg closes its last
// input only when it exits) until well after the recorder has written it again. A stand-in
// ffmpeg runs every other ffmpeg as it is and notes the lists that the recorder had written
// when the join began and when it ended.
TEST_F(RealEngineFixture, SlowJoinThatReadEverySegmentInTimeKeepsItsClip) {
    const auto ring = home / ".cache/vantrelclips/ring";
    struct Case {
        const char* what;
        std::string join;  // the shell command that runs the join's "$@"
        std::uint32_t replay_seconds;
        bool newest_comes_round;
    };
    // Each stall lasts until the recorder has come round to the chosen segment it names (the
    // oldest or the newest): until the list names it again with a later end, however long a
    // busy machine takes to get there. strace stops the join at the system call it names.
    const auto stall = [](const std::string& path, const std::string& when, const char* segment) {
        return "strace -f -qq -o /dev/null -P \"" + path + "\" -e trace=openat -e inject=openat:signal=STOP" + when +
               " ffmpeg \"$@\" &\n"
               "tracer=$!\n"
               "come_round " + segment + "\n"
               "kill -CONT $(pgrep -P $tracer)\n"
               "wait $tracer\n"
               "status=$?";
    };
    const Case cases[] = {
        {"sleeps once done", "ffmpeg \"$@\"; status=$?; come_round 1", 10, false},
        {"stalls as it opens its last segment",
         "last=$(grep '^file ' \"$list\" | tail -n 1 | sed \"s/^file '//; s/'$//\")\n" + stall("$last", "", "1"), 10,
         false},
        {"stalls moving the clip's index, its newest segment open",
         "for clip; do :; done\n" + stall("$clip", ":when=2", "$") , 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir bin;
        const std::string dir = bin.path().string();
        const std::string list_now = (ring / "ring.csv").string();
        const auto wrapper = bin.write(
            "ffmpeg", "#!/bin/sh\n"
                      "case \" $* \" in *\" concat \"*) ;; *) exec ffmpeg \"$@\";; esac\n"
                      "echo >> '" + dir + "/joins'\n"
                      "list=" + (ring / "save.txt").string() + "\n"
                      "cp '" + list_now + "' '" + dir + "/list_at_start'\n"
                      // come_round 1 (the oldest chosen) or $ (the newest): waits, two minutes
                      // at most, until the recorder lists that segment again, with a later end.
                      "come_round() {\n"
                      "  name=$(grep '^file ' \"$list\" | sed -n \"${1}p\" | sed \"s/^file '//; s/'$//; s|.*/||\")\n"
                      "  end=$(grep \"^$name,\" '" + dir + "/list_at_start' | cut -d, -f3)\n"
                      "  n=0\n"
                      "  until awk -F, -v n=\"$name\" -v e=\"$end\" '$1 == n && $3 + 0 > e + 0 { found = 1 } END { exit !found }' "
                      "'" + list_now + "' || [ $n -ge 1200 ]; do sleep 0.1; n=$((n + 1)); done\n"
                      "}\n" +
                      c.join + "\n"
                      "cp '" + list_now + "' '" + dir + "/list_at_end'\n"
                      "exit $status\n");
        std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
        test::ScopedEnv stand_in{{"VANTREL_FFMPEG", dir}};

        Config settings = config();
        settings.replay_seconds = c.replay_seconds;
        auto spawned = spawn_engine(settings, probes);
        ASSERT_TRUE(spawned) << format_engine_error(spawned.error());
        Engine engine = std::move(*spawned);
        ASSERT_NO_FATAL_FAILURE(wait_for_a_whole_list(ring, settings, 60s));
        const auto clip = save_one(engine, 90s);
        ASSERT_TRUE(clip) << "no clip";
        EXPECT_EQ(test::read_file(bin / "joins"), "\n") << "joined once";

        // The recorder did come round to a chosen segment while the join went on: its name is
        // listed again, with a later end.
        const auto at_start = parse_ring_list(test::read_file(bin / "list_at_start"));
        const auto at_end = parse_ring_list(test::read_file(bin / "list_at_end"));
        const auto chosen = choose_segments(at_start, settings.replay_seconds);
        const auto came_round = [&](const Segment& segment) {
            return std::ranges::any_of(at_end, [&](const Segment& later) {
                return later.name == segment.name && later.end > segment.end;
            });
        };
        EXPECT_TRUE(std::ranges::any_of(chosen, came_round)) << test::read_file(bin / "list_at_end");
        if (c.newest_comes_round) {
            EXPECT_TRUE(came_round(chosen.back())) << test::read_file(bin / "list_at_end");
        }

        // The clip holds the ten seconds that were chosen, and decodes without an error.
        Command decode("ffmpeg", {"-v", "error", "-i", clip->path.string(), "-f", "null", "-"});
        decode.stdin_mode = Stdio::null_device;
        const auto decoded = Process::output(std::move(decode));
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(decoded->status.success() && decoded->stderr_bytes.empty()) << decoded->stderr_bytes;
        EXPECT_NEAR(clip->meta ? clip->meta->duration_s : 0.0, c.replay_seconds, 0.5);
        EXPECT_NEAR(video_duration(clip->path), c.replay_seconds, 0.5);

        engine.commands.send(command::Stop{});
    }
}

// A join that stalls in the middle of its oldest segment (strace stops it after its third
// read of the file) until the recorder comes round to that segment, while the screen has
// turned still: the recorder cuts the segment short to begin a still second in it, smaller
// than what the join had read, so that the join's next read finds the end of the file and
// reads nothing; then the join goes on with the next segments, which the recorder has not
// reached. That clip would lack the rest of its first second, the later seconds in their
// places: a hole. The save joins again, and the clip it keeps holds every frame of its
// seconds.
TEST_F(RealEngineFixture, JoinThatFindsItsSegmentCutShortUnderItJoinsAgain) {
    const auto ring = home / ".cache/vantrelclips/ring";
    test::TempDir bin;
    const std::string dir = bin.path().string();
    const auto wrapper = bin.write(
        "ffmpeg", "#!/bin/sh\n"
                  "case \" $* \" in *\" concat \"*) ;; *) exec ffmpeg \"$@\";; esac\n"
                  "echo >> '" + dir + "/joins'\n"
                  "if [ \"$(wc -l < '" + dir + "/joins')\" -gt 1 ]; then exec ffmpeg \"$@\"; fi\n"
                  "oldest=$(grep '^file ' '" + (ring / "save.txt").string() + "' | head -n 1 | sed \"s/^file '//; s/'$//\")\n"
                  "stat -c %s \"$oldest\" > '" + dir + "/size_at_start'\n"
                  "strace -f -qq -o /dev/null -P \"$oldest\" -e trace=read -e inject=read:signal=STOP:when=3 "
                  "ffmpeg \"$@\" &\n"
                  "tracer=$!\n"
                  // Until the recorder has cut it short (a minute at most, so that the test ends).
                  "n=0\n"
                  "while [ \"$(stat -c %s \"$oldest\")\" -ge 98304 ] && [ $n -lt 6000 ]; do sleep 0.01; n=$((n + 1)); done\n"
                  "stat -c %s \"$oldest\" > '" + dir + "/size_when_cut'\n"
                  "kill -CONT $(pgrep -P $tracer)\n"
                  "wait $tracer\n");
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    test::ScopedEnv stand_in{{"VANTREL_FFMPEG", dir}};

    test::ScreenNoise noise(xvfb.display(), 320, 240);
    Config settings = config();
    auto spawned = spawn_engine(settings, probes);
    ASSERT_TRUE(spawned) << format_engine_error(spawned.error());
    Engine engine = std::move(*spawned);
    ASSERT_NO_FATAL_FAILURE(wait_for_a_whole_list(ring, settings, 60s));
    noise.still();
    const auto clip = save_one(engine, 120s);
    ASSERT_TRUE(clip) << "no clip";
    // The first join's oldest segment: a noisy second, more than three reads, as the join
    // began; cut short, below what the join had read, when the join went on.
    EXPECT_GT(std::stoul(test::read_file(bin / "size_at_start")), 3u * 32768) << "three reads of it";
    EXPECT_LT(std::stoul(test::read_file(bin / "size_when_cut")), 3u * 32768) << "cut short";
    EXPECT_EQ(test::read_file(bin / "joins"), "\n\n") << "joined again";

    const auto timeline = test::clip_timeline(clip->path, static_cast<int>(settings.fps), false);
    ASSERT_TRUE(timeline) << timeline.error();
    EXPECT_TRUE(timeline->video.off.empty()) << timeline->text();
    ASSERT_TRUE(clip->meta);
    EXPECT_NEAR(timeline->video.length, clip->meta->duration_s, 1.0 / settings.fps) << timeline->text();
    engine.commands.send(command::Stop{});
}

// A long join at a high bitrate, slowed to twice real time (a slow disk), with the ring on a
// file system that keeps no access times ("noatime"): from some ten seconds in, the recorder
// rewrites the segments that the join has already read, its writes between the join's reads.
// None of that is an overtake: the join keeps its clip the first time, and the clip holds
// every frame of its seconds.
TEST_F(RealEngineFixture, LongSlowJoinAtAHighBitrateOnANoatimeRingKeepsItsClip) {
    test::TmpfsMount cache(MS_NOATIME);
    test::ScopedEnv cache_home{{"XDG_CACHE_HOME", cache.path().string()}};
    const auto ring = cache / "vantrelclips/ring";
    test::TempDir bin;
    const std::string dir = bin.path().string();
    const auto wrapper = bin.write("ffmpeg", "#!/bin/sh\n"
                                             "case \" $* \" in *\" concat \"*) ;; *) exec ffmpeg \"$@\";; esac\n"
                                             "echo >> '" + dir + "/joins'\n"
                                             "exec ffmpeg -readrate 2 \"$@\"\n");
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    test::ScopedEnv stand_in{{"VANTREL_FFMPEG", dir}};

    test::ScreenNoise noise(xvfb.display(), kNoiseWidth, kNoiseHeight);
    Config settings = config();
    settings.replay_seconds = kLongJoinSeconds;
    settings.quality = 1;
    settings.fps = 30;
    auto spawned = spawn_engine(settings, probes);
    ASSERT_TRUE(spawned) << format_engine_error(spawned.error());
    Engine engine = std::move(*spawned);
    ASSERT_NO_FATAL_FAILURE(wait_for_a_whole_list(ring, settings, std::chrono::seconds(2 * kLongJoinSeconds + 60)));
    const auto clip = save_one(engine, 300s);
    ASSERT_TRUE(clip) << "no clip";
    EXPECT_EQ(test::read_file(bin / "joins"), "\n") << "joined once";
    const auto timeline = test::clip_timeline(clip->path, 30, false);
    ASSERT_TRUE(timeline) << timeline.error();
    std::printf("%.1f MB, %s\n", static_cast<double>(clip->size) / 1e6, timeline->text().c_str());
    EXPECT_TRUE(timeline->video.off.empty()) << timeline->text();
    ASSERT_TRUE(clip->meta);
    EXPECT_NEAR(timeline->video.length, clip->meta->duration_s, 1.0 / 30) << timeline->text();
    engine.commands.send(command::Stop{});
}

TEST_F(EngineFixture, RecorderWithoutASegmentListGetsTheNoticeAndRuns) {
    test::FakeFfmpeg ffmpeg;
    ffmpeg.set_recording({{"*", "wait"}});
    test::ScopedEnv fake{{"VANTREL_FFMPEG", ffmpeg.dir().string()}, {"DISPLAY", ":59999"}};
    Config settings = config();
    settings.encoder = "libx264";
    const auto before = Clock::now();
    auto engine = spawn_engine(settings, probes);
    ASSERT_TRUE(engine) << format_engine_error(engine.error());
    // One wait of 8 s; a second one would make it 16, far more than a busy machine adds.
    EXPECT_GE(Clock::now() - before, 8s);
    EXPECT_LT(Clock::now() - before, 16s);
    auto notice = next_event(*engine, 1s);
    ASSERT_TRUE(notice && std::holds_alternative<event::Message>(*notice)) << describe(notice);
    EXPECT_EQ(std::get<event::Message>(*notice).text,
              "no video captured yet: is the display asleep or the PC locked? Recording starts once the screen is on.");
    auto chosen = next_event(*engine, 1s);
    EXPECT_TRUE(chosen && std::holds_alternative<event::EncoderChosen>(*chosen)) << describe(chosen);
    const auto recorder = children_running("sleep");  // what the stand-in turned into
    ASSERT_EQ(recorder.size(), 1u);
    engine->commands.send(command::Stop{});
    auto stopped = next_event(*engine);
    EXPECT_TRUE(stopped && std::holds_alternative<event::Stopped>(*stopped)) << describe(stopped);
    EXPECT_FALSE(process_exists(recorder.front()));
}

TEST_F(EngineFixture, InvalidSettingsStartNothing) {
    test::FakeFfmpeg ffmpeg;
    test::ScopedEnv fake{{"VANTREL_FFMPEG", ffmpeg.dir().string()}};
    Config settings = config();
    settings.replay_seconds = 1;
    auto engine = spawn_engine(settings, probes);
    ASSERT_FALSE(engine);
    EXPECT_EQ(format_engine_error(engine.error()), "config: replay_seconds must be 5..=600");
    EXPECT_TRUE(ffmpeg.calls().empty());
}

}  // namespace
}  // namespace vc
