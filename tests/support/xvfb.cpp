#include "support/xvfb.hpp"

#include <poll.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <stdexcept>

#include "engine/format.hpp"

namespace vc::test {
namespace {

// Xvfb writes its display number to the -displayfd descriptor once it accepts clients, and
// exits at once (closing it) when the display is taken.
bool wait_until_ready(const FileDescriptor& out, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string got;
    while (got.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watched{out.get(), POLLIN, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[64];
        const auto read = out.read_some(buffer, sizeof buffer);
        if (!read || *read == 0) return false;
        got.append(buffer, *read);
    }
    return true;
}

}  // namespace

XvfbServer::XvfbServer(const std::string& screen) {
    for (int number = 90; number < 190; ++number) {
        const std::string display = format(":{}", number);
        std::error_code ignored;
        if (std::filesystem::exists(format("/tmp/.X11-unix/X{}", number), ignored) ||
            std::filesystem::exists(format("/tmp/.X{}-lock", number), ignored))
            continue;
        // -noreset: the server would otherwise reset whenever its last client disconnects (an
        // xrandr run), and a client connecting at that moment would be refused.
        Command command("Xvfb",
                        {display, "-screen", "0", screen, "-nolisten", "tcp", "-noreset", "-displayfd", "1"});
        command.stdin_mode = Stdio::null_device;
        command.stdout_mode = Stdio::pipe;
        command.stderr_mode = Stdio::null_device;
        auto process = Process::spawn(command);
        if (!process) throw std::runtime_error("cannot launch Xvfb: " + format_os_error(process.error()));
        const FileDescriptor out = process->take_stdout();
        if (wait_until_ready(out, std::chrono::seconds(15))) {
            server_.emplace(std::move(*process));
            display_ = display;
            return;
        }
        process->kill(SIGKILL);
        (void)process->wait();
    }
    throw std::runtime_error("no free X display for Xvfb");
}

XvfbServer::~XvfbServer() {
    if (!server_) return;
    server_->kill(SIGTERM);
    (void)server_->wait();
}

}  // namespace vc::test
