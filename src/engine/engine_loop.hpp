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

// Runs until Stop, the end of the recorder's own ffmpeg (after its Message has been sent),
// or a disconnected command queue. A delayed save still waiting then is dropped unperformed.
void run_command_loop(Receiver<EngineCommand>& commands, const EngineLoopHooks& hooks);

}  // namespace vc
