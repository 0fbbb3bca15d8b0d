// The recorder start with a stand-in ffmpeg that forces what the real one cannot do on cue:
// the "auto" candidates and the remembered test outcomes, recorders dying during the start,
// the encoder name check, the ring directory, the fallback ring in the shared temporary
// directory, and stopping. The real ffmpeg under Xvfb is in engine_e2e_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <sstream>

#include "engine/ffmpeg.hpp"
#include "engine/process.hpp"
#include "engine/recorder.hpp"
#include "engine/ring_directory.hpp"
#include "engine/ring_lock.hpp"
#include "support/environment.hpp"
#include "support/other_user.hpp"
#include "support/fake_ffmpeg.hpp"
#include "support/log_recorder.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool process_exists(std::uint32_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

// The process group field of /proc/<pid>/stat.
long process_group(std::uint32_t pid) {
    const std::string stat = test::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string state;
    long parent = 0, group = 0;
    rest >> state >> parent >> group;
    return group;
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z', ...), or 0 when it cannot be read.
char process_state(std::uint32_t pid) {
    const std::string stat = test::read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

std::string probe_line(Encoder encoder) {
    std::string line = "-hide_banner -loglevel error -y -f lavfi -i color=black:s=256x256:r=30:d=0.1";
    if (encoder == Encoder::h264_vaapi) line += " -vaapi_device /dev/dri/renderD128 -vf format=nv12,hwupload";
    line += " -frames:v 1";
    for (const auto& arg : encoder_args(encoder, 23, 30)) line += " " + arg;
    return line + " -f null -";
}

bool is_recorder_run(const std::string& call) { return call.find("-segment_list") != std::string::npos; }

struct RecorderFixture : ::testing::Test {
    test::TempDir home;
    test::FakeFfmpeg ffmpeg;
    test::ScopedEnv env{{"HOME", home.path().string()},
                        {"XDG_CACHE_HOME", std::nullopt},
                        {"VANTREL_FFMPEG", ffmpeg.dir().string()},
                        {"DISPLAY", ":59999"}};  // no server there: the whole-display screen
    test::LogRecorder log;
    std::pair<Sender<EngineCommand>, Receiver<EngineCommand>> commands = make_queue<EngineCommand>();
    std::pair<Sender<EngineEvent>, Receiver<EngineEvent>> events = make_queue<EngineEvent>();
    RecorderContext context{commands.first, events.first, 5s};
    EncoderProbes probes;  // each case is a fresh run of the program

    Config config_with(const std::string& encoder) const {
        Config config = default_config();
        config.tracks.clear();
        config.encoder = encoder;
        return config;
    }
    std::vector<std::string> messages(log::Level level, const std::string& target = "engine") const {
        std::vector<std::string> found;
        for (const auto& event : log.events())
            if (event.level == level && event.target == target) found.push_back(event.message);
        return found;
    }
    std::vector<std::string> recorder_runs() const {
        std::vector<std::string> runs;
        for (const auto& call : ffmpeg.calls())
            if (is_recorder_run(call)) runs.push_back(call);
        return runs;
    }
};

TEST_F(RecorderFixture, AutoWithNoEncodersTestsEachOnceAndNamesNoEncoder) {
    ffmpeg.set_passing({});
    auto started = start_recorder(config_with("auto"), context, probes);
    ASSERT_FALSE(started);
    EXPECT_EQ(format_engine_error(started.error()), "config: no working H.264 encoder found (is ffmpeg installed?)");
    EXPECT_EQ(ffmpeg.calls(), (Texts{probe_line(Encoder::h264_nvenc), probe_line(Encoder::h264_vaapi),
                                     probe_line(Encoder::libx264), probe_line(Encoder::libopenh264)}));
    EXPECT_EQ(messages(log::Level::Debug),
              (Texts{"h264_nvenc unavailable: ffmpeg failed while h264_nvenc: Unknown encoder 'h264_nvenc'",
                     "h264_vaapi unavailable: ffmpeg failed while h264_vaapi: Unknown encoder 'h264_vaapi'",
                     "libx264 unavailable: ffmpeg failed while libx264: Unknown encoder 'libx264'",
                     "libopenh264 unavailable: ffmpeg failed while libopenh264: Unknown encoder 'libopenh264'"}));
    EXPECT_TRUE(messages(log::Level::Warn).empty());

    // A second start in the same process remembers the failures and runs nothing.
    started = start_recorder(config_with("auto"), context, probes);
    ASSERT_FALSE(started);
    EXPECT_EQ(ffmpeg.calls().size(), 4u);
    const auto debug = messages(log::Level::Debug);
    ASSERT_EQ(debug.size(), 8u);
    EXPECT_EQ(debug[4], "h264_nvenc unavailable: config: h264_nvenc unavailable");
    EXPECT_EQ(debug[7], "libopenh264 unavailable: config: libopenh264 unavailable");
}

TEST_F(RecorderFixture, AutoTakesTheFirstEncoderThatPassesAndRemembersIt) {
    ffmpeg.set_passing({"h264_vaapi"});
    ffmpeg.set_recording({{"*", "list"}});
    auto started = start_recorder(config_with("auto"), context, probes);
    ASSERT_TRUE(started) << format_engine_error(started.error());
    EXPECT_EQ(started->encoder, Encoder::h264_vaapi);
    EXPECT_TRUE(started->track_names.empty());
    EXPECT_FALSE(started->audio);
    const auto calls = ffmpeg.calls();
    ASSERT_EQ(calls.size(), 3u);  // libx264 is never tested
    EXPECT_EQ(calls[0], probe_line(Encoder::h264_nvenc));
    EXPECT_EQ(calls[1], probe_line(Encoder::h264_vaapi));
    EXPECT_TRUE(is_recorder_run(calls[2]) && contains(calls[2], "-c:v h264_vaapi")) << calls[2];
    ASSERT_EQ(messages(log::Level::Debug).size(), 1u);
    EXPECT_TRUE(contains(messages(log::Level::Debug)[0], "h264_nvenc unavailable: "));

    const std::uint32_t pid = started->pid;
    EXPECT_EQ(process_group(pid), static_cast<long>(pid));  // leads a group of its own
    stop_recorder(std::move(*started));
    EXPECT_FALSE(process_exists(pid));
    auto stopped = commands.second.recv_until(std::chrono::steady_clock::now() + 5s);
    ASSERT_TRUE(std::holds_alternative<EngineCommand>(stopped));
    const auto* notice = std::get_if<command::RecorderStopped>(&std::get<EngineCommand>(stopped));
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->pid, pid);
    EXPECT_EQ(notice->text, "recorder stopped: ");

    // Started again: nvenc is skipped from memory and vaapi is not tested again.
    started = start_recorder(config_with("auto"), context, probes);
    ASSERT_TRUE(started);
    EXPECT_EQ(ffmpeg.calls().size(), 4u);
    EXPECT_TRUE(is_recorder_run(ffmpeg.calls()[3]));
    EXPECT_EQ(messages(log::Level::Debug).back(), "h264_nvenc unavailable: config: h264_nvenc unavailable");
    stop_recorder(std::move(*started));
}

TEST_F(RecorderFixture, NamedEncoderWhoseFfmpegExitsIsTheOneFailure) {
    ffmpeg.set_recording({{"*", "exit1"}});
    auto started = start_recorder(config_with("libx264"), context, probes);
    ASSERT_FALSE(started);
    EXPECT_EQ(format_engine_error(started.error()),
              "config: no encoder could record (libx264: ffmpeg exited (exit status: 1), see log)");
    const auto calls = ffmpeg.calls();
    ASSERT_EQ(calls.size(), 1u);  // a named encoder is not tested
    EXPECT_TRUE(is_recorder_run(calls[0]));

    std::vector<test::RecordedEvent> warnings;
    for (const auto& event : log.events())
        if (event.level == log::Level::Warn && event.target == "engine") warnings.push_back(event);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].message, "could not record: ffmpeg exited (exit status: 1), see log");
    EXPECT_EQ(warnings[0].field("encoder"), "libx264");

    // The failed ffmpeg's reader still reports, with what it wrote.
    auto stopped = commands.second.recv_until(std::chrono::steady_clock::now() + 5s);
    ASSERT_TRUE(std::holds_alternative<EngineCommand>(stopped));
    EXPECT_EQ(std::get<command::RecorderStopped>(std::get<EngineCommand>(stopped)).text,
              "recorder stopped: cannot record");
    EXPECT_EQ(messages(log::Level::Warn, "ffmpeg"), Texts{"cannot record"});
}

