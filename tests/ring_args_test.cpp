// The segment-ring recorder's command line for the settings, encoder, screen and tracks.
#include <gtest/gtest.h>

#include <sstream>

#include "engine/ring_args.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& arg : args) text += (text.empty() ? "" : " ") + arg;
    return text;
}

Track track(std::string name, bool enabled = true) {
    Track t;
    t.name = std::move(name);
    t.enabled = enabled;
    return t;
}

Screen screen(std::uint32_t width, std::uint32_t height, std::int32_t x, std::int32_t y) {
    return Screen{"DP-1", 0, width, height, x, y, true};
}

TEST(RingArgs, Table) {
    Config defaults;
    defaults.tracks = {track("Microphone")};
    Config silent = defaults;
    silent.tracks.clear();
    Config two = defaults;
    two.tracks = {track("Mic"), track("Off", false), track("Desktop")};
    two.fps = 24;
    Config shortest = silent;
    shortest.replay_seconds = 5;
    shortest.fps = 30;
    shortest.quality = 40;
    Config longest = silent;
    longest.replay_seconds = 600;

    const std::string x264_60 = "-frame_drop_threshold 0.5 -c:v libx264 -preset ultrafast -tune zerolatency -crf 23 -pix_fmt yuv420p -g 60";
    const std::string ring60 = "-f segment -segment_time 1 -segment_format mpegts -reset_timestamps 1 "
                               "-segment_wrap 40 -segment_list /r/ring.csv -segment_list_type csv "
                               "-segment_list_size 32 /r/seg_%05d.ts";
    struct Case {
        const char* what;
        Config config;
        Encoder encoder;
        std::filesystem::path ring;
        Screen screen;
        std::optional<std::string> display;
        std::string args;
    };
    const std::vector<Case> cases{
        {"defaults, one track", defaults, Encoder::libx264, "/r", screen(2560, 1440, 0, 0), ":0",
         "-f x11grab -draw_mouse 1 -framerate 60 -fpsprobesize 0 -thread_queue_size 68 -video_size 2560x1440 -i :0+0,0 "
         "-thread_queue_size 1024 -probesize 32 -f f32le -ar 48000 -ac 2 -i pipe:0 -filter_complex [0:v]format=yuv420p[v];[1:a]pan=stereo|c0=c0|c1=c1[t0] "
         "-map [v] -map [t0] " + x264_60 + " -c:a aac -b:a 160k " + ring60},
        {"no track", silent, Encoder::libx264, "/r", screen(2560, 1440, 0, 0), ":0",
         "-f x11grab -draw_mouse 1 -framerate 60 -fpsprobesize 0 -video_size 2560x1440 -i :0+0,0 "
         "-filter_complex [0:v]format=yuv420p[v] -map [v] " + x264_60 + " " + ring60},
        {"two tracks and a disabled one", two, Encoder::libx264, "/r", screen(1920, 1080, 1920, 0), ":1",
         "-f x11grab -draw_mouse 1 -framerate 24 -fpsprobesize 0 -thread_queue_size 32 -video_size 1920x1080 -i :1+1920,0 "
         "-thread_queue_size 1024 -probesize 32 -f f32le -ar 48000 -ac 4 -i pipe:0 -filter_complex [0:v]format=yuv420p[v];"
         "[1:a]pan=stereo|c0=c0|c1=c1[t0];[1:a]pan=stereo|c0=c2|c1=c3[t1] -map [v] -map [t0] -map [t1] "
         "-frame_drop_threshold 0.5 -c:v libx264 -preset ultrafast -tune zerolatency -crf 23 -pix_fmt yuv420p -g 24 "
         "-c:a aac -b:a 160k " + ring60},
        {"vaapi, fallback screen, DISPLAY unset", defaults, Encoder::h264_vaapi, "/r", fallback_screen(),
         std::nullopt,
         "-f x11grab -draw_mouse 1 -framerate 60 -fpsprobesize 0 -thread_queue_size 68 -i :0 -vaapi_device /dev/dri/renderD128 "
         "-thread_queue_size 1024 -probesize 32 -f f32le -ar 48000 -ac 2 -i pipe:0 -filter_complex [0:v]format=nv12,hwupload[v];"
         "[1:a]pan=stereo|c0=c0|c1=c1[t0] -map [v] -map [t0] -frame_drop_threshold 0.5 -c:v h264_vaapi -qp 23 -g 60 -c:a aac -b:a 160k " +
             ring60},
        {"R=5, negative offsets, display with screen number", shortest, Encoder::libx264, "/r",
         screen(1280, 720, -1280, -4), "host:10.0",
         "-f x11grab -draw_mouse 1 -framerate 30 -fpsprobesize 0 -video_size 1280x720 -i host:10.0+-1280,-4 "
         "-filter_complex [0:v]format=yuv420p[v] -map [v] "
         "-frame_drop_threshold 0.5 -c:v libx264 -preset ultrafast -tune zerolatency -crf 40 -pix_fmt yuv420p -g 30 "
         "-f segment -segment_time 1 -segment_format mpegts -reset_timestamps 1 -segment_wrap 15 "
         "-segment_list /r/ring.csv -segment_list_type csv -segment_list_size 7 /r/seg_%05d.ts"},
        {"R=600, '%' in the ring directory, empty DISPLAY", longest, Encoder::libx264, "/tmp/100%/ring",
         fallback_screen(), "",
         "-f x11grab -draw_mouse 1 -framerate 60 -fpsprobesize 0 -i  -filter_complex [0:v]format=yuv420p[v] -map [v] " + x264_60 +
             " -f segment -segment_time 1 -segment_format mpegts -reset_timestamps 1 -segment_wrap 610 "
             "-segment_list /tmp/100%/ring/ring.csv -segment_list_type csv -segment_list_size 602 "
             "/tmp/100%%/ring/seg_%05d.ts"},
        {"non-UTF-8 ring directory and DISPLAY", silent, Encoder::libx264, "/tmp/r\xff", fallback_screen(),
         ":5\xff",
         "-f x11grab -draw_mouse 1 -framerate 60 -fpsprobesize 0 -i :0 -filter_complex [0:v]format=yuv420p[v] -map [v] " + x264_60 +
             " -f segment -segment_time 1 -segment_format mpegts -reset_timestamps 1 -segment_wrap 40 "
             "-segment_list /tmp/r\xef\xbf\xbd/ring.csv -segment_list_type csv -segment_list_size 32 "
             "/tmp/r\xef\xbf\xbd/seg_%05d.ts"},
    };
    for (const Case& c : cases) {
        test::ScopedEnv env{{"DISPLAY", c.display}};
        EXPECT_EQ(joined(ring_args(c.config, c.encoder, c.ring, c.screen)), c.args) << c.what;
    }
}

