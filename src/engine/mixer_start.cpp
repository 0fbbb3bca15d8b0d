#include "engine/mixer_start.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

bool start_stream(MixerState& mixer, const StdinWriter& writer, const std::atomic<bool>& stop) {
    const std::string silence(kBlockFrames * 2 * sizeof(float) * mixer.tracks.size(), '\0');
    if (!write_stream(mixer, writer, silence, stop)) return false;
    while (unread_bytes(writer) > 0) {
        if (stop.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    make_room_for_a_stall(writer, 100 * silence.size());
    for (MixTrack& track : mixer.tracks) {
        auto locked = track.queue->lock();
        keep_current_audio(locked.pairs(), track.resample);
        track.pace = TrackPace{};  // the device's pace is learnt from the stream's start
    }
    return true;
}

void keep_current_audio(std::deque<StereoPair>& queue, ResampleState& state) {
    // A tick's block lies a tick behind the newest audio, so the first two ticks' worth is kept.
    state = ResampleState{.ratio = state.ratio};
    const std::size_t keep = pairs_wanted(state) + static_cast<std::size_t>(std::lround(state.ratio * kBlockFrames));
    if (queue.size() > keep) queue.erase(queue.begin(), queue.end() - static_cast<std::ptrdiff_t>(keep));
}

}  // namespace vc
