// The real program from start to end: its terminal texts, saves by Enter and by the global
// hotkey, screen switches, the orderly stop, the engine ending by itself, and the fatal path.
// Each run uses a private Xvfb, a temporary home directory and pipes on all three streams.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/process.hpp"
#include "support/environment.hpp"
#include "support/pulse_server.hpp"
#include "support/running_program.hpp"
#include "support/terminal_program.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Deadlines for what must come, generous enough for a busy machine under the sanitizers:
// a passing test never waits them out.
constexpr auto kStart = 120s;  // encoder probe and first segment
constexpr auto kSave = 120s;
constexpr auto kQuick = 30s;

const std::string kBanner = "Vantrel Clips 0.0.1 - PRE-ALPHA: very buggy, may not work at all.";
const std::string kPrompt =
    "Recording. Press Alt+F8 or Enter to save a clip, d <number> + Enter to switch screens, q + Enter to quit.";

// A fresh home directory, no colour and the default log filter for every run.
class ProgramTest : public testing::Test {
protected:
    ProgramTest() {
        fs::create_directories(home_ / "run");
        fs::permissions(home_ / "run", fs::perms::owner_all);
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "RUST_LOG", "VANTREL_FFMPEG",
                                 "VANTREL_VOICE_DIR"})
            env_.set(name, std::nullopt);
        env_.set("HOME", home_.path().string());
        env_.set("XDG_RUNTIME_DIR", (home_ / "run").string());  // no sound server of another test
        env_.set("NO_COLOR", "1");
        env_.set("DISPLAY", ":0");  // replaced by a real server where a run records
    }

    fs::path settings_path() const { return home_.path() / ".config" / "vantrelclips" / "config.yaml"; }
    fs::path clips_dir() const { return home_.path() / "Videos" / "Vantrel Clips"; }

    test::TempDir home_;
    test::ScopedEnv env_;
};

class RecordingTest : public ProgramTest {
protected:
    void SetUp() override {
        x_.emplace(screen_);
        env_.set("DISPLAY", x_->display());
    }

    // The program once it recorded: its encoder line is out and its recorder runs.
    std::unique_ptr<test::RunningProgram> start(std::vector<std::string> args = {},
                                                test::RunningProgram::Input input = test::RunningProgram::Input::pipe) {
        auto program = std::make_unique<test::RunningProgram>(std::move(args), input);
        EXPECT_TRUE(program->wait_for_stdout("Encoder: libx264\n", kStart)) << program->out() << program->err();
        wait_until_recorded();
        return program;
    }

    // Until the recorder has listed its first segment. A save asked for before has nothing
    // to join ("nothing recorded yet"), and a busy machine may take longer than the start's
    // own 8 s wait to get there.
    void wait_until_recorded() const {
        const fs::path list = home_.path() / ".cache" / "vantrelclips" / "ring" / "ring.csv";
        const auto deadline = std::chrono::steady_clock::now() + kStart;
        while (!fs::exists(list) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(fs::exists(list)) << "no segment was ever listed";
    }

    // Until the ring lists `segments` segments (its list names at most replay_seconds + 2).
    void wait_until_listed(std::size_t segments) const {
        const fs::path list = home_.path() / ".cache" / "vantrelclips" / "ring" / "ring.csv";
        const auto deadline = std::chrono::steady_clock::now() + kStart;
        const auto listed = [&] {
            const std::string text = test::read_file(list);
            return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        };
        while (listed() < segments && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
        EXPECT_GE(listed(), segments) << "the ring never listed " << segments << " segments";
    }

    // A stand-in ffmpeg whose joins read their segments at `rate` times their own speed, so
    // that a join takes seconds; every other run is the real ffmpeg's.
    void slow_joins(const std::string& rate) {
        const auto wrapper = home_.write("slow-joins/ffmpeg", "#!/bin/sh\n"
                                                              "case \" $* \" in *\" concat \"*) exec ffmpeg -readrate " +
                                                                  rate + " \"$@\";; esac\n"
                                                              "exec ffmpeg \"$@\"\n");
        fs::permissions(wrapper, fs::perms::owner_all);
        env_.set("VANTREL_FFMPEG", wrapper.parent_path().string());
    }

    // The join of a save the program just asked for, once it has begun to write the clip.
    std::optional<pid_t> join_under_way(pid_t program) const {
        const auto deadline = std::chrono::steady_clock::now() + kSave;
        std::optional<pid_t> join;
        while (std::chrono::steady_clock::now() < deadline && !(join && !the_clip().empty())) {
            if (!join) join = test::join_pid(program);
            std::this_thread::sleep_for(5ms);
        }
        return the_clip().empty() ? std::nullopt : join;
    }

    // The one clip in the clips directory, or nothing.
    fs::path the_clip() const {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(clips_dir(), ignored))
            if (entry.path().extension() == ".mp4") return entry.path();
        return {};
    }

    // A clip that plays: it decodes without an error and lasts the whole replay.
    static void expect_whole_clip(const fs::path& clip, double seconds) {
        ASSERT_FALSE(clip.empty()) << "no clip";
        Command decode("ffmpeg", {"-v", "error", "-i", clip.string(), "-f", "null", "-"});
        decode.stdin_mode = Stdio::null_device;
        const auto decoded = Process::output(std::move(decode));
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(decoded->status.success() && decoded->stderr_bytes.empty()) << clip << ": " << decoded->stderr_bytes;
        EXPECT_EQ(stream_of(clip), "h264");
        Command probe("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", clip.string()});
        probe.stdin_mode = Stdio::null_device;
        const auto probed = Process::output(std::move(probe));
        ASSERT_TRUE(probed);
        const double length = std::strtod(probed->stdout_bytes.c_str(), nullptr);
        std::printf("%s: %.3f s (%ju bytes)\n", clip.filename().c_str(), length,
                    static_cast<std::uintmax_t>(fs::file_size(clip)));
        EXPECT_NEAR(length, seconds, 0.5) << "the whole replay";
    }

