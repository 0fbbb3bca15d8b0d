#include "cli/hotkey_text.hpp"

#include <array>
#include <map>
#include <vector>

#include "engine/format.hpp"
#include "engine/unicode.hpp"

namespace vc::cli {
namespace {

struct KeyDefinition {
    std::string code_name;
    std::uint8_t code = 0;
    std::optional<std::uint32_t> keysym;
};

// The key table, built once: every key by its code number, and every accepted name
// (upper case) with its key.
struct KeyTable {
    std::array<std::optional<KeyDefinition>, 256> by_code;
    std::map<std::string, std::uint8_t, std::less<>> by_name;

    void add(std::string code_name, std::uint8_t code, std::optional<std::uint32_t> keysym,
             std::vector<std::string> names) {
        by_code[code] = KeyDefinition{std::move(code_name), code, keysym};
        for (auto& name : names) by_name.emplace(std::move(name), code);
    }
};

KeyTable build_key_table() {
    KeyTable table;
    for (int i = 0; i < 26; ++i) {
        const std::string letter(1, static_cast<char>('A' + i));
        table.add("Key" + letter, static_cast<std::uint8_t>(19 + i), 0x41u + i, {letter, "KEY" + letter});
    }
    for (int i = 0; i < 10; ++i) {
        const std::string digit(1, static_cast<char>('0' + i));
        table.add("Digit" + digit, static_cast<std::uint8_t>(5 + i), 0x30u + i, {digit, "DIGIT" + digit});
        table.add("Numpad" + digit, static_cast<std::uint8_t>(84 + i), 0xFFB0u + i,
                  {"NUM" + digit, "NUMPAD" + digit});
    }
    for (int n = 1; n <= 24; ++n) {
        const std::string name = "F" + std::to_string(n);
        table.add(name, static_cast<std::uint8_t>(160 + n - 1), 0xFFBEu + n - 1, {name});
    }

    struct Row {
        const char* code_name;
        std::uint8_t code;
        std::uint32_t keysym;  // 0: none
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {"Backquote", 0, 0x60, {"`", "BACKQUOTE"}},
        {"Backslash", 1, 0x5C, {"\\", "BACKSLASH"}},
        {"BracketLeft", 2, 0x5B, {"[", "BRACKETLEFT"}},
        {"BracketRight", 3, 0x5D, {"]", "BRACKETRIGHT"}},
        {"Comma", 4, 0x2C, {",", "COMMA"}},
        {"Equal", 15, 0x3D, {"=", "EQUAL"}},
        {"Minus", 45, 0x2D, {"-", "MINUS"}},
        {"Period", 46, 0x2E, {".", "PERIOD"}},
        {"Quote", 47, 0x27, {"'", "QUOTE"}},
        {"Semicolon", 48, 0x3B, {";", "SEMICOLON"}},
        {"Slash", 49, 0x2F, {"/", "SLASH"}},
        {"ArrowUp", 82, 0xFF52, {"UP", "ARROWUP"}},
        {"ArrowDown", 79, 0xFF54, {"DOWN", "ARROWDOWN"}},
        {"ArrowLeft", 80, 0xFF51, {"LEFT", "ARROWLEFT"}},
        {"ArrowRight", 81, 0xFF53, {"RIGHT", "ARROWRIGHT"}},
        {"Tab", 63, 0xFF09, {"TAB"}},
        {"Enter", 57, 0xFF0D, {"ENTER"}},
        {"Space", 62, 0x20, {"SPACE"}},
        {"Escape", 114, 0xFF1B, {"ESC", "ESCAPE"}},
        {"Backspace", 52, 0xFF08, {"BACKSPACE"}},
        {"Delete", 72, 0xFFFF, {"DELETE"}},
        {"Insert", 76, 0xFF63, {"INSERT"}},
        {"Home", 75, 0xFF50, {"HOME"}},
        {"End", 73, 0xFF57, {"END"}},
        {"PageUp", 78, 0xFF55, {"PAGEUP"}},
        {"PageDown", 77, 0xFF56, {"PAGEDOWN"}},
        {"Pause", 119, 0xFF13, {"PAUSE", "PAUSEBREAK"}},
        {"CapsLock", 53, 0xFFE5, {"CAPSLOCK"}},
        {"NumLock", 83, 0xFF7F, {"NUMLOCK"}},
        {"ScrollLock", 118, 0xFF14, {"SCROLLLOCK"}},
        {"PrintScreen", 117, 0xFF61, {"PRINTSCREEN"}},
        {"NumpadAdd", 94, 0xFFAB, {"NUMADD", "NUMPLUS", "NUMPADADD", "NUMPADPLUS"}},
        {"NumpadSubtract", 113, 0xFFAD, {"NUMSUBTRACT", "NUMPADSUBTRACT"}},
        {"NumpadMultiply", 109, 0xFFAA, {"NUMMULTIPLY", "NUMPADMULTIPLY"}},
        {"NumpadDivide", 100, 0xFFAF, {"NUMDIVIDE", "NUMPADDIVIDE"}},
        {"NumpadDecimal", 99, 0xFFAE, {"NUMDECIMAL", "NUMPADDECIMAL"}},
        {"NumpadEnter", 101, 0, {"NUMENTER", "NUMPADENTER"}},
        {"NumpadEqual", 102, 0, {"NUMEQUAL", "NUMPADEQUAL"}},
        {"AudioVolumeUp", 140, 0x1008FF13, {"VOLUMEUP", "AUDIOVOLUMEUP"}},
        {"AudioVolumeDown", 138, 0x1008FF11, {"VOLUMEDOWN", "AUDIOVOLUMEDOWN"}},
        {"AudioVolumeMute", 139, 0x1008FF12, {"VOLUMEMUTE", "AUDIOVOLUMEMUTE"}},
        {"MediaPlay", 207, 0x1008FF14, {"MEDIAPLAY"}},
        {"MediaPause", 206, 0x1008FF31, {"MEDIAPAUSE"}},
        {"MediaPlayPause", 131, 0, {"MEDIAPLAYPAUSE"}},
        {"MediaStop", 133, 0x1008FF15, {"MEDIASTOP"}},
        {"MediaTrackNext", 134, 0x1008FF17, {"MEDIATRACKNEXT"}},
        {"MediaTrackPrevious", 135, 0x1008FF16, {"MEDIATRACKPREV", "MEDIATRACKPREVIOUS"}},
    };
    for (const Row& row : rows) {
        std::optional<std::uint32_t> keysym;
        if (row.keysym != 0) keysym = row.keysym;
        table.add(row.code_name, row.code, keysym, row.names);
    }
    return table;
}

const KeyTable& key_table() {
    static const KeyTable table = build_key_table();
    return table;
}

std::optional<std::uint32_t> find_modifier(std::string_view upper) {
    if (upper == "ALT" || upper == "OPTION") return modifier::alt;
    if (upper == "CTRL" || upper == "CONTROL" || upper == "CMDORCTRL" || upper == "CMDORCONTROL" ||
        upper == "COMMANDORCTRL" || upper == "COMMANDORCONTROL")
        return modifier::control;
    if (upper == "SHIFT") return modifier::shift;
    if (upper == "SUPER" || upper == "CMD" || upper == "COMMAND") return modifier::super;
    return std::nullopt;
}

std::expected<Key, std::string> key_from_name(std::string_view name) {
    if (auto key = find_key(name)) return *key;
    return std::unexpected(vc::format(
        "Couldn't recognize \"{}\" as a valid key for hotkey, if you feel like it should be, please "
        "report this to the issue tracker named in the README",
        name));
}

}  // namespace

std::string_view Key::name() const {
    const auto& definition = key_table().by_code[code];
    return definition ? std::string_view(definition->code_name) : std::string_view("Unidentified");
}

std::optional<std::uint32_t> Key::keysym() const {
    const auto& definition = key_table().by_code[code];
    return definition ? definition->keysym : std::nullopt;
}

std::optional<Key> find_key(std::string_view name) {
    const auto& by_name = key_table().by_name;
    const auto found = by_name.find(to_upper(name));
    if (found == by_name.end()) return std::nullopt;
    return Key{found->second};
}

std::expected<HotKey, std::string> hotkey_from_text(std::string_view text) {
    if (text.find('+') == std::string_view::npos) {
        auto key = key_from_name(text);
        if (!key) return std::unexpected(std::move(key.error()));
        return HotKey(0, *key);
    }

    const auto invalid_format = [&] {
        return std::unexpected(vc::format(
            "Invalid hotkey format: \"{}\", an hotkey should have the modifiers first and only one "
            "main key, for example: \"Shift + Alt + K\"",
            text));
    };

    std::uint32_t mods = 0;
    std::optional<Key> key;
    std::size_t start = 0;
    for (;;) {
        const std::size_t plus = text.find('+', start);
        const std::string_view piece =
            trim_white_space(text.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start));
        if (piece.empty()) return std::unexpected(vc::format("Found empty token while parsing hotkey: {}", text));
        if (key) return invalid_format();
        if (const auto mod = find_modifier(to_upper(piece))) {
            mods |= *mod;
        } else {
            auto found = key_from_name(piece);
            if (!found) return std::unexpected(std::move(found.error()));
            key = *found;
        }
        if (plus == std::string_view::npos) break;
        start = plus + 1;
    }
    if (!key) return invalid_format();
    return HotKey(mods, *key);
}

std::string hotkey_debug_text(const HotKey& hotkey) {
    std::string mods;
    const std::pair<std::uint32_t, const char*> names[] = {
        {modifier::alt, "ALT"}, {modifier::control, "CONTROL"}, {modifier::shift, "SHIFT"}, {modifier::super, "SUPER"}};
    for (const auto& [bit, name] : names) {
        if ((hotkey.mods & bit) == 0) continue;
        if (!mods.empty()) mods += " | ";
        mods += name;
    }
    if (mods.empty()) mods = "0x0";
    return vc::format("HotKey { mods: Modifiers({}), key: {}, id: {} }", mods, hotkey.key.name(), hotkey.id);
}

std::uint16_t x_modifier_mask(std::uint32_t mods) {
    std::uint16_t mask = 0;
    if (mods & modifier::shift) mask |= 0x01;
    if (mods & modifier::control) mask |= 0x04;
    if (mods & modifier::alt) mask |= 0x08;
    if (mods & modifier::super) mask |= 0x40;
    return mask;
}

}  // namespace vc::cli
