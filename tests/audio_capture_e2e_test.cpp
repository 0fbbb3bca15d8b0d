// Capture through a real, paced sound server: PulseAudio on a private runtime directory,
// reached through ALSA's pulse plugin.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "cli/logging.hpp"
#include "engine/audio_capture.hpp"
#include "engine/process.hpp"
#include "support/audio_log_lines.hpp"
#include "support/environment.hpp"
#include "support/own_threads.hpp"

extern char** environ;

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;


// The context switches of this process's capture workers so far.
long long worker_switches() {
    long long total = 0;
    for (const test::OwnThread& thread : test::own_threads())
        if (thread.name == "cpal_alsa_in") total += test::context_switches(thread, test::Switches::voluntary);
    return total;
}

long workers_running() { return test::threads_named("cpal_alsa_in"); }

template <typename Predicate>
bool wait_for(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

constexpr std::size_t kRampFrames = 9600;

StereoPair ramp_pair(std::size_t i) {
    const float v = static_cast<float>(i) / 16384.0f;
    return {v, 0.5f - v};
}

class PulseServer : public ::testing::Test {
protected:
    void SetUp() override {
        ::chmod(home_.path().c_str(), 0700);
        std::string ramp;
        for (std::size_t i = 0; i < kRampFrames; ++i) {
            const StereoPair pair = ramp_pair(i);
            ramp.append(reinterpret_cast<const char*>(&pair.left), 4);
            ramp.append(reinterpret_cast<const char*>(&pair.right), 4);
        }
        const auto ramp_path = home_.write("ramp.raw", ramp);
        home_.write(".asoundrc",
                    "pcm.tone { type pulse; device \"tone\"; hint { show on; description \"Tone\" } }\n"
                    "pcm.monitor { type pulse; device \"vsink.monitor\"; hint { show on; description \"Monitor\" } }\n"
                    "pcm.muted { type pulse; device \"mute.monitor\"; hint { show on; description \"Muted\" } }\n"
                    "pcm.ramp { type file; slave.pcm \"tone\"; file \"/dev/null\"; infile \"" + ramp_path.string() +
                        "\"; format \"raw\"; hint { show on; description \"Ramp\" } }\n");
        env_.set("HOME", home_.path().string());
        env_.set("XDG_RUNTIME_DIR", home_.path().string());
        env_.set("PULSE_SERVER", std::nullopt);
        env_.set("ALSA_CONFIG_PATH", std::nullopt);
        log::install(&test::audio_log_lines().logger);

        const char* argv[] = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                              "-L", "module-native-protocol-unix",
                              "-L", "module-null-sink sink_name=vsink rate=48000",
                              "-L", "module-null-sink sink_name=mute rate=48000",
                              "-L", "module-sine-source source_name=tone rate=48000 frequency=1000", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int err = posix_spawnp(&server_, "pulseaudio", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(err, 0) << "pulseaudio could not start";
        ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(home_ / "pulse/native"); }, 10s));
        test::audio_log_lines().take();
    }
    void TearDown() override {
        stop_server(SIGTERM);
        log::install(nullptr);
    }
    void stop_server(int signal) {
        if (server_ <= 0) return;
        ::kill(server_, signal);
        int status = 0;
        ::waitpid(server_, &status, 0);
        server_ = 0;
    }

    test::TempDir home_;
    test::ScopedEnv env_;
    pid_t server_ = 0;
};

Track track(std::string name, std::string device) {
    Track t;
    t.name = std::move(name);
    t.device = std::move(device);
    return t;
}

TEST_F(PulseServer, PacedRampArrivesSampleExact) {
    auto opened = open_track(default_audio_host(), track("Mic", "Ramp"));
    ASSERT_TRUE(opened) << format_engine_error(opened.error());
    ASSERT_TRUE(wait_for([&] { return opened->queue->size() >= kRampFrames; }, 10s));
    {
        auto locked = opened->queue->lock();
        for (std::size_t i = 0; i < kRampFrames; ++i) ASSERT_EQ(locked.pairs()[i], ramp_pair(i)) << i;
    }
    EXPECT_EQ(test::audio_log_lines().take(), std::vector<std::string>{
                                 " INFO audio source opened label=\"Mic\" device=\"Ramp\" rate=48000 channels=2 fmt=\"F32\"\n"});
}

TEST_F(PulseServer, ReleaseStopsTheWorkerPromptly) {
    std::optional<TrackCapture> capture;
    {
        auto opened = open_track(default_audio_host(), track("Mic", "Tone"));
        ASSERT_TRUE(opened) << format_engine_error(opened.error());
        capture.emplace(std::move(*opened));
    }
    EXPECT_EQ(workers_running(), 1);
    ASSERT_TRUE(wait_for([&] { return capture->queue->size() > 0; }, 10s));
    // The worker wakes through its pipe: without it, it would never see the release, and
    // the release would hang (this bound only guards against that).
    const auto released = Clock::now();
    capture.reset();
    EXPECT_LT(Clock::now() - released, 5s);
    EXPECT_EQ(workers_running(), 0);
}

// A device that opens but never delivers (a suspended sink's monitor keeps the plugin's
// descriptor ready with nothing to read): its worker waits longer and longer between looks,
// and costs a few wake-ups a second, not hundreds.
TEST_F(PulseServer, DeviceThatDeliversNothingCostsItsWorkerLittle) {
    Command suspend("pactl", {"suspend-sink", "mute", "1"});
    suspend.stdin_mode = Stdio::null_device;
    const auto suspended = Process::output(std::move(suspend));
    ASSERT_TRUE(suspended && suspended->status.success());
    auto opened = open_track(default_audio_host(), track("Muted", "Muted"));
    ASSERT_TRUE(opened) << format_engine_error(opened.error());
    ASSERT_EQ(workers_running(), 1);
    // Its waits, counted over two seconds once its stream has run for one: the times it
    // asked to sleep, which a busy machine does not add to (a worker looking every period
    // would wait some 500 times a second).
    std::this_thread::sleep_for(1s);
    const long long before = worker_switches();
    std::this_thread::sleep_for(2s);
    const long long per_second = (worker_switches() - before) / 2;
    std::printf("a worker with nothing to read: waits %lld times a second\n", per_second);
    ASSERT_EQ(workers_running(), 1) << "the worker is gone: nothing was counted";
    EXPECT_EQ(opened->queue->size(), 0u) << "the device delivered";
    EXPECT_LT(per_second, 100);
}

// A sound server that goes away (PulseAudio restarted) leaves the pulse plugin answering
// every call with a fault and its descriptor always ready: the stream reports it, ends its
// worker and costs nothing from then on.
TEST_F(PulseServer, ServerGoneEndsTheStreamWithOneReport) {
    auto opened = open_track(default_audio_host(), track("Mic", "Monitor"));
    ASSERT_TRUE(opened) << format_engine_error(opened.error());
    EXPECT_EQ(workers_running(), 1);
    ASSERT_TRUE(wait_for([&] { return opened->queue->size() > 0; }, 10s)) << "the stream never delivered";
    test::audio_log_lines().take();
    stop_server(SIGKILL);
    ASSERT_TRUE(wait_for([] { return workers_running() == 0; }, 5s)) << "the worker still runs";
    const auto lines = test::audio_log_lines().take();
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), " WARN audio stream error: the device is no longer available label=\"Mic\"\n");
}

}  // namespace
}  // namespace vc
