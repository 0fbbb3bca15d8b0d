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

namespace {

double device_rate(const ResampleState& state) { return static_cast<double>(kStreamRate) * state.ratio; }

double pairs_in(double seconds, const ResampleState& state) { return seconds * device_rate(state); }

double seconds_of(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// The device's timeline so far: what it delivered and what stands in for what it lost.
std::uint64_t timeline(Deliveries deliveries, const ResampleState& state) {
    return deliveries.delivered + state.stood_in;
}

// The newest delivery's start (see ResampleState); nullopt before the device delivered.
std::optional<double> start_of(Deliveries deliveries, const ResampleState& state) {
    if (deliveries.delivered == 0) return std::nullopt;
    return seconds_of(deliveries.last_arrival) - static_cast<double>(timeline(deliveries, state)) / device_rate(state);
}

// How far the queue's front lies from where the device's pace puts this tick's block, in
// device pairs: positive when the pairs that belong to the tick are gone, negative when pairs
// that belonged to earlier ticks are still queued. 0 while the pace is unknown.
//
// The block is the device's 10 ms that, at its pace, had come one tick before the tick is
// due: a device delivers in periods (10 ms, or more through a sound server), so the pairs
// that its pace says have come by a moment may still be on their way for up to a period.
double misplaced(std::size_t queued, Deliveries deliveries, const ResampleState& state,
                 std::chrono::steady_clock::time_point deadline) {
    if (!state.earliest_start) return 0.0;
    const double block = state.ratio * static_cast<double>(kBlockFrames);
    const double belongs = (seconds_of(deadline) - *state.earliest_start) * device_rate(state) - 2.0 * block;
    return std::round(static_cast<double>(timeline(deliveries, state)) - static_cast<double>(queued) - belongs);
}

bool silent(const StereoPair& pair) {
    return std::abs(pair.left) <= kSilentSample && std::abs(pair.right) <= kSilentSample;
}

// The queue's next millisecond is silent (or there is none).
bool silent_front(const std::deque<StereoPair>& queue) {
    const std::size_t look = std::min<std::size_t>(queue.size(), kStreamRate / 1000);
    return std::all_of(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(look), silent);
}

void drop_front(std::deque<StereoPair>& queue, std::size_t count) {
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(std::min(count, queue.size())));
}

}  // namespace

std::size_t pairs_behind(Deliveries deliveries, const ResampleState& state) {
    const auto start = start_of(deliveries, state);
    if (!start || !state.earliest_start || *start <= *state.earliest_start) return 0;
    return static_cast<std::size_t>(std::llround((*start - *state.earliest_start) * device_rate(state)));
}

bool ready_to_take(std::size_t queued, Deliveries deliveries, const ResampleState& state,
                   std::chrono::steady_clock::time_point deadline) {
    const double off = misplaced(queued, deliveries, state, deadline);
    if (off > pairs_in(kMisplacedSeconds, state)) return true;  // its pairs are gone: it is silent
    if (static_cast<double>(pairs_behind(deliveries, state)) > pairs_in(kBehindSeconds, state)) return false;
    const bool drops = off < -pairs_in(kMisplacedSeconds, state) || (state.padded && off < 0.0);
    const std::size_t stale = drops ? std::min(static_cast<std::size_t>(-off), kBacklogPairs) : 0;
    return queued >= pairs_wanted(state) + stale;
}

TakeReport take_pairs(std::deque<StereoPair>& queue, Deliveries deliveries, ResampleState& state,
                      std::optional<TickTime> when) {
    TakeReport report;
    const std::size_t want = pairs_wanted(state);
    if (when) {
        const std::size_t behind = pairs_behind(deliveries, state);
        // Still behind when time is up: what did not come was lost (the pairs after it came).
        if (when->out_of_time && static_cast<double>(behind) > pairs_in(kBehindSeconds, state)) {
            state.stood_in += behind;
            report.lost = behind;
        }
        if (const auto start = start_of(deliveries, state); start && (!state.earliest_start || *start < *state.earliest_start))
            state.earliest_start = start;
    }
    const double at_once = pairs_in(kMisplacedSeconds, state);
    const double drift = pairs_in(kDriftSeconds, state);
    if (when) {
        // Pairs that belonged to earlier ticks: late ones go at once, a device's small lead
        // only where the track is silent.
        const double off = misplaced(queue.size(), deliveries, state, when->deadline);
        if (off < -drift) {
            const auto stale = std::min(static_cast<std::size_t>(-off), queue.size());
            if (off < -at_once || state.padded) {
                report.late = stale;
            } else {
                while (report.quiet < stale && silent(queue[report.quiet])) ++report.quiet;
            }
            drop_front(queue, report.late + report.quiet);
        }
    }
    if (queue.size() > want + kBacklogPairs) {
        report.backlog = queue.size() - want;
        drop_front(queue, report.backlog);
    }
    if (when) {
        // Pairs of this tick that are gone (lost, cut): silence in their place.
        const double off = misplaced(queue.size(), deliveries, state, when->deadline);
        if (off > at_once || (off > drift && silent_front(queue)))
            report.silence = std::min(static_cast<std::size_t>(off), want);
        if (off >= -drift) state.padded = false;
    }

    state.pending.insert(state.pending.end(), report.silence, StereoPair{});
    const std::size_t moved = std::min(want - report.silence, queue.size());
    state.pending.insert(state.pending.end(), queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(moved));
    drop_front(queue, moved);
    if (when && report.silence + moved < want) {
        report.padded = want - report.silence - moved;
        state.padded = true;
    }
    return report;
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
