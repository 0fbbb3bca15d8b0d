// The hotkey text format of the `hotkey` setting ("Alt+F8", "ctrl + shift + k") and the key
// table behind it: parsing into a HotKey, the HotKey's id and diagnostic text, and the X11
// key symbols and modifier masks the hotkey facility grabs with. Pure: no X connection.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vc::cli {

// Modifier bits of HotKey::mods.
namespace modifier {
inline constexpr std::uint32_t alt = 0x1;
inline constexpr std::uint32_t control = 0x8;
inline constexpr std::uint32_t shift = 0x200;
inline constexpr std::uint32_t super = 0x2000;
}  // namespace modifier

// One key of the key table, named by its key code number (0 to 255).
struct Key {
    std::uint8_t code = 0;

    // The code name, for example "F8", "KeyA", "Numpad0": the key's text wherever it is shown.
    std::string_view name() const;
    // The X11 key symbol the key is grabbed with; a few keys have none and never register.
    std::optional<std::uint32_t> keysym() const;

    bool operator==(const Key&) const = default;
};

// The key whose accepted name is `name` after full upper-casing, matched whole.
std::optional<Key> find_key(std::string_view name);

// One parsed key combination: any of the four modifiers and exactly one key.
struct HotKey {
    std::uint32_t mods = 0;
    Key key;
    std::uint32_t id = 0;  // mods << 16 | key code

    HotKey() = default;
    HotKey(std::uint32_t mods, Key key) : mods(mods), key(key), id(mods << 16 | key.code) {}

    bool operator==(const HotKey&) const = default;
};

// Parses a hotkey text; the error is the text shown to the user.
std::expected<HotKey, std::string> hotkey_from_text(std::string_view text);

// "HotKey { mods: Modifiers(ALT), key: F8, id: 65703 }": how the already-registered error
// names the combination.
std::string hotkey_debug_text(const HotKey& hotkey);

// The X modifier mask of `mods`: ShiftMask, ControlMask, Mod1Mask (Alt), Mod4Mask (Super).
std::uint16_t x_modifier_mask(std::uint32_t mods);

}  // namespace vc::cli
