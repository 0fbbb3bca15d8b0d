// The engine as the front end sees it: spawn_engine validates a copy of the settings,
// starts the recorder (on the caller's thread) and thread "engine", and returns the Engine
// handle. From then on the front end only sends commands and reads events. Releasing the
// handle sends Stop and joins thread "engine"; the engine never restarts the recorder.
#pragma once

#include <thread>

#include "engine/audio_mixer.hpp"
#include "engine/encoder_probes.hpp"
#include "engine/error.hpp"
#include "engine/messages.hpp"
#include "engine/settings.hpp"

namespace vc {

class Engine {
public:
    Engine(Sender<EngineCommand> commands, Receiver<EngineEvent> events, SharedLevels levels, std::thread thread)
        : commands(std::move(commands)), events(std::move(events)), levels(std::move(levels)), thread_(std::move(thread)) {}
    Engine(Engine&&) = default;
    Engine& operator=(Engine&& other) noexcept {
        if (this != &other) {
            close();
            commands = std::move(other.commands);
            events = std::move(other.events);
            levels = std::move(other.levels);
            thread_ = std::move(other.thread_);
        }
        return *this;
    }
    ~Engine() { close(); }

    Sender<EngineCommand> commands;
    Receiver<EngineEvent> events;
    SharedLevels levels;  // null when the recorder records no audio

private:
    // Sends Stop (a failure means the thread has already ended) and joins the thread.
    void close();

    std::thread thread_;
};

// `probes` are the run's encoder test outcomes; they are used only during this call.
[[nodiscard]] Result<Engine> spawn_engine(Config config, EncoderProbes& probes);

}  // namespace vc