TEST_F(RecorderFixture, RecorderDyingDuringTheStartGivesWayToTheNextCandidate) {
    ffmpeg.set_passing({"h264_nvenc", "libx264"});
    ffmpeg.set_recording({{"h264_nvenc", "exit1"}, {"*", "list"}});
    auto started = start_recorder(config_with("auto"), context, probes);
    ASSERT_TRUE(started) << format_engine_error(started.error());
    EXPECT_EQ(started->encoder, Encoder::libx264);
    EXPECT_EQ(messages(log::Level::Warn), Texts{"could not record: ffmpeg exited (exit status: 1), see log"});
    ASSERT_EQ(messages(log::Level::Debug).size(), 1u);
    EXPECT_TRUE(contains(messages(log::Level::Debug)[0], "h264_vaapi unavailable: "));
    EXPECT_EQ(recorder_runs().size(), 2u);
    stop_recorder(std::move(*started));
}

TEST_F(RecorderFixture, UnknownEncoderIsRefusedBeforeTheScreenLookup) {
    for (const std::string name : {"Auto", "x264", ""}) {
        Config config = config_with(name);
        config.display = 7;  // no such screen
        auto started = start_recorder(config, context, probes);
        ASSERT_FALSE(started);
        EXPECT_EQ(format_engine_error(started.error()), "config: unknown encoder " + name);
    }
    Config known = config_with("libx264");
    known.display = 7;
    auto started = start_recorder(known, context, probes);
    ASSERT_FALSE(started);
    EXPECT_TRUE(contains(format_engine_error(started.error()), "doesn't exist")) << format_engine_error(started.error());
    EXPECT_TRUE(ffmpeg.calls().empty());
}

