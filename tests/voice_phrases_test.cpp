#include <gtest/gtest.h>

#include <map>

#include <nlohmann/json.hpp>

#include "engine/voice_phrases.hpp"
#include "support/fake_voice_pack.hpp"
#include "support/log_recorder.hpp"

namespace vc {
namespace {

using Words = std::vector<std::string>;

// A model that knows exactly these words.
FindWord knowing(const Words& words) {
    return [words](const char* word) {
        for (std::size_t i = 0; i < words.size(); ++i)
            if (words[i] == word) return static_cast<int>(i);
        return -1;
    };
}

Voice voice_with(Words phrases) {
    Voice voice;
    voice.phrases = std::move(phrases);
    return voice;
}

TEST(VoicePhrases, ConfiguredOrTheLanguageDefaults) {
    EXPECT_EQ(voice_phrases(voice_with({}), "en"), (Words{"clip that", "save that"}));
    EXPECT_EQ(voice_phrases(voice_with({"", " \t", "\u3000"}), "es"), (Words{"guarda eso", "graba eso"}));
    for (const char* language : {"ES", "es-ES", "", "de"})
        EXPECT_EQ(voice_phrases(voice_with({}), language), (Words{"clip that", "save that"})) << language;
    EXPECT_EQ(voice_phrases(voice_with({" ", " Clip THAT! ", "nice"}), "es"), (Words{" Clip THAT! ", "nice"}));
}

TEST(NormalizePhrase, LowerCaseWordsJoinedByOneBlank) {
    const std::pair<const char*, const char*> cases[] = {
        {" Clip THAT! ", "clip that"},
        {"That's it", "that's it"},
        {"clip-that", "clip that"},
        {"save   clip\t2", "save clip 2"},
        {"\u00bd\u2163 x", "\u00bd\u2173 x"},       // No and Nl numbers are word characters
        {"GUARDA ESO", "guarda eso"},
        {"\u0130stanbul", "i stanbul"},  // full mapping gives i and U+0307, which is no word character
        {"STRASSE \u1E9E", "strasse \u00df"},
        {"!!! ...", ""},
        {"", ""},
        {"caf\xff" "e", "caf e"},                   // a stray byte separates like punctuation
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(normalize_phrase(text), expected) << text;
    EXPECT_EQ(phrase_words("  that's, it-2 "), (std::vector<std::string_view>{"that's", "it", "2"}));
    EXPECT_TRUE(phrase_words(" - ").empty());
}

TEST(UnknownWords, InOrderWithRepeats) {
    const auto missing = unknown_words(knowing({"clip"}), "Clip THAT that, clip");
    ASSERT_TRUE(missing);
    EXPECT_EQ(*missing, (Words{"that", "that"}));
}

TEST(VetPhrases, KeepsKnownPhrasesAndWarnsAboutTheRest) {
    test::LogRecorder log;
    const auto kept = vet_phrases(knowing({"clip", "that", "nice"}),
                                  {" Clip THAT! ", "clip that", " flip that  now ", "?!", "nice"});
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, (Words{"clip that", "clip that", "nice"}));
    const auto warnings = log.with_message("voice phrase has unknown words; ignored");
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].level, log::Level::Warn);
    EXPECT_EQ(warnings[0].target, "engine::voice");
    EXPECT_EQ(warnings[0].field("phrase"), " flip that  now ");
    EXPECT_EQ(warnings[0].field("missing"), "[\"flip\", \"now\"]");
    // Punctuation only would match every result: dropped like a phrase of unknown words.
    EXPECT_EQ(warnings[1].field("phrase"), "?!");
    EXPECT_EQ(warnings[1].field("missing"), "[]");
}

TEST(VetPhrases, NothingKept) {
    const auto kept = vet_phrases(knowing({}), {"clip that"});
    ASSERT_FALSE(kept);
    EXPECT_EQ(format_engine_error(kept.error()), "voice: none of the voice phrases are in the model's vocabulary");
}

Words grammar_entries(const std::string& json) { return nlohmann::json::parse(json).get<Words>(); }

TEST(Grammar, EnglishDefaultsWithAModelThatKnowsEverything) {
    const auto grammar = build_grammar(knowing(test::full_vocabulary()), {"clip that", "save that"}, "en");
    ASSERT_TRUE(grammar);
    Words expected = {"clip that", "save that"};
    for (const auto filler : ENGLISH_FILLERS)
        if (filler != "save") expected.emplace_back(filler);
    expected.emplace_back("[unk]");
    EXPECT_EQ(expected.size(), 52u);
    EXPECT_EQ(grammar_entries(*grammar), expected);
    EXPECT_TRUE(grammar->starts_with("[\"clip that\",\"save that\",\"flip\",\"slip\","));
    EXPECT_TRUE(grammar->ends_with(",\"that's\",\"this\",\"the\",\"a\",\"it\",\"is\",\"was\",\"what\",\"and\","
                                   "\"i\",\"you\",\"we\",\"go\",\"get\",\"nice\",\"shot\",\"good\",\"yeah\",\"no\","
                                   "\"okay\",\"over\",\"in\",\"there\",\"[unk]\"]"));
}

TEST(Grammar, SpanishOnlyForExactlyEs) {
    const auto spanish = build_grammar(knowing(test::full_vocabulary()), {"guarda eso", "graba eso"}, "es");
    ASSERT_TRUE(spanish);
    Words expected = {"guarda eso", "graba eso"};
    for (const auto filler : SPANISH_FILLERS)
        if (filler != "guarda" && filler != "eso" && filler != "graba") expected.emplace_back(filler);
    expected.emplace_back("[unk]");
    EXPECT_EQ(expected.size(), 26u);
    EXPECT_EQ(grammar_entries(*spanish), expected);

    const auto other = build_grammar(knowing(test::full_vocabulary()), {"guarda eso"}, "es-ES");
    ASSERT_TRUE(other);
    EXPECT_EQ(grammar_entries(*other).size(), 1u + ENGLISH_FILLERS.size() + 1u);
}

TEST(Grammar, UnknownFillersAreLeftOutQuietlyAndTextsAreEscaped) {
    test::LogRecorder log;
    const auto grammar =
        build_grammar(knowing({"that's", "\"quoted\"", "flip", "okay"}), {"that's \"quoted\"", "clip that's"}, "en");
    ASSERT_TRUE(grammar);
    EXPECT_EQ(*grammar, R"(["that's \"quoted\"","clip that's","flip","okay","[unk]"])");
    EXPECT_TRUE(log.events().empty());
}

}  // namespace
}  // namespace vc
