#include "engine/speech_gate.hpp"

#include <cmath>

namespace vc {

bool is_speech(std::span<const float> chunk) {
    if (chunk.empty()) return false;
    float sum = 0.0f;
    for (const float sample : chunk) sum += sample * sample;
    const float mean_square = sum / static_cast<float>(chunk.size());
    return mean_square > 1e-9f && 10.0f * std::log10(mean_square) > -50.0f;
}

SpeechGate::Step SpeechGate::push(VoiceChunk chunk) {
    Step step;
    if (is_speech(chunk)) {
        if (quiet_count_ == kQuietChunksToClose) {
            for (auto& held : pre_roll_) step.feed.push_back(std::move(held));
            pre_roll_.clear();
        }
        step.feed.push_back(std::move(chunk));
        quiet_count_ = 0;
    } else if (quiet_count_ < kQuietChunksToClose) {
        step.feed.push_back(std::move(chunk));
        step.close_utterance = ++quiet_count_ == kQuietChunksToClose;
    } else {
        if (pre_roll_.size() == kPreRollChunks) pre_roll_.pop_front();
        pre_roll_.push_back(std::move(chunk));
    }
    return step;
}

}  // namespace vc
