// The program's command line: "--display <screen number>", repeatable, the last one wins.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vc::cli {

inline constexpr std::string_view kUsage = "usage: VantrelClips [--display <screen number>]";

struct CommandLine {
    std::optional<std::uint32_t> display;  // 0-based, when given
};

// The arguments after the program's name. nullopt: not accepted (the usage text applies).
std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args);

}  // namespace vc::cli