TEST_F(RecorderFixture, RingDirectoryIsEmptiedButKeepsSubdirectories) {
    const auto ring = ring_dir_path();
    EXPECT_EQ(ring, home / ".cache/vantrelclips/ring");
    for (const char* name : {"seg_00003.ts", "save.txt", "sub/inner.ts"}) {
        std::filesystem::create_directories((ring / name).parent_path());
        std::ofstream(ring / name) << "old";
    }
    // The old list is a second name of a file elsewhere: were it kept, the new list written
    // through it would change that file.
    const auto outside = home / "outside.csv";
    std::ofstream(outside) << "old";
    std::filesystem::create_hard_link(outside, ring / "ring.csv");

    ffmpeg.set_recording({{"*", "list"}});
    auto started = start_recorder(config_with("libx264"), context, probes);
    ASSERT_TRUE(started);
    EXPECT_FALSE(std::filesystem::exists(ring / "seg_00003.ts"));
    EXPECT_FALSE(std::filesystem::exists(ring / "save.txt"));
    EXPECT_EQ(std::filesystem::hard_link_count(outside), 1u);
    EXPECT_EQ(test::read_file(outside), "old");
    EXPECT_TRUE(std::filesystem::exists(ring / "ring.csv"));
    EXPECT_TRUE(std::filesystem::exists(ring / "sub/inner.ts"));
    stop_recorder(std::move(*started));
}

// A join that an earlier run left to finish its clip (the program was killed during a save)
// still reads the ring: a start waits for it before it empties the ring, saying why once, and
// gives up after its bound. The holder is what a save's join is: a child that keeps the lock
// a save took for it, after the save's own descriptor has gone.
TEST_F(RecorderFixture, StartEmptiesTheRingOnlyOnceAnEarlierJoinHasEnded) {
    const auto ring = ring_dir_path();
    std::filesystem::create_directories(ring);
    std::ofstream(ring / "seg_00003.ts") << "old";
    const auto hold = [&](const char* seconds) {
        Command command("sleep", {seconds});
        const FileDescriptor lock = lock_ring_for_join(ring);
        EXPECT_TRUE(lock.valid());
        command.kept_descriptor = lock.get();
        auto holder = Process::spawn(command);
        EXPECT_TRUE(holder);
        return std::move(*holder);
    };
    const std::string waiting = "an earlier save is still joining its clip from the ring: waiting for it to finish";

    Process join = hold("1");
    ffmpeg.set_recording({{"*", "list"}});
    auto started = start_recorder(config_with("libx264"), context, probes);
    ASSERT_TRUE(started);
    EXPECT_TRUE(join.try_wait()) << "the ring was emptied while the join still ran";
    EXPECT_FALSE(std::filesystem::exists(ring / "seg_00003.ts"));
    EXPECT_EQ(messages(log::Level::Info), Texts{waiting});
    stop_recorder(std::move(*started));

    // Without a join, a start does not wait; and the lock stays where the join finds it.
    EXPECT_TRUE(std::filesystem::exists(ring / "join.lock"));
    EXPECT_TRUE(lock_ring_for_join(ring).valid());

    Process hung = hold("60");
    const FileDescriptor lock(::open((ring / "join.lock").c_str(), O_RDWR | O_CLOEXEC));
    const auto before = std::chrono::steady_clock::now();
    wait_for_joins(lock, 300ms);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 300ms);
    EXPECT_FALSE(hung.try_wait());
    EXPECT_EQ(messages(log::Level::Warn),
              Texts{"an earlier save is still joining its clip after 0.3 s: the ring is emptied anyway"});
    hung.kill(SIGKILL);
    (void)hung.wait();
}

