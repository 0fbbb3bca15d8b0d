#include "engine/mixer_tick.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vc {

std::size_t pairs_wanted(const ResampleState& state) {
    std::size_t needed = kBlockFrames;
    if (state.ratio != 1.0) {
        const double span = std::floor(state.ratio * 479.0 + state.pos);
        needed = (span > 0.0 ? static_cast<std::size_t>(span) : 0) + 2;
    }
    return needed > state.pending.size() ? needed - state.pending.size() : 0;
}

void fill_block(ResampleState& state, Block& block) {
    auto& pending = state.pending;
    if (state.ratio == 1.0) {
        const std::size_t copied = std::min(kBlockFrames, pending.size());
        std::copy_n(pending.begin(), copied, block.begin());
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(copied));
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(copied), block.end(), StereoPair{});
        return;
    }
    const auto at = [&](std::size_t i) { return i < pending.size() ? pending[i] : StereoPair{}; };
    for (StereoPair& out : block) {
        const auto k = static_cast<std::size_t>(std::floor(state.pos));
        const StereoPair a = at(k);
        const StereoPair b = at(k + 1);
        const auto t = static_cast<float>(state.pos - static_cast<double>(k));
        out = {a.left + (b.left - a.left) * t, a.right + (b.right - a.right) * t};
        state.pos += state.ratio;
    }
    const double used = std::floor(state.pos);
    if (used >= static_cast<double>(pending.size())) {
        pending.clear();
        state.pos = 0.0;
    } else {
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        state.pos -= used;
    }
}

void apply_volume(Block& block, float volume) {
    if (volume == 1.0f) return;
    for (StereoPair& pair : block) {
        pair.left *= volume;
        pair.right *= volume;
    }
}

void interleave(std::span<const Block> blocks, std::string& bytes) {
    static_assert(std::endian::native == std::endian::little, "the stream is little-endian");
    bytes.resize(kBlockFrames * blocks.size() * 2 * sizeof(float));
    char* out = bytes.data();
    for (std::size_t frame = 0; frame < kBlockFrames; ++frame) {
        for (const Block& block : blocks) {
            std::memcpy(out, &block[frame].left, sizeof(float));
            std::memcpy(out + sizeof(float), &block[frame].right, sizeof(float));
            out += 2 * sizeof(float);
        }
    }
}

float block_level(const Block& block) {
    float sum = 0.0f;
    for (const StereoPair& pair : block) {
        const float mono = (pair.left + pair.right) * 0.5f;
        sum += mono * mono;
    }
    const float mean_square = sum / static_cast<float>(kBlockFrames);
    if (mean_square <= 1e-9f) return kSilenceDb;
    return std::log10(mean_square) * 10.0f;
}

void VoiceFeed::add(const Block& block) {
    for (std::size_t i = 0; i + 2 < kBlockFrames; i += 3) {
        const auto mono = [&](std::size_t j) { return (block[i + j].left + block[i + j].right) * 0.5f; };
        chunk_.push_back(((mono(0) + mono(1)) + mono(2)) / 3.0f);
    }
}

std::vector<float> VoiceFeed::take_chunk() {
    std::vector<float> full;
    full.reserve(kVoiceChunkSamples);
    full.swap(chunk_);
    return full;
}

}  // namespace vc
