// format("{} unavailable: {}", name, reason): fills each "{}" of a pattern in turn. The
// standard library of our compiler has no std::format; this covers what the system's texts
// need: texts, paths (by their text form), integers, booleans and floats (shortest form).
// The pattern is checked while compiling: a "{}" without an argument, or an argument
// without a "{}", does not build.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>

#include "engine/utf8.hpp"

namespace vc {

namespace format_detail {

template <typename T>
void append(std::string& out, const T& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<V, char>) {
        out += value;
    } else if constexpr (std::is_arithmetic_v<V>) {
        char buffer[64];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr);
    } else if constexpr (std::is_same_v<V, std::filesystem::path>) {
        out += path_text(value);
    } else {
        out += std::string_view(value);
    }
}

inline void fill(std::string& out, std::string_view pattern) { out += pattern; }

template <typename First, typename... Rest>
void fill(std::string& out, std::string_view pattern, const First& first, const Rest&... rest) {
    const std::size_t slot = pattern.find("{}");
    if (slot == std::string_view::npos) {
        out += pattern;
        return;
    }
    out += pattern.substr(0, slot);
    append(out, first);
    fill(out, pattern.substr(slot + 2), rest...);
}

// Counts the slots as fill() finds them: each "{}" in turn, from the left.
constexpr std::size_t count_slots(std::string_view pattern) {
    std::size_t slots = 0;
    for (std::size_t at = pattern.find("{}"); at != std::string_view::npos; at = pattern.find("{}", at + 2)) ++slots;
    return slots;
}

// Not constexpr: reaching it while compiling a pattern is the error, and its name is the message.
inline void the_pattern_has_a_different_number_of_slots_than_arguments() {}

}  // namespace format_detail

// A pattern with as many "{}" slots as Args has members; built only from a constant.
template <typename... Args>
class FormatPattern {
public:
    template <typename Text>
        requires std::convertible_to<const Text&, std::string_view>
    consteval FormatPattern(const Text& text) : text_(text) {
        if (format_detail::count_slots(text_) != sizeof...(Args))
            format_detail::the_pattern_has_a_different_number_of_slots_than_arguments();
    }

    std::string_view text() const { return text_; }

private:
    std::string_view text_;
};

template <typename... Args>
std::string format(FormatPattern<std::type_identity_t<Args>...> pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.text().size() + 16 * sizeof...(Args));
    format_detail::fill(out, pattern.text(), args...);
    return out;
}

}  // namespace vc
