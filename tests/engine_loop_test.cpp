#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "engine/engine_loop.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Time that passes only while the loop waits or a save runs: a receive jumps the clock to the
// next command of the script or to the loop's deadline, whichever comes first, and commands
// whose time comes while a save runs wait in the queue, as they would for the real loop. The
// loop runs on the test's own thread, so every time is exact.
class ScriptedClock final : public CommandClock {
public:
    struct Step {
        milliseconds at;
        EngineCommand command;
    };

    ScriptedClock(Sender<EngineCommand> loop_input, std::vector<Step> script)
        : loop_input_(std::move(loop_input)), script_(std::move(script)) {}

    Clock::time_point now() override { return now_; }
    milliseconds elapsed() const { return std::chrono::duration_cast<milliseconds>(now_ - start_); }

    // Time spent outside a receive (a save running): what the script sends meanwhile queues up.
    void pass(Clock::duration duration) {
        now_ += duration;
        send_due();
    }

    Received receive(Receiver<EngineCommand>& commands, std::optional<Clock::time_point> deadline) override {
        send_due();
        auto queued = commands.try_recv();
        if (queued.index() == 0 || std::get<RecvError>(queued) == RecvError::Disconnected) return queued;
        if (next_ < script_.size() && (!deadline || start_ + script_[next_].at <= *deadline)) {
            now_ = start_ + script_[next_].at;
            send_due();
            return commands.try_recv();
        }
        if (deadline) {
            now_ = std::max(now_, *deadline);
            return RecvError::Timeout;
        }
        ADD_FAILURE() << "the loop would wait for ever: the script has ended at " << elapsed().count() << " ms";
        return RecvError::Disconnected;
    }

private:
    void send_due() {
        while (next_ < script_.size() && start_ + script_[next_].at <= now_)
            EXPECT_TRUE(loop_input_.send(std::move(script_[next_++].command)).sent());
    }

    Clock::time_point start_ = Clock::time_point{} + 1h;
    Clock::time_point now_ = start_;
    Sender<EngineCommand> loop_input_;
    std::vector<Step> script_;
    std::size_t next_ = 0;
};

struct Saved {
    Origin origin;
    milliseconds at;
    bool operator==(const Saved&) const = default;
};

void PrintTo(const Saved& saved, std::ostream* out) {
    *out << origin_name(saved.origin) << " at " << saved.at.count() << " ms";
}

struct DelayCase {
    const char* what;
    milliseconds save_takes;
    std::vector<ScriptedClock::Step> script;
    std::vector<Saved> saves;
    milliseconds returned_at;
};

command::Save save(milliseconds delay, Origin origin) { return command::Save{delay, origin}; }

TEST(CommandLoop, DelayedSavesOnTheMonotonicClock) {
    const DelayCase cases[] = {
        {"a second delayed save while one waits is dropped",
         0ms,
         {{0ms, save(300ms, Origin::auto_)}, {150ms, save(300ms, Origin::voice)}, {600ms, command::Stop{}}},
         {{Origin::auto_, 300ms}},
         600ms},
        {"a delayed save is skipped when a save finished after it was asked",
         0ms,
         {{0ms, save(300ms, Origin::auto_)}, {100ms, save(0ms, Origin::manual)}, {500ms, command::Stop{}}},
         {{Origin::manual, 100ms}},
         500ms},
        // Received once the manual save has returned (200 ms, and 1 ms to get back to the
        // receive), so it is later than that save and is performed 100 ms after its receipt.
        {"a delayed save asked during a save is performed",
         200ms,
         {{0ms, save(0ms, Origin::manual)}, {50ms, save(100ms, Origin::auto_)}, {1000ms, command::Stop{}}},
         {{Origin::manual, 0ms}, {Origin::auto_, 301ms}},
         1000ms},
        {"stop drops the waiting save",
         0ms,
         {{0ms, save(200ms, Origin::auto_)}, {100ms, command::Stop{}}},
         {},
         100ms},
    };
    for (const DelayCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto [tx, rx] = make_queue<EngineCommand>();
        ScriptedClock clock(std::move(tx), c.script);
        std::vector<Saved> saves;
        EngineLoopHooks hooks;
        hooks.save = [&](Origin origin) {
            saves.push_back({origin, clock.elapsed()});
            clock.pass(c.save_takes);
            const auto finished = clock.now();
            clock.pass(1ms);  // the save's event, and the way back to the receive
            return finished;
        };
        hooks.send_event = [](EngineEvent) { ADD_FAILURE() << "no event expected"; };
        run_command_loop(rx, hooks, clock);
        EXPECT_EQ(saves, c.saves);
        EXPECT_EQ(clock.elapsed(), c.returned_at);
    }
}

