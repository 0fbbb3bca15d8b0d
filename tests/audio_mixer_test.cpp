// Thread "audio-mixer" over real libasound: file-plugin devices that hold one constant value
// per channel (the plugin is not paced, so the first tick's trim leaves current samples of
// that same value), a default device that does not exist, and pipes standing in for ffmpeg.
// The mixer ticks in real time while the capture workers deliver when the machine lets them:
// a tick whose worker has fallen behind pads its block with silence, so the tests accept that
// padding and check every value that did arrive.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "engine/audio_mixer.hpp"
#include "engine/mixer_tick.hpp"
#include "support/engine_events.hpp"
#include "support/environment.hpp"
#include "support/log_recorder.hpp"
#include "support/pipe.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTickBytesPerTrack = kBlockFrames * 2 * sizeof(float);
constexpr StereoPair kValueA{0.25f, -0.5f};
constexpr StereoPair kValueB{0.125f, 0.75f};

std::string constant_raw(StereoPair value) {
    std::string raw;
    for (int i = 0; i < 4800; ++i) {
        raw.append(reinterpret_cast<const char*>(&value.left), 4);
        raw.append(reinterpret_cast<const char*>(&value.right), 4);
    }
    return raw;
}

std::string file_device(const std::string& pcm, const std::filesystem::path& infile, const std::string& description) {
    return "pcm." + pcm + " { type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" + infile.string() +
           "\"; format \"raw\"; hint { show on; description \"" + description + "\" } }\n";
}

using test::make_track;

using test::Pipe;

// The recorder start's side of the hand-shake, as the recorder does it.
struct StartedMixer {
    std::pair<Sender<EngineCommand>, Receiver<EngineCommand>> commands = make_queue<EngineCommand>();
    std::pair<Sender<EngineEvent>, Receiver<EngineEvent>> events = make_queue<EngineEvent>();
    std::optional<AudioSetup> setup;
    std::optional<AudioCapture> capture;

    explicit StartedMixer(Config config) {
        auto stop = std::make_shared<std::atomic<bool>>(false);
        auto [setup_tx, setup_rx] = make_queue<AudioSetup>(1);
        auto [writer_tx, writer_rx] = make_queue<StdinWriter>(1);
        std::thread thread(run_audio_mixer, MixerArgs{RecorderContext{commands.first, events.first, 5s},
                                                      std::move(setup_tx), std::move(writer_rx), std::move(config),
                                                      stop});
        auto report = setup_rx.recv();
        EXPECT_EQ(report.index(), 0u);
        if (report.index() == 0) setup = std::move(std::get<0>(report));
        capture.emplace(std::move(writer_tx), setup ? setup->tracks : std::vector<Track>{}, stop,
                        setup ? setup->levels : nullptr, std::move(thread));
    }

    void hand_over(FileDescriptor stdin_pipe) {
        auto writer = capture->take_writer();
        ASSERT_TRUE(writer);
        EXPECT_TRUE(writer->send(std::move(stdin_pipe)).sent());
    }

    // Closes the capture as the recorder does, while `pipe` is still read as ffmpeg would:
    // a mixer whose write blocks on a full pipe could not be joined. Gives what came until
    // the mixer closed its end.
    std::string close_reading(const Pipe& pipe) {
        std::string rest;
        std::thread reader([&] { rest = pipe.read_to_end(); });
        close_audio_capture(capture);
        reader.join();
        return rest;
    }

    std::vector<std::string> messages() { return test::take_message_texts(events.second); }
};

// The stream cut into ticks: per tick, one block per track.
std::vector<std::vector<Block>> ticks_of(const std::string& stream, std::size_t tracks) {
    const std::size_t tick_bytes = tracks * kTickBytesPerTrack;
    std::vector<std::vector<Block>> ticks(stream.size() / tick_bytes, std::vector<Block>(tracks));
    for (std::size_t tick = 0; tick < ticks.size(); ++tick)
        for (std::size_t frame = 0; frame < kBlockFrames; ++frame)
            for (std::size_t track = 0; track < tracks; ++track)
                std::memcpy(&ticks[tick][track][frame], stream.data() + tick * tick_bytes + (frame * tracks + track) * 8, 8);
    return ticks;
}

// A block as the tick fills it from a device that holds `value`: the device's pairs, and
// silence where they had not come or were gone. Gives the number of the device's pairs, or
// nullopt when anything else is in it (another track's values).
std::optional<std::size_t> device_pairs(const Block& block, StereoPair value) {
    if (!std::all_of(block.begin(), block.end(), [&](StereoPair p) { return p == value || p == StereoPair{}; }))
        return std::nullopt;
    return static_cast<std::size_t>(std::count(block.begin(), block.end(), value));
}

