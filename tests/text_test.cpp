#include <gtest/gtest.h>

#include "engine/unicode.hpp"
#include "engine/utf8.hpp"

namespace vc {
namespace {

TEST(Utf8, LossyReplacesEachMaximalInvalidSubsequence) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"a\xff" "b", "a\uFFFD" "b"},
        {"\xe2\x82", "\uFFFD"},                       // truncated three-byte sequence: one
        {"\xe2\x82" "a", "\uFFFD" "a"},
        {"\xf0\x80\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong lead: each byte
        {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},       // surrogate
        {"\xc3\xa9", "\u00e9"},
        {"\xf4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lossy_utf8(c.in), c.out) << c.in;
        EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out) << c.in;
    }
}

TEST(Unicode, WhiteSpaceTrimAndSplit) {
    EXPECT_EQ(trim_white_space("\u3000 d 2\u00a0\t\n"), "d 2");
    EXPECT_EQ(trim_white_space("\u2028"), "");
    const auto pieces = split_white_space(" d\u20092  x ");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], "d");
    EXPECT_EQ(pieces[1], "2");
    EXPECT_EQ(pieces[2], "x");
    EXPECT_TRUE(split_white_space(" \t").empty());
}

TEST(Unicode, FullLowerCase) {
    EXPECT_EQ(to_lower("CLIP That"), "clip that");
    EXPECT_EQ(to_lower("\u0130"), "i\u0307");       // one code point becomes two
    EXPECT_EQ(to_lower("\u039F\u03A3"), "\u03BF\u03C2");  // final sigma
    EXPECT_TRUE(is_alphanumeric(U'\u00e9'));
    EXPECT_TRUE(is_alphanumeric(U'\u0663'));
    EXPECT_FALSE(is_alphanumeric(U'!'));
}

TEST(Unicode, FullUpperCase) {
    EXPECT_EQ(to_upper("Alt f8"), "ALT F8");
    EXPECT_EQ(to_upper("stra\u00dfe"), "STRASSE");  // one code point becomes two
    EXPECT_EQ(to_upper("\u00e9"), "\u00c9");
}

}  // namespace
}  // namespace vc
