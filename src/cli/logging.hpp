// The front end's logger: the RUST_LOG filter and the line format, installed once by main()
// as the process-wide vc::log::Logger. After the set-up the filter is read-only and shared
// by every thread without a lock; each thread formats into a buffer of its own and only the
// final write takes the standard-output lock (printing.hpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/log.hpp"

namespace vc::cli {

// A level limit: 0 off, 1 error, 2 warn, 3 info, 4 debug, 5 trace.
using LevelLimit = std::uint8_t;

struct Directive {
    std::optional<std::string> target;  // matched as a byte prefix of the event's target
    std::vector<std::string> field_names;
    LevelLimit limit = 5;

    bool operator==(const Directive&) const = default;
};

// One piece of RUST_LOG. A directive that parses but can never enable an event (it names a
// span or gives a field a value) is accepted as nullopt. The error is the reason text.
std::expected<std::optional<Directive>, std::string> parse_directive(std::string_view piece);

struct RejectedDirective {
    std::string piece;  // exactly as written
    std::string reason;
};

class LogFilter {
public:
    // Reads a whole RUST_LOG value; the pieces that do not parse are returned in `rejected`.
    static LogFilter parse(std::string_view value, std::vector<RejectedDirective>* rejected = nullptr);

    bool enabled(log::Level level, std::string_view target,
                 const std::vector<std::string_view>& field_names = {}) const;
    log::Interest interest(log::Level level, std::string_view target) const;
    log::Level max_level() const { return max_level_; }

    // Most specific first: with a target before without, longer target first, more fields first.
    const std::vector<Directive>& directives() const { return directives_; }

private:
    std::vector<Directive> directives_;
    log::Level max_level_ = log::Level::Error;
};

struct LineFormat {
    bool colour = true;
};

// Appends the whole line of `event` at `now`, line feed included.
void format_log_line(std::string& out, const log::Event& event,
                     std::chrono::system_clock::time_point now, LineFormat format);

// The message with terminal control characters made visible (\x1b, \u{9b}, ...).
void append_escaped_message(std::string& out, std::string_view message);

class TerminalLogger final : public log::Logger {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using Writer = std::function<std::expected<void, OsError>(std::string_view)>;

    TerminalLogger(LogFilter filter, LineFormat format, Clock clock = {}, Writer writer = {});

    log::Level max_level() const override { return filter_.max_level(); }
    log::Interest interest(log::Level level, std::string_view target) const override;
    bool enabled(const log::Event& event) const override;
    void write(const log::Event& event) override;

private:
    LogFilter filter_;
    LineFormat format_;
    Clock clock_;
    Writer writer_;
};

// main()'s first step: reads NO_COLOR and RUST_LOG ("warn,engine=info" when unset or not
// valid text), reports each piece that does not parse as "ignoring `{}`: {}" on standard
// error, and installs the logger for the rest of the process.
void install_logging();

}  // namespace vc::cli
