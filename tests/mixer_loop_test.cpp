#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "engine/mixer_loop.hpp"
#include "engine/mixer_start.hpp"
#include "support/engine_events.hpp"
#include "support/pipe.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTickBytes = kBlockFrames * 2 * sizeof(float);

using test::Pipe;

// The engine's two queues, with the ends the engine thread would read.
struct Engine {
    std::pair<Sender<EngineCommand>, Receiver<EngineCommand>> commands = make_queue<EngineCommand>();
    std::pair<Sender<EngineEvent>, Receiver<EngineEvent>> events = make_queue<EngineEvent>();
    RecorderContext context() const { return {commands.first, events.first, 0s}; }

    std::vector<std::string> messages() { return test::take_message_texts(events.second); }
};

// A mixer over `tracks` queues, each filled with `queued` pairs of its own constant value.
struct Fixture {
    Engine engine;
    std::vector<SharedFrameQueue> queues;
    std::optional<MixerState> mixer;

    explicit Fixture(std::vector<StereoPair> values, std::size_t queued = 0) {
        std::vector<MixTrack> tracks;
        for (const StereoPair& value : values) {
            auto queue = std::make_shared<FrameQueue>();
            push(*queue, value, queued);
            queues.push_back(queue);
            tracks.push_back({queue, {}, 1.0f});
        }
        mixer.emplace(std::move(tracks), std::make_shared<AudioLevels>(values.size()), engine.context());
    }
    static void push(FrameQueue& queue, StereoPair value, std::size_t count) {
        std::vector<float> samples;
        for (std::size_t i = 0; i < count; ++i) samples.insert(samples.end(), {value.left, value.right});
        push_frames_f32(queue, samples, 2);
    }
};

class MixerLoop : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }  // as the program does
};

