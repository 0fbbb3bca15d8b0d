#include "engine/mixer_start.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <string>
#include <thread>

namespace vc {
namespace {

// What the pipe still holds; 0 for a descriptor that is no pipe.
int unread_bytes(const StdinWriter& writer) {
    int unread = 0;
    if (::ioctl(writer.get(), FIONREAD, &unread) != 0) return 0;
    return unread;
}

// Room for a second of the stream (at most what an unprivileged process may ask for): after
// its first read ffmpeg still sets up its encoders and outputs before it reads on, longer on
// a busy machine. Audio that cannot wait in the pipe waits in the capture queues, which cut
// it to 200 ms; a longer stall would then lose audio and pad the gap with silence, and the
// sound would come late from there on.
void make_room_for_a_stall(const StdinWriter& writer, std::size_t bytes_per_second) {
    constexpr std::size_t kMostForAnyone = 1 << 20;
    (void)::fcntl(writer.get(), F_SETPIPE_SZ, static_cast<int>(std::min(bytes_per_second, kMostForAnyone)));
}

}  // namespace

std::optional<std::chrono::steady_clock::time_point> start_stream(MixerState& mixer, const StdinWriter& writer,
                                                                  const std::atomic<bool>& stop) {
    const std::string silence(kBlockFrames * 2 * sizeof(float) * mixer.tracks.size(), '\0');
    if (!write_stream(mixer, writer, silence, stop)) return std::nullopt;
    while (unread_bytes(writer) > 0) {
        if (stop.load()) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto started = std::chrono::steady_clock::now();
    make_room_for_a_stall(writer, 100 * silence.size());
    for (MixTrack& track : mixer.tracks) {
        auto locked = track.queue->lock();
        start_track(locked.pairs(), track.resample, track.pace, started);
    }
    return started + kFirstTickAfterStart;
}

void start_track(std::deque<StereoPair>& queue, ResampleState& resample, TrackPace& pace,
                 std::chrono::steady_clock::time_point started) {
    queue.clear();
    resample = ResampleState{.ratio = resample.ratio};
    // The device's pace is learnt from the stream's start.
    pace = TrackPace{.padded = true, .stream_start = started};
}

}  // namespace vc
