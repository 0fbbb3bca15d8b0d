#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>

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
    // `count` pairs of `value`, delivered at `arrived` (a device keeping pace with ticks run
    // one after the other delivers one block a tick, 10 ms apart).
    static void push(FrameQueue& queue, StereoPair value, std::size_t count,
                     Clock::time_point arrived = Clock::time_point{} + 1h) {
        std::vector<float> samples;
        for (std::size_t i = 0; i < count; ++i) samples.insert(samples.end(), {value.left, value.right});
        push_frames_f32(queue, samples, 2, arrived);
    }
    static Clock::time_point tick_time(int tick) { return Clock::time_point{} + 1h + tick * 10ms; }
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
        Fixture::push(*f.queues[0], {0.5f, 0.25f}, kBlockFrames, Fixture::tick_time(tick));
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
        Fixture::push(*f.queues[1], {value, value}, kBlockFrames, Fixture::tick_time(tick));
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

// True while thread `tid` of this process waits in write(2) on `fd`.
bool blocked_in_write(pid_t tid, int fd) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string first_argument;
    in >> number >> first_argument;
    return number == SYS_write && first_argument.starts_with("0x") &&
           std::stol(first_argument.substr(2), nullptr, 16) == fd;
}

// ffmpeg stalls, the pipe fills and the mixer blocks in its write; the recorder then sets the
// stop flag and kills ffmpeg. The broken pipe that follows ends the mixer without a message.
TEST_F(MixerLoop, StopWhileBlockedOnAFullPipe) {
    Fixture f({{0.1f, 0.1f}, {0.2f, 0.2f}});
    Pipe pipe;
    std::atomic<bool> stop{false};
    std::atomic<pid_t> mixer_tid{0};
    std::uint64_t ticks = 0;
    std::thread mixer([&] {
        mixer_tid = ::gettid();
        ticks = run_tick_schedule(*f.mixer, pipe.write, stop);
    });
    const auto deadline = Clock::now() + 30s;
    while ((mixer_tid == 0 || !blocked_in_write(mixer_tid, pipe.write.get())) && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const bool blocked = blocked_in_write(mixer_tid, pipe.write.get());
    const std::size_t queued = pipe.queued();
    const std::size_t capacity = pipe.capacity();
    stop = true;
    pipe.read.reset();
    mixer.join();
    ASSERT_TRUE(blocked) << "the mixer never blocked on the full pipe";
    EXPECT_GT(queued + 2 * kTickBytes, capacity);
    EXPECT_EQ(ticks, capacity / (2 * kTickBytes) + 1);  // the last one failed
    EXPECT_TRUE(f.engine.messages().empty());
}

// A 48 kHz device on the schedule's own clock. Period p, 480 pairs whose left values count
// the device's pairs from 1 (so that each pair in the stream tells where it came from), is
// due when tick p is, comes `late(p)` after that but never before the one before it, or
// never (nullopt): then the next period says that audio was lost, as after an overrun. The
// block of tick p is period p - 1: the device's 10 ms that had come a tick before.
struct ScriptedDevice {
    FrameQueue& queue;
    Clock::time_point first_due;
    std::function<std::optional<Clock::duration>(std::size_t period)> late = [](std::size_t) {
        return std::optional<Clock::duration>(0ms);
    };
    // A device clock a little off the stream's has periods a little shorter or longer; one
    // that is silent now and then delivers zeros then.
    Clock::duration period_length = 10ms;
    std::function<bool(std::size_t period)> sounding = [](std::size_t) { return true; };
    // What it sounds, pair by pair; by default the count.
    std::function<float(std::size_t pair)> wave = [](std::size_t pair) { return static_cast<float>(1 + pair); };
    // Periods that never come, of which the device says nothing (a suspended source).
    std::function<bool(std::size_t period)> absent = [](std::size_t) { return false; };
    std::size_t next = 0;
    Clock::time_point last_arrival{};

    static float value(std::size_t period, std::size_t i) { return static_cast<float>(1 + period * kBlockFrames + i); }

    bool lost_one = false;

    // When its next period comes; nullopt when none is to come.
    std::optional<Clock::time_point> next_arrival() const {
        for (std::size_t period = next; period < 100000; ++period)
            if (const auto lateness = late(period); lateness && !absent(period))
                return std::max(first_due + static_cast<int>(period) * period_length + *lateness, last_arrival);
        return std::nullopt;
    }

    void deliver_until(Clock::time_point now) {
        for (; next < 100000; ++next) {
            if (absent(next)) continue;
            const auto lateness = late(next);
            if (!lateness) {
                lost_one = true;
                continue;
            }
            const Clock::time_point due = first_due + static_cast<int>(next) * period_length + *lateness;
            const auto arrival = std::max(due, last_arrival);
            if (arrival > now) return;
            std::vector<float> samples;
            const bool sound = sounding(next);
            for (std::size_t i = 0; i < kBlockFrames; ++i) {
                const float v = sound ? wave(next * kBlockFrames + i) : 0.0f;
                samples.insert(samples.end(), {v, -v});
            }
            push_frames_f32(queue, samples, 2, arrival, std::exchange(lost_one, false));
            last_arrival = arrival;
        }
    }
};

// Time that moves only when the schedule sleeps or waits for a delivery, with the devices
// delivering meanwhile. Each sleep may end later than asked by what `late_wake_up` says (a
// busy machine, or a consumer that held up the writes meanwhile); a wait for a delivery ends
// when a device's next period comes. The stop flag is set during the first sleep or wait
// that ends at or after `stop_at`, as the recorder would set it. `on_sleep` looks at the
// schedule at every sleep and wait; `waits` counts the waits and `waited` adds up their time.
struct ScriptedClock final : TickClock {
    Clock::time_point time = Clock::time_point{} + 1h;
    Clock::time_point started = time;
    std::vector<ScriptedDevice> devices;
    std::function<Clock::duration(std::uint64_t sleep)> late_wake_up = [](std::uint64_t) { return Clock::duration{}; };
    Clock::duration stop_at = 1s;
    std::atomic<bool>* stop = nullptr;
    std::function<void(Clock::duration asked)> on_sleep = [](Clock::duration) {};
    std::uint64_t sleeps = 0;

    // `script` sets the devices up before their first period comes, as the clock is made.
    ScriptedClock(Fixture& f, std::atomic<bool>& stop_flag,
                  const std::function<void(std::vector<ScriptedDevice>&)>& script = {})
        : stop(&stop_flag) {
        for (auto& queue : f.queues) devices.push_back({*queue, started});
        if (script) script(devices);
        deliver();
    }
    void deliver() {
        for (auto& device : devices) device.deliver_until(time);
    }
    Clock::time_point now() override { return time; }
    void sleep_for(Clock::duration duration) override {
        on_sleep(duration);
        time += duration + late_wake_up(sleeps++);
        deliver();
        if (time - started >= stop_at) *stop = true;
    }
    std::uint64_t waits = 0;
    Clock::duration waited{};
    void wait_for_delivery(DeliverySignal& deliveries, std::uint64_t seen, Clock::time_point until) override {
        on_sleep(until - time);
        ++waits;
        const auto before = time;
        if (deliveries.rings() == seen) {
            Clock::time_point next = until;
            for (const auto& device : devices)
                if (const auto arrival = device.next_arrival()) next = std::min(next, *arrival);
            time = std::max(time, next);
        }
        waited += time - before;
        deliver();
        if (time - started >= stop_at) *stop = true;
    }
};

// The whole stream, as the pairs of one track frame by frame.
std::vector<StereoPair> stream_pairs(const FileDescriptor& stream, std::size_t tracks, std::size_t track) {
    struct stat status {};
    EXPECT_EQ(::fstat(stream.get(), &status), 0);
    std::vector<float> samples(static_cast<std::size_t>(status.st_size) / sizeof(float));
    EXPECT_EQ(::pread(stream.get(), samples.data(), samples.size() * sizeof(float), 0),
              static_cast<ssize_t>(samples.size() * sizeof(float)));
    std::vector<StereoPair> pairs;
    for (std::size_t at = 2 * track; at + 1 < samples.size(); at += 2 * tracks) pairs.push_back({samples[at], samples[at + 1]});
    return pairs;
}

// A mixer over `tracks` scripted devices on the scripted clock, writing its stream to a file.
struct ScriptedRun {
    Fixture f;
    const FileDescriptor stream{::memfd_create("stream", MFD_CLOEXEC)};
    std::atomic<bool> stop{false};
    ScriptedClock clock;

    explicit ScriptedRun(std::size_t tracks, const std::function<void(std::vector<ScriptedDevice>&)>& script = {})
        : f(std::vector<StereoPair>(tracks, StereoPair{})), clock(f, stop, script) {}
    std::uint64_t run() { return run_tick_schedule(*f.mixer, stream, stop, clock); }
    std::vector<StereoPair> pairs(std::size_t track = 0) { return stream_pairs(stream, f.queues.size(), track); }
};

// Ten seconds of the schedule with wake-ups late by up to 12 ms and one stall of two
// seconds: ticks delayed by a stall are caught up back to back, none is skipped, none runs
// early, and the schedule does not drift. A stop during a sleep ends it without another tick.
TEST_F(MixerLoop, WritesOneBlockPerTickElapsedAcrossStalls) {
    ScriptedRun r(2);
    ASSERT_TRUE(r.stream);
    ScriptedClock& clock = r.clock;
    clock.late_wake_up = [](std::uint64_t sleep) -> Clock::duration {
        if (sleep == 300) return 2s;
        return (sleep % 5) * 3ms;
    };
    clock.stop_at = 10s;
    const auto blocks_written = [&] {
        struct stat status {};
        EXPECT_EQ(::fstat(r.stream.get(), &status), 0);
        EXPECT_EQ(static_cast<std::size_t>(status.st_size) % (2 * kTickBytes), 0u) << "whole blocks only";
        return static_cast<std::uint64_t>(status.st_size) / (2 * kTickBytes);
    };
    std::uint64_t blocks_at_last_sleep = 0;
    clock.on_sleep = [&](Clock::duration asked) {
        // Written so far: one block per started tick since the first, neither fewer (a tick
        // skipped or still owed) nor more (a tick early); and the sleep aims at the next one.
        const std::uint64_t blocks = blocks_written();
        const auto ticks_due = static_cast<std::uint64_t>((clock.time - clock.started) / 10ms) + 1;
        EXPECT_EQ(blocks, ticks_due) << "sleep " << clock.sleeps << " at " << (clock.time - clock.started) / 1ms << " ms";
        EXPECT_EQ(clock.time + asked - clock.started, blocks * 10ms) << "sleep " << clock.sleeps;
        blocks_at_last_sleep = blocks;
    };

    const std::uint64_t ticks = r.run();

    EXPECT_EQ(ticks, blocks_written());
    EXPECT_EQ(ticks, blocks_at_last_sleep) << "no tick after the stop";
    EXPECT_GT(clock.sleeps, 300u) << "the stall came";
    EXPECT_LT(clock.sleeps + 200, ticks) << "the stall's ticks ran without sleeping";
    EXPECT_TRUE(r.f.engine.messages().empty());
}

// A device whose periods come late: 5, 15 and 40 ms after they were due; then it stalls for
// 200 ms and hands over what it held (a sound server starved on a busy machine); and one of
// its periods never comes (an overrun, which it says). The ticks wait for late audio, so it
// reaches the stream whole, in order and in its place. Ticks that the stall kept past their
// budget are silent, and the pairs that come for them afterwards are dropped, so that every
// later pair keeps its place; the lost period is silence. A second track that keeps its pace
// waits with it.
TEST_F(MixerLoop, LateAudioComesWholeLostAudioIsSilenceEveryPairInItsPlace) {
    ScriptedRun r(2);
    ASSERT_TRUE(r.stream);
    ScriptedClock& clock = r.clock;
    const std::size_t stall_from = 120, stall_to = 140, never = 180;
    clock.devices[0].late = [&](std::size_t period) -> std::optional<Clock::duration> {
        if (period == 20) return 5ms;
        if (period == 40) return 15ms;
        if (period == 60) return 40ms;
        // All at once, 5 ms after the last of them was due.
        if (period >= stall_from && period <= stall_to) return static_cast<int>(stall_to - period) * 10ms + 5ms;
        if (period == never) return std::nullopt;
        return 0ms;
    };
    clock.stop_at = 2s + 500us;
    // How long past its deadline each tick was written: the blocks written by a sleep were
    // written at its start.
    std::vector<Clock::duration> written_late;
    clock.on_sleep = [&](Clock::duration) {
        struct stat status {};
        ::fstat(r.stream.get(), &status);
        const auto blocks = static_cast<std::size_t>(status.st_size) / (2 * kTickBytes);
        while (written_late.size() < blocks) written_late.push_back(clock.time - clock.started - written_late.size() * 10ms);
    };
    const std::uint64_t ticks = r.run();
    ASSERT_EQ(ticks, 201u);

    // The stall's ticks that had waited their whole budget when its audio came.
    const auto padded = [&](std::size_t tick) { return tick > stall_from && tick * 10ms + kLateBudget < stall_to * 10ms + 5ms; };
    for (std::size_t track = 0; track < 2; ++track) {
        SCOPED_TRACE(track);
        const auto pairs = r.pairs(track);
        ASSERT_EQ(pairs.size(), ticks * kBlockFrames);
        for (std::size_t tick = 0; tick < ticks; ++tick) {
            const bool silent = tick == 0 || (track == 0 && (padded(tick) || tick == never + 1));
            for (std::size_t i = 0; i < kBlockFrames; ++i) {
                const float expected = silent ? 0.0f : ScriptedDevice::value(tick - 1, i);
                ASSERT_EQ(pairs[tick * kBlockFrames + i], (StereoPair{expected, -expected}))
                    << "tick " << tick << " pair " << i;
            }
        }
    }
    // A tick takes the period due a tick before it, so it waits 10 ms less than its audio is
    // late; the stall's ticks gave up once their budget was spent, not before; the lost
    // period's tick did not wait at all.
    ASSERT_GE(written_late.size(), 190u);
    EXPECT_EQ(written_late[21], 0ms);
    EXPECT_EQ(written_late[41], 5ms);
    EXPECT_EQ(written_late[61], 30ms);
    EXPECT_EQ(written_late[stall_from + 1], kLateBudget);
    EXPECT_EQ(written_late[never + 1], 0ms);
    EXPECT_LE(*std::max_element(written_late.begin(), written_late.end()), kLateBudget);
    EXPECT_TRUE(r.f.engine.messages().empty());
}

// A device whose clock runs 0.1% fast delivers 48 pairs a second more than the stream takes,
// one 0.1% slow 48 fewer: twenty seconds of either would put its sound 20 ms off. What lies
// off its pace is mended where the device is silent (it sounds half a second, then is
// silent half a second), so every stretch of sound reaches the stream whole and within 5 ms
// of where it belongs.
TEST_F(MixerLoop, DeviceClockAFewSamplesOffIsMendedWhereItIsSilent) {
    struct Case {
        const char* what;
        double rate;  // the device's pairs per second of the stream's clock
    };
    for (const Case& c : {Case{"fast", 48048.0}, Case{"slow", 47952.0}}) {
        SCOPED_TRACE(c.what);
        ScriptedRun r(1);
        ASSERT_TRUE(r.stream);
        r.clock.devices[0].period_length = std::chrono::nanoseconds(std::llround(480.0 / c.rate * 1e9));
        r.clock.devices[0].sounding = [](std::size_t period) { return period / 50 % 2 == 0; };
        r.clock.stop_at = 20s;
        (void)r.run();

        const auto pairs = r.pairs(0);
        std::size_t stretches = 0;
        for (std::size_t at = 0; at < pairs.size(); ++at) {
            if (pairs[at].left == 0.0f || (at > 0 && pairs[at - 1].left != 0.0f)) continue;
            ++stretches;
            // A stretch of sound: whole, pair after pair, and where its first pair belongs (a
            // tick after it came, at the device's own pace).
            const auto first = static_cast<std::size_t>(pairs[at].left) - 1;
            const double came = static_cast<double>(first) / c.rate;
            const double placed = static_cast<double>(at) / 48000.0 - 0.010;
            EXPECT_NEAR(placed, came, 0.005) << "stretch at " << came << " s";
            std::size_t end = at;
            while (end + 1 < pairs.size() && pairs[end + 1].left != 0.0f) ++end;
            for (std::size_t i = at + 1; i <= end; ++i)
                ASSERT_EQ(pairs[i].left, pairs[i - 1].left + 1.0f) << "a pair dropped or put in at " << i;
            at = end;
        }
        EXPECT_GE(stretches, 19u);
    }
}

// A steady tone passes through zero twice a period; a pair there is no silence. A device a
// little fast builds up a lead that may be dropped only where the track is silent, and a
// tone is never silent: not one pair of it may go.
TEST_F(MixerLoop, ToneThroughZeroIsNoSilence) {
    ScriptedRun r(1);
    ASSERT_TRUE(r.stream);
    const auto tone = [](std::size_t pair) {  // 1 kHz: 48 pairs a period, zero at every 24th
        return pair % 24 == 0 ? 0.0f : static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * pair / 48.0));
    };
    r.clock.devices[0].period_length = std::chrono::nanoseconds(9'990'010);  // 0.1% fast
    r.clock.devices[0].wave = tone;
    r.clock.stop_at = 10s;
    const std::uint64_t ticks = r.run();

    const auto pairs = r.pairs(0);
    ASSERT_EQ(pairs.size(), ticks * kBlockFrames);
    // The first period came as the clock was made, before it had its tone.
    for (std::size_t at = 2 * kBlockFrames; at < pairs.size(); ++at)
        ASSERT_EQ(pairs[at].left, tone(at - kBlockFrames)) << "pair " << at << " of the stream";
}

