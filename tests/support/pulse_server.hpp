// PulseServer: a private, real PulseAudio daemon for one test or benchmark, giving paced
// (real-time) audio to libasound through the ALSA pulse plugin. It runs with a runtime
// directory of its own (XDG_RUNTIME_DIR is set for the owner's scope), serves two sine
// sources ("tone" at 1000 Hz, "tone2" at 440 Hz) and a null sink, and is stopped by its pid.
// Owned by the test that made it; HOME must stay the same while it runs (its cookie is there).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/process.hpp"
#include "support/environment.hpp"

namespace vc::test {

class PulseServer {
public:
    // Throws std::runtime_error when the daemon cannot be started or never accepts clients.
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // ALSA definitions for a test's $HOME/.asoundrc: the capture devices "vc_tone" and
    // "vc_tone2" (one per sine source, which hand out about 2 s at a time), "vc_desk" (what
    // plays into the null sink, paced like a real device), "vc_mute" (the monitor of the sink
    // "mute", once add_suspended_sink("mute") made it) and the playback device
    // "vc_desk_play" (into the null sink).
    static std::string alsa_config();

    // A null sink `name`, suspended: its monitor opens, and delivers nothing. Throws
    // std::runtime_error when pactl fails.
    void add_suspended_sink(const std::string& name);

    // A source `name` that posts whatever is written into the FIFO `fifo` (which the server
    // makes), when it is written: 48 kHz stereo 32-bit floats. Throws std::runtime_error
    // when pactl fails.
    void add_pipe_source(const std::string& name, const std::filesystem::path& fifo);

    // What ALSA's "default" device captures from. Throws std::runtime_error when pactl fails.
    void set_default_source(const std::string& name);

private:
    static void pactl(std::vector<std::string> args);

    TempDir runtime_;
    ScopedEnv env_;
    std::optional<Process> daemon_;
};

}  // namespace vc::test
