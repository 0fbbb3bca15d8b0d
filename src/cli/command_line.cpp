#include "cli/command_line.hpp"

#include "engine/utf8.hpp"

namespace vc::cli {

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        // Arguments that are not text are refused like any other unknown argument.
        if (args[i] != "--display" || i + 1 >= args.size() || !is_valid_utf8(args[i + 1])) return std::nullopt;
        const auto number = parse_u32(args[i + 1]);
        if (!number || *number == 0) return std::nullopt;
        line.display = *number - 1;
    }
    return line;
}

}  // namespace vc::cli
