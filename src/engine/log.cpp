#include "engine/log.hpp"

#include <unicode/uchar.h>

#include "engine/utf8.hpp"

namespace vc::log {
namespace {

std::atomic<Logger*> installed{nullptr};

// Printable in the sense of a debug form: letters, marks, numbers, punctuation, symbols and
// the plain blank; not controls, format characters, surrogates, private use, unassigned
// code points or separators other than U+0020.
bool is_printable(char32_t c) {
    if (c == U' ') return true;
    switch (u_charType(static_cast<UChar32>(c))) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_SPACE_SEPARATOR:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
            return false;
        default:
            return true;
    }
}

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char digits[] = "0123456789abcdef";
    char buffer[8];
    int n = 0;
    do {
        buffer[n++] = digits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out += buffer[--n];
    out += '}';
}

}  // namespace

void install(Logger* logger) {
    installed.store(logger, std::memory_order_release);
    Callsite::generation_.fetch_add(1, std::memory_order_acq_rel);
}

bool Callsite::recompute() {
    const std::uint32_t generation = generation_.load(std::memory_order_acquire);
    Logger* logger = installed.load(std::memory_order_acquire);
    Interest interest = Interest::Never;
    if (logger != nullptr && level_ <= logger->max_level()) interest = logger->interest(level_, target_);
    state_.store((generation << 2) | static_cast<std::uint32_t>(interest), std::memory_order_release);
    return interest != Interest::Never;
}

void emit(Callsite& site, std::string_view message, std::span<const Field> fields) {
    Logger* logger = installed.load(std::memory_order_acquire);
    if (logger == nullptr) return;
    const Event event{site.level(), site.target(), message, fields};
    if (site.cached_interest() == Interest::Sometimes && !logger->enabled(event)) return;
    logger->write(event);
}

Field debug_list_field(std::string_view name, const std::vector<std::string>& items) {
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ", ";
        append_debug_text(text, items[i]);
    }
    text += ']';
    return debug_field(name, std::move(text));
}

void append_debug_text(std::string& out, std::string_view text) {
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const auto decoded = next_code_point(text, pos);
        if (!decoded) {
            out += "\xEF\xBF\xBD";  // texts are UTF-8; a stray byte shows as U+FFFD
            continue;
        }
        const char32_t c = *decoded;
        switch (c) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (!is_printable(c) || u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND))
            append_hex_escape(out, c);
        else
            out.append(text.substr(start, pos - start));
    }
    out += '"';
}

}  // namespace vc::log