// How long past its deadline each tick of a scripted run was written (the blocks written by
// a sleep or a wait were written at its start).
struct WrittenLate {
    std::vector<Clock::duration> ticks;
    void watch(ScriptedRun& r) {
        r.clock.on_sleep = [this, &r](Clock::duration) {
            struct stat status {};
            ::fstat(r.stream.get(), &status);
            const auto blocks = static_cast<std::size_t>(status.st_size) / (r.f.queues.size() * kTickBytes);
            while (ticks.size() < blocks) ticks.push_back(r.clock.time - r.clock.started - ticks.size() * 10ms);
        };
    }
};

// A track whose device opens but never delivers, beside one that delivers on time: the first
// tick waits its budget for it, and no tick after that waits at all; its blocks are silent,
// the other track's whole and in their place.
TEST_F(MixerLoop, TrackThatNeverDeliversIsWaitedForOnceThenSilent) {
    ScriptedRun r(2, [](std::vector<ScriptedDevice>& devices) { devices[1].absent = [](std::size_t) { return true; }; });
    ASSERT_TRUE(r.stream);
    r.f.mixer->tracks[1].pace.stream_start = r.clock.started;
    WrittenLate late;
    late.watch(r);
    r.clock.stop_at = 5s;
    const std::uint64_t ticks = r.run();

    const auto live = r.pairs(0);
    const auto dead = r.pairs(1);
    ASSERT_EQ(live.size(), ticks * kBlockFrames);
    for (std::size_t at = kBlockFrames; at < live.size(); ++at)
        ASSERT_EQ(live[at].left, ScriptedDevice::value(0, at - kBlockFrames)) << "pair " << at << " of the stream";
    EXPECT_TRUE(std::ranges::all_of(dead, [](const StereoPair& pair) { return pair == StereoPair{}; }));
    EXPECT_EQ(r.clock.waited, kLateBudget);
    ASSERT_GT(late.ticks.size(), 400u);
    EXPECT_EQ(late.ticks[0], kLateBudget);
    // The ticks that the wait held up ran back to back, and none waited after it.
    for (std::size_t tick = 1; tick < late.ticks.size(); ++tick)
        ASSERT_LE(late.ticks[tick], std::max<Clock::duration>(kLateBudget - tick * 10ms, 0ms)) << "tick " << tick;
}

