// Test helper: the "engine::audio" log lines of the whole test program, formatted as the
// program prints them (without colour and timestamp), kept for the tests to look at.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "cli/logging.hpp"

namespace vc::test {

struct AudioLogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    cli::TerminalLogger logger{cli::LogFilter::parse("engine::audio=info"), cli::LineFormat{false}, {},
                               [this](std::string_view line) -> std::expected<void, OsError> {
                                   std::lock_guard lock(mutex);
                                   lines.emplace_back(line.substr(28));  // after the timestamp
                                   return {};
                               }};
    // The lines so far; the list starts again empty.
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    }
};

// Lives as long as the process: capture workers may log at any time.
inline AudioLogLines& audio_log_lines() {
    static auto* lines = new AudioLogLines;
    return *lines;
}

}  // namespace vc::test
