#include "cli/command_line.hpp"

#include "engine/decimal.hpp"
#include "engine/utf8.hpp"

namespace vc::cli {

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
