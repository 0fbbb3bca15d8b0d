// Settings validation: each rule's bounds, the order of the rules, and the escaped track name.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "engine/escaped_text.hpp"
#include "engine/settings_validation.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

Track track(std::string name, TrackSource source = TrackSource::Input, bool enabled = true, float volume = 1.0f) {
    return Track{std::move(name), source, std::nullopt, enabled, volume};
}

TEST(SettingsValidation, EachRuleAndItsMessage) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        std::function<void(Config&)> change;
        const char* message;  // nullptr: passes
    };
    const std::vector<Case> cases = {
        {"defaults", [](Config&) {}, nullptr},
        {"replay 4", [](Config& c) { c.replay_seconds = 4; }, "replay_seconds must be 5..=600"},
        {"replay 5", [](Config& c) { c.replay_seconds = 5; }, nullptr},
        {"replay 600", [](Config& c) { c.replay_seconds = 600; }, nullptr},
        {"replay 601", [](Config& c) { c.replay_seconds = 601; }, "replay_seconds must be 5..=600"},
        {"replay and fps 0", [](Config& c) { c.replay_seconds = 0; c.fps = 0; }, "replay_seconds must be 5..=600"},
        {"fps 14", [](Config& c) { c.fps = 14; }, "fps must be 15..=240"},
        {"fps 15", [](Config& c) { c.fps = 15; }, nullptr},
        {"fps 240", [](Config& c) { c.fps = 240; }, nullptr},
        {"fps 241", [](Config& c) { c.fps = 241; }, "fps must be 15..=240"},
        {"quality 0", [](Config& c) { c.quality = 0; }, "quality must be 1..=51"},
        {"quality 1", [](Config& c) { c.quality = 1; }, nullptr},
        {"quality 51", [](Config& c) { c.quality = 51; }, nullptr},
        {"quality 52", [](Config& c) { c.quality = 52; }, "quality must be 1..=51"},
        {"autoclip, no tracks", [](Config& c) { c.autoclip.enabled = true; c.tracks.clear(); },
         "autoclip needs at least one audio source"},
        {"autoclip, disabled tracks", [](Config& c) { c.autoclip.enabled = true; c.tracks[0].enabled = false; },
         "autoclip needs at least one audio source"},
        {"autoclip off, disabled tracks", [](Config& c) { c.tracks[0].enabled = false; }, nullptr},
        {"autoclip with an output", [](Config& c) {
             c.autoclip.enabled = true;
             c.tracks = {track("Desk", TrackSource::Output)};
         }, nullptr},
        {"seven enabled", [](Config& c) { c.tracks.assign(7, track("t")); },
         "at most 6 audio tracks can be recorded at once"},
        {"seven, six enabled", [](Config& c) {
             c.tracks.assign(7, track("t", TrackSource::Output));
             c.tracks[3].enabled = false;
         }, nullptr},
        {"disabled track volume -0.5", [](Config& c) { c.tracks = {track("Mic", TrackSource::Input, false, -0.5f)}; },
         "track \"Mic\": volume must be 0..=2"},
        {"volume 2.5", [](Config& c) { c.tracks[0].name = "Mic"; c.tracks[0].volume = 2.5f; },
         "track \"Mic\": volume must be 0..=2"},
        {"volume 0", [](Config& c) { c.tracks[0].volume = 0.0f; }, nullptr},
        {"volume -0", [](Config& c) { c.tracks[0].volume = -0.0f; }, nullptr},
        {"volume 2", [](Config& c) { c.tracks[0].volume = 2.0f; }, nullptr},
        {"volume NaN", [nan](Config& c) { c.tracks[0].volume = nan; }, "track \"Microphone\": volume must be 0..=2"},
        {"volume inf", [inf](Config& c) { c.tracks[0].volume = inf; }, "track \"Microphone\": volume must be 0..=2"},
        {"escaped name", [](Config& c) {
             c.tracks = {track("ok"), track(" a\"b\\c\td\n'e\x01\xcc\x81 ", TrackSource::Input, true, 3.0f)};
         }, "track \" a\\\"b\\\\c\\td\\n'e\\u{1}\\u{301} \": volume must be 0..=2"},
        {"volume before name", [](Config& c) { c.tracks = {track(" ", TrackSource::Input, true, 3.0f)}; },
         "track \" \": volume must be 0..=2"},
        {"blank name", [](Config& c) { c.tracks[0].name = " \t "; }, "every track needs a name"},
        {"unicode blank name", [](Config& c) { c.tracks[0].name = "\xe3\x80\x80\xc2\xa0"; }, "every track needs a name"},
        {"empty name, disabled", [](Config& c) { c.tracks[0].name = ""; c.tracks[0].enabled = false; },
         "every track needs a name"},
        {"padded name", [](Config& c) { c.tracks[0].name = "  Mic  "; }, nullptr},
        {"voice, only output", [](Config& c) { c.voice.enabled = true; c.tracks = {track("Desk", TrackSource::Output)}; },
         "voice commands need an enabled input (microphone) track"},
        {"voice, disabled input", [](Config& c) { c.voice.enabled = true; c.tracks[0].enabled = false; },
         "voice commands need an enabled input (microphone) track"},
        {"voice, no tracks", [](Config& c) { c.voice.enabled = true; c.tracks.clear(); },
         "voice commands need an enabled input (microphone) track"},
        {"voice with the microphone", [](Config& c) { c.voice.enabled = true; }, nullptr},
        {"confidence 1.5, voice off", [](Config& c) { c.voice.min_confidence = 1.5f; },
         "voice.min_confidence must be 0..=1"},
        {"confidence NaN", [nan](Config& c) { c.voice.min_confidence = nan; }, "voice.min_confidence must be 0..=1"},
        {"confidence 0", [](Config& c) { c.voice.min_confidence = 0.0f; }, nullptr},
        {"confidence 1", [](Config& c) { c.voice.min_confidence = 1.0f; }, nullptr},
        {"untested fields", [inf](Config& c) {
             c.display = 99;
             c.encoder = "nonsense";
             c.hotkey = "";
             c.autoclip.threshold_db = -inf;
             c.tracks.push_back(track("Microphone"));
         }, nullptr},
    };
    test::TempDir home;
    test::ScopedEnv env{{"HOME", home.path().string()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Config config = default_config();
        c.change(config);
        const Status result = validate_config(config);
        if (c.message == nullptr) {
            EXPECT_TRUE(result) << format_engine_error(result.error());
        } else {
            ASSERT_FALSE(result);
            ASSERT_TRUE(result.error().is<EngineError::Config>());
            EXPECT_EQ(format_engine_error(result.error()), std::string("config: ") + c.message);
        }
    }
}

TEST(EscapedText, EscapesWhatATerminalWouldHide) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Mic", "\"Mic\""},
        {std::string("a\0b", 3), "\"a\\0b\""},
        {"\r\x7f", "\"\\r\\u{7f}\""},
        {"\xe2\x80\x8b", "\"\\u{200b}\""},       // zero-width space: a format character
        {"\xe3\x80\x80", "\"\\u{3000}\""},       // ideographic space: a separator
        {"\xc3\xa9\xf0\x9f\x8e\xac", "\"\xc3\xa9\xf0\x9f\x8e\xac\""},
        {"e\xcc\x81", "\"e\\u{301}\""},
        {"\xff", "\"\\u{fffd}\""},
    };
    for (const auto& [text, quoted] : cases) EXPECT_EQ(quote_escaped(text), quoted);
}

}  // namespace
}  // namespace vc
