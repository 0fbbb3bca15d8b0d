#include "engine/ring_list.hpp"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <thread>

#include "engine/ascii_case.hpp"
#include "engine/ring_files.hpp"
#include "engine/utf8.hpp"
#include "engine/whole_file.hpp"

namespace vc {
namespace {

constexpr int missing_list_retries = 25;
constexpr auto missing_list_pause = std::chrono::milliseconds(20);

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// strtod alone would take hex, leading blanks and "1e" (as 1), and from_chars refuses a
// leading '+': so the grammar is checked here and only the conversion is left to strtod,
// in the C locale whatever the process locale says.
bool is_decimal_number(std::string_view text) {
    std::size_t pos = 0;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    const std::string_view body = text.substr(pos);
    if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity") ||
        equals_ignoring_ascii_case(body, "nan"))
        return true;
    std::size_t digits = 0;
    while (pos < text.size() && is_digit(text[pos])) ++pos, ++digits;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        while (pos < text.size() && is_digit(text[pos])) ++pos, ++digits;
    }
    if (digits == 0) return false;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
        std::size_t exponent_digits = 0;
        while (pos < text.size() && is_digit(text[pos])) ++pos, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return pos == text.size();
}

locale_t c_locale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
}

// The whole list as text; a missing file is reported apart so the caller can wait for the
// recorder to list its first segment.
Result<std::string> read_list_once(const std::filesystem::path& path, bool& missing) {
    auto text = read_whole_file(path);
    missing = !text && text.error().code == ENOENT;
    if (missing) return std::string();
    if (!text) return io_error("reading replay index", std::move(text.error()));
    if (!is_valid_utf8(*text))
        return io_error("reading replay index", OsError::with_message("stream did not contain valid UTF-8"));
    return std::move(*text);
}

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
    if (!is_decimal_number(text)) return std::nullopt;
    const std::string terminated(text);
    return ::strtod_l(terminated.c_str(), nullptr, c_locale());
}

std::optional<Segment> parse_segment_line(std::string_view line) {
    const std::size_t first = line.find(',');
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t second = line.find(',', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    std::size_t third = line.find(',', second + 1);
    if (third == std::string_view::npos) third = line.size();
    const auto start = parse_decimal(line.substr(first + 1, second - first - 1));
    const auto end = parse_decimal(line.substr(second + 1, third - second - 1));
    if (!start || !end) return std::nullopt;
    const double difference = *end - *start;
    return Segment{std::string(line.substr(0, first)), difference > 0.0 ? difference : 0.0, *end};
}

std::vector<Segment> parse_ring_list(std::string_view text) {
    std::vector<Segment> segments;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        if (auto segment = parse_segment_line(line)) segments.push_back(std::move(*segment));
    }
    return segments;
}

std::vector<Segment> choose_segments(const std::vector<Segment>& segments, std::uint32_t replay_seconds) {
    const double wanted = static_cast<double>(replay_seconds);
    double covered = 0.0;
    std::size_t first = segments.size();
    while (first > 0) {
        --first;
        covered += segments[first].duration;
        if (covered >= wanted) break;
    }
    return {segments.begin() + static_cast<std::ptrdiff_t>(first), segments.end()};
}

Result<std::string> read_ring_list(const std::filesystem::path& ring_dir) {
    const auto path = ring_dir / kRingListName;
    for (int attempt = 0;; ++attempt) {
        bool missing = false;
        auto text = read_list_once(path, missing);
        if (!text) return text;
        if (!missing) return text;
        if (attempt == missing_list_retries) return nothing_recorded();
        std::this_thread::sleep_for(missing_list_pause);
    }
}

}  // namespace vc
