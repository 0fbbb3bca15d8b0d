#include "cli/logging.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <regex>

#include "cli/printing.hpp"
#include "engine/ascii_case.hpp"
#include "engine/error.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"

namespace vc::cli {
namespace {

constexpr std::string_view kDefaultFilter = "warn,engine=info";
constexpr std::string_view kInvalid = "invalid filter directive";
constexpr std::string_view kBadLevel =
    "error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", "
    "\"debug\", \"trace\", or a number 0-5";

std::optional<LevelLimit> parse_level(std::string_view text) {
    static constexpr std::string_view names[] = {"off", "error", "warn", "info", "debug", "trace"};
    for (std::size_t i = 0; i < std::size(names); ++i)
        if (equals_ignoring_ascii_case(text, names[i])) return static_cast<LevelLimit>(i);
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const auto first_nonzero = digits.find_first_not_of('0');
    if (first_nonzero == std::string_view::npos) return LevelLimit{0};
    digits.remove_prefix(first_nonzero);
    if (digits.size() != 1 || digits[0] > '5') return std::nullopt;
    return static_cast<LevelLimit>(digits[0] - '0');
}

// "=level" after a target or a bracket part; empty means trace.
std::expected<LevelLimit, std::string> parse_limit_after_equals(std::string_view text) {
    if (text.empty()) return LevelLimit{5};
    if (auto level = parse_level(text)) return *level;
    return std::unexpected(std::string(kBadLevel));
}

bool is_number(std::string_view text) {
    double value;
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool target_may_start_with(char32_t c) {
    return is_alphanumeric(c) || c == U'-' || c == U':' || c == U'_';
}

LevelLimit level_value(log::Level level) { return static_cast<LevelLimit>(level); }

bool target_matches(const Directive& d, std::string_view target) {
    return !d.target || target.starts_with(*d.target);
}

bool fields_match(const Directive& d, const std::vector<std::string_view>& names) {
    return std::all_of(d.field_names.begin(), d.field_names.end(), [&](const std::string& wanted) {
        return wanted == "message" || std::find(names.begin(), names.end(), wanted) != names.end();
    });
}

std::string_view level_text(log::Level level) {
    switch (level) {
        case log::Level::Trace: return "TRACE";
        case log::Level::Debug: return "DEBUG";
        case log::Level::Info: return " INFO";
        case log::Level::Warn: return " WARN";
        case log::Level::Error: return "ERROR";
    }
    return "ERROR";
}

std::string_view level_colour(log::Level level) {
    switch (level) {
        case log::Level::Trace: return "\x1b[35m";
        case log::Level::Debug: return "\x1b[34m";
        case log::Level::Info: return "\x1b[32m";
        case log::Level::Warn: return "\x1b[33m";
        case log::Level::Error: return "\x1b[31m";
    }
    return "";
}

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kItalic = "\x1b[3m";

void append_timestamp(std::string& out, std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(now.time_since_epoch()).count();
    auto seconds = micros / 1'000'000;
    auto fraction = micros % 1'000'000;
    if (fraction < 0) {
        fraction += 1'000'000;
        seconds -= 1;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(fraction));
    out += buffer;
}

void append_value(std::string& out, const log::Value& value) {
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>) {
                log::append_debug_text(out, v);
            } else if constexpr (std::is_same_v<V, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, double>) {
                if (std::isnan(v)) {
                    out += "NaN";
                } else {
                    char buffer[400];
                    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed);
                    out.append(buffer, r.ptr);
                }
            } else if constexpr (std::is_same_v<V, log::DisplayValue> || std::is_same_v<V, log::DebugValue>) {
                out += v.text;
            } else {
                out += std::to_string(v);
            }
        },
        value);
}

}  // namespace

