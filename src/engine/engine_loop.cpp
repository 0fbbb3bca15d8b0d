#include "engine/engine_loop.hpp"

namespace vc {
namespace {

using Clock = std::chrono::steady_clock;

struct PendingSave {
    Origin origin;
    Clock::time_point deadline;
    Clock::time_point requested_at;
};

class SteadyCommandClock final : public CommandClock {
public:
    Clock::time_point now() override { return Clock::now(); }
    Received receive(Receiver<EngineCommand>& commands, std::optional<Clock::time_point> deadline) override {
        return deadline ? commands.recv_until(*deadline) : commands.recv();
    }
};

}  // namespace

CommandClock& steady_command_clock() {
    // Trivially destructible: still usable by a thread that outlives static destruction.
    static SteadyCommandClock clock;
    return clock;
}

void run_command_loop(Receiver<EngineCommand>& commands, const EngineLoopHooks& hooks, CommandClock& clock) {
    std::optional<PendingSave> pending;
    std::optional<Clock::time_point> last_done;

    for (;;) {
        const bool was_pending = pending.has_value();
        auto received = clock.receive(commands, pending ? std::optional(pending->deadline) : std::nullopt);

        if (auto* error = std::get_if<RecvError>(&received)) {
            if (*error == RecvError::Disconnected) return;
            // The delayed save is due. A save that finished at or after the moment it was
            // asked for already holds what it would have saved.
            const PendingSave due = *pending;
            pending.reset();
            if (!last_done || *last_done < due.requested_at) last_done = hooks.save(due.origin);
            continue;
        }

        EngineCommand& command = std::get<EngineCommand>(received);
        if (auto* save = std::get_if<command::Save>(&command)) {
            if (save->delay == std::chrono::nanoseconds::zero()) {
                last_done = hooks.save(save->origin);
            } else if (!was_pending) {
                const auto now = clock.now();
                pending = PendingSave{save->origin, now + save->delay, now};
            }
            // A second delayed request while one waits is dropped.
        } else if (auto* stopped = std::get_if<command::RecorderStopped>(&command)) {
            // Only the running recorder's ffmpeg counts; an earlier, failed start attempt's
            // reader may still report its own end.
            if (stopped->pid == hooks.recorder_pid) {
                hooks.send_event(event::Message{std::move(stopped->text)});
                return;
            }
        } else {
            return;  // Stop
        }
    }
}

}  // namespace vc