TEST(RingArgs, EveryTrackIsOneArgumentEach) {
    Config config;
    config.tracks = {track("a b")};
    test::ScopedEnv env{{"DISPLAY", ":0"}};
    const auto args = ring_args(config, Encoder::libx264, "/ring dir", screen(64, 64, 0, 0));
    EXPECT_EQ(args.back(), "/ring dir/seg_%05d.ts");
    EXPECT_EQ(args[args.size() - 6], "/ring dir/ring.csv");
    EXPECT_EQ(args.size(), 67u);
}

// A relative home directory gives a relative ring directory, which ffmpeg must not read as
// an option or a protocol.
TEST(RingArgs, RelativeRingDirectoryIsNeverAnOptionOrAProtocol) {
    struct Case {
        const char* ring;
        const char* list;
        const char* pattern;
    };
    for (const Case& c : {Case{"-x/.cache/ring", "./-x/.cache/ring/ring.csv", "./-x/.cache/ring/seg_%05d.ts"},
                          Case{"a:b/ring", "./a:b/ring/ring.csv", "./a:b/ring/seg_%05d.ts"},
                          Case{"-5%", "./-5%/ring.csv", "./-5%%/seg_%05d.ts"},
                          Case{"ring", "ring/ring.csv", "ring/seg_%05d.ts"}}) {
        const auto args = ring_args(Config{}, Encoder::libx264, c.ring, screen(64, 64, 0, 0));
        EXPECT_EQ(args[args.size() - 6], c.list);
        EXPECT_EQ(args.back(), c.pattern);
    }
}

}  // namespace
}  // namespace vc
