// Sound in step with the picture, judged from what a saved clip shows and plays. A tone
// played into a PulseAudio null sink (whose monitor is the clip's audio track) and a white
// root window are switched on and off together three times; the edges of both are found in
// the clip. The rig itself has a latency (the tone's playback buffer, the sound server,
// x11grab's frame grid), so ffmpeg alone records the same screen and the same sound first,
// with its own wall-clock stamped inputs, and the engine's clips are held against that
// reference: the first clip of a run, and the first after a restart (what a screen switch does).
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

#include "engine/engine.hpp"
#include "engine/process.hpp"
#include "engine/replay.hpp"
#include "support/av_sync.hpp"
#include "support/environment.hpp"
#include "support/pulse_server.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Users notice sound that lies more than about 40 ms away from its picture.
constexpr double kTolerance = 0.040;
constexpr int kFlashes = 3;
constexpr auto kOn = 500ms;
constexpr auto kOff = 1000ms;

// Waits for `done` until `limit` has passed; gives its last answer.
template <typename Done>
bool wait_for(Done done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

struct SyncFixture : ::testing::Test {
    test::TempDir home;
    // A small screen: the picture's edges must survive a busy machine at 60 fps.
    test::XvfbServer xvfb{"640x360x24"};
    test::ScopedEnv env{{"HOME", home.path().string()},
                        {"XDG_CACHE_HOME", std::nullopt},
                        {"XDG_CONFIG_HOME", std::nullopt},
                        {"DISPLAY", xvfb.display()},
                        {"VANTREL_FFMPEG", std::nullopt}};
    test::PulseServer pulse;
    std::filesystem::path ring = home / ".cache/vantrelclips/ring";

    SyncFixture() {
        // "vc_desk" hears what plays into the null sink; "vc_desk_play" plays into it.
        home.write(".asoundrc", test::PulseServer::alsa_config() +
                                    "pcm.vc_desk { type pulse; device \"vsink.monitor\" }\n"
                                    "pcm.vc_desk_play { type pulse; device \"vsink\" }\n");
    }

    // The newest end time in the ring list, 0 while there is none.
    double newest_listed_end() const {
        std::error_code ignored;
        if (!std::filesystem::exists(ring / "ring.csv", ignored)) return 0.0;
        const auto segments = parse_ring_list(test::read_file(ring / "ring.csv"));
        return segments.empty() ? 0.0 : segments.back().end;
    }

    // ffmpeg by itself, both inputs stamped with the wall clock and kept so (-copyts):
    // the offset this rig shows when nothing of ours is in the way.
    std::optional<double> reference_offset(test::PacedTone& tone, test::RootFlash& flash, const std::string& name,
                                           int flashes) {
        const auto file = home / name;
        Command command("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-f", "x11grab", "-framerate", "60",
                                   "-video_size", "640x360", "-i", xvfb.display() + "+0,0", "-f", "pulse", "-i",
                                   "vsink.monitor", "-copyts", "-map", "0:v", "-map", "1:a", "-c:v", "libx264",
                                   "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-c:a",
                                   "pcm_f32le", file.string()});
        command.stdin_mode = Stdio::null_device;
        command.stdout_mode = Stdio::null_device;
        auto ffmpeg = Process::spawn(command);
        if (!ffmpeg) {
            ADD_FAILURE() << "cannot launch ffmpeg";
            return std::nullopt;
        }
        // The file grows once both inputs run and the first packets are muxed.
        const bool running = wait_for(
            [&] {
                std::error_code ignored;
                return std::filesystem::file_size(file, ignored) > 100000 && !ignored;
            },
            30s);
        if (running) flash_and_beep(tone, flash, flashes, kOn, kOff);
        std::this_thread::sleep_for(300ms);  // the last edge's frames and samples reach the file
        ffmpeg->kill(SIGINT);
        (void)ffmpeg->wait();
        if (!running) {
            ADD_FAILURE() << "the reference ffmpeg never wrote its file";
            return std::nullopt;
        }
        return test::sound_behind_picture(test::find_edges(file), 2 * flashes - 1);
    }

    // One engine from start to a saved clip holding the flashes.
    std::optional<double> engine_offset(test::PacedTone& tone, test::RootFlash& flash) {
        Config config = default_config();
        config.encoder = "libx264";
        config.replay_seconds = 12;
        config.clips_dir = home / "clips";
        config.tracks = {Track{.name = "Desk", .source = TrackSource::Input, .device = "vc_desk"}};
        const auto started = Clock::now();
        auto spawned = spawn_engine(config);
        if (!spawned) {
            ADD_FAILURE() << format_engine_error(spawned.error());
            return std::nullopt;
        }
        Engine engine = std::move(*spawned);
        if (!wait_for([&] { return newest_listed_end() >= 2.0; }, 30s)) {
            ADD_FAILURE() << "the ring never listed two segments";
            return std::nullopt;
        }
        flash_and_beep(tone, flash, kFlashes, kOn, kOff);
        // The recording began after `started`, so its time at the last edge is at most
        // the time since then; a busy machine may list segments well behind the clock.
        const double flashed = std::chrono::duration<double>(Clock::now() - started).count();
        if (!wait_for([&] { return newest_listed_end() >= flashed + 1.5; }, 60s)) {
            ADD_FAILURE() << "the ring stopped growing";
            return std::nullopt;
        }
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
        if (!clip) {
            ADD_FAILURE() << "no clip within 60 s";
            return std::nullopt;
        }
        Command probe("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                  "stream=r_frame_rate,avg_frame_rate", "-of", "csv=p=0", clip->path.string()});
        probe.stdin_mode = Stdio::null_device;
        if (const auto rates = Process::output(std::move(probe)))
            std::printf("clip frame rates (guessed, average): %s", rates->stdout_bytes.c_str());
        const auto edges = test::find_edges(clip->path);
        const auto offset = test::sound_behind_picture(edges, 2 * kFlashes - 1);
        if (!offset)
            ADD_FAILURE() << edges.picture.size() << " picture edges and " << edges.sound.size()
                          << " sound edges did not pair up in " << clip->path;
        return offset;
    }
};

TEST_F(SyncFixture, ClipSoundLiesWithItsPictureAtStartAndAfterARestart) {
    test::PacedTone tone("vc_desk_play");
    test::RootFlash flash(xvfb.display());
    // The first grab after the display and the sound server start is skewed for any
    // recorder: warm both up with a run that is not measured.
    (void)reference_offset(tone, flash, "warm-up.mkv", 1);

    const auto reference = reference_offset(tone, flash, "reference.mkv", kFlashes);
    ASSERT_TRUE(reference) << "the reference recording shows no paired edges";
    const auto first = engine_offset(tone, flash);
    const auto restarted = engine_offset(tone, flash);
    std::printf("sound behind picture: ffmpeg alone %+.1f ms; first clip %+.1f ms; after a restart %+.1f ms\n",
                *reference * 1e3, first.value_or(NAN) * 1e3, restarted.value_or(NAN) * 1e3);
    ASSERT_TRUE(first && restarted);
    EXPECT_NEAR(*first, *reference, kTolerance);
    EXPECT_NEAR(*restarted, *reference, kTolerance);
}

}  // namespace
}  // namespace vc
