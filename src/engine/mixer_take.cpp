#include "engine/mixer_take.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vc {
namespace {

double device_rate(const ResampleState& resample) { return static_cast<double>(kStreamRate) * resample.ratio; }

double pairs_in(double seconds, const ResampleState& resample) { return seconds * device_rate(resample); }

double seconds_of(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// The device's timeline so far: what it delivered and what stands in for what it lost.
std::uint64_t timeline(Deliveries deliveries, const TrackPace& pace) { return deliveries.delivered + pace.stood_in; }

// The newest delivery's start (see TrackPace); nullopt before the device delivered.
std::optional<double> start_of(Deliveries deliveries, const ResampleState& resample, const TrackPace& pace) {
    if (deliveries.delivered == 0) return std::nullopt;
    return seconds_of(deliveries.last_arrival) - static_cast<double>(timeline(deliveries, pace)) / device_rate(resample);
}

// How far the queue's front lies from where the device's pace puts this tick's block, in
// device pairs: positive when the pairs that belong to the tick are gone, negative when pairs
// that belonged to earlier ticks are still queued. 0 while the pace is unknown.
//
// The block is the device's 10 ms that, at its pace, began kTakeLag before the tick is due.
double misplaced(std::size_t queued, Deliveries deliveries, const ResampleState& resample, const TrackPace& pace,
                 std::chrono::steady_clock::time_point deadline) {
    if (!pace.earliest_start) return 0.0;
    const double lag = std::chrono::duration<double>(kTakeLag).count();
    const double belongs = (seconds_of(deadline) - *pace.earliest_start - lag) * device_rate(resample);
    return std::round(static_cast<double>(timeline(deliveries, pace)) - static_cast<double>(queued) - belongs);
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

// The device said it lost audio since the last take, or it delivers again after it had gone
// quiet (`resumed`: it says nothing of what it missed), and it is plainly behind for it.
bool says_lost(Deliveries deliveries, const ResampleState& resample, const TrackPace& pace, bool resumed) {
    return (deliveries.losses > pace.losses_seen || resumed) &&
           static_cast<double>(pairs_behind(deliveries, resample, pace)) > pairs_in(kBehindSeconds, resample);
}

// Of pairs `off` from their place (misplaced), those that go at once: pairs that came after
// their tick was padded, or a lead past kStaleSeconds. A smaller lead goes only where the
// track is silent, and less than kDriftSeconds is left as it is.
std::size_t late_pairs(double off, const ResampleState& resample, const TrackPace& pace) {
    if (off >= -pairs_in(kDriftSeconds, resample)) return 0;
    return pace.padded || off < -pairs_in(kStaleSeconds, resample) ? static_cast<std::size_t>(-off) : 0;
}

// How many pairs the device lost, by what it says and how long it has been behind; 0 when
// it is only late. Notes what it has seen in `pace`. `quiet`: the queue's front is silent.
std::size_t pairs_lost(Deliveries deliveries, const ResampleState& resample, TrackPace& pace,
                       std::chrono::steady_clock::time_point deadline, bool quiet, bool resumed) {
    const auto behind = static_cast<double>(pairs_behind(deliveries, resample, pace));
    const bool said = says_lost(deliveries, resample, pace, resumed);
    pace.losses_seen = deliveries.losses;
    if (said) return static_cast<std::size_t>(behind);
    if (behind <= pairs_in(kDriftSeconds, resample)) {
        pace.behind_since.reset();
        pace.lag = 0;
        return 0;
    }
    // Behind for a long while: a device clock a little slow, or audio lost without a word.
    // Silence stands in for the lag that held a whole window, where the track is silent
    // anyway, or once that lag is plain.
    const double now = seconds_of(deadline);
    const auto pairs = static_cast<std::size_t>(behind);
    if (!pace.behind_since) {
        pace.behind_since = now;
        pace.least_behind = pairs;
    }
    pace.least_behind = std::min(pace.least_behind, pairs);
    if (now - *pace.behind_since >= kLossSeconds) {
        pace.lag = pace.least_behind;
        pace.behind_since = now;
        pace.least_behind = pairs;
    }
    pace.lag = std::min(pace.lag, pairs);  // no more than it is behind now
    if (static_cast<double>(pace.lag) <= pairs_in(kDriftSeconds, resample) ||
        (static_cast<double>(pace.lag) <= pairs_in(kBehindSeconds, resample) && !quiet))
        return 0;
    pace.behind_since.reset();
    return std::exchange(pace.lag, 0);
}

}  // namespace

std::chrono::steady_clock::duration audio_wait(Deliveries deliveries) {
    using Duration = std::chrono::steady_clock::duration;
    const Duration rhythm = deliveries.longest_gap + kRhythmMargin;
    return std::clamp<Duration>(rhythm, kLateBudget, kLongestAudioWait);
}

std::size_t backlog_limit(Deliveries deliveries, const ResampleState& resample) {
    const auto wait = std::chrono::duration<double>(audio_wait(deliveries)).count();
    return std::max(kBacklogPairs, static_cast<std::size_t>(pairs_in(wait, resample)));
}

std::size_t pairs_behind(Deliveries deliveries, const ResampleState& resample, const TrackPace& pace) {
    const auto start = start_of(deliveries, resample, pace);
    if (!start || !pace.earliest_start || *start <= *pace.earliest_start) return 0;
    return static_cast<std::size_t>(std::llround((*start - *pace.earliest_start) * device_rate(resample)));
}

bool gone_quiet(Deliveries deliveries, const TrackPace& pace, std::chrono::steady_clock::time_point now) {
    if (deliveries.delivered == 0) return now - pace.stream_start >= kLateBudget;
    return now - deliveries.last_arrival >= kQuietAfter;
}

bool ready_to_take(std::size_t queued, Deliveries deliveries, const ResampleState& resample, const TrackPace& pace,
                   TickTime tick) {
    if (gone_quiet(deliveries, pace, tick.now)) return true;  // not waited for
    const double off = misplaced(queued, deliveries, resample, pace, tick.deadline);
    if (off > pairs_in(kMisplacedSeconds, resample)) return true;  // its pairs are gone: it is silent
    if (says_lost(deliveries, resample, pace, pace.quiet)) return true;  // silence will stand in for it
    const std::size_t late = std::min(late_pairs(off, resample, pace), backlog_limit(deliveries, resample));
    return queued >= pairs_wanted(resample) + late;
}

TakeReport take_pairs(std::deque<StereoPair>& queue, Deliveries deliveries, ResampleState& resample, TrackPace& pace,
                      std::optional<TickTime> tick) {
    TakeReport report;
    const std::size_t want = pairs_wanted(resample);
    const double at_once = pairs_in(kMisplacedSeconds, resample);
    const double drift = pairs_in(kDriftSeconds, resample);
    const bool was_quiet = pace.quiet;
    if (tick) {
        pace.quiet = gone_quiet(deliveries, pace, tick->now);
        report.lost =
            pairs_lost(deliveries, resample, pace, tick->deadline, silent_front(queue), was_quiet && !pace.quiet);
        pace.stood_in += report.lost;
        const auto start = start_of(deliveries, resample, pace);
        if (start && (!pace.earliest_start || *start < *pace.earliest_start)) pace.earliest_start = start;

        // Pairs that belonged to earlier ticks: late ones go at once, those the pace left
        // over only where the track is silent.
        const double off = misplaced(queue.size(), deliveries, resample, pace, tick->deadline);
        report.late = std::min(late_pairs(off, resample, pace), queue.size());
        if (report.late == 0 && off < -drift && silent_front(queue)) {
            // A millisecond of silence, not one pair where a tone passes through zero.
            const auto lead = std::min(static_cast<std::size_t>(-off), queue.size());
            while (report.quiet < lead && silent(queue[report.quiet])) ++report.quiet;
        }
        drop_front(queue, report.late + report.quiet);
    }
    if (queue.size() > want + backlog_limit(deliveries, resample)) {
        report.backlog = queue.size() - want;
        drop_front(queue, report.backlog);
    }
    if (tick) {
        // Pairs of this tick that are gone (lost, cut): silence in their place.
        const double off = misplaced(queue.size(), deliveries, resample, pace, tick->deadline);
        if (off > at_once || (off > drift && silent_front(queue)))
            report.silence = std::min(static_cast<std::size_t>(off), want);
        if (off >= -drift) pace.padded = false;
    }

    resample.pending.insert(resample.pending.end(), report.silence, StereoPair{});
    const std::size_t moved = std::min(want - report.silence, queue.size());
    resample.pending.insert(resample.pending.end(), queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(moved));
    drop_front(queue, moved);
    if (tick && report.silence + moved < want) {
        if (!pace.quiet) report.padded = want - report.silence - moved;
        pace.padded = true;
    }
    return report;
}

}  // namespace vc
