// Reading the settings file: a table of YAML texts with the Config or the exact error each
// gives, and the file-level cases (missing, unreadable, not UTF-8).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>

#include "engine/dirs.hpp"
#include "engine/settings_file.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

class SettingsRead : public ::testing::Test {
protected:
    TempDir home;
    ScopedEnv env{{"HOME", home.path().string()}, {"XDG_CONFIG_HOME", std::nullopt}};
};

struct ReadCase {
    const char* text;
    std::function<void(const Config&)> check;  // for texts that are accepted
};

Track track(std::string name, TrackSource source, std::optional<std::string> device = std::nullopt,
            bool enabled = true, float volume = 1.0f) {
    return Track{std::move(name), source, std::move(device), enabled, volume};
}

TEST_F(SettingsRead, AcceptedTextsGiveTheirConfig) {
    const Config defaults = default_config();
    const auto same_as_defaults = [defaults](const Config& c) { EXPECT_EQ(c, defaults); };
    const auto fps_is = [](std::uint32_t fps) { return [fps](const Config& c) { EXPECT_EQ(c.fps, fps); }; };
    const auto volume_is = [](float volume) {
        return [volume](const Config& c) {
            ASSERT_EQ(c.tracks.size(), 1u);
            EXPECT_EQ(c.tracks[0].volume, volume);
        };
    };
    const auto device_is = [](std::optional<std::string> device) {
        return [device](const Config& c) {
            ASSERT_EQ(c.tracks.size(), 1u);
            EXPECT_EQ(c.tracks[0].device, device);
        };
    };
    const auto source_is = [](TrackSource source) {
        return [source](const Config& c) {
            ASSERT_EQ(c.tracks.size(), 1u);
            EXPECT_EQ(c.tracks[0].source, source);
        };
    };
    const auto hotkey_is = [](std::string hotkey) {
        return [hotkey](const Config& c) { EXPECT_EQ(c.hotkey, hotkey); };
    };

    const std::vector<ReadCase> cases = {
        // No document, or an empty one.
        {"", same_as_defaults},
        {"# only a comment\n\n   \n", same_as_defaults},
        {"---\n", same_as_defaults},
        {"--- # c\n...\n", same_as_defaults},
        {"fps: 30\n...\n", fps_is(30)},
        {"{}", same_as_defaults},
        // One key: every other field keeps its default.
        {"fps: 30\n", [defaults](const Config& c) {
             Config expected = defaults;
             expected.fps = 30;
             EXPECT_EQ(c, expected);
         }},
        // Unsigned integers.
        {"fps: 0x3C", fps_is(60)},
        {"fps: 0x3c", fps_is(60)},
        {"fps: 0o74", fps_is(60)},
        {"fps: 0b111100", fps_is(60)},
        {"fps: +60", fps_is(60)},
        {"fps: +0x3C", fps_is(60)},
        {"fps: 0", fps_is(0)},
        {"fps: 4294967295", fps_is(4294967295u)},
        {"fps: !!str 60", fps_is(60)},
        {"fps: !!int |-\n  60\n", fps_is(60)},
        {"quality: 255", [](const Config& c) { EXPECT_EQ(c.quality, 255); }},
        // Records from flow style, in any order, with unknown keys skipped whatever they hold.
        {"{fps: 24, replay_seconds: 10}", [](const Config& c) {
             EXPECT_EQ(c.fps, 24u);
             EXPECT_EQ(c.replay_seconds, 10u);
         }},
        {"FPS: 1\nfps: 30\n", fps_is(30)},
        {"<<: {fps: 5}\n", same_as_defaults},
        {"junk: {a: [1, {b: [[[{}]]]}], c: &x 5}\nfps: 25\nmore: *x\n", fps_is(25)},
        {"!!map {fps: 27}", fps_is(27)},
        // Records that are empty plain values.
        {"voice:\nautoclip:\n", same_as_defaults},
        {"voice:\n  enabled: true\n  phrases: [clip that, 'save it']\n  language: de\n  min_confidence: 0.5\n",
         [](const Config& c) {
             EXPECT_TRUE(c.voice.enabled);
             EXPECT_EQ(c.voice.phrases, (std::vector<std::string>{"clip that", "save it"}));
             EXPECT_EQ(c.voice.language, "de");
             EXPECT_EQ(c.voice.min_confidence, 0.5f);
         }},
        {"autoclip:\n  enabled: True\n  threshold_db: -3\n  post_roll_s: 9\n", [](const Config& c) {
             EXPECT_EQ(c.autoclip, (AutoClip{true, -3.0f, 250, 20, 9}));
         }},
        // Lists.
        {"tracks:\n", [](const Config& c) { EXPECT_TRUE(c.tracks.empty()); }},
        {"tracks: []\n", [](const Config& c) { EXPECT_TRUE(c.tracks.empty()); }},
        {"tracks:\n- name: Desk\n  source: output\n  device: hw:1\n  enabled: false\n  volume: 0.5\n"
         "- {name: Mic, source: input}\n",
         [](const Config& c) {
             EXPECT_EQ(c.tracks, (std::vector<Track>{track("Desk", TrackSource::Output, "hw:1", false, 0.5f),
                                                     track("Mic", TrackSource::Input)}));
         }},
        // Texts: any scalar gives its text.
        {"hotkey:", hotkey_is("")},
        {"hotkey: null", hotkey_is("null")},
        {"hotkey: ~", hotkey_is("~")},
        {"hotkey: 7", hotkey_is("7")},
        {"hotkey: !!int 7", hotkey_is("7")},
        {"hotkey: \"a\\tb\\u00e9\\0c\"", hotkey_is(std::string("a\tb\xc3\xa9\0c", 7))},
        {"hotkey: 'it''s'", hotkey_is("it's")},
        {"hotkey: |\n  two\n  lines\n", hotkey_is("two\nlines\n")},
        {"hotkey: >-\n  folded\n  text\n", hotkey_is("folded text")},
        {"clips_dir: /media/films", [](const Config& c) { EXPECT_EQ(c.clips_dir, fs::path("/media/films")); }},
        // Optional device.
        {"tracks: [{name: a, source: input, device: ~}]", device_is(std::nullopt)},
        {"tracks: [{name: a, source: input, device: null}]", device_is(std::nullopt)},
        {"tracks: [{name: a, source: input, device: NULL}]", device_is(std::nullopt)},
        {"tracks:\n- name: a\n  source: input\n  device:\n", device_is(std::nullopt)},
        {"tracks: [{name: a, source: input, device: !!null Null}]", device_is(std::nullopt)},
        {"tracks: [{name: a, source: input, device: ''}]", device_is("")},
        {"tracks: [{name: a, source: input, device: 'null'}]", device_is("null")},
        {"tracks: [{name: a, source: input, device: !!str null}]", device_is("null")},
        {"tracks: [{name: a, source: input, device: !dev null}]", device_is("null")},
        {"tracks: [{name: a, source: input, device: 12}]", device_is("12")},
        // Track sources.
        {"tracks: [{name: a, source: 'output'}]", source_is(TrackSource::Output)},
        {"tracks: [{name: a, source: !!str output}]", source_is(TrackSource::Output)},
        {"tracks: [{name: a, source: !input }]", source_is(TrackSource::Input)},
        {"tracks: [{name: a, source: !output ~}]", source_is(TrackSource::Output)},
        // Floats.
        {"tracks: [{name: a, source: input, volume: 1}]", volume_is(1.0f)},
        {"tracks: [{name: a, source: input, volume: .5}]", volume_is(0.5f)},
        {"tracks: [{name: a, source: input, volume: 5.}]", volume_is(5.0f)},
        {"tracks: [{name: a, source: input, volume: -1.5E-1}]", volume_is(-0.15f)},
        {"tracks: [{name: a, source: input, volume: 1e40}]", volume_is(std::numeric_limits<float>::infinity())},
        {"tracks: [{name: a, source: input, volume: -1e40}]", volume_is(-std::numeric_limits<float>::infinity())},
        {"tracks: [{name: a, source: input, volume: +.Inf}]", volume_is(std::numeric_limits<float>::infinity())},
        {"tracks: [{name: a, source: input, volume: -.INF}]", volume_is(-std::numeric_limits<float>::infinity())},
        {"tracks: [{name: a, source: input, volume: 1e-400}]", volume_is(0.0f)},
        {"tracks: [{name: a, source: input, volume: .NaN}]", [](const Config& c) {
             ASSERT_EQ(c.tracks.size(), 1u);
             EXPECT_TRUE(std::isnan(c.tracks[0].volume));
         }},
        // Anchors and aliases, also to whole records.
        {"tracks:\n- &mic {name: Mic, source: input}\n- *mic\n", [](const Config& c) {
             EXPECT_EQ(c.tracks, (std::vector<Track>{track("Mic", TrackSource::Input),
                                                     track("Mic", TrackSource::Input)}));
         }},
        {"replay_seconds: &n 45\nfps: *n\n", [](const Config& c) {
             EXPECT_EQ(c.replay_seconds, 45u);
             EXPECT_EQ(c.fps, 45u);
         }},
        {"&k fps: 31\n", fps_is(31)},
        {"x: &k fps\n*k : 32\n", fps_is(32)},
        {"a: &a 1\na2: &a 2\nfps: *a\n", fps_is(2)},
        // An unknown key whose value refers to itself is skipped without being expanded.
        {"a: &c {x: *c}\nfps: 33\n", fps_is(33)},
        {"autoclip: &a {enabled: true, autoclip: *a}\n", [](const Config& c) { EXPECT_TRUE(c.autoclip.enabled); }},
        // Blanks and tabs where YAML allows them.
        {"fps:\t30\t# tab\n", fps_is(30)},
        {"\xef\xbb\xbf" "fps: 30\n", fps_is(30)},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.text);
        auto config = parse_config_text(c.text);
        ASSERT_TRUE(config) << config.error();
        c.check(*config);
    }
}