// Reads whole ticks of `tracks` tracks until at least `ticks` have come and one of them held
// every track's values without padding (or 30 s have passed, or the stream ended).
std::string read_until_a_full_tick(const Pipe& pipe, const std::vector<StereoPair>& values, std::size_t ticks) {
    const std::size_t tick_bytes = values.size() * kTickBytesPerTrack;
    std::string stream;
    bool full = false;
    const auto deadline = Clock::now() + 30s;
    while ((stream.size() < ticks * tick_bytes || !full) && Clock::now() < deadline) {
        const std::string tick = pipe.read_up_to(tick_bytes);
        stream += tick;
        if (tick.size() < tick_bytes) break;
        const auto blocks = ticks_of(tick, values.size());
        bool every_track = true;
        for (std::size_t t = 0; t < values.size(); ++t)
            every_track = every_track && device_pairs(blocks[0][t], values[t]) == kBlockFrames;
        full = full || every_track;
    }
    return stream;
}

std::vector<std::string> names(const std::vector<Track>& tracks) {
    std::vector<std::string> out;
    for (const Track& t : tracks) out.push_back(t.name);
    return out;
}

class AudioMixer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN);  // as the program does
        home_ = new test::TempDir;
        const auto a = home_->write("a.raw", constant_raw(kValueA));
        const auto b = home_->write("b.raw", constant_raw(kValueB));
        // No card exists here: the default device fails to open, and so does every track that
        // falls back to it.
        home_->write(".asoundrc", "pcm.!default { type hw; card 7 }\n" + file_device("filea", a, "File A") +
                                      file_device("fileb", b, "File B"));
        env_ = new test::ScopedEnv{{"HOME", home_->path().string()},
                                   {"XDG_RUNTIME_DIR", home_->path().string()},
                                   {"PULSE_SERVER", std::nullopt},
                                   {"ALSA_CONFIG_PATH", std::nullopt}};
    }
    static void TearDownTestSuite() {
        delete env_;
        delete home_;
    }

    static inline test::TempDir* home_ = nullptr;
    static inline test::ScopedEnv* env_ = nullptr;
};

TEST_F(AudioMixer, TwoTracksInterleavedInSettingsOrder) {
    Config config;
    config.tracks = {make_track("A", TrackSource::Input, "File A"), make_track("B", TrackSource::Output, "File B")};
    StartedMixer mixer(config);
    ASSERT_TRUE(mixer.setup);
    EXPECT_EQ(names(mixer.setup->tracks), (std::vector<std::string>{"A", "B"}));
    ASSERT_EQ(mixer.setup->levels->size(), 2u);
    EXPECT_EQ(mixer.setup->levels->get(0), 0.0f);
    EXPECT_EQ(mixer.setup->levels->get(1), 0.0f);

    Pipe pipe;
    mixer.hand_over(std::move(pipe.write));
    // The stream opens with one block of silence: the mixer's clock starts once it is read.
    EXPECT_EQ(pipe.read_up_to(2 * kTickBytesPerTrack), std::string(2 * kTickBytesPerTrack, '\0'));
    const std::vector<StereoPair> values{kValueA, kValueB};
    std::string stream = read_until_a_full_tick(pipe, values, 30);
    stream += mixer.close_reading(pipe);

    ASSERT_GE(stream.size(), 30 * 2 * kTickBytesPerTrack);
    EXPECT_EQ(stream.size() % (2 * kTickBytesPerTrack), 0u) << "whole blocks only";
    const auto ticks = ticks_of(stream, 2);
    std::size_t full_ticks = 0;
    for (std::size_t tick = 0; tick < ticks.size(); ++tick) {
        const auto a = device_pairs(ticks[tick][0], kValueA);
        const auto b = device_pairs(ticks[tick][1], kValueB);
        ASSERT_TRUE(a && b) << "tick " << tick << ": each track's own values, or silence";
        full_ticks += *a == kBlockFrames && *b == kBlockFrames;
    }
    EXPECT_GT(full_ticks, 0u);
    // The levels are those of the last tick written.
    EXPECT_EQ(mixer.setup->levels->get(0), block_level(ticks.back()[0]));
    EXPECT_EQ(mixer.setup->levels->get(1), block_level(ticks.back()[1]));
    EXPECT_TRUE(mixer.messages().empty());
}

