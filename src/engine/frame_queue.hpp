// FrameQueue: one audio track's locked queue of stereo pairs, shared by the track's capture
// worker (which appends whole frames of device samples, converted to floats in -1..1) and
// the audio mixer (which trims and takes from the front). Beside the pairs it counts what the
// device delivered and notes when the newest block came, which tells the mixer late audio
// from lost audio, and how far apart its blocks come, which tells it how long to wait for
// them; each delivery rings the mixer's DeliverySignal. The lock guards all of it;
// each side holds it once per block or tick (the mixer also when it looks whether a late
// tick's audio has come), never while doing other work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>

#include "engine/delivery_rhythm.hpp"

namespace vc {

struct StereoPair {
    float left = 0.0f;
    float right = 0.0f;

    bool operator==(const StereoPair&) const = default;
};

// Rings whenever one of a mixer's tracks delivers, so that a tick waiting for late audio
// sleeps until audio comes instead of looking again and again. Shared by the mixer (which
// waits) and its tracks' queues (which ring, from their capture workers).
class DeliverySignal {
public:
    void ring() {
        {
            std::lock_guard guard(mutex_);
            ++rings_;
        }
        rung_.notify_all();
    }
    std::uint64_t rings() const {
        std::lock_guard guard(mutex_);
        return rings_;
    }
    // Returns once it has rung since it stood at `seen`, or at `until`.
    void wait(std::uint64_t seen, std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(mutex_);
        rung_.wait_until(lock, until, [&] { return rings_ != seen; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable rung_;
    std::uint64_t rings_ = 0;
};

// What the device has handed over so far: every pair, when the newest block came, how many
// times it said it had lost audio before a block, and how far apart its blocks come lately.
struct Deliveries {
    std::uint64_t delivered = 0;
    std::chrono::steady_clock::time_point last_arrival{};
    std::uint64_t losses = 0;
    std::chrono::steady_clock::duration longest_gap{};  // DeliveryRhythm
};

class FrameQueue {
public:
    // Far above what the mixer keeps (its backlog, at most the longest wait): reached only
    // when nobody takes pairs any more, and then the oldest go, so a stalled mixer cannot
    // grow memory for ever.
    static constexpr std::size_t kCapacity = 96000;

    // The queue under its lock, for the mixer's trim and take.
    class Locked {
    public:
        explicit Locked(FrameQueue& queue) : lock_(queue.mutex_), queue_(queue) {}
        std::deque<StereoPair>& pairs() { return queue_.pairs_; }
        Deliveries deliveries() const { return queue_.deliveries_; }

    private:
        std::unique_lock<std::mutex> lock_;
        FrameQueue& queue_;
    };

    Locked lock() { return Locked(*this); }

    // From now on every delivery rings `signal`.
    void ring_on_delivery(std::shared_ptr<DeliverySignal> signal) {
        std::lock_guard guard(mutex_);
        signal_ = std::move(signal);
    }

    // Appends one pair per whole frame of `samples` (`channels` samples per frame; a partial
    // frame at the end is dropped): left from the first channel, right from the second, or
    // from the first again for mono. `convert` turns one sample into a float. `arrived` is
    // when the device handed them over; `after_loss`: it lost audio just before them.
    template <typename Sample, typename Convert>
    void push_frames(std::span<const Sample> samples, std::size_t channels, Convert convert,
                     std::chrono::steady_clock::time_point arrived, bool after_loss = false) {
        if (channels == 0) return;
        const std::size_t frames = samples.size() / channels;
        const std::size_t right = channels > 1 ? 1 : 0;
        std::shared_ptr<DeliverySignal> signal;
        {
            std::lock_guard guard(mutex_);
            for (std::size_t frame = 0; frame < frames; ++frame) {
                const Sample* first = samples.data() + frame * channels;
                pairs_.push_back({convert(first[0]), convert(first[right])});
            }
            deliveries_.delivered += frames;
            deliveries_.last_arrival = arrived;
            deliveries_.losses += after_loss ? 1 : 0;
            rhythm_.note(arrived);
            deliveries_.longest_gap = rhythm_.longest_gap();
            if (pairs_.size() > kCapacity)
                pairs_.erase(pairs_.begin(), pairs_.begin() + static_cast<std::ptrdiff_t>(pairs_.size() - kCapacity));
            signal = signal_;
        }
        if (signal) signal->ring();
    }

    std::size_t size() {
        std::lock_guard guard(mutex_);
        return pairs_.size();
    }

private:
    std::mutex mutex_;
    std::deque<StereoPair> pairs_;
    Deliveries deliveries_;
    DeliveryRhythm rhythm_;
    std::shared_ptr<DeliverySignal> signal_;
};

using SharedFrameQueue = std::shared_ptr<FrameQueue>;

// One sample to a float, in single precision: silence is 0.0 and the most negative value
// -1.0 in every format.
inline float sample_to_float(float x) { return x; }
inline float sample_to_float(std::uint8_t x) { return (static_cast<float>(x) - 128.0f) * 0.0078125f; }
inline float sample_to_float(std::int16_t x) { return static_cast<float>(x) * 0x1p-15f; }
inline float sample_to_float(std::uint16_t x) { return (static_cast<float>(x) - 32768.0f) * 0x1p-15f; }
inline float sample_to_float(std::int32_t x) { return static_cast<float>(x) * 0x1p-31f; }

// The device's blocks as they arrive, stamped with the time of the call unless told otherwise.
using ArrivalTime = std::chrono::steady_clock::time_point;
void push_frames_f32(FrameQueue& queue, std::span<const float> samples, std::size_t channels,
                     ArrivalTime arrived = std::chrono::steady_clock::now(), bool after_loss = false);
void push_frames_u8(FrameQueue& queue, std::span<const std::uint8_t> samples, std::size_t channels,
                    ArrivalTime arrived = std::chrono::steady_clock::now(), bool after_loss = false);
void push_frames_i16(FrameQueue& queue, std::span<const std::int16_t> samples, std::size_t channels,
                     ArrivalTime arrived = std::chrono::steady_clock::now(), bool after_loss = false);
void push_frames_u16(FrameQueue& queue, std::span<const std::uint16_t> samples, std::size_t channels,
                     ArrivalTime arrived = std::chrono::steady_clock::now(), bool after_loss = false);
void push_frames_i32(FrameQueue& queue, std::span<const std::int32_t> samples, std::size_t channels,
                     ArrivalTime arrived = std::chrono::steady_clock::now(), bool after_loss = false);

}  // namespace vc
