#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "engine/speech_gate.hpp"

namespace vc {
namespace {

VoiceChunk chunk_at(double db) {
    return VoiceChunk(kVoiceChunkSamples, static_cast<float>(std::pow(10.0, db / 20.0)));
}

TEST(IsSpeech, AboveMinusFiftyDecibels) {
    EXPECT_FALSE(is_speech(VoiceChunk{}));
    EXPECT_FALSE(is_speech(VoiceChunk(kVoiceChunkSamples, 0.0f)));
    EXPECT_FALSE(is_speech(VoiceChunk(kVoiceChunkSamples, std::sqrt(1e-5f))));  // -50 dB exactly
    EXPECT_FALSE(is_speech(chunk_at(-50.1)));
    EXPECT_TRUE(is_speech(chunk_at(-49.9)));
    EXPECT_TRUE(is_speech(VoiceChunk{0.5f}));
    EXPECT_TRUE(is_speech(VoiceChunk(kVoiceChunkSamples, -1.0f)));
}

// Pushes a sequence of chunks ('s' speech, 'q' quiet) and writes the numbers of the chunks
// fed, in order, and "F" where the final result is fetched. Chunks move through the gate
// without copies, so their storage tells them apart.
std::string run_gate(SpeechGate& gate, const std::string& pattern) {
    std::map<const float*, int> numbers;
    std::vector<VoiceChunk> kept_alive;
    std::string fed;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        VoiceChunk chunk = chunk_at(pattern[i] == 's' ? -20.0 : -70.0);
        numbers[chunk.data()] = static_cast<int>(i);
        auto step = gate.push(std::move(chunk));
        for (auto& fed_chunk : step.feed) {
            fed += std::to_string(numbers.at(fed_chunk.data())) + " ";
            kept_alive.push_back(std::move(fed_chunk));  // no storage is reused while we count
        }
        if (step.close_utterance) fed += "F ";
    }
    return fed;
}

struct GateCase {
    const char* pattern;
    const char* fed;
    int quiet_count;
    std::size_t pre_roll;
};

TEST(SpeechGate, Sequences) {
    const GateCase cases[] = {
        {"s", "0 ", 0, 0},                                        // nothing to replay yet
        {"sqqqqs", "0 1 2 3 4 5 ", 0, 0},                         // four quiet chunks keep it open
        {"sqqqqqq", "0 1 2 3 4 5 F ", 5, 1},                      // the fifth closes it once
        {"qqqqqqqqqqs", "7 8 9 10 ", 0, 0},                       // the newest three pre-roll
        {"qqqqq", "", 5, 3},
        {"qsqqqqqqqs", "0 1 2 3 4 5 6 F 7 8 9 ", 0, 0},
    };
    for (const auto& c : cases) {
        SpeechGate gate;
        EXPECT_EQ(run_gate(gate, c.pattern), c.fed) << c.pattern;
        EXPECT_EQ(gate.quiet_count(), c.quiet_count) << c.pattern;
        EXPECT_EQ(gate.pre_roll_size(), c.pre_roll) << c.pattern;
    }
}

TEST(SpeechGate, ChunksMoveWithoutCopies) {
    SpeechGate gate;
    VoiceChunk first = chunk_at(-70.0);
    const float* storage = first.data();
    gate.push(std::move(first));
    const auto step = gate.push(chunk_at(-20.0));
    ASSERT_EQ(step.feed.size(), 2u);
    EXPECT_EQ(step.feed[0].data(), storage);
}

}  // namespace
}  // namespace vc
