// The real program as one process among others: started with its standard input closed, and
// ended by a signal while a short ffmpeg run is under way. A stand-in ffmpeg forces what the
// real one does not do on cue (write "q" on its standard error, hang in a run); no X server
// is needed, so the whole display is the screen and the hotkey is unavailable.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "support/environment.hpp"
#include "support/fake_ffmpeg.hpp"
#include "support/running_program.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;

constexpr auto kStart = 30s;  // under the sanitizers, on a busy machine
constexpr auto kQuick = 10s;

// A fresh home directory with the given settings, the stand-in ffmpeg and the default log
// filter, for one run of the program.
struct Sandbox {
    explicit Sandbox(const std::string& settings) {
        home.write(".config/vantrelclips/config.yaml", settings);
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "RUST_LOG", "VANTREL_VOICE_DIR"})
            env.set(name, std::nullopt);
        env.set("HOME", home.path().string());
        env.set("XDG_RUNTIME_DIR", home.path().string());
        env.set("NO_COLOR", "1");
        env.set("DISPLAY", ":59999");  // no server there
        env.set("VANTREL_FFMPEG", ffmpeg.dir().string());
    }

    test::TempDir home;
    test::FakeFfmpeg ffmpeg;
    test::ScopedEnv env;
};

// Waits until `pid` has ended (a zombie counts), at most `limit`.
bool ends_within(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (test::process_alive(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Descriptor 0 closed at the start would be reused by the recorder's standard-error pipe,
// and the standard-input reader would then take ffmpeg's lines for typed commands.
TEST(ProgramProcess, ClosedStandardInputNeverTakesFfmpegsLinesForCommands) {
    Sandbox sandbox("encoder: libx264\ntracks: []\n");
    sandbox.ffmpeg.set_recording({{"*", "quit-lines"}});
    test::RunningProgram program({}, test::RunningProgram::Input::closed);
    ASSERT_TRUE(program.wait_for_stdout("Encoder: libx264\n", kStart)) << program.out() << program.err();

    // Every line reaches the log; none stops the program or asks for a save.
    EXPECT_TRUE(program.wait_for_stdout(" WARN q\n", kStart, 20)) << program.out() << program.err();
    program.read_for(300ms);
    EXPECT_TRUE(program.running());
    EXPECT_EQ(program.out().find("Stopping..."), std::string::npos) << program.out();
    EXPECT_EQ(program.err().find("error: "), std::string::npos) << program.err();

    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    const auto status = program.wait_for_exit(kQuick);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->signal(), SIGTERM) << status->text();
}

// A signal that ends the program (a kill, a closed terminal, Ctrl+C) takes an encoder test on
// the starting thread with it, but not a save's join on the engine thread: that one runs in a
// process group of its own and finishes the clip on its own (here it hangs, so the test ends
// it). What a real terminal sends is the pseudo-terminal test's.
TEST(ProgramProcess, EncoderTestsEndWithTheProgramJoinsOutliveIt) {
    struct Case {
        const char* run;
        int signal;
        bool outlives;
    };
    const Case cases[] = {{"probe", SIGTERM, false}, {"probe", SIGINT, false}, {"join", SIGHUP, true},
                          {"join", SIGTERM, true}};

    // A test runner started in the background of a script may have left SIGINT ignored, and
    // the program would inherit that.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    struct sigaction old_interrupt {};
    ASSERT_EQ(::sigaction(SIGINT, &default_action, &old_interrupt), 0);

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.run) + " " + ::sigabbrev_np(c.signal));
        const bool join = std::string(c.run) == "join";
        Sandbox sandbox(join ? "encoder: libx264\ntracks: []\n" : "tracks: []\n");
        sandbox.ffmpeg.set_passing({"libx264"});
        sandbox.ffmpeg.set_recording({{"*", "segment"}});
        sandbox.ffmpeg.set_hanging(c.run);

        test::RunningProgram program;
        if (join) {
            ASSERT_TRUE(program.wait_for_stdout("Encoder: libx264\n", kStart)) << program.out() << program.err();
            program.type("\n");
        }
        const auto hung = sandbox.ffmpeg.hung_pid(kStart);
        ASSERT_TRUE(hung.has_value()) << program.out() << program.err();
        // However the case ends, the hung ffmpeg does not outlive it.
        struct EndHung {
            pid_t pid;
            ~EndHung() {
                if (test::process_alive(pid)) ::kill(pid, SIGKILL);
            }
        } end_hung{*hung};
        if (c.outlives) {
            EXPECT_EQ(::getpgid(*hung), *hung) << "a process group of its own, out of the terminal's reach";
        } else {
            EXPECT_EQ(::getpgid(*hung), ::getpgid(program.pid())) << "stays in the program's process group";
        }

        ASSERT_EQ(::kill(program.pid(), c.signal), 0);
        const auto status = program.wait_for_exit(kQuick);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->signal(), c.signal) << status->text();
        if (c.outlives) {
            std::this_thread::sleep_for(500ms);
            EXPECT_TRUE(test::process_alive(*hung)) << "the join ended with the program";
        } else {
            EXPECT_TRUE(ends_within(*hung, kQuick)) << "ffmpeg " << *hung << " outlived the program";
        }
    }
    ::sigaction(SIGINT, &old_interrupt, nullptr);
}

}  // namespace
}  // namespace vc
