#include "cli/printing.hpp"

#include <charconv>
#include <mutex>
#include <string>
#include <type_traits>
#include <unistd.h>

#include "engine/file_descriptor.hpp"
#include "engine/format.hpp"
#include "engine/utf8.hpp"

namespace vc::cli {
namespace {

// Leaked on purpose: detached threads may print while the process exits.
std::mutex& stdout_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}

}  // namespace

std::expected<void, OsError> write_stdout(std::string_view text) {
    std::lock_guard lock(stdout_lock());
    return write_all(STDOUT_FILENO, text);
}

std::expected<void, OsError> write_stderr(std::string_view text) { return write_all(STDERR_FILENO, text); }

void print_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_stdout(line);
}

void print_error_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_stderr(line);
}

void print_lines(const std::vector<TerminalLine>& lines) {
    std::string block;
    for (const auto& line : lines) {
        if (line.stream == Stream::Stderr) {
            if (!block.empty()) write_stdout(block);
            block.clear();
            print_error_line(line.text);
            continue;
        }
        block += line.text;
        block += '\n';
    }
    if (!block.empty()) write_stdout(block);
}

std::vector<TerminalLine> screen_list_lines(const Result<std::vector<Screen>>& screens, std::uint32_t display) {
    if (!screens) return {{Stream::Stderr, "error: " + format_engine_error(screens.error())}};
    std::vector<TerminalLine> lines{{Stream::Stdout, "Screens:"}};
    bool configured_found = false;
    for (const Screen& screen : *screens) {
        const bool configured = screen.index == display;
        configured_found = configured_found || configured;
        lines.push_back({Stream::Stdout, vc::format("  {} {}", configured ? "*" : " ", format_screen(screen))});
    }
    if (!configured_found) {
        const std::uint64_t shown = std::uint64_t{display} + 1;  // 4294967295 + 1 must not wrap
        lines.push_back({Stream::Stdout, vc::format("  (screen {} from settings doesn't exist)", shown)});
    }
    return lines;
}

void print_screens(std::uint32_t display) { print_lines(screen_list_lines(list_screens(), display)); }

std::string megabytes_text(std::uint64_t bytes) {
    // to_chars: exact decimal rounding, and no locale can turn the point into a comma.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(bytes) / 1000000.0,
                                      std::chars_format::fixed, 1);
    return std::string(buffer, result.ptr);
}

std::optional<TerminalLine> engine_event_line(const EngineEvent& event) {
    return std::visit(
        [](const auto& e) -> std::optional<TerminalLine> {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, event::EncoderChosen>) {
                return TerminalLine{Stream::Stdout, vc::format("Encoder: {}", encoder_name(e.encoder))};
            } else if constexpr (std::is_same_v<E, event::LoudMoment>) {
                return TerminalLine{Stream::Stdout, "Loud moment detected, auto clip in a few seconds"};
            } else if constexpr (std::is_same_v<E, event::HeardPhrase>) {
                return TerminalLine{Stream::Stdout, vc::format("Heard \"{}\"", e.text)};
            } else if constexpr (std::is_same_v<E, event::ClipSaved>) {
                return TerminalLine{Stream::Stdout,
                                    vc::format("Saved {} ({} MB)", path_text(e.clip.path), megabytes_text(e.clip.size))};
            } else if constexpr (std::is_same_v<E, event::Message>) {
                return TerminalLine{Stream::Stderr, vc::format("error: {}", e.text)};
            } else {
                static_assert(std::is_same_v<E, event::Stopped>);
                return std::nullopt;
            }
        },
        event);
}

bool print_engine_event(EngineEvent event) {
    const bool running = !std::holds_alternative<event::Stopped>(event);
    if (auto line = engine_event_line(event)) print_lines({std::move(*line)});
    return running;
}

}  // namespace vc::cli
