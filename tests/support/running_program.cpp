#include "support/running_program.hpp"

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vc::test {
namespace {

using Clock = std::chrono::steady_clock;

std::size_t occurrences(std::string_view haystack, std::string_view needle) {
    std::size_t count = 0;
    for (auto at = haystack.find(needle); at != std::string_view::npos; at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::optional<ProcessEntry> read_entry(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return std::nullopt;
    // "pid (name) state ppid pgrp ...": the name may hold blanks and parentheses.
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    ProcessEntry entry;
    entry.pid = pid;
    entry.name = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    rest >> entry.state >> entry.parent >> entry.group;
    return entry;
}

}  // namespace

RunningProgram::RunningProgram(std::vector<std::string> args, Input input) {
    Command command(VANTREL_BINARY, std::move(args));
    command.stdin_mode = Stdio::pipe;
    if (input != Input::pipe) {
        // The shell sets descriptor 0 up and becomes the program: the pid stays the same.
        const char* script = input == Input::closed ? "exec \"$0\" \"$@\" 0<&-" : "exec \"$0\" \"$@\" </dev/zero";
        command.args.insert(command.args.begin(), {"-c", script, command.program.string()});
        command.program = "/bin/sh";
        command.stdin_mode = Stdio::null_device;
    }
    command.stdout_mode = Stdio::pipe;
    command.stderr_mode = Stdio::pipe;
    auto spawned = Process::spawn(command);
    if (!spawned) throw std::runtime_error("cannot start " VANTREL_BINARY ": " + format_os_error(spawned.error()));
    process_.emplace(std::move(*spawned));
    pid_ = process_->pid();
    in_ = process_->take_stdin();
    stdout_ = process_->take_stdout();
    stderr_ = process_->take_stderr();
}

RunningProgram::~RunningProgram() {
    if (!process_) return;
    if (!process_->try_wait()) {
        process_->kill(SIGKILL);
        (void)process_->wait();
    }
}

void RunningProgram::type(std::string_view text) {
    if (in_) (void)in_.write_all(text);
}

void RunningProgram::close_input() { in_.reset(); }

void RunningProgram::pump(Clock::time_point deadline) {
    for (;;) {
        std::vector<pollfd> watched;
        if (stdout_) watched.push_back({stdout_.get(), POLLIN, 0});
        if (stderr_) watched.push_back({stderr_.get(), POLLIN, 0});
        if (watched.empty()) {
            std::this_thread::sleep_until(deadline);
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int ready = ::poll(watched.data(), watched.size(), static_cast<int>(std::max<long>(left, 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        for (const pollfd& p : watched) {
            if (p.revents == 0) continue;
            FileDescriptor& fd = p.fd == stdout_.get() ? stdout_ : stderr_;
            std::string& buffer = p.fd == stdout_.get() ? out_ : err_;
            char bytes[4096];
            const auto got = fd.read_some(bytes, sizeof bytes);
            if (!got || *got == 0)
                fd.reset();
            else
                buffer.append(bytes, *got);
        }
        return;
    }
}

bool RunningProgram::wait_for_stdout(std::string_view text, std::chrono::milliseconds limit, std::size_t count) {
    const auto deadline = Clock::now() + limit;
    while (occurrences(out_, text) < count) {
        if (Clock::now() >= deadline || (!stdout_ && !running())) return false;
        pump(deadline);
    }
    return true;
}

bool RunningProgram::wait_for_stderr(std::string_view text, std::chrono::milliseconds limit, std::size_t count) {
    const auto deadline = Clock::now() + limit;
    while (occurrences(err_, text) < count) {
        if (Clock::now() >= deadline || (!stderr_ && !running())) return false;
        pump(deadline);
    }
    return true;
}

void RunningProgram::read_for(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline) pump(deadline);
}

bool RunningProgram::running() { return !process_->try_wait(); }

std::optional<ExitStatus> RunningProgram::wait_for_exit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= deadline) return std::nullopt;
        pump(std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
    }
    // Whatever the program wrote before it ended; a child that kept a stream open cannot
    // hold the test up for long.
    const auto drained = Clock::now() + std::chrono::seconds(2);
    while ((stdout_ || stderr_) && Clock::now() < drained) pump(drained);
    return process_->try_wait();
}

std::vector<std::string> RunningProgram::out_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

namespace {

// The ffmpeg processes that have not ended and for which `keep` holds.
template <typename Keep>
std::vector<ProcessEntry> live_ffmpegs(Keep keep) {
    std::vector<ProcessEntry> found;
    std::error_code ignored;
    for (const auto& item : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = item.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto entry = read_entry(static_cast<pid_t>(std::stol(name)));
        if (entry && entry->name == "ffmpeg" && entry->state != 'Z' && keep(*entry)) found.push_back(*entry);
    }
    return found;
}

// The strings of a /proc file that holds them NUL-separated ("cmdline", "environ").
std::vector<std::string> proc_strings(pid_t pid, const char* file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::vector<std::string> strings;
    for (std::string one; std::getline(in, one, '\0');) strings.push_back(std::move(one));
    return strings;
}

bool holds(const std::vector<std::string>& strings, std::string_view wanted) {
    return std::ranges::find(strings, wanted) != strings.end();
}

// The ffmpeg child of `parent` with `argument` among its arguments.
std::optional<pid_t> ffmpeg_child_with(pid_t parent, std::string_view argument) {
    for (const ProcessEntry& entry : ffmpeg_children(parent))
        if (holds(process_arguments(entry.pid), argument)) return entry.pid;
    return std::nullopt;
}

}  // namespace

std::vector<ProcessEntry> ffmpeg_children(pid_t parent) {
    return live_ffmpegs([parent](const ProcessEntry& entry) { return entry.parent == parent; });
}

std::vector<ProcessEntry> ffmpeg_with_home(const std::filesystem::path& home) {
    const std::string wanted = "HOME=" + home.string();
    return live_ffmpegs([&](const ProcessEntry& entry) { return holds(proc_strings(entry.pid, "environ"), wanted); });
}

std::vector<std::string> process_arguments(pid_t pid) { return proc_strings(pid, "cmdline"); }

std::optional<pid_t> recorder_pid(pid_t parent) { return ffmpeg_child_with(parent, "-segment_list"); }

std::optional<pid_t> join_pid(pid_t parent) { return ffmpeg_child_with(parent, "concat"); }

bool process_alive(pid_t pid) {
    const auto entry = read_entry(pid);
    return entry && entry->state != 'Z' && entry->state != 'X';
}

}  // namespace vc::test
