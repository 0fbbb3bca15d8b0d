// Decimal integers as people type them and as tools print them: an optional sign, then
// ASCII digits only (leading zeros allowed; no blanks, no other bases), within the type's
// range. Used for screen numbers on the command line and on standard input, and for
// xrandr's monitor list.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vc {

// An optional '+', then digits; at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text);

// An optional '+' or '-', then digits; from -2147483648 to 2147483647.
std::optional<std::int32_t> parse_i32(std::string_view text);

}  // namespace vc
