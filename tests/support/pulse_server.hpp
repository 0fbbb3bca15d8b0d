// PulseServer: a private, real PulseAudio daemon for one test, so audio arrives at real
// speed through libasound's pulse plugin. It listens only on the native socket under the
// XDG_RUNTIME_DIR that the test has set, offers a silent sink "vsink" and a 1 kHz sine
// source "tone", and is stopped by its pid. Clients started later (the program under test)
// find it through the same XDG_RUNTIME_DIR.
#pragma once

#include <optional>

#include "engine/process.hpp"

namespace vc::test {

class PulseServer {
public:
    // Throws std::runtime_error when the daemon does not come up.
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    pid_t pid() const { return server_->pid(); }

private:
    std::optional<Process> server_;
};

}  // namespace vc::test
