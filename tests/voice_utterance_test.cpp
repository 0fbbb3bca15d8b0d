#include <gtest/gtest.h>

#include "engine/voice_utterance.hpp"

namespace vc {
namespace {

struct ParseCase {
    const char* json;
    std::optional<Utterance> expected;
};

TEST(ParseUtterance, StrictShape) {
    const ParseCase cases[] = {
        {R"({"text": "clip that", "result": [{"conf": 1.0, "word": "clip"}, {"conf": 0.75}]})",
         Utterance{"clip that", {{1.0f}, {0.75f}}}},
        {R"(  {"text":"clip that"}  )", Utterance{"clip that", {}}},
        {"\n\t{}\r\n", Utterance{}},
        {R"({"result": [{"conf": 1}, {"conf": 0}], "partial": {"a": [1, {"b": null}]}, "x": true})",
         Utterance{"", {{1.0f}, {0.0f}}}},
        {R"({"text": "a", "result": [{"conf": 0.5, "extra": {"conf": "nested is passed over"}}]})",
         Utterance{"a", {{0.5f}}}},
        {R"({"te\u0078t": "escaped key"})", Utterance{"escaped key", {}}},
        {R"({"spk": 1, "spk": 2, "text": "repeats of other keys are fine"})",
         Utterance{"repeats of other keys are fine", {}}},
        {R"({"text": "a", "text": "b"})", std::nullopt},
        {R"({"result": [], "result": []})", std::nullopt},
        {R"({"result": [{"conf": 0.5, "conf": 0.6}]})", std::nullopt},
        {R"({"result": [{"word": "clip"}]})", std::nullopt},
        {R"({"result": [{"conf": "0.9"}]})", std::nullopt},
        {R"({"result": [{"conf": null}]})", std::nullopt},
        {R"({"result": [0.9]})", std::nullopt},
        {R"({"result": {"conf": 0.9}})", std::nullopt},
        {R"({"result": null})", std::nullopt},
        {R"({"text": 5})", std::nullopt},
        {R"({"text": null})", std::nullopt},
        {R"({"text": ["clip that"]})", std::nullopt},
        {R"({"text": "clip that"} x)", std::nullopt},
        {R"({"text": "clip that"}{})", std::nullopt},
        {R"(["clip that", []])", std::nullopt},
        {R"("clip that")", std::nullopt},
        {R"({"text": "clip that")", std::nullopt},
        {"", std::nullopt},
        {"not json", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_utterance(c.json), c.expected) << c.json;
}

TEST(ParseUtterance, WordListAndConfidence) {
    EXPECT_EQ(read_words(R"([{"conf": 0.25}, {"conf": 1e0}])"), (std::vector<Word>{{0.25f}, {1.0f}}));
    EXPECT_EQ(read_words(R"([])"), std::vector<Word>{});
    EXPECT_EQ(read_words(R"([{"x": 1}])"), std::nullopt);
    EXPECT_EQ(read_words(R"({"result": []})"), std::nullopt);

    EXPECT_EQ(utterance_confidence(Utterance{"", {}}), 1.0f);
    EXPECT_EQ(utterance_confidence(Utterance{"", {{1.0f}, {0.75f}, {0.9f}}}), 0.75f);
    EXPECT_EQ(utterance_confidence(Utterance{"", {{1.5f}}}), 1.0f);
}

}  // namespace
}  // namespace vc