TEST_F(AudioMixer, MissingTrackIsLeftOutAndVoiceNeedsAMicrophone) {
    test::LogRecorder logs;
    Config config;
    config.tracks = {make_track("Mic", TrackSource::Input, "No Such Mic"), make_track("Off", TrackSource::Input, "File A"),
                     make_track("Desktop", TrackSource::Output, "File B")};
    config.tracks[1].enabled = false;
    config.voice.enabled = true;
    StartedMixer mixer(config);
    ASSERT_TRUE(mixer.setup);
    EXPECT_EQ(names(mixer.setup->tracks), (std::vector<std::string>{"Desktop"}));
    EXPECT_EQ(mixer.setup->levels->size(), 1u);

    Pipe pipe;
    mixer.hand_over(std::move(pipe.write));
    EXPECT_EQ(pipe.read_up_to(kTickBytesPerTrack), std::string(kTickBytesPerTrack, '\0'));  // the opening silence
    std::string stream = read_until_a_full_tick(pipe, {kValueB}, 5);
    stream += mixer.close_reading(pipe);
    ASSERT_GE(stream.size(), 5 * kTickBytesPerTrack);
    ASSERT_EQ(stream.size() % kTickBytesPerTrack, 0u);
    // The one opened track's two channels, nothing else: a tick of more tracks would mix
    // their values into these blocks.
    std::size_t full_ticks = 0;
    for (const auto& tick : ticks_of(stream, 1)) {
        const auto pairs = device_pairs(tick[0], kValueB);
        ASSERT_TRUE(pairs);
        full_ticks += *pairs == kBlockFrames;
    }
    EXPECT_GT(full_ticks, 0u);

    const auto messages = mixer.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("audio track \"Mic\" unavailable, recording without it: ", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1], "voice commands are off: no microphone track could be opened");
    const std::string reason = messages[0].substr(messages[0].find(": ") + 2);
    const auto warnings = logs.with_message("audio track unavailable: " + reason);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].target, "engine::audio");
    EXPECT_EQ(warnings[0].field("track"), "Mic");
}

TEST_F(AudioMixer, NoTrackOpenedEndsWithoutWaitingForTheWriter) {
    const std::vector<std::vector<Track>> cases = {
        {make_track("Mic", TrackSource::Input, std::nullopt), make_track("Desktop", TrackSource::Output, "Nope")},
        {},
    };
    for (const auto& tracks : cases) {
        Config config;
        config.tracks = tracks;
        StartedMixer mixer(config);
        ASSERT_TRUE(mixer.setup);
        EXPECT_TRUE(mixer.setup->tracks.empty());
        EXPECT_EQ(mixer.setup->levels->size(), 0u);
        // The recorder still holds the writer sender: only a mixer that has ended lets go of
        // its receiving end, so that the hand-over is refused. (A mixer that waited would take
        // this unusable writer, fail its first write and say so.)
        auto writer = mixer.capture->take_writer();
        ASSERT_TRUE(writer);
        const auto deadline = Clock::now() + 10s;
        auto refused = writer->try_send(StdinWriter{});
        while ((refused.sent() || refused.error() != SendError::Disconnected) && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
            refused = writer->try_send(StdinWriter{});
        }
        ASSERT_TRUE(refused.failed());
        EXPECT_EQ(refused.error(), SendError::Disconnected);
        close_audio_capture(mixer.capture);
        EXPECT_EQ(mixer.messages().size(), tracks.size());
    }
}

TEST_F(AudioMixer, StopWhileWaitingForTheHandOver) {
    Config config;
    config.tracks = {make_track("A", TrackSource::Input, "File A")};
    StartedMixer mixer(config);
    ASSERT_TRUE(mixer.setup);
    EXPECT_EQ(mixer.setup->tracks.size(), 1u);
    const auto started = Clock::now();
    close_audio_capture(mixer.capture);  // lets go of the writer sender and joins
    EXPECT_LT(Clock::now() - started, 5s);
    EXPECT_TRUE(mixer.messages().empty());
    EXPECT_EQ(mixer.setup->levels->get(0), 0.0f) << "no tick ran";
}

TEST_F(AudioMixer, ConsumerGoneEndsTheMixerWithTheReason) {
    Config config;
    config.tracks = {make_track("A", TrackSource::Input, "File A")};
    StartedMixer mixer(config);
    Pipe pipe;
    pipe.read.reset();
    mixer.hand_over(std::move(pipe.write));
    // The mixer ends by itself; events are sent before it lets go of its context.
    const auto got = mixer.events.second.recv_for(10s);
    ASSERT_EQ(got.index(), 0u);
    ASSERT_TRUE(std::holds_alternative<event::Message>(std::get<0>(got)));
    EXPECT_EQ(std::get<event::Message>(std::get<0>(got)).text, "audio pipe closed: Broken pipe (os error 32)");
    close_audio_capture(mixer.capture);
    EXPECT_TRUE(mixer.messages().empty());
}

}  // namespace
}  // namespace vc