// A track that goes quiet for three seconds without a word (its source suspended) and then
// delivers again, beside one that keeps delivering: it is waited for no longer than
// kQuietAfter, its blocks are silent while it is quiet, and its audio is in its place again
// from its first period after; the other track is whole throughout.
TEST_F(MixerLoop, TrackThatGoesQuietIsSilentUntilItDeliversThenInItsPlace) {
    ScriptedRun r(2);
    ASSERT_TRUE(r.stream);
    const std::size_t quiet_from = 200, quiet_to = 500;
    r.clock.devices[1].absent = [&](std::size_t period) { return period >= quiet_from && period < quiet_to; };
    WrittenLate late;
    late.watch(r);
    r.clock.stop_at = 7s;
    const std::uint64_t ticks = r.run();

    for (std::size_t track = 0; track < 2; ++track) {
        SCOPED_TRACE(track);
        const auto pairs = r.pairs(track);
        ASSERT_EQ(pairs.size(), ticks * kBlockFrames);
        for (std::size_t tick = 1; tick < ticks; ++tick) {
            const bool silent = track == 1 && tick > quiet_from && tick <= quiet_to;
            for (std::size_t i = 0; i < kBlockFrames; ++i) {
                const float expected = silent ? 0.0f : ScriptedDevice::value(tick - 1, i);
                ASSERT_EQ(pairs[tick * kBlockFrames + i].left, expected) << "tick " << tick << " pair " << i;
            }
        }
    }
    EXPECT_LE(r.clock.waited, kQuietAfter + kLateBudget);
    ASSERT_GT(late.ticks.size(), quiet_to + 10);
    const std::size_t quiet_for_sure = quiet_from + (kQuietAfter + kLateBudget) / 10ms + 10;
    for (std::size_t tick = quiet_for_sure; tick < late.ticks.size(); ++tick)
        ASSERT_EQ(late.ticks[tick], 0ms) << "tick " << tick;
}

