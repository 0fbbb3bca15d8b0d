// How far apart an audio device hands its sound over. Most devices deliver every few
// milliseconds, but some hand it over in blocks: a network or tunnel source, remote-desktop
// audio, a sound server on power saving with a long quantum, a JACK or PipeWire graph with
// long periods. The mixer waits for a device's late audio as long as that device's own
// deliveries lie apart (mixer_take.hpp), so it learns them here. Pure logic, kept by each
// track's FrameQueue under its lock and updated at every delivery by the capture worker.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace vc {

// The longest a mixer tick waits for any device's audio. A device whose deliveries lie
// further apart than this has gone quiet (a source suspended, a device that stopped): its
// blocks are silence until it delivers again, and it is not waited for. So blocks of up to
// about 950 ms come whole; ffmpeg holds the picture meanwhile (ring_args.cpp).
inline constexpr auto kLongestAudioWait = std::chrono::milliseconds(1000);

// The rhythm is the longest gap of the last two to four seconds: long enough to see a
// block device's every gap, short enough that a device which goes back to short blocks
// soon costs no more latency.
inline constexpr auto kRhythmWindow = std::chrono::seconds(2);

class DeliveryRhythm {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    // A delivery came at `arrival` (no earlier than the one before).
    void note(TimePoint arrival) {
        if (!last_) {
            window_start_ = arrival;
        } else {
            const Duration since_window = arrival - window_start_;
            if (since_window >= 2 * kRhythmWindow) {
                previous_ = current_ = Duration::zero();
                window_start_ = arrival;
            } else if (since_window >= kRhythmWindow) {
                previous_ = std::exchange(current_, Duration::zero());
                window_start_ += kRhythmWindow;
            }
            // A gap past the longest wait is a spell of quiet, not the device's rhythm.
            if (const Duration gap = arrival - *last_; gap < kLongestAudioWait) current_ = std::max(current_, gap);
        }
        last_ = arrival;
    }

    // The longest gap between two deliveries lately; zero before the second delivery.
    Duration longest_gap() const { return std::max(current_, previous_); }

private:
    std::optional<TimePoint> last_;
    TimePoint window_start_{};
    Duration current_{};   // the longest gap in the window that began at window_start_
    Duration previous_{};  // the longest of the window before it
};

}  // namespace vc