TEST_F(SettingsRead, RefusedTextsGiveTheirExactError) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Records.
        {"voice: ~", "voice: invalid type: unit value, expected struct Voice at line 1 column 8"},
        {"voice: null", "voice: invalid type: unit value, expected struct Voice at line 1 column 8"},
        {"voice: ''", "voice: invalid type: string \"\", expected struct Voice at line 1 column 8"},
        {"autoclip: [1]", "autoclip: invalid type: sequence, expected struct AutoClip at line 1 column 11"},
        {"- a\n", "invalid type: sequence, expected struct Config"},
        {"~", "invalid type: unit value, expected struct Config"},
        {"hello", "invalid type: string \"hello\", expected struct Config"},
        {"\n\n  42", "invalid type: integer `42`, expected struct Config at line 3 column 3"},
        {"? {a: 1}\n: 2\n", "invalid type: map, expected field identifier"},
        {"fps: 30\n? [a]\n: 2\n", "invalid type: sequence, expected field identifier"},
        {"voice:\n  x: 1\n  ? [a]\n  : 2\n", "voice: invalid type: sequence, expected field identifier at line 2 column 3"},
        // Duplicate and missing fields, at the mapping's start.
        {"fps: 1\nfps: 2\n", "duplicate field `fps`"},
        {"# c\nfps: 1\nfps: 2\n", "duplicate field `fps` at line 2 column 1"},
        {"tracks:\n- name: a\n  source: input\n  name: b\n", "tracks[0]: duplicate field `name` at line 2 column 3"},
        {"tracks:\n- source: input\n", "tracks[0]: missing field `name` at line 2 column 3"},
        {"tracks:\n- {}\n", "tracks[0]: missing field `name` at line 2 column 3"},
        {"tracks:\n- enabled: true\n", "tracks[0]: missing field `name` at line 2 column 3"},
        {"tracks:\n- name: a\n  source: input\n- name: b\n", "tracks[1]: missing field `source` at line 4 column 3"},
        {"tracks:\n-\n", "tracks[0]: missing field `name` at line 2 column 2"},
        // Unsigned integers.
        {"fps: 30\ndisplay: 0\nreplay_seconds: 30\nquality: 300\n",
         "quality: invalid value: integer `300`, expected u8 at line 4 column 10"},
        {"fps: 4294967296", "fps: invalid value: integer `4294967296`, expected u32 at line 1 column 6"},
        {"fps: 060", "fps: invalid type: string \"060\", expected u32 at line 1 column 6"},
        {"fps: 60.0", "fps: invalid type: floating point `60.0`, expected u32 at line 1 column 6"},
        {"fps: 1e3", "fps: invalid type: floating point `1000.0`, expected u32 at line 1 column 6"},
        {"fps: \"60\"", "fps: invalid type: string \"60\", expected u32 at line 1 column 6"},
        {"fps: -5", "fps: invalid type: integer `-5`, expected u32 at line 1 column 6"},
        {"fps: -0x10", "fps: invalid type: integer `-16`, expected u32 at line 1 column 6"},
        {"fps: 0X3C", "fps: invalid type: string \"0X3C\", expected u32 at line 1 column 6"},
        {"fps: 0x+5", "fps: invalid type: string \"0x+5\", expected u32 at line 1 column 6"},
        {"fps: ++5", "fps: invalid type: string \"++5\", expected u32 at line 1 column 6"},
        {"fps: 1_000", "fps: invalid type: string \"1_000\", expected u32 at line 1 column 6"},
        {"fps: 18446744073709551616",
         "fps: invalid type: integer `18446744073709551616` as u128, expected u32 at line 1 column 6"},
        {"fps: -9223372036854775809",
         "fps: invalid type: integer `-9223372036854775809` as i128, expected u32 at line 1 column 6"},
        {"fps: 340282366920938463463374607431768211456",
         "fps: invalid type: floating point `340282366920938463463374607431768211456.0`, expected u32 at line 1 "
         "column 6"},
        {"fps: true", "fps: invalid type: boolean `true`, expected u32 at line 1 column 6"},
        {"fps: ~", "fps: invalid type: unit value, expected u32 at line 1 column 6"},
        {"fps:", "fps: invalid type: unit value, expected u32 at line 1 column 5"},
        {"fps: {}", "fps: invalid type: map, expected u32 at line 1 column 6"},
        {"fps: |\n  60\n", "fps: invalid type: string \"60\\n\", expected u32 at line 1 column 6"},
        {"fps: !!int x", "fps: invalid value: string \"x\", expected an integer at line 1 column 6"},
        {"fps: !!bool 'yes'", "fps: invalid value: string \"yes\", expected a boolean at line 1 column 6"},
        {"fps: !!float '1.5'", "fps: invalid type: floating point `1.5`, expected u32 at line 1 column 6"},
        {"fps: !!null x", "fps: invalid value: string \"x\", expected null at line 1 column 6"},
        {"fps: !local 1.5", "fps: invalid type: floating point `1.5`, expected u32 at line 1 column 6"},
        // Booleans.
        {"autoclip:\n  enabled: yes\n",
         "autoclip.enabled: invalid type: string \"yes\", expected a boolean at line 2 column 12"},
        {"autoclip: {enabled: 'true'}", "autoclip.enabled: invalid type: string \"true\", expected a boolean at line 1 column 21"},
        {"autoclip: {enabled: 1}", "autoclip.enabled: invalid type: integer `1`, expected a boolean at line 1 column 21"},
        // Floats.
        {"tracks: [{name: a, source: input, volume: inf}]",
         "tracks[0].volume: invalid type: string \"inf\", expected f32 at line 1 column 43"},
        {"tracks: [{name: a, source: input, volume: nan}]",
         "tracks[0].volume: invalid type: string \"nan\", expected f32 at line 1 column 43"},
        {"tracks: [{name: a, source: input, volume: +-1}]",
         "tracks[0].volume: invalid type: string \"+-1\", expected f32 at line 1 column 43"},
        {"tracks: [{name: a, source: input, volume: 1e400}]",
         "tracks[0].volume: invalid type: string \"1e400\", expected f32 at line 1 column 43"},
        {"tracks: [{name: a, source: input, volume: 0x10}]",
         "tracks[0].volume: invalid type: integer `16`, expected f32 at line 1 column 43"},
        {"tracks: [{name: a, source: input, volume: '1'}]",
         "tracks[0].volume: invalid type: string \"1\", expected f32 at line 1 column 43"},
        {"autoclip:\n  threshold_db: .\n",
         "autoclip.threshold_db: invalid type: string \".\", expected f32 at line 2 column 17"},
        // Device.
        {"tracks: [{name: a, source: input, device: !!null x}]",
         "tracks[0].device: invalid value: string \"x\", expected null at line 1 column 43"},
        {"tracks: [{name: a, source: input, device: !!null\n  }]",
         "tracks[0].device: invalid value: string \"\", expected null at line 1 column 43"},
        {"tracks: [{name: a, source: input, device: [a]}]",
         "tracks[0].device: invalid type: sequence, expected a string at line 1 column 43"},
        // Source.
        {"tracks: [{name: a, source: Input}]",
         "tracks[0].source: unknown variant `Input`, expected `output` or `input` at line 1 column 28"},
        {"tracks: [{name: a, source: ''}]",
         "tracks[0].source: unknown variant ``, expected `output` or `input` at line 1 column 28"},
        {"tracks: [{name: a, source: !mic }]",
         "tracks[0].source: unknown variant `mic`, expected `output` or `input` at line 1 column 28"},
        {"tracks: [{name: a, source: !input x}]",
         "tracks[0].source: invalid value: string \"x\", expected null at line 1 column 28"},
        {"tracks: [{name: a, source: !input ''}]",
         "tracks[0].source: invalid value: string \"\", expected null at line 1 column 28"},
        {"tracks: [{name: a, source: {input: 1}}]",
         "tracks[0].source: invalid type: map, expected a YAML tag starting with '!' at line 1 column 28"},
        {"tracks: [{name: a, source: [input]}]",
         "tracks[0].source: invalid type: sequence, expected a YAML tag starting with '!' at line 1 column 28"},
        // Texts and lists.
        {"hotkey: [a]", "hotkey: invalid type: sequence, expected a string at line 1 column 9"},
        {"clips_dir: {a: b}", "clips_dir: invalid type: map, expected path string at line 1 column 12"},
        {"tracks: ~", "tracks: invalid type: unit value, expected a sequence at line 1 column 9"},
        {"tracks: null", "tracks: invalid type: unit value, expected a sequence at line 1 column 9"},
        {"tracks: ''", "tracks: invalid type: string \"\", expected a sequence at line 1 column 9"},
        {"tracks: {name: a}", "tracks: invalid type: map, expected a sequence at line 1 column 9"},
        {"tracks: [7]", "tracks[0]: invalid type: integer `7`, expected struct Track at line 1 column 10"},
        {"voice:\n  phrases:\n  - ok\n  - [no]\n",
         "voice.phrases[1]: invalid type: sequence, expected a string at line 4 column 5"},
        // Found values are escaped.
        {"fps: \"tab\\there\\\"q\\\\\"", "fps: invalid type: string \"tab\\there\\\"q\\\\\", expected u32 at line 1 column 6"},
        {"fps: \"\\x07\\u0301\"", "fps: invalid type: string \"\\u{7}\\u{301}\", expected u32 at line 1 column 6"},
        {"fps: \"é'\"", "fps: invalid type: string \"é'\", expected u32 at line 1 column 6"},
        // Aliases.
        {"fps: *a", "unknown anchor at line 1 column 6"},
        {"fps: 30\nquality: &q [1]\nreplay_seconds: *nope\n", "quality: invalid type: sequence, expected u8 at line 2 column 10"},
        {"a: &a 1\nb: *a\nc: *b\n", "unknown anchor at line 3 column 4"},
        {"tracks: &t [*t]", "tracks[0]: invalid type: sequence, expected struct Track at line 1 column 9"},
        {"voice: &v {phrases: *v}", "voice.phrases: invalid type: map, expected a sequence at line 1 column 8"},
        {"base: &b {name: x, volume: 9, volume: 8}\ntracks: [*b]\n", "tracks[0]: duplicate field `volume` at line 1 column 7"},
        // Several documents.
        {"fps: 30\n---\nfps: 40\n", "deserializing from YAML containing more than one document is not supported"},
        {"fps: 30\n---\n", "deserializing from YAML containing more than one document is not supported"},
        {"---\n---\n", "deserializing from YAML containing more than one document is not supported"},
        // An error in a value comes before a later syntax error; a missing field too.
        {"fps: x\nquality: [\n", "fps: invalid type: string \"x\", expected u32 at line 1 column 6"},
        {"tracks:\n- {}\nfps: [\n", "tracks[0]: missing field `name` at line 2 column 3"},
        {"fps: 30\n\"unterminated\n", "found unexpected end of stream at line 3 column 1, while scanning a quoted "
                                      "scalar at line 2 column 1"},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        auto config = parse_config_text(text);
        ASSERT_FALSE(config);
        EXPECT_EQ(config.error(), error);
    }
}