    // Waits for the end of a process that is no child of the test's, at most `limit`.
    static bool ends_within(pid_t pid, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (test::process_alive(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        return !test::process_alive(pid);
    }

    static int press_hotkey() { return xdotool({"key", "alt+F8"}); }

    static int xdotool(std::vector<std::string> args) {
        Command command("xdotool", std::move(args));
        command.stdin_mode = Stdio::null_device;
        auto run = Process::output(std::move(command));
        return run ? run->status.code().value_or(-1) : -1;
    }

    // The clip of a "Saved {} ({} MB)" line, the last one when there are several.
    static fs::path saved_clip(const std::string& out) {
        const auto at = out.rfind("Saved ");
        if (at == std::string::npos) return {};
        const auto end = out.find(" (", at);
        return out.substr(at + 6, end - at - 6);
    }

    // "h264", or for "a:0" e.g. "aac,Microphone".
    static std::string stream_of(const fs::path& clip, const std::string& stream = "v:0") {
        Command command("ffprobe", {"-v", "error", "-select_streams", stream, "-show_entries",
                                    stream == "v:0" ? "stream=codec_name" : "stream=codec_name:stream_tags=handler_name",
                                    "-of", "csv=p=0", clip.string()});
        command.stdin_mode = Stdio::null_device;
        auto run = Process::output(std::move(command));
        if (!run) return {};
        std::string codec = run->stdout_bytes;
        while (!codec.empty() && codec.back() == '\n') codec.pop_back();
        return codec;
    }

    // The program's end after it printed its last line: exit 0 and none of its ffmpeg left.
    void expect_clean_end(test::RunningProgram& program, const std::vector<test::ProcessEntry>& ffmpegs) const {
        const auto status = program.wait_for_exit(kSave);
        ASSERT_TRUE(status.has_value()) << "still running";
        EXPECT_EQ(status->code(), 0) << status->text();
        for (const auto& ffmpeg : ffmpegs) EXPECT_FALSE(test::process_alive(ffmpeg.pid)) << "ffmpeg " << ffmpeg.pid;
        expect_nothing_left(home_.path());
    }

    // Once the program has ended, what it left behind has another parent: only a save's
    // join (or its thumbnail) may outlive it, to finish its clip, and it ends by itself.
    static void expect_nothing_left(const fs::path& home) {
        for (const auto& left : test::ffmpeg_with_home(home)) {
            std::string args;
            for (const std::string& arg : test::process_arguments(left.pid)) args += " " + arg;
            EXPECT_EQ(args.find(" -segment_list "), std::string::npos) << "the recorder outlived the program";
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            while (test::process_alive(left.pid) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(50ms);
            EXPECT_FALSE(test::process_alive(left.pid)) << "an ffmpeg outlived the program:" << args;
        }
    }

    std::string screen_ = "1280x720x24";
    std::optional<test::XvfbServer> x_;
};

// Two monitors side by side on one wide Xvfb screen, as an `xrandr` first on PATH shows
// them; the test may move them between runs of xrandr.
class TwoMonitorTest : public RecordingTest {
protected:
    TwoMonitorTest() {
        screen_ = "2560x720x24";
        home_.write("bin/xrandr", "#!/bin/sh\ncat \"$HOME/monitors.txt\"\n");
        fs::permissions(home_ / "bin/xrandr", fs::perms::owner_all);
        const char* path = std::getenv("PATH");
        env_.set("PATH", (home_ / "bin").string() + ":" + (path ? path : "/usr/bin:/bin"));
        place_second_monitor(1280);
    }

    void place_second_monitor(int x) const {
        home_.write("monitors.txt", "Monitors: 2\n 0: +*A 1280/339x720/190+0+0  A\n 1: +B 1280/339x720/190+" +
                                        std::to_string(x) + "+0  B\n");
    }

    // The grab origin of the running recorder, as its command line gives it (":N+x,y").
    std::string grabbed(pid_t program) const {
        const auto recorder = test::recorder_pid(program);
        if (!recorder) return "no recorder";
        const std::string cmdline = test::read_file("/proc/" + std::to_string(*recorder) + "/cmdline");
        const std::string origin = x_->display() + "+";
        const auto at = cmdline.find(origin);
        return at == std::string::npos ? cmdline : cmdline.substr(at, cmdline.find('\0', at) - at);
    }
};

TEST_F(TwoMonitorTest, SwitchGrabsTheOtherMonitorAndAFailedRestartWaitsForALine) {
    auto program = start();
    EXPECT_NE(program->out().find("Screens:\n  * Screen 1 - 1280x720, primary (A)\n    Screen 2 - 1280x720 (B)\n"),
              std::string::npos)
        << program->out();
    EXPECT_EQ(grabbed(program->pid()), x_->display() + "+0,0");

    program->type("d 2\n");
    ASSERT_TRUE(program->wait_for_stdout("Switching to Screen 2 - 1280x720 (B)...\n", kQuick)) << program->out();
    ASSERT_TRUE(program->wait_for_stdout("Encoder: libx264\n", kStart, 2)) << program->out() << program->err();
    EXPECT_EQ(grabbed(program->pid()), x_->display() + "+1280,0");
    EXPECT_NE(test::read_file(settings_path()).find("display: 1\n"), std::string::npos);

    // The monitor now lies outside the X screen: the new recorder cannot start, and the
    // program, whose standard input its reader thread holds, still ends after one line.
    place_second_monitor(5000);
    const auto old_recorder = test::recorder_pid(program->pid());
    program->type("d 2\n");
    ASSERT_TRUE(program->wait_for_stderr("Press Enter to close.\n", kStart)) << program->err();
    EXPECT_NE(program->err().find("error: could not start recording: "), std::string::npos) << program->err();
    program->read_for(300ms);
    ASSERT_TRUE(program->running()) << "must wait for a line";
    EXPECT_TRUE(test::ffmpeg_children(program->pid()).empty());
    ASSERT_TRUE(old_recorder.has_value());
    EXPECT_FALSE(test::process_alive(*old_recorder));
    program->type("\n");
    const auto status = program->wait_for_exit(kQuick);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->code(), 1);
}

bool is_log_line(const std::string& line) {
    // "2026-01-02T03:04:05.123456Z  WARN ...": UTC time first.
    return line.size() > 27 && line[4] == '-' && line[10] == 'T' && line.find("Z ") != std::string::npos;
}

TEST_F(RecordingTest, StartsWithItsTextsSavesOnEnterAndStopsOnQuit) {
    auto program = start();
    const std::vector<std::string> lines = program->out_lines();

    // The texts of the start, then the start's log lines, then the prompt, then the engine's events.
    const std::vector<std::string> opening = {kBanner,
                                              "",
                                              "Settings:  " + settings_path().string(),
                                              "Clips go to " + clips_dir().string(),
                                              "Keeps the last 30 s at 60 fps",
                                              "  audio track Microphone (Input, default device)",
                                              "Screens:",
                                              "  * Screen 1 - 1280x720 (screen)"};
    ASSERT_GE(lines.size(), opening.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + opening.size()), opening);
    const auto prompt = std::find(lines.begin(), lines.end(), kPrompt);
    ASSERT_NE(prompt, lines.end()) << program->out();
    EXPECT_EQ(*(prompt - 1), "");
    const auto running_log = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return is_log_line(line) && line.find(" INFO replay buffer running encoder=\"libx264\"") != std::string::npos;
    });
    EXPECT_LT(running_log, prompt - 1) << program->out();
    for (auto line = lines.begin() + opening.size(); line < prompt - 1; ++line)
        EXPECT_TRUE(is_log_line(*line)) << *line;
    EXPECT_EQ(std::find(prompt, lines.end(), "Encoder: libx264") - prompt, 1) << program->out();

    // The first start writes the settings file with the defaults.
    const std::string settings = test::read_file(settings_path());
    EXPECT_NE(settings.find("display: 0\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("hotkey: Alt+F8\n"), std::string::npos) << settings;

    const auto ffmpegs = test::ffmpeg_children(program->pid());
    ASSERT_TRUE(test::recorder_pid(program->pid()).has_value());

    program->type("\n");
    ASSERT_TRUE(program->wait_for_stdout(" MB)\n", kSave)) << program->out() << program->err();
    const fs::path clip = saved_clip(program->out());
    EXPECT_EQ(clip.parent_path(), clips_dir());
    EXPECT_EQ(clip.extension(), ".mp4");
    EXPECT_EQ(stream_of(clip), "h264");
    EXPECT_TRUE(fs::is_regular_file(fs::path(clip).replace_extension(".json")));
    EXPECT_TRUE(fs::is_regular_file(clips_dir() / ".thumbs" / fs::path(clip).replace_extension(".jpg").filename()));

    // "q" right after a save request: the stop still prints the save's line, as it waits up to
    // 10 s for each word of the engine (on a busy machine the save may even be done before the
    // "q" is read, and its line comes first). A save that outlasts that (a very busy machine)
    // ends the program without its line, but only after those 10 s.
    const auto quit = std::chrono::steady_clock::now();
    program->type("\nq\n");
    ASSERT_TRUE(program->wait_for_stdout("Stopping...\n", kQuick)) << program->out() << program->err();
    expect_clean_end(*program, ffmpegs);
    const std::string& out = program->out();
    const std::string after_stop = out.substr(out.find("Stopping...\n") + std::string("Stopping...\n").size());
    std::size_t saved_lines = 0;
    for (const auto& line : program->out_lines()) saved_lines += line.starts_with("Saved ") && line.ends_with(" MB)");
    if (saved_lines < 2) {
        EXPECT_TRUE(after_stop.empty()) << out;
        EXPECT_GE(std::chrono::steady_clock::now() - quit, 10s) << "the stop gave up on the save early\n"
                                                                << out << program->err();
    } else {
        EXPECT_EQ(saved_lines, 2u) << out;
        EXPECT_TRUE(after_stop.empty() || (after_stop.starts_with("Saved ") && out.ends_with(" MB)\n"))) << out;
    }
}

// Also: a hotkey that does not parse leaves Enter alone, and voice commands without their
// pack stay off; the program killed outright takes its recorder with it.
TEST_F(RecordingTest, SwitchesScreensAndRefusesAMissingOne) {
    home_.write(".config/vantrelclips/config.yaml", "hotkey: Alt+\nvoice:\n  enabled: true\n");
    auto program = start();
    const std::string notices =
        "  audio track Microphone (Input, default device)\n"
        "  voice commands are on but the voice pack isn't installed; they will stay off\n"
        "Screens:\n";
    EXPECT_NE(program->out().find(notices), std::string::npos) << program->out();
    EXPECT_NE(program->out().find("(hotkey unavailable: Alt+: Found empty token while parsing hotkey: Alt+)\n\n"
                                  "Recording. Press Enter to save a clip, d <number> + Enter to switch screens, "
                                  "q + Enter to quit.\n"),
              std::string::npos)
        << program->out();

    const auto first_recorder = test::recorder_pid(program->pid());
    ASSERT_TRUE(first_recorder.has_value());

    // A screen that does not exist changes nothing: the same recorder goes on.
    program->type("d 5\n");
    ASSERT_TRUE(program->wait_for_stderr("error: config: screen 5 doesn't exist; available: 1\n", kQuick))
        << program->err();
    program->read_for(500ms);
    EXPECT_EQ(program->out().find("Switching"), std::string::npos);
    EXPECT_EQ(test::recorder_pid(program->pid()), first_recorder);

    program->type("d\n");
    EXPECT_TRUE(program->wait_for_stdout("Screens:\n  * Screen 1 - 1280x720 (screen)\n", kQuick, 2)) << program->out();

    // Switching to the recorded screen restarts the engine and writes the settings again.
    fs::remove(settings_path());
    program->type("d 1\n");
    ASSERT_TRUE(program->wait_for_stdout("Switching to Screen 1 - 1280x720 (screen)...\n", kQuick)) << program->out();
    ASSERT_TRUE(program->wait_for_stdout("Encoder: libx264\n", kStart, 2)) << program->out() << program->err();
    const auto second_recorder = test::recorder_pid(program->pid());
    ASSERT_TRUE(second_recorder.has_value());
    EXPECT_NE(second_recorder, first_recorder);
    EXPECT_FALSE(test::process_alive(*first_recorder));
    const std::string settings = test::read_file(settings_path());
    EXPECT_NE(settings.find("display: 0\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("hotkey: Alt+\n"), std::string::npos) << settings;

    // The new engine saves as the old one did.
    wait_until_recorded();
    program->type("\n");
    EXPECT_TRUE(program->wait_for_stdout(" MB)\n", kSave)) << program->out() << program->err();

    // Killed at once, the program leaves no recorder behind (its parent-death signal).
    ASSERT_EQ(::kill(program->pid(), SIGKILL), 0);
    ASSERT_TRUE(program->wait_for_exit(kQuick).has_value());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (test::process_alive(*second_recorder) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(test::process_alive(*second_recorder));
}

// A settings file that cannot be written, standard input at its end, a hotkey save, and a
// recorder that dies while the audio mixer feeds it: the program records on, then reports
// the stop and ends normally (a write into the dead recorder's pipe must not end it).
TEST_F(RecordingTest, RecordsOnWithoutSettingsFileOrInputAndEndsWithItsRecorder) {
    fs::create_directories(settings_path().parent_path());
    fs::create_symlink("/proc/vantrel-missing/config.yaml", settings_path());
    // The default microphone: libasound's file device, which reads silence from a file.
    const auto silence = home_.write("silence.raw", std::string(8 * 48000, '\0'));
    home_.write(".asoundrc", "pcm.!default { type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" +
                                 silence.string() + "\"; format \"raw\" }\n");
    auto program = start();
    EXPECT_NE(program->out().find(" INFO audio source opened label=\"Microphone\""), std::string::npos) << program->out();
    EXPECT_NE(program->err().find("warning: could not write settings to " + settings_path().string() + ": writing " +
                                  settings_path().string() + ": No such file or directory (os error 2)\n"),
              std::string::npos)
        << program->err();

    program->close_input();
    program->read_for(500ms);
    ASSERT_TRUE(program->running());
    const auto recorder = test::recorder_pid(program->pid());
    ASSERT_TRUE(recorder.has_value());

    ASSERT_EQ(press_hotkey(), 0);
    ASSERT_TRUE(program->wait_for_stdout(" MB)\n", kSave)) << program->out() << program->err();
    EXPECT_EQ(stream_of(saved_clip(program->out())), "h264");
    EXPECT_EQ(stream_of(saved_clip(program->out()), "a:0"), "aac,Microphone");

    const auto ffmpegs = test::ffmpeg_children(program->pid());
    ASSERT_EQ(::kill(*recorder, SIGKILL), 0);
    EXPECT_TRUE(program->wait_for_stderr("error: recorder stopped: ", kQuick)) << program->err();
    EXPECT_TRUE(program->wait_for_stdout("Recording stopped.\n", kQuick)) << program->out();
    expect_clean_end(*program, ffmpegs);
}

// Ended from outside while a save's join writes the clip (a kill, a closed terminal), the
// program leaves the join to finish: the clip is whole and plays, though its metadata and
// thumbnail never come. A stand-in runs the real ffmpeg but stops each join just before
// it starts; the test then lets it go a millisecond at a time until it has created the
// clip, so that the end lands in the middle of the join as it would in a long one.
TEST_F(RecordingTest, EndedDuringAJoinTheProgramLeavesAClipThatPlays) {
    const auto wrapper = home_.write("ffmpeg-bin/ffmpeg", "#!/bin/sh\n"
                                                          "case \" $* \" in *\" concat \"*) kill -STOP $$;; esac\n"
                                                          "exec ffmpeg \"$@\"\n");
    fs::permissions(wrapper, fs::perms::owner_all);
    env_.set("VANTREL_FFMPEG", wrapper.parent_path().string());
    const fs::path ring = home_.path() / ".cache" / "vantrelclips" / "ring";

    for (const int signal : {SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(::sigabbrev_np(signal));
        fs::remove_all(clips_dir());
        home_.write(".config/vantrelclips/config.yaml", "replay_seconds: 5\nencoder: libx264\ntracks: []\n");
        auto program = start();
        const auto recorded = std::chrono::steady_clock::now() + kStart;
        while (test::read_file(ring / "ring.csv").find("seg_00005.ts") == std::string::npos &&
               std::chrono::steady_clock::now() < recorded)
            std::this_thread::sleep_for(50ms);
        const auto recorder = test::recorder_pid(program->pid());
        ASSERT_TRUE(recorder.has_value());
        program->type("\n");

        // The join: the program's other ffmpeg child, stopped by itself before its exec.
        std::optional<test::ProcessEntry> join;
        const auto asked = std::chrono::steady_clock::now() + kSave;
        while (!join && std::chrono::steady_clock::now() < asked) {
            for (const auto& child : test::ffmpeg_children(program->pid()))
                if (child.pid != *recorder && child.state == 'T') join = child;
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(join.has_value()) << program->out() << program->err();
        // However the case ends, the stopped join does not outlive it.
        struct EndJoin {
            pid_t pid;
            ~EndJoin() {
                if (!test::process_alive(pid)) return;
                ::kill(pid, SIGCONT);
                ::kill(pid, SIGKILL);
            }
        } end_join{join->pid};
        const auto clip_made = [&] { return !the_clip().empty(); };
        for (int step = 0; step < 20000 && !clip_made(); ++step) {
            ::kill(join->pid, SIGCONT);
            std::this_thread::sleep_for(1ms);
            ::kill(join->pid, SIGSTOP);
        }
        ASSERT_TRUE(clip_made());

        ASSERT_EQ(::kill(program->pid(), signal), 0);
        const auto status = program->wait_for_exit(kQuick);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->signal(), signal) << status->text();
        ::kill(join->pid, SIGCONT);
        EXPECT_TRUE(ends_within(join->pid, kQuick)) << "the join never ended";
        expect_whole_clip(the_clip(), 5.0);
    }
}

// The user's terminal ends the program while a save's join runs: Ctrl+C, the terminal
// closed, or a kill of the program that led the terminal's session (`xterm -e`), which
// hangs up the terminal's foreground job. The join is out of the terminal's reach and
// finishes the clip, which plays whole. The stand-in joins at twice real time, so the end
// lands a fraction of a second or a second into a join of five.
TEST_F(RecordingTest, TerminalThatEndsTheProgramDuringAJoinLeavesTheWholeClip) {
    slow_joins("2");
    struct Case {
        const char* what;
        std::chrono::milliseconds into_the_join;
        void (*end)(test::TerminalProgram& program);
        int signal;  // what ended the program
    };
    const auto interrupt = [](test::TerminalProgram& program) { program.type("\x03"); };
    const Case cases[] = {
        {"Ctrl+C at once", 300ms, interrupt, SIGINT},
        {"Ctrl+C", 1s, interrupt, SIGINT},
        {"the terminal closed", 1s, [](test::TerminalProgram& program) { program.hang_up(); }, SIGHUP},
        {"the session's leader killed", 1s,
         [](test::TerminalProgram& program) { ::kill(program.pid(), SIGKILL); }, SIGKILL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(clips_dir());
        home_.write(".config/vantrelclips/config.yaml", "replay_seconds: 10\nencoder: libx264\ntracks: []\n");
        test::TerminalProgram program;
        ASSERT_TRUE(program.wait_for_output("Encoder: libx264", kStart)) << program.output();
        wait_until_listed(11);  // a whole replay, and not the recording's first second
        program.type("\n");
        const auto join = join_under_way(program.pid());
        ASSERT_TRUE(join.has_value()) << program.output();
        std::this_thread::sleep_for(c.into_the_join);

        c.end(program);
        const auto status = program.wait_for_exit(kQuick);
        ASSERT_TRUE(status.has_value()) << program.output();
        EXPECT_EQ(status->signal(), c.signal) << status->text();
        EXPECT_TRUE(ends_within(*join, kSave)) << "the join never ended";
        if (test::process_alive(*join)) ::kill(*join, SIGKILL);
        expect_whole_clip(the_clip(), 10.0);
    }
}

// Killed during a save and started again at once: the new start lets the earlier join
// finish reading the ring before it empties it, and says why it waits; the earlier clip is
// whole. The stand-in joins at real time, so the join outlasts the kill by seconds.
TEST_F(RecordingTest, StartRightAfterAKillDuringASaveLetsItsJoinFinish) {
    slow_joins("1");
    home_.write(".config/vantrelclips/config.yaml", "replay_seconds: 10\nencoder: libx264\ntracks: []\n");
    auto first = start();
    wait_until_listed(11);
    first->type("\n");
    const auto join = join_under_way(first->pid());
    ASSERT_TRUE(join.has_value()) << first->out() << first->err();
    ASSERT_EQ(::kill(first->pid(), SIGKILL), 0);
    ASSERT_TRUE(first->wait_for_exit(kQuick).has_value());
    ASSERT_TRUE(test::process_alive(*join)) << "the join ended before the new start";

    auto second = start();
    EXPECT_FALSE(test::process_alive(*join)) << "the new start went on while the join still read the ring";
    EXPECT_NE(second->out().find(
                  " INFO an earlier save is still joining its clip from the ring: waiting for it to finish\n"),
              std::string::npos)
        << second->out();
    if (test::process_alive(*join)) ::kill(*join, SIGKILL);
    expect_whole_clip(the_clip(), 10.0);

    const auto ffmpegs = test::ffmpeg_children(second->pid());
    second->type("q\n");
    expect_clean_end(*second, ffmpegs);
}

// A number field of a /proc/<pid> file ("VmRSS:" of status, "rchar:" of io).
long long proc_number(pid_t pid, const std::string& file, const std::string& field) {
    const std::string text = test::read_file("/proc/" + std::to_string(pid) + "/" + file);
    const auto at = text.find(field);
    return at == std::string::npos ? -1 : std::strtoll(text.c_str() + at + field.size(), nullptr, 10);
}

// Standard input that never ends its line (/dev/zero): the reader keeps only the line's
// first 64 KiB, so the program reads on, far past that, while its memory stays flat (a reader
// that kept the line would have grown by all it read), and the hotkey still saves. However
// slowly a busy machine reads, it reads on: the test waits for 32 MB, not for a time.
TEST_F(RecordingTest, EndlessLineOnStandardInputKeepsMemoryFlat) {
    home_.write(".config/vantrelclips/config.yaml", "encoder: libx264\ntracks: []\n");
    auto program = start({}, test::RunningProgram::Input::zeros);
    const long long read_before = proc_number(program->pid(), "io", "rchar:");
    const long long resident_before = proc_number(program->pid(), "status", "VmRSS:");
    constexpr long long kFarPastTheLine = 32ll << 20;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    long long read = 0;
    while ((read = proc_number(program->pid(), "io", "rchar:") - read_before) < kFarPastTheLine &&
           std::chrono::steady_clock::now() < deadline)
        program->read_for(100ms);
    const long long grown_kib = proc_number(program->pid(), "status", "VmRSS:") - resident_before;
    std::printf("read %lld MB of zeros; resident memory grew by %lld KiB\n", read >> 20, grown_kib);
    ASSERT_GE(read, kFarPastTheLine) << "the reader stopped reading";
    EXPECT_LT(grown_kib, 16 * 1024);

    ASSERT_EQ(press_hotkey(), 0);
    EXPECT_TRUE(program->wait_for_stdout(" MB)\n", kSave)) << program->out() << program->err();
    EXPECT_TRUE(program->running());
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

// A track from a real PulseAudio server (a sine source, paced like a microphone), with every
// ffmpeg run passed through a wrapper that logs its arguments: the track opens before the
// prompt and lands in the clip under its own name, a held hotkey saves once, and a restart
// on the same screen reuses the encoder tests of the first start.
TEST_F(RecordingTest, RecordsAPulseAudioTrackSavesOnceForAHeldKeyAndProbesOnlyOnce) {
    const test::PulseServer pulse;
    home_.write(".asoundrc",
                "pcm.vc_tone { type pulse; device \"tone\"; hint { show on; description \"Test Tone\" } }\n");
    home_.write(".config/vantrelclips/config.yaml",
                "tracks:\n- name: Tone\n  source: input\n  device: Test Tone\n");
    const fs::path calls = home_ / "ffmpeg-calls.log";
    home_.write("wrapper/ffmpeg", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + calls.string() +
                                      "'\nexec /usr/bin/ffmpeg \"$@\"\n");
    fs::permissions(home_ / "wrapper/ffmpeg", fs::perms::owner_all);
    env_.set("VANTREL_FFMPEG", (home_ / "wrapper").string());

    auto program = start();
    const std::vector<std::string> lines = program->out_lines();
    const auto prompt = std::find(lines.begin(), lines.end(), kPrompt);
    ASSERT_NE(prompt, lines.end()) << program->out();
    const auto opened = std::find_if(lines.begin(), prompt, [](const std::string& line) {
        return is_log_line(line) && line.find(" INFO audio source opened label=\"Tone\" device=\"Test Tone\"") !=
                                        std::string::npos;
    });
    EXPECT_NE(opened, prompt) << program->out();
    EXPECT_NE(program->out().find("  audio track Tone (Input, Test Tone)\n"), std::string::npos) << program->out();

    program->type("\n");
    ASSERT_TRUE(program->wait_for_stdout(" MB)\n", kSave)) << program->out() << program->err();
    const fs::path clip = saved_clip(program->out());
    EXPECT_EQ(stream_of(clip), "h264");
    EXPECT_EQ(stream_of(clip, "a:0"), "aac,Tone");

    // The server repeats a held key; only its first press counts.
    ASSERT_EQ(xdotool({"keydown", "alt+F8"}), 0);
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(xdotool({"keyup", "alt+F8"}), 0);
    const auto released = std::chrono::steady_clock::now();
    ASSERT_TRUE(program->wait_for_stdout(" MB)\n", kSave, 2)) << program->out() << program->err();
    // A save asked for by a repeat would come after this one, and take as long: wait for it
    // as long again, however slow the machine.
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - released);
    program->read_for(2 * took + 1s);
    EXPECT_EQ(count_of(program->out(), "Saved "), 2u) << program->out();

    const std::string first_start = test::read_file(calls);
    const std::size_t probes = count_of(first_start, "-f lavfi ");
    EXPECT_GE(probes, 1u) << first_start;
    program->type("d 1\n");
    ASSERT_TRUE(program->wait_for_stdout("Encoder: libx264\n", kStart, 2)) << program->out() << program->err();
    const std::string both_starts = test::read_file(calls);
    EXPECT_EQ(count_of(both_starts, "-f x11grab "), 2u) << both_starts;
    EXPECT_EQ(count_of(both_starts, "-f lavfi "), probes) << both_starts;
    EXPECT_EQ(count_of(program->out(), " INFO audio source opened label=\"Tone\""), 2u) << program->out();

    const auto ffmpegs = test::ffmpeg_children(program->pid());
    program->type("q\n");
    ASSERT_TRUE(program->wait_for_stdout("Stopping...\n", kQuick)) << program->out();
    expect_clean_end(*program, ffmpegs);
}

// The screen on the command line is stored before the engine starts, even when it is missing.
TEST_F(RecordingTest, DisplayOptionIsStoredAndAMissingScreenIsFatal) {
    test::RunningProgram program({"--display", "2"});
    ASSERT_TRUE(program.wait_for_stderr("Press Enter to close.\n", kStart)) << program.err();
    EXPECT_NE(program.err().find("error: could not start recording: config: screen 2 doesn't exist; available: 1\n"
                                 "Press Enter to close.\n"),
              std::string::npos)
        << program.err();
    EXPECT_NE(program.out().find("Screens:\n    Screen 1 - 1280x720 (screen)\n  (screen 2 from settings doesn't exist)\n"),
              std::string::npos)
        << program.out();
    EXPECT_NE(test::read_file(settings_path()).find("display: 1\n"), std::string::npos);

    program.read_for(300ms);
    EXPECT_TRUE(program.running()) << "must wait for a line";
    program.type("\n");
    const auto status = program.wait_for_exit(kQuick);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->code(), 1);
    expect_nothing_left(home_.path());
}

// Runs a program that should end through the fatal path with `message`: it waits for one
// line (or the end of input when `end_input`), then exits with status 1.
void expect_fatal(std::vector<std::string> args, const std::string& message, bool end_input = false) {
    test::RunningProgram program(std::move(args));
    ASSERT_TRUE(program.wait_for_stderr("Press Enter to close.\n", kQuick)) << program.err();
    EXPECT_EQ(program.err(), "error: " + message + "\nPress Enter to close.\n");
    EXPECT_EQ(program.out(), kBanner + "\n\n");
    program.read_for(200ms);
    EXPECT_TRUE(program.running()) << "must wait for a line";
    if (end_input)
        program.close_input();
    else
        program.type("any line\n");
    const auto status = program.wait_for_exit(kQuick);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->code(), 1);
}

TEST_F(ProgramTest, CommandLinesThatAreNotAcceptedShowTheUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--display"},        {"--display", "0"},          {"--display=2"},         {"-d", "2"},
        {"--DISPLAY", "2"},   {"--display", "x"},          {"--display", "-1"},     {"--display", "4294967296"},
        {"--display", "1", "--display"}, {"extra"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& arg : args) shown += arg + " ";
        SCOPED_TRACE(shown);
        expect_fatal(args, "usage: VantrelClips [--display <screen number>]", args.size() == 1);
        EXPECT_FALSE(fs::exists(fs::symlink_status(settings_path())));
    }
}

TEST_F(ProgramTest, SettingsThatCannotBeReadAreFatal) {
    const std::string path = settings_path().string();
    struct Case {
        std::string name;
        std::string yaml;  // empty: a directory in the file's place
        std::string error;
    };
    const std::vector<Case> cases = {
        {"directory", "", "reading " + path + ": Is a directory (os error 21)"},
        {"not a mapping", "- 1\n- 2\n", "config: " + path + ": invalid type: sequence, expected struct Config"},
        {"bad value", "fps: many\n",
         "config: " + path + ": fps: invalid type: string \"many\", expected u32 at line 1 column 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(settings_path());
        if (c.yaml.empty())
            fs::create_directories(settings_path());
        else
            home_.write(".config/vantrelclips/config.yaml", c.yaml);
        const std::string before = c.yaml.empty() ? "" : test::read_file(settings_path());

        test::RunningProgram program({"--display", "1"});
        ASSERT_TRUE(program.wait_for_stderr("Press Enter to close.\n", kQuick)) << program.err();
        EXPECT_EQ(program.err(), "error: could not read settings " + path + ": " + c.error + "\nPress Enter to close.\n");
        EXPECT_EQ(program.out(), kBanner + "\n\n");
        program.type("\n");
        const auto status = program.wait_for_exit(kQuick);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->code(), 1);
        if (!c.yaml.empty()) {
            EXPECT_EQ(test::read_file(settings_path()), before) << "left as it was";
        }
    }
}

}  // namespace
}  // namespace vc