std::expected<std::optional<Directive>, std::string> parse_directive(std::string_view piece) {
    const std::string_view text = trim_white_space(piece);
    const auto invalid = [] { return std::unexpected(std::string(kInvalid)); };
    if (text.empty()) return invalid();
    std::size_t first_end = 0;
    const auto first = next_code_point(text, first_end);
    if (!first || (*first != U'[' && !target_may_start_with(*first))) return invalid();

    Directive directive;
    bool dynamic = false;
    const std::size_t split = text.find_first_of("=[");
    const std::string_view head = text.substr(0, split);
    if (split == std::string_view::npos) {
        if (auto level = parse_level(head)) {
            directive.limit = *level;
        } else {
            directive.target = std::string(head);
        }
        return directive;
    }
    if (!head.empty()) directive.target = std::string(head);

    std::string_view rest = text.substr(split);
    if (rest.front() == '[') {
        rest.remove_prefix(1);
        const std::size_t span_end = rest.find_first_of("]{");
        if (span_end == std::string_view::npos) return invalid();
        if (span_end > 0) dynamic = true;  // a span name: no span is ever opened
        rest.remove_prefix(span_end);
        if (rest.front() == '{') {
            const std::size_t close = rest.find('}');
            if (close == std::string_view::npos) return invalid();
            const std::string_view condition = rest.substr(1, close - 1);
            if (condition.empty()) return invalid();
            rest.remove_prefix(close + 1);
            if (rest.empty() || rest.front() != ']') return invalid();
            const std::size_t equals = condition.find('=');
            if (equals == std::string_view::npos) {
                directive.field_names.emplace_back(condition);
            } else {
                const std::string_view value = condition.substr(equals + 1);
                if (value != "true" && value != "false" && !is_number(value)) {
                    try {
                        std::regex pattern{std::string(value)};
                    } catch (const std::regex_error& error) {
                        return std::unexpected("invalid field filter: " + std::string(error.what()));
                    }
                }
                dynamic = true;
            }
        }
        rest.remove_prefix(1);  // the ']'
        if (!rest.empty() && rest.front() != '=') return invalid();
    }
    if (!rest.empty()) {
        auto limit = parse_limit_after_equals(rest.substr(1));
        if (!limit) return std::unexpected(limit.error());
        directive.limit = *limit;
    }
    if (dynamic) return std::optional<Directive>{};
    return directive;
}

LogFilter LogFilter::parse(std::string_view value, std::vector<RejectedDirective>* rejected) {
    LogFilter filter;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(',', start);
        if (end == std::string_view::npos) end = value.size();
        const std::string_view piece = value.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        auto parsed = parse_directive(piece);
        if (!parsed) {
            if (rejected) rejected->push_back({std::string(piece), parsed.error()});
            continue;
        }
        if (!*parsed) continue;
        Directive& directive = **parsed;
        auto same = std::find_if(filter.directives_.begin(), filter.directives_.end(), [&](const Directive& d) {
            return d.target == directive.target && d.field_names == directive.field_names;
        });
        if (same != filter.directives_.end())
            *same = std::move(directive);
        else
            filter.directives_.push_back(std::move(directive));
    }
    std::stable_sort(filter.directives_.begin(), filter.directives_.end(), [](const Directive& a, const Directive& b) {
        if (a.target.has_value() != b.target.has_value()) return a.target.has_value();
        const std::size_t la = a.target ? a.target->size() : 0, lb = b.target ? b.target->size() : 0;
        if (la != lb) return la > lb;
        return a.field_names.size() > b.field_names.size();
    });
    LevelLimit most = 0;
    for (const Directive& d : filter.directives_) most = std::max(most, d.limit);
    filter.max_level_ = most == 0 ? log::Level::Error : static_cast<log::Level>(most);
    return filter;
}

bool LogFilter::enabled(log::Level level, std::string_view target,
                        const std::vector<std::string_view>& field_names) const {
    for (const Directive& d : directives_) {
        if (target_matches(d, target) && fields_match(d, field_names)) return level_value(level) <= d.limit;
    }
    return false;
}