TEST_F(SettingsRead, SyntaxErrorsCarryLibyamlsProblemAndPositions) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"junk: [1, 2\n", "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at "
                          "line 1 column 7"},
        {"\tfps: 30\n", "found character that cannot start any token, while scanning for the next token"},
        {"junk: 30\n  bad: 1\n", "mapping values are not allowed in this context at line 2 column 6"},
        {std::string("hotkey: \"a\0b\"\n", 14), "control characters are not allowed at position 10"},
        {"fps: 30\nquality: \x01\n", "control characters are not allowed at position 17"},
        {"fps: 30\n... junk\n", "deserializing from YAML containing more than one document is not supported"},
        {"x: [", "did not find expected node content at line 2 column 1, while parsing a flow node"},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        auto config = parse_config_text(text);
        ASSERT_FALSE(config);
        EXPECT_EQ(config.error(), error);
    }
}

// Some editors start a UTF-8 file with a byte-order mark. It is skipped: the file reads as
// without it, and line and column positions count from the character after it.
TEST_F(SettingsRead, ByteOrderMarkIsSkipped) {
    const std::string mark = "\xEF\xBB\xBF";
    const fs::path path = home / "config.yaml";
    const auto load = [&](const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
        return load_config(path);
    };
    const auto read = load(mark + "fps: 30\nquality: 20\n");
    ASSERT_TRUE(read) << format_engine_error(read.error());
    EXPECT_EQ(read->fps, 30u);
    EXPECT_EQ(read->quality, 20u);

    const std::vector<std::string> refused = {
        "quality: 300\n",
        "fps: 30\nquality: 300\n",
        "junk: [1, 2\n",
        "fps: 1\nfps: 2\n",  // no position: the first key stands at the very start
        "fps: *a\n",
    };
    for (const std::string& text : refused) {
        SCOPED_TRACE(text);
        const auto plain = load(text);
        const auto marked = load(mark + text);
        ASSERT_FALSE(plain);
        ASSERT_FALSE(marked);
        EXPECT_EQ(format_engine_error(marked.error()), format_engine_error(plain.error()));
    }
    EXPECT_EQ(format_engine_error(load(mark + "quality: 300\n").error()),
              "config: " + path.string() + ": quality: invalid value: integer `300`, expected u8 at line 1 column 10");
    // A byte offset is one into the file, as libyaml gives it when it skips the mark itself.
    EXPECT_EQ(format_engine_error(load(mark + "fps: 30\nquality: \x01\n").error()),
              "config: " + path.string() + ": control characters are not allowed at position 20");
}

