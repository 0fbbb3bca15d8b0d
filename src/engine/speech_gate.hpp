// The level gate in front of the recogniser: silence never reaches it while nobody speaks,
// three chunks of pre-roll give back the start of a phrase, and five quiet chunks in a row
// close an utterance. Pure logic without I/O; the voice listener owns one per recogniser.
#pragma once

#include <cstddef>
#include <deque>
#include <span>
#include <vector>

namespace vc {

// 100 ms of the microphone: 1600 mono samples at 16 kHz, nominally in -1..1.
using VoiceChunk = std::vector<float>;

inline constexpr std::size_t kVoiceChunkSamples = 1600;
inline constexpr std::size_t kPreRollChunks = 3;
inline constexpr int kQuietChunksToClose = 5;

// Louder than -50 dB (mean square in 32-bit float, above 1e-9); an empty chunk is quiet.
bool is_speech(std::span<const float> chunk);

class SpeechGate {
public:
    // What to do with an arriving chunk: feed these chunks in order (each followed by its
    // result handling), then, when `close_utterance`, fetch the final result.
    struct Step {
        std::vector<VoiceChunk> feed;
        bool close_utterance = false;
    };

    Step push(VoiceChunk chunk);

    // 0 to 4 inside an utterance, 5 when idle.
    int quiet_count() const { return quiet_count_; }
    std::size_t pre_roll_size() const { return pre_roll_.size(); }

private:
    std::deque<VoiceChunk> pre_roll_;
    int quiet_count_ = kQuietChunksToClose;
};

}  // namespace vc
