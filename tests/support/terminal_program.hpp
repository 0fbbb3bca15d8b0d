// TerminalProgram: the real VantrelClips binary run as a user runs it in a terminal: the
// session leader and foreground job of a new pseudo-terminal, its three standard streams on
// the terminal. The test types into the terminal (Enter, Ctrl+C, which the terminal turns
// into SIGINT for its foreground job), reads what the program writes to it, and closes the
// terminal (a hang-up, as when its window is closed). Whatever still runs at the end is
// killed by its pid. The program inherits the test's environment (set it first).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_descriptor.hpp"
#include "engine/process.hpp"

namespace vc::test {

class TerminalProgram {
public:
    // Throws std::runtime_error when no terminal or process can be made.
    explicit TerminalProgram(std::vector<std::string> args = {});
    ~TerminalProgram();
    TerminalProgram(const TerminalProgram&) = delete;
    TerminalProgram& operator=(const TerminalProgram&) = delete;

    pid_t pid() const { return pid_; }

    // Types `text` into the terminal; "\x03" is Ctrl+C.
    void type(std::string_view text);
    // Closes the terminal: the kernel hangs it up.
    void hang_up();

    // Waits until the terminal shows `text`, at most `limit`.
    bool wait_for_output(std::string_view text, std::chrono::milliseconds limit);
    // Waits for the program's end; nullopt when it still runs after `limit`.
    std::optional<ExitStatus> wait_for_exit(std::chrono::milliseconds limit);

    const std::string& output() const { return output_; }

private:
    // Reads what the terminal has, waiting at most until `deadline`.
    void pump(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
    FileDescriptor terminal_;  // the terminal's master side
    std::string output_;
};

}  // namespace vc::test
