#include "engine/screens.hpp"

#include "engine/decimal.hpp"
#include "engine/format.hpp"
#include "engine/process.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"

namespace vc {
namespace {

std::string_view before(std::string_view text, char stop) { return text.substr(0, text.find(stop)); }

std::vector<std::string_view> split_at(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const std::size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

// Shown numbers are one more than xrandr's; widened so that the largest number shows too.
std::uint64_t shown_number(std::uint32_t index) { return std::uint64_t{index} + 1; }

}  // namespace

Screen fallback_screen() { return Screen{"X screen", 0, 0, 0, 0, 0, true}; }

std::optional<Screen> parse_monitor_line(std::string_view raw_line) {
    const std::string line = lossy_utf8(raw_line);
    const std::vector<std::string_view> tokens = split_white_space(line);
    if (tokens.size() < 3) return std::nullopt;

    Screen screen;
    std::string_view number = tokens[0];
    while (number.ends_with(':')) number.remove_suffix(1);
    const auto index = parse_u32(number);
    if (!index) return std::nullopt;
    screen.index = *index;

    const std::string_view flags = tokens[1];
    const std::string_view geometry = tokens[2];
    const std::size_t cut = geometry.find('x');
    if (cut == std::string_view::npos) return std::nullopt;
    const auto width = parse_u32(before(geometry.substr(0, cut), '/'));
    const std::vector<std::string_view> pieces = split_at(geometry.substr(cut + 1), '+');
    if (!width || pieces.size() < 3) return std::nullopt;
    const auto height = parse_u32(before(pieces[0], '/'));
    const auto x = parse_i32(pieces[1]);
    const auto y = parse_i32(pieces[2]);
    if (!height || !x || !y) return std::nullopt;
    screen.width = *width;
    screen.height = *height;
    screen.x = *x;
    screen.y = *y;

    if (tokens.size() > 3) {
        screen.name = tokens[3];
    } else {
        std::string_view name = flags;
        while (name.starts_with('+') || name.starts_with('*')) name.remove_prefix(1);
        screen.name = name;
    }
    screen.primary = flags.find('*') != std::string_view::npos;
    return screen;
}

Result<std::vector<Screen>> parse_monitors(std::string_view xrandr_output) {
    const std::string text = lossy_utf8(xrandr_output);
    std::vector<Screen> screens;
    for (std::string_view line : split_at(text, '\n')) {
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (auto screen = parse_monitor_line(line)) screens.push_back(std::move(*screen));
    }
    if (screens.empty()) return config_error("no screens found to record");
    return screens;
}

Result<std::vector<Screen>> list_screens() {
    Command command("xrandr", {"--listmonitors"});
    command.stdin_mode = Stdio::null_device;
    const auto output = Process::output(std::move(command));
    // No X server, no xrandr or a broken one: record the whole display.
    if (!output || !output->status.success()) return std::vector<Screen>{fallback_screen()};
    return parse_monitors(output->stdout_bytes);
}

Result<Screen> choose_screen(const std::vector<Screen>& screens, std::uint32_t index) {
    for (const Screen& screen : screens) {
        if (screen.index == index) return screen;
    }
    std::string available;
    for (const Screen& screen : screens) {
        if (!available.empty()) available += ", ";
        available += std::to_string(shown_number(screen.index));
    }
    return config_error(format("screen {} doesn't exist; available: {}", shown_number(index), available));
}

Result<Screen> find_screen(std::uint32_t index) {
    auto screens = list_screens();
    if (!screens) return std::unexpected(std::move(screens.error()));
    return choose_screen(*screens, index);
}

std::string format_screen(const Screen& screen) {
    return format("Screen {}{}{} ({})", shown_number(screen.index),
                  screen.width != 0 ? format(" - {}x{}", screen.width, screen.height) : std::string(),
                  screen.primary ? ", primary" : "", screen.name);
}

}  // namespace vc
