#include "engine/engine.hpp"

#include <pthread.h>

#include <cmath>
#include <memory>
#include <system_error>

#include "engine/engine_loop.hpp"
#include "engine/log.hpp"
#include "engine/recorder.hpp"
#include "engine/replay.hpp"
#include "engine/settings_validation.hpp"

namespace vc {
namespace {

using Clock = std::chrono::steady_clock;

// Everything thread "engine" owns.
struct EngineThread {
    Sender<EngineEvent> events;
    Recorder recorder;
    Receiver<EngineCommand> commands;
    Config config;
};

Clock::time_point handle_save(EngineThread& engine, Origin origin) {
    Recorder& recorder = engine.recorder;
    const double newer_than = recorder.last_save ? recorder.last_save->newest_end : -INFINITY;
    auto outcome = save_replay(recorder.ring_dir, engine.config.clips_dir, engine.config.replay_seconds, newer_than,
                               origin, recorder.track_names);
    if (!outcome) {
        engine.events.send(event::Message{format_engine_error(outcome.error())});
    } else if (auto* saved = std::get_if<SavedClip>(&*outcome)) {
        recorder.last_save = LastSave{saved->clip, saved->newest_end};
        engine.events.send(event::ClipSaved{std::move(saved->clip)});
    } else if (recorder.last_save) {
        engine.events.send(event::ClipSaved{recorder.last_save->clip});  // nothing new: the same clip again
    } else {
        // Only a ring list whose newest end is -inf can get here; there is no clip to repeat.
        engine.events.send(event::Message{format_engine_error(EngineError{EngineError::NothingRecorded{}})});
    }
    return Clock::now();
}

// Shared with spawn_engine only until the thread is known to run: a thread that cannot be
// started must not take the recorder down with it unstopped.
void run_engine(std::shared_ptr<EngineThread> owned) {
    EngineThread& engine = *owned;
    pthread_setname_np(pthread_self(), "engine");
    EngineLoopHooks hooks;
    hooks.save = [&](Origin origin) { return handle_save(engine, origin); };
    hooks.send_event = [&](EngineEvent e) { engine.events.send(std::move(e)); };
    hooks.recorder_pid = engine.recorder.pid;
    run_command_loop(engine.commands, hooks);
    // A delayed save still waiting is dropped with the loop.
    stop_recorder(std::move(engine.recorder));
    engine.events.send(event::Stopped{});
}

}  // namespace

void Engine::close() {
    commands.send(command::Stop{});
    if (thread_.joinable()) thread_.join();
}

Result<Engine> spawn_engine(Config config, EncoderProbes& probes) {
    if (auto valid = validate_config(config); !valid) return std::unexpected(valid.error());

    auto [commands_tx, commands_rx] = make_queue<EngineCommand>();
    auto [events_tx, events_rx] = make_queue<EngineEvent>();
    const RecorderContext context{commands_tx, events_tx, std::chrono::seconds(config.autoclip.post_roll_s)};
    auto recorder = start_recorder(config, context, probes);
    if (!recorder) return std::unexpected(recorder.error());

    const Encoder encoder = recorder->encoder;
    events_tx.send(event::EncoderChosen{encoder});
    VC_INFO("engine", "replay buffer running", log::field("encoder", std::string(encoder_name(encoder))));

    SharedLevels levels = recorder->audio ? recorder->audio->levels() : nullptr;
    auto owned = std::make_shared<EngineThread>(
        EngineThread{std::move(events_tx), std::move(*recorder), std::move(commands_rx), std::move(config)});
    std::thread thread;
    try {
        thread = std::thread(run_engine, owned);
    } catch (const std::system_error& e) {
        // Released as it stands, ffmpeg would go on recording, unreaped, behind the error.
        stop_recorder(std::move(owned->recorder));
        return io_error("spawning engine thread", e.code().value());
    }
    return Engine(std::move(commands_tx), std::move(events_rx), std::move(levels), std::move(thread));
}

}  // namespace vc