// On a busy machine a device's periods come a few milliseconds late, every one of them, for
// as long as the machine stays busy; once in a while one comes later still. Its clock is the
// stream's and it loses nothing, so nothing of its sound may be dropped or put in: taking
// the late periods for lost audio would leave a hole and set the sound after it off its
// place.
TEST_F(MixerLoop, DeviceLateForLongLosesNothing) {
    ScriptedRun r(1);
    ASSERT_TRUE(r.stream);
    r.clock.devices[0].late = [](std::size_t period) -> std::optional<Clock::duration> {
        if (period < 5) return 0ms;  // the machine was idle when the track opened
        if (period % 250 == 0) return 9ms;
        return std::chrono::microseconds(1500 + period % 7 * 400);
    };
    r.clock.stop_at = 10s;
    const std::uint64_t ticks = r.run();

    const auto pairs = r.pairs(0);
    ASSERT_EQ(pairs.size(), ticks * kBlockFrames);
    for (std::size_t at = kBlockFrames; at < pairs.size(); ++at)
        ASSERT_EQ(pairs[at].left, ScriptedDevice::value(0, at - kBlockFrames)) << "pair " << at << " of the stream";
}

// A device that hands its audio over in blocks of `periods` periods: each block comes when
// its last period is due, between `from` and `to` (periods), and period by period elsewhere.
std::function<std::optional<Clock::duration>(std::size_t)> in_blocks(std::size_t periods, std::size_t from = 0,
                                                                     std::size_t to = SIZE_MAX) {
    return [=](std::size_t period) -> std::optional<Clock::duration> {
        if (period < from || period >= to) return 0ms;
        const std::size_t last = std::min(from + ((period - from) / periods + 1) * periods, to) - 1;
        return static_cast<int>(last - period) * 10ms;
    };
}

