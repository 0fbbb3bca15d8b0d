// Standard-input commands: the stdin reader thread turns each line the user types into one
// InputCommand for the main loop. The reader only decides what a line means; what a
// command does is the main loop's business. The reader owns standard input (it holds the
// stdin stream's lock) for its whole life and ends by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <variant>

#include "engine/queue.hpp"

namespace vc::cli {

namespace input {
struct ListScreens {
    bool operator==(const ListScreens&) const = default;
};
struct SwitchScreen {
    std::uint32_t screen = 1;  // as the user counts: 1-based, never 0
    bool operator==(const SwitchScreen&) const = default;
};
struct SaveClip {
    bool operator==(const SaveClip&) const = default;
};
struct Quit {
    bool operator==(const Quit&) const = default;
};
}  // namespace input

using InputCommand = std::variant<input::ListScreens, input::SwitchScreen, input::SaveClip, input::Quit>;

// What is kept of one line: every command fits many times over.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// What one line means. `line` is the raw bytes read, with its line feed if it had one: bytes
// that are not UTF-8 mean "q", like a failed read.
InputCommand command_from_line(std::string_view line);

// A word of an optional '+' and ASCII digits whose value is 1 to 4294967295.
std::optional<std::uint32_t> parse_screen_number(std::string_view word);

// Reads lines from `input` and sends their commands until "q" was sent, a send failed or
// the input ended. Holds the stream's lock meanwhile and releases the sender at the end.
// A line longer than kMaxLineBytes means what its first kMaxLineBytes mean, unless some of
// it is not UTF-8 (then it is "q", as always).
void read_commands(std::FILE* input, Sender<InputCommand> sender);

// The body of the stdin reader thread: read_commands on standard input.
void stdin_command_loop(Sender<InputCommand> sender);

// Starts the stdin reader on a detached thread. False when no thread could be started.
bool spawn_stdin_reader(Sender<InputCommand> sender);

}  // namespace vc::cli