// The loop on a thread of its own and the real clock, as the engine runs it: each save and
// event is passed on to the test through a queue.
struct LoopThread {
    std::pair<Sender<EngineCommand>, Receiver<EngineCommand>> commands = make_queue<EngineCommand>();
    std::pair<Sender<Saved>, Receiver<Saved>> saves = make_queue<Saved>();
    std::pair<Sender<EngineEvent>, Receiver<EngineEvent>> events = make_queue<EngineEvent>();
    Clock::time_point start = Clock::now();
    std::thread thread;

    explicit LoopThread(std::uint32_t pid = 42) {
        EngineLoopHooks hooks;
        hooks.recorder_pid = pid;
        hooks.save = [this, saved = saves.first](Origin origin) {
            saved.send({origin, std::chrono::duration_cast<milliseconds>(Clock::now() - start)});
            return Clock::now();
        };
        hooks.send_event = [sent = events.first](EngineEvent e) { sent.send(std::move(e)); };
        thread = std::thread([hooks = std::move(hooks), rx = std::move(commands.second)]() mutable {
            run_command_loop(rx, hooks);
        });
        saves.first.reset();
        events.first.reset();
    }
    ~LoopThread() {
        commands.first.send(command::Stop{});
        if (thread.joinable()) thread.join();
    }
    std::vector<Saved> saved_until_end() {
        std::vector<Saved> all;
        for (auto got = saves.second.recv_for(30s); got.index() == 0; got = saves.second.recv_for(30s))
            all.push_back(std::get<0>(got));
        return all;
    }
};

TEST(CommandLoopThread, DelayedSaveWaitsOutItsDelay) {
    LoopThread loop;
    const auto sent = Clock::now();
    loop.commands.first.send(save(50ms, Origin::auto_));
    const auto got = loop.saves.second.recv_for(30s);
    ASSERT_EQ(got.index(), 0u) << "no save";
    EXPECT_EQ(std::get<0>(got).origin, Origin::auto_);
    EXPECT_GE(std::get<0>(got).at, std::chrono::duration_cast<milliseconds>(sent - loop.start) + 50ms);
    loop.commands.first.send(command::Stop{});
    loop.thread.join();
    EXPECT_TRUE(loop.saved_until_end().empty());
}

TEST(CommandLoopThread, OnlyTheRunningRecordersEndCounts) {
    LoopThread loop(42);
    loop.commands.first.send(command::RecorderStopped{"recorder stopped: old", 7});
    loop.commands.first.send(command::RecorderStopped{"recorder stopped: boom", 42});
    loop.thread.join();
    auto got = loop.events.second.try_recv();
    ASSERT_EQ(got.index(), 0u);
    EXPECT_EQ(std::get<event::Message>(std::get<0>(got)).text, "recorder stopped: boom");
    EXPECT_EQ(std::get<RecvError>(loop.events.second.try_recv()), RecvError::Disconnected);
    EXPECT_TRUE(loop.commands.first.send(command::Stop{}).failed());  // the receiver is gone: the send fails
}

TEST(CommandLoopThread, DisconnectedQueueEndsTheLoop) {
    LoopThread loop;
    loop.commands.first.send(save(0ms, Origin::manual));
    loop.commands.first.reset();
    loop.thread.join();
    const auto saves = loop.saved_until_end();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].origin, Origin::manual);
}

}  // namespace
}  // namespace vc
