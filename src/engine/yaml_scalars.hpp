// The meaning of YAML scalar texts in the settings file: which texts are nulls, booleans,
// integers and floats, and how a scalar is described in an error message. The settings
// reader decides with these what a value is; the settings writer uses the same rules to quote
// texts that would otherwise read back as something else. Pure functions, no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vc::yaml {

// The tags that libyaml reports for "!!bool", "!!int", "!!float", "!!null" and "!!str".
inline constexpr std::string_view bool_tag = "tag:yaml.org,2002:bool";
inline constexpr std::string_view int_tag = "tag:yaml.org,2002:int";
inline constexpr std::string_view float_tag = "tag:yaml.org,2002:float";
inline constexpr std::string_view null_tag = "tag:yaml.org,2002:null";

// "~", "null", "Null" or "NULL" (the empty text is not one of them).
bool is_null_word(std::string_view text);

// "true", "True", "TRUE", "false", "False", "FALSE".
std::optional<bool> parse_bool(std::string_view text);

// Two or more decimal digits with a leading zero, after an optional sign ("007", "-01"):
// such a text is neither an integer nor a float.
bool is_leading_zero_digits(std::string_view text);

// An unsigned integer: an optional "+", then "0x" hex, "0o" octal, "0b" binary or decimal
// digits; the value must fit 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// The integer syntax, signed or not, of any length.
bool is_integer_syntax(std::string_view text);

// ".inf" forms, ".nan" forms or a decimal number within the 64-bit float range; texts with
// leading-zero digits only are refused as they are not numbers.
std::optional<double> parse_float(std::string_view text);

// "inf", "-inf", "NaN", or the shortest fixed-point digits with ".0" when there is no point.
std::string describe_float(double value);

// How a plain, untagged scalar is described as a found value: "unit value",
// "boolean `true`", "integer `5`", "integer `…` as u128", "floating point `1.5`" or
// "string \"…\"".
std::string describe_plain(std::string_view text);

// A scalar's found value when it carries one of the four core tags above. `mismatch` is set
// to the tag's expected kind ("a boolean", "an integer", "a float", "null") when the text
// does not fit the tag; the error then becomes an invalid-value error about the text.
struct TaggedDescription {
    std::string found;
    std::optional<std::string> mismatch;
};
std::optional<TaggedDescription> describe_core_tagged(std::string_view tag, std::string_view text);

// How the settings writer writes a 32-bit float: the shortest digits that read back as the
// same float, laid out as "0.8", "18.0", "12.5", "0.001234" or "1e20"; ".inf", "-.inf",
// ".nan".
std::string float_text(float value);

// True when a text written plain would be read as something other than a text: the empty
// text, null words, booleans, integers of any length, floats and leading-zero digits.
bool text_needs_quotes(std::string_view text);

}  // namespace vc::yaml
