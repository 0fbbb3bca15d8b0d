// Clips of a real engine after a long recording: a pass-through ffmpeg wrapper logs the
// exact argument lists of the encoder tests and of the segment-ring recorder, a private Xvfb
// is grabbed until the ring holds a whole replay (30 s of finished segments, later
// on a busy machine), and the saved 30 s replay is measured with ffprobe: its length, and
// with a PulseAudio tone as an audio track, how far the audio stream lies from the video.
// These runs are long (about 45 s each), so there are only two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include "engine/engine.hpp"
#include "engine/process.hpp"
#include "engine/replay.hpp"
#include "engine/ring_list.hpp"
#include "support/clip_timeline.hpp"
#include "support/environment.hpp"
#include "support/logging_ffmpeg.hpp"
#include "support/pulse_server.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

constexpr double kReplaySeconds = 30.0;  // default_config()'s

struct StreamTimes {
    std::string codec_type;
    std::string handler_name;
    double start_time = NAN;
    double duration = NAN;
};

// ffprobe's view of every stream of a clip, in stream order.
std::vector<StreamTimes> probe_streams(const std::filesystem::path& clip) {
    Command command("ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,start_time,duration:stream_tags=handler_name",
                                "-of", "compact=p=0:nk=0", clip.string()});
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    std::vector<StreamTimes> streams;
    if (!output || !output->status.success()) return streams;
    std::string rest = output->stdout_bytes;
    for (std::string::size_type end; (end = rest.find('\n')) != std::string::npos; rest.erase(0, end + 1)) {
        StreamTimes stream;
        std::string line = rest.substr(0, end);
        for (std::string::size_type bar; !line.empty(); line.erase(0, bar == std::string::npos ? line.size() : bar + 1)) {
            bar = line.find('|');
            const std::string field = line.substr(0, bar);
            const auto equals = field.find('=');
            if (equals == std::string::npos) continue;
            const std::string key = field.substr(0, equals);
            const std::string value = field.substr(equals + 1);
            if (key == "codec_type") stream.codec_type = value;
            if (key == "tag:handler_name") stream.handler_name = value;
            if (key == "start_time" && value != "N/A") stream.start_time = std::stod(value);
            if (key == "duration" && value != "N/A") stream.duration = std::stod(value);
        }
        streams.push_back(stream);
    }
    return streams;
}

std::string joined(const Args& args) {
    std::string text;
    for (const auto& arg : args) text += (text.empty() ? "" : " ") + arg;
    return text;
}

Args concat(std::initializer_list<Args> parts) {
    Args all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Args kBase = {"-hide_banner", "-loglevel", "error", "-y"};

Args probe_args(const Args& encoder_part) {
    return concat({kBase, {"-f", "lavfi", "-i", "color=black:s=256x256:r=30:d=0.1"}, encoder_part,
                   {"-f", "null", "-"}});
}

struct ClipFixture : ::testing::Test {
    test::TempDir home;
    test::XvfbServer xvfb;
    test::LoggingFfmpeg ffmpeg;
    test::ScopedEnv env{{"HOME", home.path().string()},
                        {"XDG_CACHE_HOME", std::nullopt},
                        {"DISPLAY", xvfb.display()},
                        {"VANTREL_FFMPEG", ffmpeg.dir().string()}};
    std::filesystem::path ring = home / ".cache/vantrelclips/ring";
    EncoderProbes probes;  // a run of the program of its own: no encoder tested yet

    Config config() const {
        Config config = default_config();  // "auto", 60 fps, quality 23, 30 s replay
        config.tracks.clear();
        config.clips_dir = home / "clips";
        return config;
    }

    // The recorder's arguments on this Xvfb, with `audio` (its input, filters and maps)
    // put where each part belongs.
    Args recorder_args(const Args& audio_input, const std::string& audio_filters, const Args& audio_maps,
                       const Args& audio_codec) const {
        // With sound, the grab's queue holds a second of frames while the mixer waits.
        const Args grab_queue = audio_input.empty() ? Args{} : Args{"-thread_queue_size", "68"};
        return concat({kBase,
                       {"-f", "x11grab", "-draw_mouse", "1", "-framerate", "60", "-fpsprobesize", "0"},
                       grab_queue,
                       {"-video_size", "1280x720", "-i", xvfb.display() + "+0,0"},
                       audio_input,
                       {"-filter_complex", "[0:v]format=yuv420p[v]" + audio_filters, "-map", "[v]"},
                       audio_maps,
                       {"-frame_drop_threshold", "0.5", "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-crf", "23", "-pix_fmt",
                        "yuv420p", "-g", "60"},
                       audio_codec,
                       {"-f", "segment", "-segment_time", "1", "-segment_format", "mpegts", "-reset_timestamps", "1",
                        "-segment_wrap", "40", "-segment_list", (ring / "ring.csv").string(), "-segment_list_type",
                        "csv", "-segment_list_size", "32", (ring / "seg_%05d.ts").string()}});
    }

    // Starts the engine, records until the ring's list holds a whole replay and a second
    // more (so that the clip does not begin with the recording's first second, which alone
    // starts with the sound encoder's 21 ms lead-in before the first frame), and saves
    // one clip; the engine is stopped and released before this returns, so no ffmpeg is left.
    std::optional<ClipInfo> record_and_save(const Config& settings) {
        auto spawned = spawn_engine(settings, probes);
        if (!spawned) {
            ADD_FAILURE() << format_engine_error(spawned.error());
            return std::nullopt;
        }
        Engine engine = std::move(*spawned);
        const auto recorded = [&] {
            double listed = 0.0;
            for (const Segment& segment : parse_ring_list(test::read_file(ring / "ring.csv"))) listed += segment.duration;
            return listed;
        };
        const auto recording_ends = Clock::now() + 180s;
        while (recorded() < kReplaySeconds + 1 && Clock::now() < recording_ends) std::this_thread::sleep_for(500ms);
        EXPECT_GE(recorded(), kReplaySeconds + 1) << "the ring never held a whole replay";
        engine.commands.send(command::Save{0ns, Origin::manual});
        std::optional<ClipInfo> clip;
        const auto deadline = Clock::now() + 60s;
        while (!clip) {
            auto received = engine.events.recv_until(deadline);
            auto* event = std::get_if<EngineEvent>(&received);
            if (!event) break;
            if (auto* saved = std::get_if<event::ClipSaved>(event)) clip = saved->clip;
            if (auto* message = std::get_if<event::Message>(event)) std::printf("engine message: %s\n", message->text.c_str());
        }
        EXPECT_TRUE(clip) << "no clip within 60 s";
        engine.commands.send(command::Stop{});
        return clip;
    }
};

TEST_F(ClipFixture, AutoTestsEncodersRecordsWithTheExactArgumentsAndSavesAThirtySecondClip) {
    const auto clip = record_and_save(config());
    ASSERT_TRUE(clip);

    // This is the first engine start of the run, so the encoder tests all ran: nvenc
    // and vaapi fail without a GPU, libx264 passes and records, libopenh264 is never tested.
    const auto calls = ffmpeg.calls();
    ASSERT_GE(calls.size(), 4u);
    const std::vector<Args> expected = {
        probe_args({"-frames:v", "1", "-c:v", "h264_nvenc", "-preset", "p4", "-tune", "ll", "-rc", "vbr", "-cq", "23",
                    "-b:v", "0", "-bf", "0", "-g", "30"}),
        probe_args({"-vaapi_device", "/dev/dri/renderD128", "-vf", "format=nv12,hwupload", "-frames:v", "1", "-c:v",
                    "h264_vaapi", "-qp", "23", "-g", "30"}),
        probe_args({"-frames:v", "1", "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-crf", "23",
                    "-pix_fmt", "yuv420p", "-g", "30"}),
        recorder_args({}, "", {}, {}),
    };
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(joined(calls[i]), joined(expected[i])) << "run " << i;
    for (std::size_t i = 4; i < calls.size(); ++i)  // the save's own runs: the join and the thumbnail
        EXPECT_EQ(std::find(calls[i].begin(), calls[i].end(), "-segment_list"), calls[i].end()) << joined(calls[i]);

    const auto streams = probe_streams(clip->path);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].codec_type, "video");
    std::printf("30 s replay: video %.3f s from %.3f s\n", streams[0].duration, streams[0].start_time);
    EXPECT_GE(streams[0].duration, 29.0);
    EXPECT_LE(streams[0].duration, 33.0);
}