TEST_F(SettingsRead, MissingFileGivesDefaultsAndCreatesNothing) {
    const fs::path path = home / "sub/config.yaml";
    auto config = load_config(path);
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, default_config());
    EXPECT_FALSE(fs::exists(home / "sub"));
}

TEST_F(SettingsRead, FileErrorsNameThePath) {
    const fs::path dir = home / "dir.yaml";
    fs::create_directory(dir);
    auto unreadable = load_config(dir);
    ASSERT_FALSE(unreadable);
    EXPECT_EQ(format_engine_error(unreadable.error()), "reading " + dir.string() + ": Is a directory (os error 21)");

    const fs::path latin1 = home.write("latin1.yaml", "hotkey: caf\xe9\n");
    auto not_utf8 = load_config(latin1);
    ASSERT_FALSE(not_utf8);
    ASSERT_TRUE(not_utf8.error().is<EngineError::Io>());
    EXPECT_EQ(format_engine_error(not_utf8.error()),
              "reading " + latin1.string() + ": stream did not contain valid UTF-8");

    const fs::path refused = home.write("bad.yaml", "fps: 1\nfps: 2\n");
    auto duplicate = load_config(refused);
    ASSERT_FALSE(duplicate);
    ASSERT_TRUE(duplicate.error().is<EngineError::Config>());
    EXPECT_EQ(format_engine_error(duplicate.error()), "config: " + refused.string() + ": duplicate field `fps`");
    EXPECT_EQ(test::read_file(refused), "fps: 1\nfps: 2\n");

    const fs::path not_a_dir = home.write("file", "x");
    auto through_file = load_config(not_a_dir / "config.yaml");
    ASSERT_FALSE(through_file);
    EXPECT_EQ(format_engine_error(through_file.error()),
              "reading " + (not_a_dir / "config.yaml").string() + ": Not a directory (os error 20)");
}

TEST_F(SettingsRead, PathFollowsTheConfigurationDirectory) {
    {
        ScopedEnv xdg{{"XDG_CONFIG_HOME", "/x/"}};
        EXPECT_EQ(config_path(), fs::path("/x/vantrelclips/config.yaml"));
    }
    ScopedEnv no_home{{"HOME", std::nullopt}};
    if (!home_dir()) {
        EXPECT_EQ(config_path(), fs::path("config.yaml"));
    }
}

}  // namespace
}  // namespace vc
