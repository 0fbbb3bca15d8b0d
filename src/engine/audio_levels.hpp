// What the audio mixer shares with the rest of the recorder: the per-track levels it
// meters, the stop flag it watches, and the type of ffmpeg's standard input it writes.
// Apart from audio_mixer.hpp so the tick loop can name them without the mixer's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/file_descriptor.hpp"

namespace vc {

// One level per opened track in dB: 0.0 until the first tick, then the latest tick's
// level, -90.0 for silence. Written by the mixer with plain atomic stores, read by anyone.
class AudioLevels {
public:
    explicit AudioLevels(std::size_t tracks) : cells_(tracks) {
        for (auto& cell : cells_) cell.store(0.0f, std::memory_order_relaxed);
    }
    std::size_t size() const { return cells_.size(); }
    float get(std::size_t track) const { return cells_[track].load(std::memory_order_relaxed); }
    void set(std::size_t track, float db) { cells_[track].store(db, std::memory_order_relaxed); }

private:
    std::vector<std::atomic<float>> cells_;
};
using SharedLevels = std::shared_ptr<AudioLevels>;
using StopFlag = std::shared_ptr<std::atomic<bool>>;

// ffmpeg's standard input: releasing it closes the pipe.
using StdinWriter = FileDescriptor;

}  // namespace vc
