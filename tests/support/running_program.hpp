// RunningProgram: the real VantrelClips binary run by a test, with its three standard
// streams on pipes. The test types lines, waits for texts on standard output or error, and
// waits for the exit; whatever still runs at the end is killed by its pid. The program
// inherits the test's environment (set it first, e.g. with ScopedEnv).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/process.hpp"

namespace vc::test {

class RunningProgram {
public:
    // What the program gets as its standard input: a pipe the test types into, nothing
    // (descriptor 0 closed, as a shell's `0<&-` leaves it), or /dev/zero (an endless stream
    // without a line feed).
    enum class Input { pipe, closed, zeros };

    explicit RunningProgram(std::vector<std::string> args = {}, Input input = Input::pipe);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }

    // Writes `text` to the program's standard input.
    void type(std::string_view text);
    // Closes its standard input: the program then reads the end of input.
    void close_input();

    // Waits until standard output (or error) holds `text` `count` times, at most `limit`.
    bool wait_for_stdout(std::string_view text, std::chrono::milliseconds limit, std::size_t count = 1);
    bool wait_for_stderr(std::string_view text, std::chrono::milliseconds limit, std::size_t count = 1);
    // Reads what arrives for `duration`.
    void read_for(std::chrono::milliseconds duration);

    // Waits for the exit and reads the streams to their ends; nullopt when still running.
    std::optional<ExitStatus> wait_for_exit(std::chrono::milliseconds limit);
    bool running();

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // Standard output split into lines, without their line feeds.
    std::vector<std::string> out_lines() const;

private:
    // Reads what the two pipes have, waiting at most until `deadline`.
    void pump(std::chrono::steady_clock::time_point deadline);

    std::optional<Process> process_;
    pid_t pid_ = -1;
    FileDescriptor in_;
    FileDescriptor stdout_;
    FileDescriptor stderr_;
    std::string out_;
    std::string err_;
};

// A process of the system (running or not yet reaped) as /proc shows it.
struct ProcessEntry {
    pid_t pid = -1;
    pid_t parent = -1;
    pid_t group = -1;
    char state = '?';
    std::string name;  // the executable's name as the kernel keeps it ("ffmpeg")
};

// The ffmpeg processes whose parent is `parent` and that have not ended.
std::vector<ProcessEntry> ffmpeg_children(pid_t parent);
// The ffmpeg processes, whoever their parent now is, that run with HOME set to `home`: those
// that a program started with that HOME left behind, also once the program has ended and
// they were handed to another parent.
std::vector<ProcessEntry> ffmpeg_with_home(const std::filesystem::path& home);
// A process's arguments, its executable's first; empty once it has ended.
std::vector<std::string> process_arguments(pid_t pid);
// The ffmpeg child that records the ring (its arguments name a segment list).
std::optional<pid_t> recorder_pid(pid_t parent);
// The ffmpeg child that joins a save's segments (its arguments name the concat demuxer).
std::optional<pid_t> join_pid(pid_t parent);
// True while `pid` exists and has not ended (a zombie counts as ended).
bool process_alive(pid_t pid);

}  // namespace vc::test