// From tick `from` on, each tick was written as soon as its audio (the period a tick before
// it) had come with its block, and no later; never before its deadline.
void expect_written_once_its_audio_came(const std::vector<Clock::duration>& written_late, std::size_t from,
                                        const ScriptedDevice& device) {
    for (std::size_t tick = from; tick < written_late.size(); ++tick) {
        const Clock::duration came = static_cast<int>(tick - 1) * 10ms + *device.late(tick - 1);
        ASSERT_EQ(written_late[tick] + tick * 10ms, std::max<Clock::duration>(came, tick * 10ms)) << "tick " << tick;
    }
}

// A device that delivers every 10 ms, then in blocks of 300 ms, then every 10 ms again (a
// sound server whose quantum changes). The ticks wait for each block as long as its device
// now needs, so only its first long gap is lost: before the device's new rhythm is known,
// the ticks of that gap wait the short wait and are padded. Every other pair reaches the
// stream in its place, and each tick is written as soon as its audio has come, no later.
TEST_F(MixerLoop, DeviceThatChangesItsRhythmLosesAtMostItsFirstLongGap) {
    const std::size_t blocks_from = 300, blocks_to = 780;
    ScriptedRun r(1, [&](std::vector<ScriptedDevice>& devices) { devices[0].late = in_blocks(30, blocks_from, blocks_to); });
    ASSERT_TRUE(r.stream);
    WrittenLate late;
    late.watch(r);
    r.clock.stop_at = 10s;
    const std::uint64_t ticks = r.run();

    const auto pairs = r.pairs(0);
    ASSERT_EQ(pairs.size(), ticks * kBlockFrames);
    std::size_t padded = 0;
    for (std::size_t tick = 1; tick < ticks; ++tick) {
        const bool silent = pairs[tick * kBlockFrames] == StereoPair{};
        if (silent) {
            ++padded;
            ASSERT_GT(tick, blocks_from) << "tick " << tick << " is silent";
            ASSERT_LE(tick, blocks_from + 30) << "tick " << tick << " is silent, after the first long gap";
        }
        for (std::size_t i = 0; i < kBlockFrames; ++i) {
            const float expected = silent ? 0.0f : ScriptedDevice::value(tick - 1, i);
            ASSERT_EQ(pairs[tick * kBlockFrames + i].left, expected) << "tick " << tick << " pair " << i;
        }
    }
    // The first long gap: the ticks that gave up on their short wait before the block came.
    EXPECT_EQ(padded, (30 * 10ms - kLateBudget) / 10ms - 2);
    ASSERT_GT(late.ticks.size(), 990u);
    expect_written_once_its_audio_came(late.ticks, blocks_from + 31, r.clock.devices[0]);
}

