// The pure steps of one 10 ms mixer tick, without threads or I/O, after the take
// (mixer_take.hpp): resampling a track's pairs into a block of exactly 480 stereo pairs at
// 48 kHz, the volume, the interleave into the byte stream for ffmpeg, the level in dB and
// the 16 kHz voice feed. The mixer thread runs them in this order once per tick.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "engine/frame_queue.hpp"
#include "engine/speech_gate.hpp"
#include "engine/stream_rate.hpp"

namespace vc {

inline constexpr std::size_t kBlockFrames = kStreamRate / 100;  // 10 ms
inline constexpr float kSilenceDb = -90.0f;

using Block = std::array<StereoPair, kBlockFrames>;

// What the resampler carries from tick to tick for one track.
struct ResampleState {
    double ratio = 1.0;  // device rate / kStreamRate
    double pos = 0.0;    // read position in `pending`, in device frames
    std::vector<StereoPair> pending{};
};

// How many device pairs this tick needs beyond what `pending` holds.
std::size_t pairs_wanted(const ResampleState& state);

// Fills all 480 pairs of `block` from `pending` (linear interpolation unless the ratio is
// exactly 1), padding with silence, and drops what was used.
void fill_block(ResampleState& state, Block& block);

void apply_volume(Block& block, float volume);

// Frame-major: frame 0 of every track, then frame 1, ...; 32-bit float little-endian.
void interleave(std::span<const Block> blocks, std::string& bytes);

// Mean square of the mono mix, in dB; -90 for silence.
float block_level(const Block& block);

// Averages groups of three pairs into 16 kHz mono samples; a chunk is ready every tenth
// tick.
class VoiceFeed {
public:
    VoiceFeed() { chunk_.reserve(kVoiceChunkSamples); }
    void add(const Block& block);
    bool chunk_ready() const { return chunk_.size() >= kVoiceChunkSamples; }
    // Hands the full chunk over and starts a new one.
    std::vector<float> take_chunk();

private:
    std::vector<float> chunk_;
};

}  // namespace vc