TEST_F(MixerLoop, TickWritesFrameMajorAndMetersEveryTrack) {
    Fixture f({{0.25f, -0.5f}, {0.125f, 0.75f}}, 2000);
    EXPECT_EQ(f.mixer->levels->get(0), 0.0f);  // until the first tick
    Pipe pipe;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(run_tick(*f.mixer, pipe.write, stop));
    std::string bytes(2 * kTickBytes, '\0');
    ASSERT_EQ(::read(pipe.read.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(pipe.queued(), 0u);  // one block per tick, no more
    for (std::size_t frame = 0; frame < kBlockFrames; ++frame) {
        float values[4];
        std::memcpy(values, bytes.data() + frame * sizeof values, sizeof values);
        ASSERT_EQ(std::vector<float>(values, values + 4), (std::vector<float>{0.25f, -0.5f, 0.125f, 0.75f})) << frame;
    }
    Block a, b;
    a.fill({0.25f, -0.5f});
    b.fill({0.125f, 0.75f});
    EXPECT_EQ(f.mixer->levels->get(0), block_level(a));
    EXPECT_EQ(f.mixer->levels->get(1), block_level(b));
    EXPECT_NEAR(f.mixer->levels->get(0), -18.06f, 0.01f);
    EXPECT_EQ(f.queues[0]->size(), 2000u - kBlockFrames);
    EXPECT_TRUE(f.engine.messages().empty());
}

TEST_F(MixerLoop, VoiceFeedSendsAChunkEveryTenthTickAndDropsWhenFull) {
    Fixture f({{0.5f, 0.25f}});
    auto [chunks_tx, chunks_rx] = make_queue<VoiceChunk>(5);
    f.mixer->voice = std::move(chunks_tx);
    const FileDescriptor sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    std::atomic<bool> stop{false};
    for (int tick = 1; tick <= 70; ++tick) {
        Fixture::push(*f.queues[0], {0.5f, 0.25f}, kBlockFrames);
        ASSERT_TRUE(run_tick(*f.mixer, sink, stop));
        if (tick == 9) {
            EXPECT_EQ(chunks_rx.try_recv().index(), 1u) << "no chunk before the tenth tick";
        }
    }
    // Seven chunks were offered; the listener took none, so the last two were dropped.
    for (int chunk = 0; chunk < 5; ++chunk) {
        auto got = chunks_rx.try_recv();
        ASSERT_EQ(got.index(), 0u) << chunk;
        const VoiceChunk& samples = std::get<0>(got);
        ASSERT_EQ(samples.size(), kVoiceChunkSamples);
        EXPECT_EQ(samples.front(), 0.375f);
        EXPECT_EQ(samples.back(), 0.375f);
    }
    EXPECT_EQ(std::get<1>(chunks_rx.try_recv()), RecvError::Empty);
}

TEST_F(MixerLoop, DetectorListensToItsTrack) {
    // The second track is loud after a quiet warm-up; the first stays silent.
    Fixture f({{0.0f, 0.0f}, {0.01f, 0.01f}});
    AutoClip autoclip;
    autoclip.enabled = true;
    f.mixer->detector.emplace(autoclip);
    f.mixer->detector_track = 1;
    const FileDescriptor sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    std::atomic<bool> stop{false};
    bool loud = false;
    for (int tick = 0; tick < 1000 && !loud; ++tick) {
        const float value = tick < 300 ? 0.01f : 0.9f;
        Fixture::push(*f.queues[1], {value, value}, kBlockFrames);
        ASSERT_TRUE(run_tick(*f.mixer, sink, stop));
        for (;;) {
            auto got = f.engine.events.second.try_recv();
            if (got.index() != 0) break;
            loud = loud || std::holds_alternative<event::LoudMoment>(std::get<0>(got));
        }
    }
    EXPECT_TRUE(loud);
    EXPECT_EQ(f.mixer->levels->get(0), kSilenceDb);
}

struct WriteFailure {
    const char* what;
    const char* target;  // a device to write to, or nullptr for a pipe whose reader is gone
    bool stopping;
    std::vector<std::string> messages;
};

TEST_F(MixerLoop, FailedWriteEndsTheLoopWithItsReasonUnlessStopping) {
    const WriteFailure cases[] = {
        {"reader gone", nullptr, false, {"audio pipe closed: Broken pipe (os error 32)"}},
        {"disk full", "/dev/full", false, {"audio pipe closed: No space left on device (os error 28)"}},
        {"reader gone while stopping", nullptr, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f({{0.1f, 0.1f}});
        Pipe pipe;
        FileDescriptor writer = std::move(pipe.write);
        if (c.target) writer.reset(::open(c.target, O_WRONLY | O_CLOEXEC));
        pipe.read.reset();
        std::atomic<bool> stop{c.stopping};
        EXPECT_FALSE(run_tick(*f.mixer, writer, stop));
        EXPECT_EQ(f.mixer->levels->get(0), 0.0f) << "the rest of the tick does not run";
        EXPECT_EQ(f.engine.messages(), c.messages);
    }
}

TEST_F(MixerLoop, StopBeforeTheFirstTickWritesNothing) {
    Fixture f({{0.1f, 0.1f}});
    Pipe pipe;
    std::atomic<bool> stop{true};
    EXPECT_EQ(run_tick_schedule(*f.mixer, pipe.write, stop), 0u);
    EXPECT_EQ(pipe.queued(), 0u);
}

// ffmpeg stalls, the pipe fills and the mixer blocks in its write; the recorder then sets the
// stop flag and kills ffmpeg. The broken pipe that follows ends the mixer without a message.
TEST_F(MixerLoop, StopWhileBlockedOnAFullPipe) {
    Fixture f({{0.1f, 0.1f}, {0.2f, 0.2f}});
    Pipe pipe;
    std::atomic<bool> stop{false};
    std::uint64_t ticks = 0;
    std::thread mixer([&] { ticks = run_tick_schedule(*f.mixer, pipe.write, stop); });
    const auto deadline = Clock::now() + 10s;
    // Once no whole block fits any more, the next tick's write blocks (the kernel may or may
    // not take part of it first).
    while (pipe.queued() + 2 * kTickBytes <= pipe.capacity() && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(100ms);
    const std::size_t capacity = pipe.capacity();
    EXPECT_GT(pipe.queued() + 2 * kTickBytes, capacity);
    stop = true;
    pipe.read.reset();
    mixer.join();
    EXPECT_EQ(ticks, capacity / (2 * kTickBytes) + 1);  // the last one failed
    EXPECT_TRUE(f.engine.messages().empty());
}

// Over ten seconds, with the consumer not reading for two of them, the mixer writes exactly
// one whole block per 10 ms of the monotonic clock: ticks delayed by the stall are caught up
// afterwards, none is skipped, and the schedule does not drift.
TEST_F(MixerLoop, WritesOneBlockPerTickElapsedAcrossAStalledConsumer) {
    Fixture f({{0.1f, 0.1f}, {0.2f, 0.2f}});
    Pipe pipe;
    std::atomic<bool> stop{false};
    std::atomic<bool> reading{true};
    std::uint64_t read_bytes = 0;
    std::thread reader([&] {
        std::string buffer(65536, '\0');
        for (;;) {
            if (!reading) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            auto got = pipe.read.read_some(buffer.data(), buffer.size());
            if (!got || *got == 0) return;
            read_bytes += *got;
        }
    });

    std::uint64_t ticks = 0;
    Clock::time_point started, ended;
    std::thread mixer([&] {
        started = Clock::now();
        ticks = run_tick_schedule(*f.mixer, pipe.write, stop);
        ended = Clock::now();
        pipe.write.reset();
    });
    std::this_thread::sleep_for(3s);
    reading = false;
    std::this_thread::sleep_for(2s);
    const std::size_t stalled = pipe.queued();
    reading = true;
    std::this_thread::sleep_for(5s);
    const auto stopped = Clock::now();
    stop = true;
    mixer.join();
    reader.join();

    EXPECT_GT(stalled + 2 * kTickBytes, pipe.capacity()) << "the stall filled the pipe";
    EXPECT_EQ(read_bytes, ticks * 2 * kTickBytes);
    const auto tick_of = [&](Clock::time_point t) { return static_cast<std::uint64_t>((t - started) / 10ms) + 1; };
    // Never ahead of the clock; behind only by what a busy machine delays the last ticks.
    EXPECT_LE(ticks, tick_of(ended));
    EXPECT_GE(ticks + 5, tick_of(stopped));
}

// The stream's start: one block of silence, then nothing until ffmpeg has read it, so that
// the first tick's audio is the audio of the moment ffmpeg starts reading, not what piled
// up while it was starting.
TEST_F(MixerLoop, StreamStartsWhenTheReaderTakesTheFirstBlockWithCurrentAudio) {
    Fixture f({{0.25f, -0.5f}, {0.125f, 0.75f}}, 5000);
    Pipe pipe;
    std::atomic<bool> stop{false};
    bool started = false;
    std::thread mixer([&] { started = start_stream(*f.mixer, pipe.write, stop); });
    const auto deadline = Clock::now() + 10s;
    while (pipe.queued() < 2 * kTickBytes && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms);  // a start that did not wait would write on
    EXPECT_EQ(pipe.queued(), 2 * kTickBytes);
    EXPECT_EQ(pipe.read_up_to(2 * kTickBytes), std::string(2 * kTickBytes, '\0'));
    mixer.join();
    EXPECT_TRUE(started);
    for (const auto& queue : f.queues) EXPECT_EQ(queue->lock().pairs().size(), kBlockFrames) << "only the newest";
    EXPECT_GE(pipe.capacity(), 100 * 2 * kTickBytes) << "a second of the stream fits while ffmpeg sets up";
    EXPECT_TRUE(f.engine.messages().empty());
}

TEST_F(MixerLoop, StreamStartEndsOnStopOrAGoneReader) {
    {
        Fixture f({{0.25f, -0.5f}});
        Pipe pipe;
        std::atomic<bool> stop{false};
        std::thread stopper([&] {
            while (pipe.queued() == 0) std::this_thread::sleep_for(1ms);
            stop = true;
        });
        EXPECT_FALSE(start_stream(*f.mixer, pipe.write, stop));
        stopper.join();
        EXPECT_TRUE(f.engine.messages().empty());
    }
    {
        Fixture f({{0.25f, -0.5f}});
        Pipe pipe;
        pipe.read.reset();
        std::atomic<bool> stop{false};
        EXPECT_FALSE(start_stream(*f.mixer, pipe.write, stop));
        EXPECT_EQ(f.engine.messages(), std::vector<std::string>{"audio pipe closed: Broken pipe (os error 32)"});
    }
}

TEST(KeepCurrentAudio, KeepsTheNewestPairsTheFirstTickTakes) {
    struct Case {
        const char* what;
        double ratio;
        std::size_t queued;
        std::size_t kept;
    };
    const Case cases[] = {
        {"48 kHz, a backlog", 1.0, 20000, kBlockFrames},
        {"48 kHz, less than a block", 1.0, 100, 100},
        {"44.1 kHz resampled", 44100.0 / 48000.0, 20000, 442},
    };
    for (const Case& c : cases) {
        std::deque<StereoPair> queue;
        for (std::size_t i = 0; i < c.queued; ++i) queue.push_back({static_cast<float>(i), 0.0f});
        ResampleState state{c.ratio, 0.75, std::vector<StereoPair>(7)};
        keep_current_audio(queue, state);
        EXPECT_TRUE(state.pending.empty()) << c.what;
        EXPECT_EQ(state.pos, 0.0) << c.what;
        ASSERT_EQ(queue.size(), c.kept) << c.what;
        EXPECT_EQ(queue.back().left, static_cast<float>(c.queued - 1)) << c.what;
        EXPECT_EQ(queue.front().left, static_cast<float>(c.queued - c.kept)) << c.what;
    }
}

}  // namespace
}  // namespace vc