TEST_F(RecorderFixture, RegularFileWhereTheRingGoesIsReportedAsMkdirSaysIt) {
    const auto ring = ring_dir_path();
    std::filesystem::create_directories(ring.parent_path());
    std::ofstream(ring) << "not a directory";
    auto started = start_recorder(config_with("libx264"), context, probes);
    ASSERT_FALSE(started);
    EXPECT_EQ(format_engine_error(started.error()), "creating " + ring.string() + ": File exists (os error 17)");
    EXPECT_TRUE(ffmpeg.calls().empty());
}

TEST_F(RecorderFixture, StoppingARecorderWhoseFfmpegHasEndedReportsNothing) {
    ffmpeg.set_recording({{"*", "list"}});
    auto started = start_recorder(config_with("libx264"), context, probes);
    ASSERT_TRUE(started);
    const std::uint32_t pid = started->pid;
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    ASSERT_TRUE(started->child.wait());  // reaped: the group must not be signalled any more
    const auto warnings = log.events().size();
    stop_recorder(std::move(*started));
    EXPECT_FALSE(process_exists(pid));
    EXPECT_EQ(log.events().size(), warnings);
}

TEST_F(RecorderFixture, RecorderDiesWithTheThreadThatStartedIt) {
    ffmpeg.set_recording({{"*", "list"}});
    Command command(VANTREL_TEST_BIN_DIR "/recorder_parent", {"libx264"});
    command.stdin_mode = Stdio::null_device;
    command.stdout_mode = Stdio::pipe;
    auto parent = Process::spawn(command);
    ASSERT_TRUE(parent);
    FileDescriptor out = parent->take_stdout();
    std::string line;
    char byte = 0;
    while (line.find('\n') == std::string::npos) {
        auto got = out.read_some(&byte, 1);
        if (!got || *got == 0) break;
        line += byte;
    }
    ASSERT_FALSE(line.empty()) << "the helper printed no pid";
    const auto recorder = static_cast<std::uint32_t>(std::stoul(line));
    EXPECT_TRUE(process_exists(recorder));
    parent->kill(SIGKILL);
    ASSERT_TRUE(parent->wait());
    // Gone, or a zombie awaiting a reaper that is not ours: either way no longer running.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (process_exists(recorder) && process_state(recorder) != 'Z' && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(!process_exists(recorder) || process_state(recorder) == 'Z');
}