TEST_F(ClipFixture, AudioTrackStaysInStepWithTheVideo) {
    test::PulseServer pulse;
    home.write(".asoundrc", test::PulseServer::alsa_config());
    Config settings = config();
    settings.encoder = "libx264";  // the encoder tests are the other case's business
    settings.tracks.push_back(Track{.name = "Tone", .source = TrackSource::Input, .device = "vc_tone"});

    const auto clip = record_and_save(settings);
    ASSERT_TRUE(clip);
    const auto calls = ffmpeg.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(joined(calls[0]),
              joined(recorder_args({"-thread_queue_size", "1024", "-probesize", "32", "-f", "f32le", "-ar", "48000", "-ac",
                                    "2", "-i", "pipe:0"},
                                   ";[1:a]pan=stereo|c0=c0|c1=c1[t0]", {"-map", "[t0]"},
                                   {"-c:a", "aac", "-b:a", "160k"})));

    const auto streams = probe_streams(clip->path);
    ASSERT_EQ(streams.size(), 2u);
    const StreamTimes& video = streams[0];
    const StreamTimes& audio = streams[1];
    ASSERT_EQ(video.codec_type, "video");
    ASSERT_EQ(audio.codec_type, "audio");
    EXPECT_EQ(audio.handler_name, "Tone");
    const double start_offset = audio.start_time - video.start_time;
    const double end_offset = (audio.start_time + audio.duration) - (video.start_time + video.duration);
    std::printf("video %.3f s from %.3f s; audio %.3f s from %.3f s\n"
                "audio start - video start: %+.1f ms; audio end - video end: %+.1f ms\n",
                video.duration, video.start_time, audio.duration, audio.start_time, start_offset * 1e3,
                end_offset * 1e3);
    EXPECT_GE(video.duration, 29.0);
    EXPECT_LE(video.duration, 33.0);
    // Where the segments meet, no gap and no overlap in either stream: each packet one frame
    // after the one before, and the video as long as the segments the clip says it holds.
    const auto timeline = test::clip_timeline(clip->path, 60);
    ASSERT_TRUE(timeline) << timeline.error();
    std::printf("timeline: %s\n", timeline->text().c_str());
    EXPECT_TRUE(timeline->video.off.empty()) << timeline->text();
    EXPECT_TRUE(timeline->audio.off.empty()) << timeline->text();
    ASSERT_TRUE(clip->meta);
    EXPECT_NEAR(timeline->video.length, clip->meta->duration_s, 1.0 / 60) << timeline->text();
    // Both inputs start at 0 inside ffmpeg; what is left is where the clip's first segment
    // was cut: at a video key frame, while the audio inside it begins with the next whole
    // AAC frame (1024 samples, 21.3 ms). So the start lies within one AAC frame (8 ms was
    // seen here, every run), and the ends within a frame as well.
    EXPECT_LE(std::abs(start_offset), 0.040);
    EXPECT_LE(std::abs(end_offset), 0.100);
}

}  // namespace
}  // namespace vc
