// The pure steps of one 10 ms mixer tick, without threads or I/O: taking a track's samples
// from its queue, resampling them into a block of exactly 480 stereo pairs at 48 kHz, the
// volume, the interleave into the byte stream for ffmpeg, the level in dB and the 16 kHz
// voice feed. The mixer thread runs them in this order once per tick.
//
// The stream places every sample by its count, so a track's sound stays in step with the
// picture only while each tick takes the audio that belongs to its moment. The take works
// that out from the device's own pace (when its blocks come, against how many pairs they
// bring): audio that comes late is waited for (by the schedule) or, if its tick could not
// wait, dropped when it comes; audio the device lost leaves silence in its place; nothing
// else is dropped or put in where anyone can hear it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/frame_queue.hpp"
#include "engine/speech_gate.hpp"
#include "engine/stream_rate.hpp"

namespace vc {

inline constexpr std::size_t kBlockFrames = kStreamRate / 100;  // 10 ms
inline constexpr std::size_t kBacklogPairs = kStreamRate / 5;  // 200 ms: more queued than this is cut
inline constexpr float kSilenceDb = -90.0f;
// A device's deliveries come a little early or late. One whose newest block came later than
// this after the earliest pace it ever kept is behind: its audio is late, or some was lost.
inline constexpr double kBehindSeconds = 0.007;
// Audio that lies further than this from where its tick's clock puts it (the ticks padded for
// it and it came late, or it was cut or lost and later audio stands in its place) is moved
// back at once: the silence or the cut falls where a hole already is. Less than this (a
// device clock a little off the stream's) is mended only where the track is silent, so that
// nobody hears it.
inline constexpr double kMisplacedSeconds = 0.005;
inline constexpr double kDriftSeconds = 0.001;
inline constexpr float kSilentSample = 1.0f / 1024;  // about -60 dBFS

using Block = std::array<StereoPair, kBlockFrames>;

// What the tick sees of a track's deliveries (FrameQueue::Locked).
struct Deliveries {
    std::uint64_t delivered = 0;  // every pair the device has handed over
    std::chrono::steady_clock::time_point last_arrival{};
};

// When a tick runs: its deadline on the schedule's clock, and whether it waited its whole
// budget for a track.
struct TickTime {
    std::chrono::steady_clock::time_point deadline{};
    bool out_of_time = false;
};

// What the mixer carries from tick to tick for one track.
struct ResampleState {
    double ratio = 1.0;  // device rate / kStreamRate
    double pos = 0.0;    // read position in `pending`, in device frames
    std::vector<StereoPair> pending{};

    // Every pair of the device has a place on its timeline: the pairs it delivered, in order,
    // and silent ones standing in for pairs it lost. `stood_in` counts those.
    std::uint64_t stood_in = 0;
    // A delivery's "start" is when the device's first pair would have come had every pair
    // come with it: its arrival, less the timeline so far at the device's rate. The earliest
    // start seen is the device's own pace: a tick's block is the device's 10 ms that, at that
    // pace, has just come when the tick is due. A later start says how far behind the
    // device's newest block came.
    std::optional<double> earliest_start{};  // seconds on the steady clock
    // The last tick padded for pairs that had not come: when they come, they are dropped at
    // once, however few, so that the hole is all they cost.
    bool padded = false;
};

// How many device pairs this tick needs beyond what `pending` holds.
std::size_t pairs_wanted(const ResampleState& state);

// How far behind its own pace the device's newest block came, in device pairs (0 before the
// device's pace is known).
std::size_t pairs_behind(Deliveries deliveries, const ResampleState& state);

// Whether the track's block for the tick due at `deadline` can be taken now: the queue holds
// the pairs that belong to it (after any that came too late for their own ticks), and the
// device is not behind, so they are the pairs that belong here; or its pairs are gone, and it
// is silent. Otherwise the tick may wait a little (see kLateBudget).
bool ready_to_take(std::size_t queued, Deliveries deliveries, const ResampleState& state,
                   std::chrono::steady_clock::time_point deadline);

// With the queue's lock held, for a tick that is ready or whose time is up:
//  - a device still behind when time is up has lost that much audio: silence stands in for it;
//  - cuts a backlog past wanted + 9600 to the newest `wanted` pairs;
//  - puts the queue's front where the device's pace says for this tick: pairs that came too
//    late for their ticks (which were padded) are dropped, and where pairs are missing (lost,
//    cut) the tick is silent; small differences only where the track is silent;
//  - moves up to `wanted` pairs into `pending`. What is still missing is padded with silence
//    by fill_block, and the pairs that come for it later are dropped as late.
// Without a TickTime (a tick run by hand) it only cuts the backlog and takes what is there.
// Says what it did beyond the plain take, in device pairs, for the log.
struct TakeReport {
    std::size_t lost = 0;       // stood in for: the device lost them
    std::size_t backlog = 0;    // cut from a backlog
    std::size_t late = 0;       // dropped: they came too late for their ticks
    std::size_t quiet = 0;      // dropped where the track was silent
    std::size_t silence = 0;    // the tick's own pairs were gone
    std::size_t padded = 0;     // had not come when the tick's time was up
    bool any() const { return lost + backlog + late + quiet + silence + padded > 0; }
};
TakeReport take_pairs(std::deque<StereoPair>& queue, Deliveries deliveries, ResampleState& state,
                      std::optional<TickTime> when);

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
