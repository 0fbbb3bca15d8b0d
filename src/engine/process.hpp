// Process: the one place that starts child processes (every ffmpeg run, xrandr). It forks
// and execs a Command directly, never through a shell, and owns the child's pid, the
// parent's ends of its pipes and its exit status once learned, so nothing else calls
// waitpid or kill on it. It is passive: it reads or reaps only when asked. A Process has
// one owner at a time (the thread running a short run, or the recorder that the engine
// thread holds); it may be moved between threads but is never shared.
//
// Every child starts with SIGPIPE at its default, an empty signal mask and no descriptors
// but its three standard streams (and the one it is told to keep), whatever the parent
// holds open. A failed exec (missing or
// non-executable program) is reported by spawn itself, not as an odd exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/file_descriptor.hpp"

namespace vc {

// What a child's standard stream is connected to.
enum class Stdio : std::uint8_t {
    inherit,      // the parent's own stream
    null_device,  // /dev/null
    pipe,         // a pipe whose other end the Process holds until taken
};

// Runs in the child between fork and exec. It must only make async-signal-safe calls.
using PreExecHook = void (*)();

// What to run and how. A bare program name (no '/') is looked up on PATH as the shell
// would; anything else is used as the path it is.
struct Command {
    std::filesystem::path program;
    std::vector<std::string> args;  // without the program name itself
    Stdio stdin_mode = Stdio::inherit;
    Stdio stdout_mode = Stdio::inherit;
    Stdio stderr_mode = Stdio::inherit;
    bool new_process_group = false;  // a group of its own whose id is the child's pid
    PreExecHook pre_exec = nullptr;
    // A descriptor of the parent that the child keeps across its exec, as its descriptor 3
    // (a lock that the child holds for as long as it runs); -1 for none.
    int kept_descriptor = -1;

    Command() = default;
    explicit Command(std::filesystem::path program, std::vector<std::string> args = {})
        : program(std::move(program)), args(std::move(args)) {}

    Command& arg(std::string text) {
        args.push_back(std::move(text));
        return *this;
    }
    Command& append(const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return *this;
    }
};

// A wait status as waitpid reports it.
class ExitStatus {
public:
    explicit ExitStatus(int raw_status) : raw_(raw_status) {}

    // A normal exit with code 0.
    bool success() const;
    std::optional<int> code() const;    // for a normal exit
    std::optional<int> signal() const;  // for a death by a signal
    bool core_dumped() const;
    int raw() const { return raw_; }

    // "exit status: 1", "signal: 9 (SIGKILL)", "signal: 11 (SIGSEGV) (core dumped)"; a
    // signal without a name shows its number alone.
    std::string text() const;

private:
    int raw_;
};

// What a caller does while a child that it waits for runs: `call`, about every `period`
// (a save reads what its segment watch saw while the join reads the segments).
struct Meanwhile {
    std::function<void()> call;
    std::chrono::milliseconds period{100};
};

// A finished run whose standard output and error were captured whole.
struct ProcessOutput {
    ExitStatus status;
    std::string stdout_bytes;
    std::string stderr_bytes;
};

class Process {
public:
    // Starts the child. The error is the launch failure: the exec's error number for a
    // program that is missing or cannot be run, else that of the pipe, open or fork.
    static std::expected<Process, OsError> spawn(const Command& command);

    // Runs `command` to its end with standard output and error piped and drained side by
    // side, so a child that fills one pipe while we wait on the other cannot deadlock.
    // Standard input is as the command says (a pipe is closed at once, so the child reads
    // an end instead of waiting). Any failure to start or to read is an error;
    // the child is reaped in every case. `meanwhile` runs while the child does.
    static std::expected<ProcessOutput, OsError> output(Command command, const Meanwhile& meanwhile = {});

    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // Closes the pipe ends still held and reaps the child if it has already ended; a child
    // still running is neither signalled nor waited for.
    ~Process();

    pid_t pid() const { return pid_; }

    // The parent's pipe ends, taken out once (invalid when not piped or already taken).
    FileDescriptor take_stdin() { return std::move(stdin_); }
    FileDescriptor take_stdout() { return std::move(stdout_); }
    FileDescriptor take_stderr() { return std::move(stderr_); }
    // Closes the parent's end of the child's standard input, if still held.
    void close_stdin() { stdin_.reset(); }

    // Non-blocking reap: the exit status once the child has ended (learned once, then kept),
    // nullopt while it runs or when the reap call itself fails.
    std::optional<ExitStatus> try_wait();
    // Waits for the end, resuming after interruptions; a status already learned is reused.
    std::expected<ExitStatus, OsError> wait();
    // Drains the held stdout and stderr pipes side by side to their ends, then waits;
    // `meanwhile` runs until both have ended.
    std::expected<ProcessOutput, OsError> wait_with_output(const Meanwhile& meanwhile = {});

    // Sends `signal` to the child, or to its whole process group (for a child spawned with
    // new_process_group). Nothing is sent once the child has been reaped: its pid may by
    // then belong to another process. The outcome is not reported.
    void kill(int signal);
    void kill_group(int signal);

private:
    Process(pid_t pid, FileDescriptor in, FileDescriptor out, FileDescriptor err)
        : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)), stderr_(std::move(err)) {}

    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
    FileDescriptor stdin_;
    FileDescriptor stdout_;
    FileDescriptor stderr_;
};

}  // namespace vc
