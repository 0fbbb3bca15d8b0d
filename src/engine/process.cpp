#include "engine/process.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/format.hpp"

extern char** environ;

namespace vc {
namespace {

// The parent's and the child's end of one standard stream, set up before the fork.
struct StreamEnds {
    FileDescriptor parent;
    FileDescriptor child;  // -1 for an inherited stream
};

// Keeps the child's ends away from 0-2, so that moving them into place cannot clobber one
// another when the parent runs with a standard stream closed.
std::expected<FileDescriptor, OsError> above_standard_streams(FileDescriptor fd) {
    if (fd.get() > 2) return fd;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return std::unexpected(OsError::from_errno(errno));
    return FileDescriptor(moved);
}

std::expected<StreamEnds, OsError> make_stream(Stdio mode, bool child_reads) {
    StreamEnds ends;
    switch (mode) {
    case Stdio::inherit:
        return ends;
    case Stdio::null_device: {
        const int fd = ::open("/dev/null", (child_reads ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        if (fd < 0) return std::unexpected(OsError::from_errno(errno));
        ends.child.reset(fd);
        break;
    }
    case Stdio::pipe: {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(OsError::from_errno(errno));
        ends.parent.reset(child_reads ? fds[1] : fds[0]);
        ends.child.reset(child_reads ? fds[0] : fds[1]);
        break;
    }
    }
    auto moved = above_standard_streams(std::move(ends.child));
    if (!moved) return std::unexpected(moved.error());
    ends.child = std::move(*moved);
    return ends;
}

// The paths to try in turn, worked out before the fork because the child may not allocate.
// A bare name is looked up on PATH like execvp does (an unset PATH means "/bin:/usr/bin",
// an empty entry the working directory).
std::vector<std::string> exec_candidates(const std::filesystem::path& program) {
    const std::string& name = program.native();
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return {name};
    const char* path_env = std::getenv("PATH");
    const std::string_view search = path_env ? path_env : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = search.find(':', start);
        std::string_view dir = search.substr(start, end == std::string_view::npos ? end : end - start);
        std::string candidate(dir.empty() ? "." : dir);
        if (candidate.back() != '/') candidate += '/';
        candidate += name;
        candidates.push_back(std::move(candidate));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return candidates;
}

// The descriptor a child keeps (Command::kept_descriptor).
constexpr int kKeptDescriptor = 3;

// Every descriptor from `first` up is marked close-on-exec in the child, so descriptors that
// another thread opened without O_CLOEXEC never reach the program.
void close_other_descriptors_on_exec(int first) {
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    struct rlimit limit{};
    int highest = 4096;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highest = static_cast<int>(limit.rlim_cur < 1 << 20 ? limit.rlim_cur : 1 << 20);
    for (int fd = first; fd < highest; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Reports the error number to the parent through the close-on-exec pipe and ends the child
// without running any of the parent's exit handlers.
[[noreturn]] void fail_in_child(int error_pipe, int error_number) {
    const char* bytes = reinterpret_cast<const char*>(&error_number);
    std::size_t left = sizeof error_number;
    while (left > 0) {
        const ssize_t written = ::write(error_pipe, bytes, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        bytes += written;
        left -= static_cast<std::size_t>(written);
    }
    ::_exit(127);
}

bool put_in_place(int fd, int target) {
    if (fd < 0) return true;  // inherited
    return ::dup2(fd, target) == target;
}

[[noreturn]] void run_child(const Command& command, const std::array<int, 3>& streams, int kept, int error_pipe,
                            const std::vector<std::string>& candidates, char* const* argv) {
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    // The parent ignores SIGPIPE so that writes to a dead child fail as errors; the child
    // must not inherit that (an ignored disposition survives exec).
    struct sigaction default_action{};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(SIGPIPE, &default_action, nullptr);

    if (command.new_process_group && ::setpgid(0, 0) != 0) fail_in_child(error_pipe, errno);
    if (command.pre_exec) command.pre_exec();

    for (int target = 0; target < 3; ++target) {
        if (!put_in_place(streams[static_cast<std::size_t>(target)], target))
            fail_in_child(error_pipe, errno);
    }
    // dup2 leaves the copy open across the exec.
    if (kept >= 0 && ::dup2(kept, kKeptDescriptor) != kKeptDescriptor) fail_in_child(error_pipe, errno);
    close_other_descriptors_on_exec(kept >= 0 ? kKeptDescriptor + 1 : kKeptDescriptor);

    int error_number = ENOENT;
    bool saw_access_error = false;
    for (const std::string& candidate : candidates) {
        ::execve(candidate.c_str(), argv, environ);
        error_number = errno;
        // Like execvp: a directory we may not search or a file we may not run does not stop
        // the search, but is what gets reported when nothing else is found.
        if (error_number == EACCES) {
            saw_access_error = true;
            continue;
        }
        if (error_number == ENOENT || error_number == ENOTDIR || error_number == ELOOP ||
            error_number == ENAMETOOLONG)
            continue;
        break;
    }
    if (saw_access_error && (error_number == ENOENT || error_number == ENOTDIR)) error_number = EACCES;
    fail_in_child(error_pipe, error_number);
}

// The error number the child reported, or nullopt when the exec succeeded (the pipe closed
// without data).
std::optional<int> read_launch_error(const FileDescriptor& error_pipe) {
    int error_number = 0;
    char* bytes = reinterpret_cast<char*>(&error_number);
    std::size_t got = 0;
    while (got < sizeof error_number) {
        auto read = error_pipe.read_some(bytes + got, sizeof error_number - got);
        if (!read || *read == 0) break;
        got += *read;
    }
    if (got == 0) return std::nullopt;
    return got == sizeof error_number ? error_number : EIO;
}

}  // namespace

bool ExitStatus::success() const { return WIFEXITED(raw_) && WEXITSTATUS(raw_) == 0; }

std::optional<int> ExitStatus::code() const {
    if (WIFEXITED(raw_)) return WEXITSTATUS(raw_);
    return std::nullopt;
}

std::optional<int> ExitStatus::signal() const {
    if (WIFSIGNALED(raw_)) return WTERMSIG(raw_);
    return std::nullopt;
}

bool ExitStatus::core_dumped() const { return WIFSIGNALED(raw_) && WCOREDUMP(raw_); }

std::string ExitStatus::text() const {
    if (const auto exit_code = code()) return format("exit status: {}", *exit_code);
    if (const auto number = signal()) {
        std::string text = format("signal: {}", *number);
        if (const char* name = ::sigabbrev_np(*number)) text += format(" (SIG{})", name);
        if (core_dumped()) text += " (core dumped)";
        return text;
    }
    return format("unrecognised wait status: {}", raw_);
}

std::expected<Process, OsError> Process::spawn(const Command& command) {
    auto in = make_stream(command.stdin_mode, true);
    if (!in) return std::unexpected(in.error());
    auto out = make_stream(command.stdout_mode, false);
    if (!out) return std::unexpected(out.error());
    auto err = make_stream(command.stderr_mode, false);
    if (!err) return std::unexpected(err.error());

    // A copy above every descriptor the child puts in place, so that placing them cannot
    // clobber it.
    FileDescriptor kept;
    if (command.kept_descriptor >= 0) {
        kept.reset(::fcntl(command.kept_descriptor, F_DUPFD_CLOEXEC, kKeptDescriptor + 1));
        if (!kept) return std::unexpected(OsError::from_errno(errno));
    }

    int error_fds[2];
    if (::pipe2(error_fds, O_CLOEXEC) != 0) return std::unexpected(OsError::from_errno(errno));
    FileDescriptor error_read(error_fds[0]);
    FileDescriptor error_write(error_fds[1]);
    // Out of the way of the kept descriptor too: the child reports a failed exec through it.
    if (error_write.get() <= kKeptDescriptor) {
        error_write.reset(::fcntl(error_write.get(), F_DUPFD_CLOEXEC, kKeptDescriptor + 1));
        if (!error_write) return std::unexpected(OsError::from_errno(errno));
    }

    const std::vector<std::string> candidates = exec_candidates(command.program);
    std::vector<char*> argv;
    argv.reserve(command.args.size() + 2);
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const std::string& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::array<int, 3> streams{in->child.get(), out->child.get(), err->child.get()};

    const pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(OsError::from_errno(errno));
    if (pid == 0) run_child(command, streams, kept.get(), error_write.get(), candidates, argv.data());

    error_write.reset();
    kept.reset();
    in->child.reset();
    out->child.reset();
    err->child.reset();
    Process process(pid, std::move(in->parent), std::move(out->parent), std::move(err->parent));
    if (const auto launch_error = read_launch_error(error_read)) {
        (void)process.wait();
        return std::unexpected(OsError::from_errno(*launch_error));
    }
    return process;
}

std::expected<ProcessOutput, OsError> Process::output(Command command, const Meanwhile& meanwhile) {
    command.stdout_mode = Stdio::pipe;
    command.stderr_mode = Stdio::pipe;
    auto process = spawn(command);
    if (!process) return std::unexpected(process.error());
    // Nobody can write to a piped standard input from here: let the child see its end.
    process->close_stdin();
    return process->wait_with_output(meanwhile);
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_) (void)try_wait();
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
        stdin_ = std::move(other.stdin_);
        stdout_ = std::move(other.stdout_);
        stderr_ = std::move(other.stderr_);
    }
    return *this;
}

Process::~Process() {
    stdin_.reset();
    stdout_.reset();
    stderr_.reset();
    if (pid_ > 0 && !status_) (void)try_wait();
}

std::optional<ExitStatus> Process::try_wait() {
    if (status_ || pid_ <= 0) return status_;
    int raw = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid_, &raw, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == pid_) status_.emplace(raw);
    return status_;
}

std::expected<ExitStatus, OsError> Process::wait() {
    if (status_) return *status_;
    if (pid_ <= 0) return std::unexpected(OsError::from_errno(ECHILD));
    int raw = 0;
    for (;;) {
        if (::waitpid(pid_, &raw, 0) == pid_) break;
        if (errno != EINTR) return std::unexpected(OsError::from_errno(errno));
    }
    status_.emplace(raw);
    return *status_;
}

std::expected<ProcessOutput, OsError> Process::wait_with_output(const Meanwhile& meanwhile) {
    FileDescriptor out = take_stdout();
    FileDescriptor err = take_stderr();
    std::string out_bytes;
    std::string err_bytes;
    std::optional<OsError> failure;
    std::array<char, 65536> buffer;
    using Clock = std::chrono::steady_clock;
    auto next_call = Clock::now() + meanwhile.period;

    while ((out.valid() || err.valid()) && !failure) {
        std::array<pollfd, 2> watched{};
        nfds_t count = 0;
        if (out) watched[count++] = {out.get(), POLLIN, 0};
        if (err) watched[count++] = {err.get(), POLLIN, 0};
        const int timeout = meanwhile.call ? static_cast<int>(meanwhile.period.count()) : -1;
        const int ready = ::poll(watched.data(), count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failure = OsError::from_errno(errno);
            break;
        }
        if (meanwhile.call && (ready == 0 || Clock::now() >= next_call)) {
            meanwhile.call();
            next_call = Clock::now() + meanwhile.period;
        }
        for (nfds_t i = 0; i < count && !failure; ++i) {
            if (watched[i].revents == 0) continue;
            FileDescriptor& fd = watched[i].fd == out.get() ? out : err;
            std::string& sink = &fd == &out ? out_bytes : err_bytes;
            auto got = fd.read_some(buffer.data(), buffer.size());
            if (!got)
                failure = got.error();
            else if (*got == 0)
                fd.reset();
            else
                sink.append(buffer.data(), *got);
        }
    }
    // Closing our ends first lets a child still writing end (SIGPIPE) instead of blocking.
    out.reset();
    err.reset();
    auto status = wait();
    if (failure) return std::unexpected(*failure);
    if (!status) return std::unexpected(status.error());
    return ProcessOutput{*status, std::move(out_bytes), std::move(err_bytes)};
}

void Process::kill(int signal) {
    if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

void Process::kill_group(int signal) {
    // kill(-1) would reach every process we may signal.
    if (pid_ > 1 && !status_) ::kill(-pid_, signal);
}

}  // namespace vc
