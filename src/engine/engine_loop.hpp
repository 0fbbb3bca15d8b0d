// The engine thread's command loop: saves at once or after a delay (at most one delayed save
// waits at a time), the end of the running recorder's ffmpeg, and stop. It owns no recorder:
// the engine thread passes in how to save and which ffmpeg is its own, and stops the recorder
// once the loop returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "engine/messages.hpp"

namespace vc {

struct EngineLoopHooks {
    // Performs one save; returns the monotonic time at which it finished.
    std::function<std::chrono::steady_clock::time_point(Origin)> save;
    // Sends an event; a failed send is ignored by the hook.
    std::function<void(EngineEvent)> send_event;
    std::uint32_t recorder_pid = 0;
};

// The loop's time: the monotonic clock, and the receive with a deadline on it that is the
// loop's only wait (a delayed save has no timer of its own). The engine runs on
// steady_command_clock(); a test passes a clock of its own, so that delays pass exactly and
// at once.
class CommandClock {
public:
    using Received = Receiver<EngineCommand>::Received;

    virtual std::chrono::steady_clock::time_point now() = 0;
    // The next command; with a deadline, RecvError::Timeout once it has passed with nothing
    // queued.
    virtual Received receive(Receiver<EngineCommand>& commands,
                             std::optional<std::chrono::steady_clock::time_point> deadline) = 0;

protected:
    ~CommandClock() = default;
};

// std::chrono::steady_clock and the queue's own waits.
CommandClock& steady_command_clock();

// Runs until Stop, the end of the recorder's own ffmpeg (after its Message has been sent),
// or a disconnected command queue. A delayed save still waiting then is dropped unperformed.
void run_command_loop(Receiver<EngineCommand>& commands, const EngineLoopHooks& hooks,
                      CommandClock& clock = steady_command_clock());

}  // namespace vc