// A thread that cannot be started (a system out of threads) ends the start with an error,
// and the ffmpeg already running for it is stopped and reaped rather than left recording.
TEST_F(RecorderFixture, ThreadThatCannotStartLeavesNoFfmpegBehind) {
    struct Case {
        const char* what;
        const char* refused;  // which thread start fails, counted from 1
        const char* error;
    };
    const Case cases[] = {
        {"recorder", "1", "spawning ffmpeg stderr reader: Resource temporarily unavailable (os error 11)"},
        {"engine", "2", "spawning engine thread: Resource temporarily unavailable (os error 11)"},
    };
    ffmpeg.set_recording({{"*", "list"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto output = Process::output(Command(VANTREL_TEST_BIN_DIR "/thread_refusal", {c.what, c.refused}));
        ASSERT_TRUE(output);
        EXPECT_TRUE(output->status.success()) << output->status.text() << "\n" << output->stderr_bytes;
        EXPECT_EQ(output->stdout_bytes, std::string(c.error) + "\nchildren: none\n");
    }
}

// Without a home directory the ring lies in the shared temporary directory. Each case runs
// in a child process as a user with no password entry; the child reports the start's error
// text ("" for a start that succeeded) through a pipe.
enum class SharedTempOutcome { started, refused, file_in_the_way };

struct SharedTempCase {
    const char* name;
    void (*plant)(const std::filesystem::path& ring, const std::filesystem::path& elsewhere);
    SharedTempOutcome outcome;
};

constexpr uid_t kNobody = test::kUserWithoutHome;

TEST(RecorderWithoutHome, SharedTemporaryRingIsPrivateAndNeverFollowed) {
    using enum SharedTempOutcome;
    const SharedTempCase cases[] = {
        {"absent", [](const auto&, const auto&) {}, started},
        {"own directory with old files",
         [](const auto& ring, const auto&) {
             std::filesystem::create_directories(ring / "sub");
             std::ofstream(ring / "seg_00001.ts") << "old";
             (void)::chown(ring.c_str(), kNobody, kNobody);
         },
         started},
        {"symbolic link",
         [](const auto& ring, const auto& elsewhere) { std::filesystem::create_directory_symlink(elsewhere, ring); },
         refused},
        {"another user's directory",
         [](const auto& ring, const auto&) {
             std::filesystem::create_directory(ring);
             std::ofstream(ring / "seg_00001.ts") << "theirs";
         },
         refused},
        {"regular file", [](const auto& ring, const auto&) { std::ofstream(ring) << "a file"; }, file_in_the_way},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir tmp;
        test::FakeFfmpeg ffmpeg;
        ffmpeg.set_recording({{"*", "exit1"}});
        ::chmod(tmp.path().c_str(), 0777);
        ::chmod(ffmpeg.dir().c_str(), 0777);
        const auto ring = tmp / "vantrel-clips-ring";
        const auto elsewhere = tmp / "elsewhere";
        std::filesystem::create_directory(elsewhere);
        std::ofstream(elsewhere / "precious.ts") << "keep me";
        c.plant(ring, elsewhere);

        const auto reported = test::run_as_user_without_home([&]() -> std::string {
            ::unsetenv("HOME");
            ::setenv("TMPDIR", tmp.path().c_str(), 1);
            ::setenv("VANTREL_FFMPEG", ffmpeg.dir().c_str(), 1);
            ::setenv("DISPLAY", ":59999", 1);
            if (ring_dir_path() != ring) return "another ring directory: " + ring_dir_path().string();
            auto [commands_tx, commands_rx] = make_queue<EngineCommand>();
            auto [events_tx, events_rx] = make_queue<EngineEvent>();
            Config config = default_config();
            config.tracks.clear();
            config.encoder = "libx264";
            EncoderProbes probes;
            auto started = start_recorder(config, RecorderContext{commands_tx, events_tx, 5s}, probes);
            return started ? "" : format_engine_error(started.error());
        });
        if (!reported) GTEST_SKIP() << "cannot switch to a user without a password entry";
        const std::string& text = *reported;

        EXPECT_TRUE(std::filesystem::exists(elsewhere / "precious.ts"));
        if (c.outcome == refused) {
            EXPECT_EQ(text, "config: refusing ring directory " + ring.string() +
                                ": it is a symbolic link or belongs to another user");
            EXPECT_TRUE(ffmpeg.calls().empty());
        } else if (c.outcome == file_in_the_way) {
            EXPECT_EQ(text, "creating " + ring.string() + ": File exists (os error 17)");
            EXPECT_EQ(test::read_file(ring), "a file");
            EXPECT_TRUE(ffmpeg.calls().empty());
        } else {
            EXPECT_EQ(text, "config: no encoder could record (libx264: ffmpeg exited (exit status: 1), see log)");
            struct stat info {};
            ASSERT_EQ(::lstat(ring.c_str(), &info), 0);
            EXPECT_TRUE(S_ISDIR(info.st_mode));
            EXPECT_EQ(info.st_uid, kNobody);
            EXPECT_FALSE(std::filesystem::exists(ring / "seg_00001.ts"));
            if (std::string(c.name) == "absent") {
                EXPECT_EQ(info.st_mode & 07777, 0700u);
            }
        }
    }
}

TEST(RecorderWithoutHome, EmptyTmpdirMeansTheWorkingDirectory) {
    const auto reported = test::run_as_user_without_home([] {
        ::unsetenv("HOME");
        ::setenv("TMPDIR", "", 1);
        return ring_dir_path().string();
    });
    if (!reported) GTEST_SKIP() << "cannot switch to a user without a password entry";
    EXPECT_EQ(*reported, "vantrel-clips-ring");
}

}  // namespace
}  // namespace vc
