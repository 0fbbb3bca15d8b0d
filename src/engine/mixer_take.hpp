// The take of one mixer tick: which of a track's queued pairs belong to the tick's block. The
// stream places every sample by its count, so a track's sound stays in step with the
// picture only while each tick takes the audio that belongs to its moment. The take works
// that out from the device's own pace (when its blocks come, against how many pairs they
// bring): audio that comes late is waited for (by the schedule, mixer_loop.hpp) or, if its
// tick could not wait, dropped when it comes; audio the device lost leaves silence in its
// place; nothing else is dropped or put in where anyone can hear it. Pure logic on thread
// "audio-mixer", run under the track's queue lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "engine/delivery_rhythm.hpp"
#include "engine/frame_queue.hpp"
#include "engine/mixer_tick.hpp"
#include "engine/stream_rate.hpp"

namespace vc {

inline constexpr std::size_t kBacklogPairs = kStreamRate / 5;  // 200 ms, at least, may be queued (backlog_limit)
// The tick due at a moment takes the device's 10 ms that, at its pace, began this long
// before: a device delivers in periods (10 ms, or more through a sound server), so the pairs
// that its pace says have come by a moment may still be on their way for up to a period.
inline constexpr std::chrono::milliseconds kTakeLag{20};
// A device's deliveries come a little early or late. One whose newest block came later than
// kBehindSeconds after the earliest pace it ever kept is behind: its audio is late, or some
// was lost. It was lost when the device says so (an overrun). One that stays behind for
// kLossSeconds, every delivery of that time, has a clock a little slow, or loses audio
// without saying so: silence stands in for that lag where the track is silent, or at once
// past kBehindSeconds.
inline constexpr double kBehindSeconds = 0.007;
inline constexpr double kLossSeconds = 2.0;
// Where a track's audio lies off the place its pace gives it, it is moved back:
//  - pairs that came after their ticks were padded go at once, however few: the cut falls
//    where the hole already is;
//  - where more than kMisplacedSeconds of pairs are gone (lost, cut), silence stands in at
//    once: a hole is there already;
//  - pairs left over from earlier ticks by the pace itself (a device a little faster than
//    the stream, or one that turns out to come earlier than it first did) go only where the
//    track is silent, so that nobody hears it, unless they are more than kStaleSeconds;
//  - less than kDriftSeconds is left as it is.
inline constexpr double kMisplacedSeconds = 0.005;
inline constexpr double kStaleSeconds = 0.040;
inline constexpr double kDriftSeconds = 0.001;
inline constexpr float kSilentSample = 1.0f / 1024;  // about -60 dBFS

// How long a tick may wait past its deadline for a track whose audio has not come yet: a
// capture worker or a sound server that hands its period over late, on a busy machine. The
// stream places each sample by its count, so a block written that much later is still in
// step; only audio later than this is padded with silence. In seven minutes beside 16 busy
// processes, PulseAudio's audio came at most 75 ms late, and 4 ticks in 40000 waited more
// than 20 ms; ffmpeg holds the picture back meanwhile without harm.
inline constexpr auto kLateBudget = std::chrono::milliseconds(100);
// A device that hands its audio over in blocks (delivery_rhythm.hpp) is waited for as long
// as its blocks lately came apart, and this much more, up to kLongestAudioWait: so a tick
// waits for the block that brings its audio, and a device that delivers every few
// milliseconds keeps the short wait above.
inline constexpr auto kRhythmMargin = std::chrono::milliseconds(50);
// A track that has gone quiet is not waited for: its blocks are silent at once until it
// delivers again (a device that opens but delivers nothing, a suspended sound server's
// monitor). One that has delivered nothing since the stream began has gone quiet once that
// has lasted kLateBudget; one that delivered before, once it has delivered nothing for
// longer than any wait: until then a starved sound server, or a device between two of its
// blocks, may still hand over what it held, in time for the ticks that wait for it.
inline constexpr auto kQuietAfter = kLongestAudioWait;

// How long a tick waits past its deadline for the track's audio: kLateBudget, or the
// device's longest gap between deliveries lately and kRhythmMargin, at most
// kLongestAudioWait.
std::chrono::steady_clock::duration audio_wait(Deliveries deliveries);

// The most a track's queue may hold past a tick's take before its oldest pairs are cut, in
// device pairs: kBacklogPairs, or as much as the device hands over at once (its wait).
std::size_t backlog_limit(Deliveries deliveries, const ResampleState& resample);

// When a tick is due, and the moment it looks or takes (later, once it waited for audio).
struct TickTime {
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point now;
};

// Where a track's device stands against the stream, carried from tick to tick.
struct TrackPace {
    // Every pair of the device has a place on its timeline: the pairs it delivered, in order,
    // and silent ones standing in for pairs it lost. `stood_in` counts those.
    std::uint64_t stood_in = 0;
    // A delivery's "start" is when the device's first pair would have come had every pair
    // come with it: its arrival, less the timeline so far at the device's rate. The earliest
    // start seen is the device's own pace: a tick's block is the device's 10 ms that, at that
    // pace, had come a tick before the tick is due. A later start says how far behind the
    // device's newest block came.
    std::optional<double> earliest_start{};  // seconds on the steady clock
    // The device's losses seen so far.
    std::uint64_t losses_seen = 0;
    // While the device is behind, it is watched in windows of kLossSeconds: since when (a
    // tick's deadline) this window runs and the least it was behind in it, in device pairs.
    // The least of a whole window is a lag that held throughout it: audio lost without a
    // word, or a clock a little slow. Any one late delivery says nothing of the kind.
    std::optional<double> behind_since{};
    std::size_t least_behind = 0;
    std::size_t lag = 0;  // the least of the last whole window
    // The last tick padded for pairs that had not come: when they come, they are dropped at
    // once, however few, so that the hole is all they cost. The stream's first block of
    // silence counts as such a tick: audio from before the stream's start goes at once.
    bool padded = false;
    // Since when the stream runs, for a device that has not delivered yet (see kQuietAfter).
    std::chrono::steady_clock::time_point stream_start{};
    // The device has gone quiet: it is not waited for. When it delivers again, silence stands
    // in for what it missed, as after a loss it says.
    bool quiet = false;
};

// Whether the device has gone quiet by `now` (kQuietAfter).
bool gone_quiet(Deliveries deliveries, const TrackPace& pace, std::chrono::steady_clock::time_point now);

// How far behind its own pace the device's newest block came, in device pairs (0 before the
// device's pace is known).
std::size_t pairs_behind(Deliveries deliveries, const ResampleState& resample, const TrackPace& pace);

// Whether the track's block for `tick` can be taken now: the queue holds the pairs that
// belong to it (after any that came too late for their own ticks), its pairs are gone (lost,
// cut) and it is silent, or the track has gone quiet. Otherwise the tick may wait for it
// (audio_wait).
bool ready_to_take(std::size_t queued, Deliveries deliveries, const ResampleState& resample, const TrackPace& pace,
                   TickTime tick);

// With the queue's lock held, for `tick` once it is ready or its time is up:
//  - notes whether the device has gone quiet, or delivers again after it had;
//  - a device behind that lost audio (see kLossSeconds), or that delivers again after it
//    had gone quiet, gets silence standing in for it;
//  - pairs that belonged to earlier ticks are dropped (see kMisplacedSeconds);
//  - cuts a backlog past wanted + backlog_limit to the newest `wanted` pairs;
//  - where this tick's pairs are gone (lost, cut), the tick is silent;
//  - moves up to `wanted` pairs into `pending`. What is still missing is padded with silence
//    by fill_block, and the pairs that come for it later are dropped as late.
// Without a tick (one run by hand) it only cuts the backlog and takes what is there. Says
// what it did beyond the plain take, in device pairs, for the log (the blocks of a quiet
// track are not counted as padded: that it went quiet is news once).
struct TakeReport {
    std::size_t lost = 0;       // stood in for: the device lost them
    std::size_t backlog = 0;    // cut from a backlog
    std::size_t late = 0;       // dropped: they came too late for their ticks
    std::size_t quiet = 0;      // dropped where the track was silent
    std::size_t silence = 0;    // the tick's own pairs were gone
    std::size_t padded = 0;     // had not come when the tick's time was up
    bool any() const { return lost + backlog + late + quiet + silence + padded > 0; }
    TakeReport& operator+=(const TakeReport& other) {
        lost += other.lost;
        backlog += other.backlog;
        late += other.late;
        quiet += other.quiet;
        silence += other.silence;
        padded += other.padded;
        return *this;
    }
};
TakeReport take_pairs(std::deque<StereoPair>& queue, Deliveries deliveries, ResampleState& resample,
                      TrackPace& pace, std::optional<TickTime> tick);

}  // namespace vc
