#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "engine/engine_loop.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs the loop on a thread of its own, recording each save and event.
struct LoopFixture : ::testing::Test {
    struct Saved {
        Origin origin;
        Clock::time_point at;
    };

    Sender<EngineCommand> commands;
    std::mutex mutex;
    std::vector<Saved> saves;
    std::vector<EngineEvent> events;
    std::chrono::milliseconds save_takes{0};
    std::thread thread;
    bool returned = false;
    Clock::time_point start = Clock::now();

    void run(std::uint32_t pid = 42) {
        auto [tx, rx] = make_queue<EngineCommand>();
        commands = std::move(tx);
        thread = std::thread([this, pid, rx = std::move(rx)]() mutable {
            EngineLoopHooks hooks;
            hooks.recorder_pid = pid;
            hooks.save = [this](Origin origin) {
                {
                    std::lock_guard lock(mutex);
                    saves.push_back({origin, Clock::now()});
                }
                std::this_thread::sleep_for(save_takes);
                return Clock::now();
            };
            hooks.send_event = [this](EngineEvent e) {
                std::lock_guard lock(mutex);
                events.push_back(std::move(e));
            };
            run_command_loop(rx, hooks);
            std::lock_guard lock(mutex);
            returned = true;
        });
    }
    void save(std::chrono::milliseconds delay, Origin origin) { commands.send(command::Save{delay, origin}); }
    void finish() {
        commands.send(command::Stop{});
        thread.join();
    }
    ~LoopFixture() override {
        if (thread.joinable()) finish();
    }
};

TEST_F(LoopFixture, SecondDelayedSaveWhileOneWaitsIsDropped) {
    run();
    save(300ms, Origin::auto_);
    std::this_thread::sleep_for(150ms);
    save(300ms, Origin::voice);
    std::this_thread::sleep_for(600ms);
    finish();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].origin, Origin::auto_);
    EXPECT_GE(saves[0].at - start, 300ms);
    EXPECT_LT(saves[0].at - start, 450ms);
}

TEST_F(LoopFixture, DelayedSaveSkippedWhenASaveFinishedAfterItWasAsked) {
    run();
    save(300ms, Origin::auto_);
    std::this_thread::sleep_for(100ms);
    save(0ms, Origin::manual);
    std::this_thread::sleep_for(400ms);
    finish();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].origin, Origin::manual);
}

TEST_F(LoopFixture, DelayedSaveAskedDuringASaveIsPerformed) {
    save_takes = 200ms;
    run();
    save(0ms, Origin::manual);
    std::this_thread::sleep_for(50ms);  // the manual save is running
    save(100ms, Origin::auto_);
    std::this_thread::sleep_for(500ms);
    finish();
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_EQ(saves[1].origin, Origin::auto_);
}

TEST_F(LoopFixture, StopDropsTheWaitingSave) {
    run();
    save(200ms, Origin::auto_);
    finish();
    std::this_thread::sleep_for(250ms);
    EXPECT_TRUE(saves.empty());
    EXPECT_TRUE(returned);
}

TEST_F(LoopFixture, OnlyTheRunningRecordersEndCounts) {
    run(42);
    commands.send(command::RecorderStopped{"recorder stopped: old", 7});
    commands.send(command::RecorderStopped{"recorder stopped: boom", 42});
    thread.join();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<event::Message>(events[0]).text, "recorder stopped: boom");
    EXPECT_TRUE(returned);
    EXPECT_TRUE(commands.send(command::Stop{}));  // the receiver is gone: the send fails
}

TEST_F(LoopFixture, DisconnectedQueueEndsTheLoop) {
    run();
    save(0ms, Origin::manual);
    commands.reset();
    thread.join();
    EXPECT_EQ(saves.size(), 1u);
    EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace vc
