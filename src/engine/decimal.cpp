#include "engine/decimal.hpp"

#include <limits>

namespace vc {
namespace {

// Digits only (the caller strips a sign); nullopt for anything else, for nothing, or for a
// value past `max`.
std::optional<std::uint64_t> parse_magnitude(std::string_view text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    const auto value = parse_magnitude(text, std::numeric_limits<std::uint32_t>::max());
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::int32_t> parse_i32(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    const std::uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
    const auto value = parse_magnitude(text, limit);
    if (!value) return std::nullopt;
    const auto magnitude = static_cast<std::int64_t>(*value);
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace vc
