// Unicode properties of UTF-8 text, all from ICU: white space (the White_Space property),
// letters and digits, full lower- and upper-casing. Used wherever user text is trimmed, split or
// compared: RUST_LOG pieces, standard-input commands, hotkey texts, voice phrases.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vc {

bool is_white_space(char32_t c);
// Alphabetic, or a number (general categories Nd, Nl, No).
bool is_alphanumeric(char32_t c);

// Without the leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);
// The pieces between runs of White_Space characters, none empty.
std::vector<std::string_view> split_white_space(std::string_view text);

// Full lower-casing (one code point may become several), independent of the locale.
std::string to_lower(std::string_view text);
// Full upper-casing ("ß" becomes "SS"), independent of the locale.
std::string to_upper(std::string_view text);

}  // namespace vc
