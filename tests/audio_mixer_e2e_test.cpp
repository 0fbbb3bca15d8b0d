// A real-time source through thread "audio-mixer" into real ffmpeg: a private PulseAudio
// server whose null sink plays a 1 kHz sine, its monitor reached through libasound's pulse
// plugin, mixed into an AAC stream whose decoded audio must still be 1 kHz. (The server's
// own sine source is no good here: it hands out two-second blocks, so a reader sees bursts.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <cstring>
#include <numbers>
#include <span>
#include <thread>

#include "engine/audio_mixer.hpp"
#include "engine/process.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PulseSine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN);  // as the program does
        home_ = new test::TempDir;
        ::chmod(home_->path().c_str(), 0700);
        home_->write(".asoundrc",
                     "pcm.tonemic { type pulse; device \"vsink.monitor\"; hint { show on; description \"Tone Mic\" } }\n");
        env_ = new test::ScopedEnv{{"HOME", home_->path().string()},
                                   {"XDG_RUNTIME_DIR", home_->path().string()},
                                   {"PULSE_SERVER", std::nullopt},
                                   {"ALSA_CONFIG_PATH", std::nullopt}};
        Command command("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                       "-L", "module-native-protocol-unix",
                                       "-L", "module-null-sink sink_name=vsink rate=48000"});
        command.stdout_mode = Stdio::null_device;
        command.stderr_mode = Stdio::null_device;
        auto spawned = Process::spawn(command);
        if (!spawned) return;
        server_ = new Process(std::move(*spawned));
        const auto socket = home_->path() / "pulse" / "native";
        const auto deadline = Clock::now() + 10s;
        while (!std::filesystem::exists(socket) && Clock::now() < deadline && !server_->try_wait())
            std::this_thread::sleep_for(20ms);
        ready_ = std::filesystem::exists(socket);
    }
    static void TearDownTestSuite() {
        if (server_) {
            server_->kill(SIGTERM);
            (void)server_->wait();
            delete server_;
        }
        delete env_;
        delete home_;
    }

    static inline test::TempDir* home_ = nullptr;
    static inline test::ScopedEnv* env_ = nullptr;
    static inline Process* server_ = nullptr;
    static inline bool ready_ = false;
};

TEST_F(PulseSine, MixedIntoAnAacStreamAtTheSourceFrequency) {
    ASSERT_TRUE(ready_) << "the PulseAudio server did not start";
    const auto tone = home_->path() / "tone.wav";
    auto made = Process::output(Command("sox", {"-n", "-r", "48000", "-c", "2", "-b", "16", tone.string(), "synth",
                                                "60", "sine", "1000"}));
    ASSERT_TRUE(made && made->status.success());
    Command play("paplay", {"--device=vsink", tone.string()});
    play.stdout_mode = Stdio::null_device;
    play.stderr_mode = Stdio::null_device;
    auto player = Process::spawn(play);
    ASSERT_TRUE(player);
    struct StopPlayer {
        Process& process;
        ~StopPlayer() {
            process.kill(SIGTERM);
            (void)process.wait();
        }
    } stop_player{*player};
    Config config;
    Track mic;
    mic.name = "Mic";
    mic.source = TrackSource::Input;
    mic.device = "Tone Mic";
    config.tracks = {mic};

    auto commands = make_queue<EngineCommand>();
    auto events = make_queue<EngineEvent>();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto [setup_tx, setup_rx] = make_queue<AudioSetup>(1);
    auto [writer_tx, writer_rx] = make_queue<StdinWriter>(1);
    std::thread thread(run_audio_mixer, MixerArgs{RecorderContext{commands.first, events.first, 5s},
                                                  std::move(setup_tx), std::move(writer_rx), config, stop});
    auto report = setup_rx.recv();
    ASSERT_EQ(report.index(), 0u);
    AudioSetup setup = std::move(std::get<0>(report));
    std::optional<AudioCapture> capture;
    capture.emplace(std::move(writer_tx), setup.tracks, stop, setup.levels, std::move(thread));
    ASSERT_EQ(setup.tracks.size(), 1u) << "the sine source did not open";

    const auto clip = home_->path() / "tone.m4a";
    Command encode("ffmpeg", {"-hide_banner", "-nostdin", "-loglevel", "error", "-f", "f32le", "-ar", "48000", "-ac",
                              "2", "-i", "pipe:0", "-c:a", "aac", "-y", clip.string()});
    encode.stdin_mode = Stdio::pipe;
    encode.stderr_mode = Stdio::null_device;
    auto ffmpeg = Process::spawn(encode);
    ASSERT_TRUE(ffmpeg);
    capture->take_writer()->send(ffmpeg->take_stdin());
    // The monitor starts delivering after its latency (about 1.5 s here, longer on a busy
    // machine); the mixer writes silence meanwhile, so the stream keeps its rate from the
    // first tick. Once the tone is metered, two more seconds of it go into the stream.
    const auto metered = [&] {
        const float level = capture->levels()->get(0);
        return level > -40.0f && level < 0.0f;  // 0.0 until the first tick
    };
    // The tone plays for a minute: longer than the wait for it and the two seconds after.
    const auto deadline = Clock::now() + 30s;
    while (!metered() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(metered()) << "the tone was never metered: " << capture->levels()->get(0) << " dB";
    std::this_thread::sleep_for(2s);
    close_audio_capture(capture);  // closes ffmpeg's input: it finishes the file
    auto encoded = ffmpeg->wait();
    ASSERT_TRUE(encoded && encoded->success());

    auto probe = Process::output(Command("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,sample_rate",
                                                     "-of", "csv=p=0", clip.string()}));
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->stdout_bytes, "aac,48000\n");

    auto decoded = Process::output(Command("ffmpeg", {"-hide_banner", "-nostdin", "-loglevel", "error", "-i",
                                                      clip.string(), "-ac", "1", "-f", "f32le", "pipe:1"}));
    ASSERT_TRUE(decoded && decoded->status.success());
    std::vector<float> samples(decoded->stdout_bytes.size() / sizeof(float));
    std::memcpy(samples.data(), decoded->stdout_bytes.data(), samples.size() * sizeof(float));
    ASSERT_GT(samples.size(), 48000u) << "at least a second of audio";
    // The second before the last half second is a 1 kHz tone: its power there stands far
    // above that of other frequencies. (A busy machine can starve a tick now and then, and
    // the silence the mixer pads it with adds clicks, so zero crossings are no fair count.)
    ASSERT_GT(samples.size(), 72000u);
    const std::span<const float> window(samples.data() + samples.size() - 72000, 48000);
    const auto power = [&](double frequency) {
        const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / 48000.0);
        double s1 = 0.0, s2 = 0.0;
        for (float x : window) {
            const double s0 = x + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    };
    const double at_tone = power(1000.0);
    for (double other : {250.0, 500.0, 750.0, 1250.0, 1500.0, 2000.0})
        EXPECT_GT(at_tone, 20.0 * power(other)) << other << " Hz";
}

}  // namespace
}  // namespace vc
