#include "engine/escaped_text.hpp"

#include <unicode/uchar.h>

#include "engine/utf8.hpp"

namespace vc {
namespace {

// Printable means: not a control, format, surrogate, private-use, unassigned or separator
// character, the ordinary blank excepted.
bool is_printable(char32_t c) {
    if (c == U' ') return true;
    switch (u_charType(static_cast<UChar32>(c))) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_SPACE_SEPARATOR:
            return false;
        default:
            return true;
    }
}

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char digits[] = "0123456789abcdef";
    char buffer[8];
    int length = 0;
    do {
        buffer[length++] = digits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (length > 0) out += buffer[--length];
    out += '}';
}

}  // namespace

std::string quote_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const auto decoded = next_code_point(text, pos);
        if (!decoded) {
            append_hex_escape(out, 0xFFFD);
            continue;
        }
        const char32_t c = *decoded;
        switch (c) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (!is_printable(c) || u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND))
            append_hex_escape(out, c);
        else
            out.append(text.substr(start, pos - start));
    }
    out += '"';
    return out;
}

}  // namespace vc
