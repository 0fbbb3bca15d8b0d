#include "cli/commands.hpp"

#include <cerrno>
#include <string>
#include <system_error>
#include <thread>

#include "engine/decimal.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"

namespace vc::cli {
namespace {

enum class ReadOutcome { Line, End, Failed };

// One line up to and including its line feed, or up to the end of the input. The caller
// holds the stream's lock. Of a line longer than kMaxLineBytes only the start is kept (cut
// between two characters: all of it when it ends with a whole one) and the rest is read up
// to its line feed and dropped, so that a stream without line feeds (/dev/zero) cannot grow
// memory; `rest_valid` says whether the dropped bytes were UTF-8 as well.
ReadOutcome read_line(std::FILE* input, std::string& line, bool& rest_valid) {
    line.clear();
    rest_valid = true;
    bool cut = false;
    Utf8Check rest;
    const auto ended = [&] {
        if (cut) rest_valid = rest.valid();
        return ReadOutcome::Line;
    };
    for (;;) {
        const int c = getc_unlocked(input);
        if (c == EOF) {
            if (ferror_unlocked(input)) {
                const int error = errno;
                clearerr_unlocked(input);
                if (error == EINTR) continue;
                // A standard input that is not open reads as the end of the input.
                if (error != EBADF) return ReadOutcome::Failed;
            }
            return line.empty() && !cut ? ReadOutcome::End : ended();
        }
        if (cut) {
            rest.add(static_cast<char>(c));
        } else if (line.size() < kMaxLineBytes) {
            line.push_back(static_cast<char>(c));
        } else {
            cut = true;
            const std::size_t kept = utf8_whole_characters(line);
            for (std::size_t i = kept; i < line.size(); ++i) rest.add(line[i]);
            line.resize(kept);
            rest.add(static_cast<char>(c));
        }
        if (c == '\n') return ended();
    }
}

}  // namespace

std::optional<std::uint32_t> parse_screen_number(std::string_view word) {
    const auto number = parse_u32(word);
    if (!number || *number == 0) return std::nullopt;
    return number;
}

InputCommand command_from_line(std::string_view line) {
    if (!is_valid_utf8(line)) return input::Quit{};
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    const std::string lowered = to_lower(trim_white_space(line));
    const auto words = split_white_space(lowered);
    if (words.size() == 1 && words[0] == "q") return input::Quit{};
    if (!words.empty() && words.size() <= 2 && words[0] == "d") {
        if (words.size() == 1) return input::ListScreens{};
        if (const auto screen = parse_screen_number(words[1])) return input::SwitchScreen{*screen};
        return input::ListScreens{};
    }
    return input::SaveClip{};
}

void read_commands(std::FILE* input, Sender<InputCommand> sender) {
    flockfile(input);
    std::string line;
    line.reserve(kMaxLineBytes);
    for (;;) {
        bool rest_valid = true;
        const ReadOutcome outcome = read_line(input, line, rest_valid);
        if (outcome == ReadOutcome::End) break;
        const InputCommand command =
            outcome == ReadOutcome::Failed || !rest_valid ? input::Quit{} : command_from_line(line);
        if (sender.send(command).failed()) break;  // the main loop is gone
        if (std::holds_alternative<input::Quit>(command)) break;
    }
    funlockfile(input);
    sender.reset();
}

void stdin_command_loop(Sender<InputCommand> sender) { read_commands(stdin, std::move(sender)); }

bool spawn_stdin_reader(Sender<InputCommand> sender) {
    try {
        std::thread(stdin_command_loop, std::move(sender)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace vc::cli
