// Terminal output. This module owns standard output: every terminal text and every log line
// goes through write_stdout, which writes the whole text with one write while holding the
// process's standard-output lock, so lines of different threads never mix. Nothing else
// writes to standard output. Standard error is written unbuffered with write_stderr.
//
// It also turns what the user learns while the program runs into terminal lines: the screen
// list and each engine event. These run on the main thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/messages.hpp"
#include "engine/screens.hpp"

namespace vc::cli {

// Writes all of `text` with write_all; the error of the write that failed.
std::expected<void, OsError> write_stdout(std::string_view text);
std::expected<void, OsError> write_stderr(std::string_view text);

// A terminal line: `text` and a line feed.
void print_line(std::string_view text);
void print_error_line(std::string_view text);

enum class Stream : std::uint8_t { Stdout, Stderr };

// One terminal line, without its line feed, and where it goes.
struct TerminalLine {
    Stream stream = Stream::Stdout;
    std::string text;

    bool operator==(const TerminalLine&) const = default;
};

// Writes each line with its line feed; consecutive standard-output lines in one write, so
// no log line lands inside them.
void print_lines(const std::vector<TerminalLine>& lines);

// The screen list for the configured 0-based screen `display`: "Screens:", one line per
// screen with "*" marking the configured one, and a line when no screen is configured; or
// only "error: {}" on standard error when the listing failed.
std::vector<TerminalLine> screen_list_lines(const Result<std::vector<Screen>>& screens, std::uint32_t display);
// Lists the screens afresh (xrandr) and prints them.
void print_screens(std::uint32_t display);

// The line of one engine event; none for Stopped.
std::optional<TerminalLine> engine_event_line(const EngineEvent& event);
// Prints the event's line. False for Stopped (the engine thread's last event), else true.
bool print_engine_event(EngineEvent event);

// "15.7": bytes in decimal megabytes with one digit after the point, rounded to nearest.
std::string megabytes_text(std::uint64_t bytes);

}  // namespace vc::cli
