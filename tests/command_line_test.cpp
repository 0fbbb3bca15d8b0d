#include <gtest/gtest.h>

#include "cli/command_line.hpp"

namespace vc::cli {
namespace {

TEST(CommandLine, AcceptedAndRefused) {
    using Args = std::vector<std::string>;
    const struct {
        Args args;
        std::optional<std::optional<std::uint32_t>> display;  // outer nullopt: refused
    } cases[] = {
        {{}, std::optional<std::uint32_t>{}},
        {{"--display", "2"}, std::optional<std::uint32_t>{1}},
        {{"--display", "1", "--display", "3"}, std::optional<std::uint32_t>{2}},
        {{"--display", "+2"}, std::optional<std::uint32_t>{1}},
        {{"--display", "4294967295"}, std::optional<std::uint32_t>{4294967294u}},
        {{"--display"}, std::nullopt},
        {{"--display", "0"}, std::nullopt},
        {{"--display", "x"}, std::nullopt},
        {{"--display", "-1"}, std::nullopt},
        {{"--display", "+"}, std::nullopt},
        {{"--display", " 2"}, std::nullopt},
        {{"--display", "4294967296"}, std::nullopt},
        {{"--display=2"}, std::nullopt},
        {{"--DISPLAY", "2"}, std::nullopt},
        {{"-d", "2"}, std::nullopt},
        {{"--display", "2", "extra"}, std::nullopt},
        {{"--display", "\xff"}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_command_line(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        ASSERT_EQ(parsed.has_value(), c.display.has_value()) << shown;
        if (parsed) {
            EXPECT_EQ(parsed->display, *c.display) << shown;
        }
    }
}

}  // namespace
}  // namespace vc::cli
