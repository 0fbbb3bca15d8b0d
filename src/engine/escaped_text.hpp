// Quoted, escaped text for messages that show a user's text: the text in double quotes, with
// every character that would be invisible or ambiguous on a terminal written as an escape.
// Used by the settings reader (found values) and the settings validator (track names).
#pragma once

#include <string>
#include <string_view>

namespace vc {

// "\"" + text + "\"", where `"` and `\` get a backslash, tab, line feed, carriage return and
// NUL become \t \n \r \0, and other control, unprintable or grapheme-extending characters
// become \u{hex}. Invalid UTF-8 bytes are shown as \u{fffd}.
std::string quote_escaped(std::string_view text);

}  // namespace vc
