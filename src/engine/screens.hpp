// Screens: the monitors of the X display as xrandr lists them, the lookup of a configured
// screen by xrandr's number, and a screen's display text. Nothing is cached: every listing
// runs xrandr anew (through Process), on the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"

namespace vc {

// One monitor; a width of 0 means no size: the whole display is recorded.
struct Screen {
    std::string name;
    std::uint32_t index = 0;  // xrandr's monitor number; shown to the user plus one
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool primary = false;

    bool operator==(const Screen&) const = default;
};

// The whole display as one screen, used when xrandr cannot be run or fails.
Screen fallback_screen();

// The monitors from "xrandr --listmonitors", in its order; the fallback screen alone when
// xrandr cannot be run or does not exit with 0. Config "no screens found to record" when it
// succeeds without any monitor line. Never an empty list.
[[nodiscard]] Result<std::vector<Screen>> list_screens();

// The screens of xrandr's standard output (lines split at line feeds, a carriage return
// before one dropped, invalid UTF-8 replaced), or the "no screens" error.
[[nodiscard]] Result<std::vector<Screen>> parse_monitors(std::string_view xrandr_output);

// One "--listmonitors" line such as " 0: +*DP-1 2560/597x1440/336+0+0  DP-1"; nullopt for
// the heading and every line that does not fit that layout.
std::optional<Screen> parse_monitor_line(std::string_view line);

// The first listed screen whose xrandr number is `index`, from a fresh listing.
[[nodiscard]] Result<Screen> find_screen(std::uint32_t index);
// The same lookup in a given list: Config "screen {n} doesn't exist; available: {list}",
// numbers shown from 1.
[[nodiscard]] Result<Screen> choose_screen(const std::vector<Screen>& screens, std::uint32_t index);

// "Screen 1 - 2560x1440, primary (DP-1)"; "Screen 1, primary (X screen)" without a size.
std::string format_screen(const Screen& screen);

}  // namespace vc