// A device that delivers in blocks of 250 ms beside one that opens and never delivers. The
// dead one is waited for once, at the start, and costs nothing after: from the bursty one's
// third block each tick is written as soon as its audio has come, and the bursty track is
// whole and in its place; the dead one is silent.
TEST_F(MixerLoop, DeadTrackBesideOneThatDeliversInBlocksCostsNothing) {
    ScriptedRun r(2, [](std::vector<ScriptedDevice>& devices) {
        devices[0].late = in_blocks(25);
        devices[1].absent = [](std::size_t) { return true; };
    });
    ASSERT_TRUE(r.stream);
    for (MixTrack& track : r.f.mixer->tracks) track.pace.stream_start = r.clock.started;
    WrittenLate late;
    late.watch(r);
    r.clock.stop_at = 8s;
    const std::uint64_t ticks = r.run();

    const auto bursty = r.pairs(0);
    ASSERT_EQ(bursty.size(), ticks * kBlockFrames);
    for (std::size_t at = 51 * kBlockFrames; at < bursty.size(); ++at)
        ASSERT_EQ(bursty[at].left, ScriptedDevice::value(0, at - kBlockFrames)) << "pair " << at << " of the stream";
    const auto dead = r.pairs(1);
    EXPECT_TRUE(std::ranges::all_of(dead, [](const StereoPair& pair) { return pair == StereoPair{}; }));
    ASSERT_GT(late.ticks.size(), 790u);
    expect_written_once_its_audio_came(late.ticks, 51, r.clock.devices[0]);
}