// What `enabled` answers for every event of `level` and `target`, before its fields are
// known. The first directive that matches every such event decides, unless a directive with
// field names comes before it: that one alone decides the events that have those fields, so
// when the two disagree the answer depends on the fields.
log::Interest LogFilter::interest(log::Level level, std::string_view target) const {
    bool some_shown = false;
    bool some_hidden = false;
    bool covers_every_event = false;
    for (const Directive& d : directives_) {
        if (!target_matches(d, target)) continue;
        (level_value(level) <= d.limit ? some_shown : some_hidden) = true;
        if (fields_match(d, {})) {
            covers_every_event = true;
            break;
        }
    }
    if (!covers_every_event) some_hidden = true;  // an event without those fields matches nothing
    if (some_shown && some_hidden) return log::Interest::Sometimes;
    return some_shown ? log::Interest::Always : log::Interest::Never;
}

void append_escaped_message(std::string& out, std::string_view message) {
    for (std::size_t i = 0; i < message.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(message[i]);
        switch (c) {
            case 0x07: out += "\\x07"; continue;
            case 0x08: out += "\\x08"; continue;
            case 0x0C: out += "\\x0c"; continue;
            case 0x1B: out += "\\x1b"; continue;
            case 0x7F: out += "\\x7f"; continue;
            default: break;
        }
        // U+0080..U+009F are C2 80..C2 9F in UTF-8.
        if (c == 0xC2 && i + 1 < message.size()) {
            const unsigned char next = static_cast<unsigned char>(message[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                static constexpr char digits[] = "0123456789abcdef";
                out += "\\u{";
                out += digits[next >> 4];
                out += digits[next & 0xF];
                out += '}';
                ++i;
                continue;
            }
        }
        out += static_cast<char>(c);
    }
}

void format_log_line(std::string& out, const log::Event& event, std::chrono::system_clock::time_point now,
                     LineFormat format) {
    const auto wrap = [&](std::string_view code, auto&& body) {
        if (format.colour) out += code;
        body();
        if (format.colour) out += kReset;
    };
    wrap(kDim, [&] { append_timestamp(out, now); });
    out += ' ';
    wrap(level_colour(event.level), [&] { out += level_text(event.level); });
    out += ' ';
    append_escaped_message(out, event.message);
    for (const log::Field& field : event.fields) {
        out += ' ';
        wrap(kItalic, [&] { out += field.name; });
        wrap(kDim, [&] { out += '='; });
        append_value(out, field.value);
    }
    out += '\n';
}

TerminalLogger::TerminalLogger(LogFilter filter, LineFormat format, Clock clock, Writer writer)
    : filter_(std::move(filter)), format_(format), clock_(std::move(clock)), writer_(std::move(writer)) {
    if (!clock_) clock_ = [] { return std::chrono::system_clock::now(); };
    if (!writer_) writer_ = write_stdout;
}

log::Interest TerminalLogger::interest(log::Level level, std::string_view target) const {
    return filter_.interest(level, target);
}

bool TerminalLogger::enabled(const log::Event& event) const {
    std::vector<std::string_view> names;
    names.reserve(event.fields.size());
    for (const log::Field& field : event.fields) names.push_back(field.name);
    return filter_.enabled(event.level, event.target, names);
}

void TerminalLogger::write(const log::Event& event) {
    thread_local std::string line;
    line.clear();
    format_log_line(line, event, clock_(), format_);
    if (auto written = writer_(line); !written)
        write_stderr("could not write a log line: " + format_os_error(written.error()) + "\n\n");
}

void install_logging() {
    const char* no_colour = std::getenv("NO_COLOR");
    const bool colour = !(no_colour != nullptr && no_colour[0] != '\0' && is_valid_utf8(no_colour));

    const char* rust_log = std::getenv("RUST_LOG");
    std::string_view value = kDefaultFilter;
    if (rust_log != nullptr && is_valid_utf8(rust_log)) value = rust_log;

    std::vector<RejectedDirective> rejected;
    LogFilter filter = LogFilter::parse(value, &rejected);
    for (const RejectedDirective& r : rejected) write_stderr("ignoring `" + r.piece + "`: " + r.reason + "\n");

    // Leaked on purpose: threads that are never joined may log until the process ends.
    log::install(new TerminalLogger(std::move(filter), LineFormat{colour}));
}

}  // namespace vc::cli
