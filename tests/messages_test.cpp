// The engine's messages on their queues: what the recorder's threads rely on when they
// hold copies of RecorderContext.
#include <gtest/gtest.h>

#include "engine/messages.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;

TEST(EngineMessages, ContextCopiesKeepTheQueuesOpen) {
    auto [commands, command_rx] = make_queue<EngineCommand>();
    auto [events, event_rx] = make_queue<EngineEvent>();
    auto context = std::make_optional(RecorderContext{std::move(commands), std::move(events), 5s});
    RecorderContext copy = *context;
    context.reset();
    EXPECT_TRUE(copy.commands.send(command::Save{copy.post_roll, Origin::auto_}).sent());
    EXPECT_TRUE(copy.events.send(event::LoudMoment{}).sent());
    copy = RecorderContext{};  // the last holder lets go
    auto save = command_rx.recv();
    ASSERT_EQ(save.index(), 0u);
    const auto& command = std::get<0>(save);
    ASSERT_TRUE(std::holds_alternative<command::Save>(command));
    EXPECT_EQ(std::get<command::Save>(command).delay, 5s);
    EXPECT_EQ(std::get<command::Save>(command).origin, Origin::auto_);
    EXPECT_EQ(std::get<RecvError>(command_rx.recv()), RecvError::Disconnected);
    EXPECT_TRUE(std::holds_alternative<event::LoudMoment>(std::get<0>(event_rx.recv())));
    EXPECT_EQ(std::get<RecvError>(event_rx.try_recv()), RecvError::Disconnected);
}

TEST(EngineMessages, SendAfterTheEngineEndedGivesTheMessageBack) {
    auto [events, event_rx] = make_queue<EngineEvent>();
    event_rx.reset();
    ClipInfo clip;
    clip.path = "/clips/Clip.mp4";
    auto failure = events.send(event::ClipSaved{clip});
    ASSERT_TRUE(failure.failed());
    EXPECT_EQ(failure.error(), SendError::Disconnected);
    EXPECT_EQ(std::get<event::ClipSaved>(failure.message()).clip.path, clip.path);
}

TEST(EngineMessages, EventsArriveInTheOrderQueued) {
    auto [events, event_rx] = make_queue<EngineEvent>();
    events.send(event::Message{"no video captured yet"});
    events.send(event::EncoderChosen{Encoder::libx264});
    events.send(event::Stopped{});
    EXPECT_EQ(std::get<event::Message>(std::get<0>(event_rx.recv())).text, "no video captured yet");
    EXPECT_EQ(std::get<event::EncoderChosen>(std::get<0>(event_rx.recv())).encoder, Encoder::libx264);
    EXPECT_TRUE(std::holds_alternative<event::Stopped>(std::get<0>(event_rx.recv())));
    EXPECT_EQ(std::get<RecvError>(event_rx.recv_for(1ms)), RecvError::Timeout);
}

}  // namespace
}  // namespace vc