// Each block after the stream's start holds the device's audio of its own place: the
// stream's first 10 ms are the block of silence that ffmpeg read at the start, so the first
// tick's block is the device's 10 ms that began 10 ms after the start, at the device's pace,
// whether the device delivers on time or each period a little late (a sound server), and
// the stream goes on from there pair after pair.
TEST_F(MixerLoop, BlocksAfterTheStartHoldTheAudioOfTheirPlace) {
    for (const auto late : {0ms, 4ms}) {
        SCOPED_TRACE(std::to_string(late / 1ms) + " ms late");
        ScriptedRun r(1);
        ASSERT_TRUE(r.stream);
        ScriptedClock& clock = r.clock;
        clock.devices[0].late = [late](std::size_t) { return std::optional<Clock::duration>(late); };
        // ffmpeg reads the block of silence 1003 ms after the device opened.
        const auto start = clock.started + 1003ms;
        clock.time = start;
        clock.deliver();
        {
            auto locked = r.f.queues[0]->lock();
            start_track(locked.pairs(), r.f.mixer->tracks[0].resample, r.f.mixer->tracks[0].pace, start);
        }
        clock.stop_at = 3s;
        const std::uint64_t ticks = run_tick_schedule(*r.f.mixer, r.stream, r.stop, clock, start + kFirstTickAfterStart);

        // The device's pair n came, at its pace, n pairs after its first would have: one
        // period before the first period was due, and `late` after that.
        const auto place = [&](std::size_t pair) {
            return clock.started - 10ms + late + std::chrono::nanoseconds(pair * 1'000'000'000 / 48000);
        };
        const auto pairs = r.pairs(0);
        ASSERT_EQ(pairs.size(), ticks * kBlockFrames);
        ASSERT_GT(pairs.size(), kBlockFrames);
        const auto first = static_cast<std::size_t>(pairs[0].left) - 1;
        EXPECT_EQ(place(first), start + 10ms);
        for (std::size_t at = 1; at < pairs.size(); ++at)
            ASSERT_EQ(pairs[at].left, pairs[0].left + static_cast<float>(at)) << "pair " << at << " of the stream";
    }
}

// The stream's start: one block of silence, then nothing until ffmpeg has read it. That
// moment is the stream's start: what the tracks captured until then lies before it and is
// forgotten, and the first tick is due once the audio of the stream's second block can
// have come.
TEST_F(MixerLoop, StreamStartsWhenTheReaderTakesTheFirstBlock) {
    Fixture f({{0.25f, -0.5f}, {0.125f, 0.75f}}, 5000);
    Pipe pipe;
    std::atomic<bool> stop{false};
    std::optional<Clock::time_point> first_tick;
    std::thread mixer([&] { first_tick = start_stream(*f.mixer, pipe.write, stop); });
    const auto deadline = Clock::now() + 10s;
    while (pipe.queued() < 2 * kTickBytes && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms);  // a start that did not wait would write on
    EXPECT_EQ(pipe.queued(), 2 * kTickBytes);
    const auto read_at = Clock::now();
    EXPECT_EQ(pipe.read_up_to(2 * kTickBytes), std::string(2 * kTickBytes, '\0'));
    mixer.join();
    const auto returned_by = Clock::now();
    ASSERT_TRUE(first_tick);
    EXPECT_GE(*first_tick, read_at + kFirstTickAfterStart);
    EXPECT_LE(*first_tick, returned_by + kFirstTickAfterStart);
    for (const auto& queue : f.queues) EXPECT_EQ(queue->lock().pairs().size(), 0u) << "all of it before the start";
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

}  // namespace
}  // namespace vc
