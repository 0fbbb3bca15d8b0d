#include <gtest/gtest.h>

#include <set>

#include "cli/hotkey_text.hpp"

namespace vc::cli {
namespace {

constexpr std::string_view kUnknownKey =
    "\" as a valid key for hotkey, if you feel like it should be, please report this to the issue "
    "tracker named in the README";

std::string unknown_key(std::string_view name) {
    return "Couldn't recognize \"" + std::string(name) + std::string(kUnknownKey);
}
std::string invalid_format(std::string_view text) {
    return "Invalid hotkey format: \"" + std::string(text) +
           "\", an hotkey should have the modifiers first and only one main key, for example: \"Shift + Alt + K\"";
}
std::string empty_token(std::string_view text) {
    return "Found empty token while parsing hotkey: " + std::string(text);
}

struct ParseCase {
    std::string text;
    std::uint32_t mods;
    std::string_view key;  // code name
};

TEST(HotkeyText, ParsesModifiersAndOneKey) {
    const ParseCase cases[] = {
        {"Alt+F8", modifier::alt, "F8"},
        {"ctrl + shift + k", modifier::control | modifier::shift, "KeyK"},
        {"Ctrl+Ctrl+K", modifier::control, "KeyK"},
        {"F8", 0, "F8"},
        {"f8", 0, "F8"},
        {"Alt+ F8", modifier::alt, "F8"},
        {"\tALT\u00a0+\u3000f8 ", modifier::alt, "F8"},
        {"Option+CmdOrCtrl+Command+Shift+a", modifier::alt | modifier::control | modifier::super | modifier::shift,
         "KeyA"},
        {"commandorcontrol+super+cmd+control+keyz", modifier::control | modifier::super, "KeyZ"},
        {"Alt+NumpadEnter", modifier::alt, "NumpadEnter"},
        {"Super+7", modifier::super, "Digit7"},
        {"Alt+digit0", modifier::alt, "Digit0"},
        {"Alt+num5", modifier::alt, "Numpad5"},
        {"Alt+NUMPAD9", modifier::alt, "Numpad9"},
        {"Alt+`", modifier::alt, "Backquote"},
        {"Alt+\\", modifier::alt, "Backslash"},
        {"Alt+'", modifier::alt, "Quote"},
        {"Alt+-", modifier::alt, "Minus"},
        {"Alt+F24", modifier::alt, "F24"},
        {"Alt+esc", modifier::alt, "Escape"},
        {"Alt+PauseBreak", modifier::alt, "Pause"},
        {"Alt+numpadplus", modifier::alt, "NumpadAdd"},
        {"Alt+MediaTrackPrev", modifier::alt, "MediaTrackPrevious"},
        {"Alt+VolumeUp", modifier::alt, "AudioVolumeUp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto hotkey = hotkey_from_text(c.text);
        ASSERT_TRUE(hotkey.has_value()) << hotkey.error();
        EXPECT_EQ(hotkey->mods, c.mods);
        EXPECT_EQ(hotkey->key.name(), c.key);
        EXPECT_EQ(hotkey->id, c.mods << 16 | hotkey->key.code);
    }
}

TEST(HotkeyText, RejectsWithExactTexts) {
    const std::pair<std::string, std::string> cases[] = {
        {" F8", unknown_key(" F8")},  // a text without '+' is not trimmed
        {"Alt", unknown_key("Alt")},  // modifiers are names only beside a '+'
        {"", unknown_key("")},
        {"Alt+F25", unknown_key("F25")},
        {"Alt+  Foo ", unknown_key("Foo")},
        {"Alt+Shift", invalid_format("Alt+Shift")},
        {"F8+Alt", invalid_format("F8+Alt")},
        {"Alt+F8+K", invalid_format("Alt+F8+K")},
        {"Alt+", empty_token("Alt+")},
        {"Alt++F8", empty_token("Alt++F8")},
        {"+", empty_token("+")},
        {"Alt+ \t +F8", empty_token("Alt+ \t +F8")},
        {"F8++", empty_token("F8++")},  // the empty piece is noticed before the second key
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        const auto hotkey = hotkey_from_text(text);
        ASSERT_FALSE(hotkey.has_value());
        EXPECT_EQ(hotkey.error(), error);
    }
}

TEST(HotkeyText, DefaultHotkeyIdMasksAndDiagnosticText) {
    const auto hotkey = hotkey_from_text("Alt+F8");
    ASSERT_TRUE(hotkey.has_value());
    EXPECT_EQ(hotkey->id, 65703u);
    EXPECT_EQ(hotkey->key.keysym(), 0xFFC5u);
    EXPECT_EQ(x_modifier_mask(hotkey->mods), 0x08);
    EXPECT_EQ(hotkey_debug_text(*hotkey), "HotKey { mods: Modifiers(ALT), key: F8, id: 65703 }");

    EXPECT_EQ(x_modifier_mask(modifier::shift | modifier::control | modifier::alt | modifier::super), 0x4D);
    EXPECT_EQ(hotkey_debug_text(HotKey(modifier::super | modifier::shift | modifier::control | modifier::alt,
                                       *find_key("q"))),
              "HotKey { mods: Modifiers(ALT | CONTROL | SHIFT | SUPER), key: KeyQ, id: " +
                  std::to_string(0x2209u << 16 | 35) + " }");
    EXPECT_EQ(hotkey_debug_text(HotKey(0, *find_key("space"))), "HotKey { mods: Modifiers(0x0), key: Space, id: 62 }");
}

TEST(HotkeyText, KeyTableCodesAndKeysyms) {
    struct KeyCase {
        std::string_view name;
        std::string_view code_name;
        std::uint8_t code;
        std::optional<std::uint32_t> keysym;
    };
    const KeyCase cases[] = {
        {"a", "KeyA", 19, 0x41},         {"KEYZ", "KeyZ", 44, 0x5A},       {"0", "Digit0", 5, 0x30},
        {"9", "Digit9", 14, 0x39},       {"F1", "F1", 160, 0xFFBE},        {"F24", "F24", 183, 0xFFD5},
        {"num0", "Numpad0", 84, 0xFFB0}, {"numpad9", "Numpad9", 93, 0xFFB9}, {"`", "Backquote", 0, 0x60},
        {"/", "Slash", 49, 0x2F},        {"Up", "ArrowUp", 82, 0xFF52},    {"delete", "Delete", 72, 0xFFFF},
        {"PageDown", "PageDown", 77, 0xFF56}, {"PrintScreen", "PrintScreen", 117, 0xFF61},
        {"NumEnter", "NumpadEnter", 101, std::nullopt}, {"NumpadEqual", "NumpadEqual", 102, std::nullopt},
        {"MediaPlayPause", "MediaPlayPause", 131, std::nullopt}, {"MediaPause", "MediaPause", 206, 0x1008FF31},
        {"mediaplay", "MediaPlay", 207, 0x1008FF14}, {"AudioVolumeMute", "AudioVolumeMute", 139, 0x1008FF12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto key = find_key(c.name);
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(key->name(), c.code_name);
        EXPECT_EQ(key->code, c.code);
        EXPECT_EQ(key->keysym(), c.keysym);
    }
    EXPECT_FALSE(find_key("KEY").has_value());
    EXPECT_FALSE(find_key("NUMPAD").has_value());
    EXPECT_FALSE(find_key("F0").has_value());
}

TEST(HotkeyText, TableHasOneHundredSeventeenDistinctKeys) {
    std::set<std::uint8_t> codes;
    for (int code = 0; code < 256; ++code) {
        if (Key{static_cast<std::uint8_t>(code)}.name() != "Unidentified") codes.insert(static_cast<std::uint8_t>(code));
    }
    EXPECT_EQ(codes.size(), 117u);
}

}  // namespace
}  // namespace vc::cli
