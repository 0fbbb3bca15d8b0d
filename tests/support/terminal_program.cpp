#include "support/terminal_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vc::test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TerminalProgram::TerminalProgram(std::vector<std::string> args) {
    args.insert(args.begin(), VANTREL_BINARY);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) throw std::runtime_error("cannot make a pseudo-terminal");
    if (pid == 0) {
        // A shell starts its jobs with every signal at its default and none blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGTERM, SIGPIPE}) ::signal(signal, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    terminal_.reset(master);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
}

TerminalProgram::~TerminalProgram() {
    if (pid_ <= 0 || status_) return;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
}

void TerminalProgram::type(std::string_view text) {
    if (terminal_) (void)terminal_.write_all(text);
}

void TerminalProgram::hang_up() { terminal_.reset(); }

void TerminalProgram::pump(Clock::time_point deadline) {
    if (!terminal_) {
        std::this_thread::sleep_until(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
        return;
    }
    pollfd watched{terminal_.get(), POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = ::poll(&watched, 1, static_cast<int>(std::clamp<long>(left, 0, 20)));
    if (ready <= 0) return;
    char bytes[4096];
    const ssize_t got = ::read(terminal_.get(), bytes, sizeof bytes);
    // EIO: every process has closed its side of the terminal.
    if (got > 0)
        output_.append(bytes, static_cast<std::size_t>(got));
    else if (got == 0 || errno != EINTR)
        std::this_thread::sleep_until(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
}

bool TerminalProgram::wait_for_output(std::string_view text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        pump(deadline);
    }
    return true;
}

std::optional<ExitStatus> TerminalProgram::wait_for_exit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!status_) {
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_.emplace(raw);
            break;
        }
        if (Clock::now() >= deadline) break;
        pump(deadline);
    }
    return status_;
}

}  // namespace vc::test
