// Case-insensitive comparison of ASCII words: only A-Z and a-z are folded, every other
// byte must match exactly, whatever the locale. For fixed keywords ("warn", "inf"); user
// text that may hold any letter is compared with unicode.hpp's full case mapping instead.
#pragma once

#include <algorithm>
#include <string_view>

namespace vc {

constexpr bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    constexpr auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace vc
