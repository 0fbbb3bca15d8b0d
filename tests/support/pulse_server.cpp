#include "support/pulse_server.hpp"

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vc::test {

PulseServer::PulseServer() {
    ::chmod(runtime_.path().c_str(), 0700);  // the daemon refuses a runtime directory others can enter
    env_.set("XDG_RUNTIME_DIR", runtime_.path().string());
    Command command("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-L",
                                   "module-native-protocol-unix", "-L", "module-null-sink sink_name=vsink rate=48000",
                                   "-L", "module-sine-source source_name=tone rate=48000 frequency=1000", "-L",
                                   "module-sine-source source_name=tone2 rate=48000 frequency=440"});
    command.stdin_mode = Stdio::null_device;
    command.stdout_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;
    auto spawned = Process::spawn(command);
    if (!spawned) throw std::runtime_error("cannot launch pulseaudio: " + format_os_error(spawned.error()));
    daemon_.emplace(std::move(*spawned));
    const auto socket = runtime_ / "pulse/native";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (true) {
        std::error_code ignored;
        if (std::filesystem::is_socket(socket, ignored)) return;
        if (daemon_->try_wait() || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    daemon_->kill(SIGKILL);
    (void)daemon_->wait();
    daemon_.reset();
    throw std::runtime_error("pulseaudio did not start");
}

PulseServer::~PulseServer() {
    if (!daemon_) return;
    daemon_->kill(SIGTERM);
    (void)daemon_->wait();
}

std::string PulseServer::alsa_config() {
    return "pcm.vc_tone { type pulse; device \"tone\" }\n"
           "pcm.vc_tone2 { type pulse; device \"tone2\" }\n"
           "pcm.vc_desk { type pulse; device \"vsink.monitor\" }\n"
           "pcm.vc_mute { type pulse; device \"mute.monitor\" }\n"
           "pcm.vc_desk_play { type pulse; device \"vsink\" }\n";
}

void PulseServer::pactl(std::vector<std::string> args) {
    const std::string what = args.front();
    Command command("pactl", std::move(args));
    command.stdin_mode = Stdio::null_device;
    auto run = Process::output(std::move(command));
    if (!run || !run->status.success()) throw std::runtime_error("pactl " + what + " failed");
}

void PulseServer::add_suspended_sink(const std::string& name) {
    pactl({"load-module", "module-null-sink", "sink_name=" + name});
    pactl({"suspend-sink", name, "1"});
}

void PulseServer::add_pipe_source(const std::string& name, const std::filesystem::path& fifo) {
    pactl({"load-module", "module-pipe-source", "source_name=" + name, "file=" + fifo.string(), "format=float32le",
           "rate=48000", "channels=2"});
}

void PulseServer::set_default_source(const std::string& name) { pactl({"set-default-source", name}); }

}  // namespace vc::test
