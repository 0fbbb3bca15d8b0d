// format("{} unavailable: {}", name, reason): fills each "{}" of a pattern in turn. The
// standard library of our compiler has no std::format; this covers what the system's texts
// need: texts, paths (by their text form), integers, booleans and floats (shortest form).
#pragma once

#include <charconv>
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

}  // namespace format_detail

template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    format_detail::fill(out, pattern, args...);
    return out;
}

}  // namespace vc
