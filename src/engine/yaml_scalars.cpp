#include "engine/yaml_scalars.hpp"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "engine/escaped_text.hpp"

namespace vc::yaml {
namespace {

using u128 = unsigned __int128;

bool starts_with_sign(std::string_view text) {
    return !text.empty() && (text.front() == '+' || text.front() == '-');
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

struct IntegerText {
    bool negative = false;
    bool beyond_128_bits = false;
    u128 magnitude = 0;
};

// Digits of one radix, at least one; the value is accumulated with overflow noted.
std::optional<IntegerText> parse_digits(std::string_view digits, int radix, bool negative) {
    if (digits.empty()) return std::nullopt;
    IntegerText out{.negative = negative};
    const u128 max = ~u128{0};
    for (const char c : digits) {
        const int d = digit_value(c);
        if (d >= radix) return std::nullopt;
        if (out.magnitude > (max - static_cast<u128>(d)) / static_cast<u128>(radix))
            out.beyond_128_bits = true;
        else
            out.magnitude = out.magnitude * static_cast<u128>(radix) + static_cast<u128>(d);
    }
    return out;
}

std::optional<IntegerText> parse_prefixed(std::string_view text, bool negative) {
    if (text.starts_with("0x")) return parse_digits(text.substr(2), 16, negative);
    if (text.starts_with("0o")) return parse_digits(text.substr(2), 8, negative);
    if (text.starts_with("0b")) return parse_digits(text.substr(2), 2, negative);
    return std::nullopt;
}

std::optional<IntegerText> parse_integer(std::string_view text) {
    if (text.starts_with('-')) {
        const std::string_view rest = text.substr(1);
        if (auto prefixed = parse_prefixed(rest, true)) return prefixed;
        if (is_leading_zero_digits(text)) return std::nullopt;
        return parse_digits(rest, 10, true);
    }
    const std::string_view unsigned_text = text.starts_with('+') ? text.substr(1) : text;
    if (auto prefixed = parse_prefixed(unsigned_text, false)) return prefixed;
    if (starts_with_sign(unsigned_text) || is_leading_zero_digits(text)) return std::nullopt;
    return parse_digits(unsigned_text, 10, false);
}

std::string decimal(u128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

// "integer `…`" for the integers that a 64- or 128-bit type holds.
std::optional<std::string> describe_integer(std::string_view text) {
    const auto integer = parse_integer(text);
    if (!integer || integer->beyond_128_bits) return std::nullopt;
    const u128 m = integer->magnitude;
    const std::string sign = integer->negative && m != 0 ? "-" : "";
    if (!integer->negative) {
        if (m <= UINT64_MAX) return "integer `" + decimal(m) + "`";
        return "integer `" + decimal(m) + "` as u128";
    }
    if (m <= (u128{1} << 63)) return "integer `" + sign + decimal(m) + "`";
    if (m <= (u128{1} << 127)) return "integer `" + sign + decimal(m) + "` as i128";
    return std::nullopt;
}

// A decimal number: optional "-", digits with an optional point (not both sides empty),
// optional exponent with optional sign.
bool is_decimal_float_syntax(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == text.size();
}

// strtod in the C locale whatever the process locale says about the decimal point.
double c_locale_strtod(const std::string& text) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return strtod_l(text.c_str(), nullptr, c_locale);
}

}  // namespace

bool is_null_word(std::string_view text) {
    return text == "~" || text == "null" || text == "Null" || text == "NULL";
}

std::optional<bool> parse_bool(std::string_view text) {
    if (text == "true" || text == "True" || text == "TRUE") return true;
    if (text == "false" || text == "False" || text == "FALSE") return false;
    return std::nullopt;
}

bool is_leading_zero_digits(std::string_view text) {
    if (starts_with_sign(text)) text.remove_prefix(1);
    if (text.size() < 2 || text.front() != '0') return false;
    for (const char c : text.substr(1))
        if (c < '0' || c > '9') return false;
    return true;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    const auto integer = parse_integer(text);
    if (!integer || integer->negative || integer->beyond_128_bits || integer->magnitude > UINT64_MAX)
        return std::nullopt;
    return static_cast<std::uint64_t>(integer->magnitude);
}

bool is_integer_syntax(std::string_view text) { return parse_integer(text).has_value(); }

std::optional<double> parse_float(std::string_view text) {
    std::string_view unsigned_text = text;
    if (text.starts_with('+')) {
        unsigned_text = text.substr(1);
        if (starts_with_sign(unsigned_text)) return std::nullopt;
    }
    if (unsigned_text == ".inf" || unsigned_text == ".Inf" || unsigned_text == ".INF")
        return HUGE_VAL;
    if (text == "-.inf" || text == "-.Inf" || text == "-.INF") return -HUGE_VAL;
    if (text == ".nan" || text == ".NaN" || text == ".NAN") return std::nan("");
    if (is_leading_zero_digits(text) || !is_decimal_float_syntax(unsigned_text)) return std::nullopt;
    const double value = c_locale_strtod(std::string(unsigned_text));
    if (std::isinf(value)) return std::nullopt;
    return value;
}

std::string describe_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string describe_plain(std::string_view text) {
    if (text.empty() || is_null_word(text)) return "unit value";
    if (const auto boolean = parse_bool(text)) return *boolean ? "boolean `true`" : "boolean `false`";
    if (auto integer = describe_integer(text)) return *integer;
    if (const auto number = parse_float(text)) return "floating point `" + describe_float(*number) + "`";
    return "string " + quote_escaped(text);
}

std::optional<TaggedDescription> describe_core_tagged(std::string_view tag, std::string_view text) {
    const auto mismatch = [&](const char* expected) {
        return TaggedDescription{"string " + quote_escaped(text), std::string(expected)};
    };
    if (tag == bool_tag) {
        const auto boolean = parse_bool(text);
        if (!boolean) return mismatch("a boolean");
        return TaggedDescription{*boolean ? "boolean `true`" : "boolean `false`", std::nullopt};
    }
    if (tag == int_tag) {
        auto integer = describe_integer(text);
        if (!integer) return mismatch("an integer");
        return TaggedDescription{std::move(*integer), std::nullopt};
    }
    if (tag == float_tag) {
        std::optional<double> number = parse_float(text);
        if (!number && is_leading_zero_digits(text))
            number = c_locale_strtod(std::string(text.starts_with('+') ? text.substr(1) : text));
        if (!number) return mismatch("a float");
        return TaggedDescription{"floating point `" + describe_float(*number) + "`", std::nullopt};
    }
    if (tag == null_tag) {
        if (!is_null_word(text)) return mismatch("null");
        return TaggedDescription{"unit value", std::nullopt};
    }
    return std::nullopt;
}

std::string float_text(float value) {
    if (std::isnan(value)) return ".nan";
    if (std::isinf(value)) return value > 0 ? ".inf" : "-.inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0.0f) return sign + "0.0";

    // Shortest round-trip digits in scientific form: "d.ddde±xx".
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                      std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e_pos = scientific.find('e');
    std::string digits;
    for (const char c : scientific.substr(0, e_pos))
        if (c != '.') digits += c;
    int exponent10 = 0;
    std::from_chars(scientific.data() + e_pos + 1 + (scientific[e_pos + 1] == '+'),
                    scientific.data() + scientific.size(), exponent10);
    // The magnitude lies in [10^(e-1), 10^e).
    const int e = exponent10 + 1;
    const int count = static_cast<int>(digits.size());

    std::string out = sign;
    if (count <= e && e <= 13) {
        out += digits + std::string(static_cast<std::size_t>(e - count), '0') + ".0";
    } else if (0 < e && e <= 13) {
        out += digits.substr(0, static_cast<std::size_t>(e)) + "." + digits.substr(static_cast<std::size_t>(e));
    } else if (-6 < e && e <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-e), '0') + digits;
    } else {
        out += digits.substr(0, 1);
        if (count > 1) out += "." + digits.substr(1);
        out += "e" + std::to_string(e - 1);
    }
    return out;
}

bool text_needs_quotes(std::string_view text) {
    return text.empty() || is_null_word(text) || parse_bool(text).has_value() ||
           is_integer_syntax(text) || parse_float(text).has_value() || is_leading_zero_digits(text);
}

}  // namespace vc::yaml
