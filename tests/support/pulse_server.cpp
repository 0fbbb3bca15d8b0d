#include "support/pulse_server.hpp"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vc::test {
namespace {

// The daemon answers a client once its modules are loaded.
bool answers() {
    Command command("pactl", {"info"});
    command.stdin_mode = Stdio::null_device;
    const auto run = Process::output(std::move(command));
    return run && run->status.success();
}

}  // namespace

PulseServer::PulseServer() {
    // No configuration files (-n), no idle exit, and in the foreground so that this object
    // owns the daemon's own pid.
    Command command("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                   "--disallow-module-loading", "-L", "module-native-protocol-unix", "-L",
                                   "module-null-sink sink_name=vsink rate=48000", "-L",
                                   "module-sine-source source_name=tone rate=48000 frequency=1000"});
    command.stdin_mode = Stdio::null_device;
    command.stdout_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;  // it warns about running as root
    auto spawned = Process::spawn(command);
    if (!spawned) throw std::runtime_error("cannot launch pulseaudio: " + format_os_error(spawned.error()));
    server_.emplace(std::move(*spawned));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!answers()) {
        if (server_->try_wait() || std::chrono::steady_clock::now() >= deadline) {
            server_->kill(SIGKILL);
            (void)server_->wait();
            server_.reset();
            throw std::runtime_error("pulseaudio did not come up");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

PulseServer::~PulseServer() {
    if (!server_) return;
    server_->kill(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->try_wait()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            server_->kill(SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    (void)server_->wait();
}

}  // namespace vc::test
