#include "engine/ring_args.hpp"

#include <cstdlib>

#include "engine/delivery_rhythm.hpp"
#include "engine/format.hpp"
#include "engine/ring_files.hpp"
#include "engine/stream_rate.hpp"
#include "engine/utf8.hpp"

namespace vc {

namespace {

// What ffmpeg queues of an input by default (its "-thread_queue_size").
constexpr std::uint64_t kFfmpegQueuedPackets = 8;

std::string display_name() {
    const char* value = std::getenv("DISPLAY");
    if (value != nullptr && is_valid_utf8(value)) return value;
    return ":0";
}

// ffmpeg reads the segment file name as a printf-like pattern: a '%' of the directory
// itself must be doubled, or the segments land under another name.
std::string segment_pattern(const std::filesystem::path& ring_dir) {
    std::string pattern;
    for (const char c : path_text(ring_dir)) {
        pattern += c;
        if (c == '%') pattern += '%';
    }
    if (!pattern.empty() && pattern.back() != '/') pattern += '/';
    pattern += kSegmentPattern;
    return ffmpeg_file_arg(std::move(pattern));
}

}  // namespace

std::vector<std::string> ring_args(const Config& config, Encoder encoder,
                                   const std::filesystem::path& ring_dir, const Screen& screen) {
    std::size_t tracks = 0;
    for (const auto& track : config.tracks) tracks += track.enabled ? 1 : 0;
    const std::string display = display_name();

    // "-fpsprobesize 0": ffmpeg would otherwise read five frames to guess the frame rate it
    // was told, before it first reads the audio. Those frames put the picture's start
    // 4/fps ahead of the sound's, and on a busy machine their uneven times make a wrong
    // guess (80 fps for 30) that the segments then carry.
    std::vector<std::string> args{"-f", "x11grab", "-draw_mouse", "1", "-framerate", format("{}", config.fps),
                                  "-fpsprobesize", "0"};
    // ffmpeg takes the picture on only as far as the sound has come: while the mixer waits
    // for a device that delivers in blocks (up to kLongestAudioWait), the grabbed frames wait
    // in this queue. With ffmpeg's own 8 the grab would stall instead, and the picture
    // freeze for the rest of each wait. Frames queue only while audio is late.
    if (tracks > 0) {
        const auto waiting_frames = config.fps * kLongestAudioWait.count() / 1000;
        args.insert(args.end(), {"-thread_queue_size", format("{}", waiting_frames + kFfmpegQueuedPackets)});
    }
    if (screen.width != 0) {
        args.insert(args.end(), {"-video_size", format("{}x{}", screen.width, screen.height), "-i",
                                 format("{}+{},{}", display, screen.x, screen.y)});
    } else {
        args.insert(args.end(), {"-i", display});
    }
    if (encoder == Encoder::h264_vaapi) args.insert(args.end(), {"-vaapi_device", "/dev/dri/renderD128"});

    std::size_t audio_input = 0;
    for (const auto& arg : args) audio_input += arg == "-i" ? 1 : 0;
    if (tracks > 0)
        // "-probesize 32": ffmpeg would otherwise read a second of the sound before it set up
        // its outputs, while the grab waited; the frames it then grabbed to catch up would
        // fill the queue above at every start.
        args.insert(args.end(), {"-thread_queue_size", "1024", "-probesize", "32", "-f", "f32le", "-ar",
                                 format("{}", kStreamRate), "-ac", format("{}", 2 * tracks), "-i", "pipe:0"});

    std::string graph = encoder == Encoder::h264_vaapi ? "[0:v]format=nv12,hwupload[v]" : "[0:v]format=yuv420p[v]";
    for (std::size_t l = 0; l < tracks; ++l)
        graph += format(";[{}:a]pan=stereo|c0=c{}|c1=c{}[t{}]", audio_input, 2 * l, 2 * l + 1, l);
    args.insert(args.end(), {"-filter_complex", graph, "-map", "[v]"});
    for (std::size_t l = 0; l < tracks; ++l) args.insert(args.end(), {"-map", format("[t{}]", l)});

    // ffmpeg lays the grabbed frames on the output's frame grid, and by default keeps a frame
    // that comes up to two frames behind its place rather than drop it: after the burst of
    // frames it grabs to catch up once its outputs are set up (or any late grab on a busy
    // machine), every later frame would then stand up to two frames behind its sound, for
    // the whole recording. A frame more than half a frame behind its place is dropped, so
    // each frame lands on its nearest place and the picture keeps its time.
    args.insert(args.end(), {"-frame_drop_threshold", "0.5"});
    const auto encoding = encoder_args(encoder, config.quality, config.fps);
    args.insert(args.end(), encoding.begin(), encoding.end());
    if (tracks > 0) args.insert(args.end(), {"-c:a", "aac", "-b:a", "160k"});

    const std::uint64_t replay = config.replay_seconds;
    args.insert(args.end(), {"-f", "segment", "-segment_time", "1", "-segment_format", "mpegts",
                             "-reset_timestamps", "1", "-segment_wrap", format("{}", replay + 10),
                             "-segment_list", ffmpeg_file_arg(path_text(ring_dir / kRingListName)),
                             "-segment_list_type", "csv", "-segment_list_size", format("{}", replay + 2),
                             segment_pattern(ring_dir)});
    return args;
}

}  // namespace vc
