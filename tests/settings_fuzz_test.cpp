// Hostile and random settings files: whatever the bytes, reading ends with a Config or an
// error, without a crash, a leak (the suite runs under AddressSanitizer) or a hang; and
// every accepted file writes back to a text that reads as the same settings.
#include <gtest/gtest.h>

#include <random>

#include "engine/settings_file.hpp"
#include "engine/utf8.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

class SettingsFuzz : public ::testing::Test {
protected:
    test::TempDir home;
    test::ScopedEnv env{{"HOME", home.path().string()}, {"XDG_CONFIG_HOME", std::nullopt}};
};

// An accepted Config must survive a write and a read: compared through its text, as NaN
// volumes do not compare equal.
void expect_round_trip(const std::string& input) {
    auto config = parse_config_text(input);
    if (!config) {
        EXPECT_FALSE(config.error().empty());
        return;
    }
    auto text = config_yaml_text(*config);
    ASSERT_TRUE(text) << input;
    auto again = parse_config_text(*text);
    ASSERT_TRUE(again) << again.error() << "\nfrom:\n" << input << "\nwritten:\n" << *text;
    auto rewritten = config_yaml_text(*again);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(*rewritten, *text) << input;
}

TEST_F(SettingsFuzz, SeededRandomBytesAndMutationsNeverCrash) {
    static constexpr std::string_view alphabet =
        "{}[]:,-?&*!|>'\"#%@`~ \t\n\r.+0123456789abexnulfpsdtrio_\\";
    const std::string seed_text = *config_yaml_text(default_config()) +
                                  "x: &a {k: [1, *a]}\ntracks:\n- &t {name: a, source: !input }\n- *t\n";
    std::mt19937 random(20240611);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        if (round % 4 == 0) {
            const std::size_t length = random() % 160;
            for (std::size_t i = 0; i < length; ++i) {
                const unsigned pick = random() % 16;
                input += pick == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
            }
        } else {
            input = seed_text;
            const int edits = 1 + static_cast<int>(random() % 3);
            for (int e = 0; e < edits && !input.empty(); ++e) {
                const std::size_t at = random() % input.size();
                const char c = alphabet[random() % alphabet.size()];
                switch (random() % 3) {
                    case 0: input[at] = c; break;
                    case 1: input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), c); break;
                    default: input.erase(at, 1 + random() % 8); break;
                }
            }
        }
        SCOPED_TRACE(input);
        if (!is_valid_utf8(input)) continue;
        expect_round_trip(input);
        accepted += parse_config_text(input).has_value();
    }
    // The mutations must reach the accepting paths, not only the error paths.
    EXPECT_GT(accepted, 30);
}

TEST_F(SettingsFuzz, FilesWithArbitraryBytesGiveAResult) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(random() % 64, '\0');
        for (char& c : bytes) c = static_cast<char>(random() % 256);
        const auto path = home.write("config.yaml", bytes);
        auto config = load_config(path);
        if (!config) {
            EXPECT_FALSE(format_engine_error(config.error()).empty());
        }
        EXPECT_EQ(test::read_file(path), bytes);
    }
}

TEST_F(SettingsFuzz, DeepNestingIsReadWithoutRecursion) {
    const std::size_t depth = 100000;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"junk: " + std::string(100, '[') + std::string(100, ']') + "\nfps: 30\n", ""},
        {"junk: " + std::string(depth, '[') + std::string(depth, ']') + "\nfps: 30\n",
         "recursion limit exceeded at line 1 column 134"},
        {"fps: " + std::string(depth, '['), "fps: invalid type: sequence, expected u32 at line 1 column 6"},
        {"junk: " + std::string(depth, '['), "recursion limit exceeded at line 1 column 134"},
        {"junk:\n" + [] {
             std::string block;
             for (int i = 0; i < 200; ++i) block += std::string(static_cast<std::size_t>(i), ' ') + "- \n";
             return block;
         }(),
         "recursion limit exceeded"},
    };
    std::string nested_maps = "junk: ";
    for (std::size_t i = 0; i < depth / 4; ++i) nested_maps += "{a: ";
    for (const auto& [text, error] : cases) {
        auto config = parse_config_text(text);
        if (error.empty()) {
            ASSERT_TRUE(config) << config.error();
            EXPECT_EQ(config->fps, 30u);
        } else {
            ASSERT_FALSE(config);
            EXPECT_EQ(config.error().substr(0, error.size()), error);
        }
    }
    auto maps = parse_config_text(nested_maps);
    ASSERT_FALSE(maps);
    EXPECT_EQ(maps.error(), "recursion limit exceeded at line 1 column 515");
}

TEST_F(SettingsFuzz, AliasFanOutStopsAtTheRepetitionLimit) {
    // A long phrase replayed many times: each replay copies it.
    std::string phrases = "p: &s '" + std::string(100000, 'x') + "'\nvoice:\n  phrases: [";
    for (int i = 0; i < 100000; ++i) phrases += "*s,";
    phrases += "]\n";
    // A track whose record holds many unknown keys, replayed many times.
    std::string tracks = "t: &t {name: a, source: input";
    for (int i = 0; i < 20000; ++i) tracks += ", k" + std::to_string(i) + ": 0";
    tracks += "}\ntracks: [";
    for (int i = 0; i < 20000; ++i) tracks += "*t, ";
    tracks += "]\n";
    // Nested anchors that would double at every level if expanded: skipped, never walked.
    std::string laughs = "a0: &a0 [x, x]\n";
    for (int i = 1; i < 60; ++i)
        laughs += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [*a" + std::to_string(i - 1) + ", *a" +
                  std::to_string(i - 1) + "]\n";
    laughs += "fps: 30\n";

    for (const std::string* text : {&phrases, &tracks}) {
        auto config = parse_config_text(*text);
        ASSERT_FALSE(config);
        EXPECT_NE(config.error().find(": repetition limit exceeded at line "), std::string::npos) << config.error();
    }
    auto config = parse_config_text(laughs);
    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(config->fps, 30u);
}

}  // namespace
}  // namespace vc
