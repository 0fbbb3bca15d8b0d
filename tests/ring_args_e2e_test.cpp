// The segment-ring command line run by the real ffmpeg against a private Xvfb: the segments
// and "ring.csv" appear in the ring directory (a '%' in its name included, or a relative one
// that ffmpeg could take for an option or a protocol), the audio input and filter graph are
// accepted, and a save joins what the ring holds.
#include <gtest/gtest.h>

#include <csignal>

#include <atomic>
#include <limits>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/process.hpp"
#include "engine/recorder.hpp"
#include "engine/replay.hpp"
#include "engine/ring_list.hpp"
#include "engine/ring_args.hpp"
#include "support/environment.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;

std::size_t listed_segments(const std::filesystem::path& ring) {
    return parse_ring_list(test::read_file(ring / "ring.csv")).size();
}

nlohmann::json probe(const std::filesystem::path& file) {
    Command command("ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,codec_name,width:stream_tags=handler_name",
                                "-of", "json", file.string()});
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output || !output->status.success()) return {};
    return nlohmann::json::parse(output->stdout_bytes);
}

TEST(RingRecorder, RecordsIntoTheRingAndSaves) {
    std::signal(SIGPIPE, SIG_IGN);  // a write into the pipe of an ended ffmpeg must fail, not kill
    test::XvfbServer xvfb("320x240x24");
    test::ScopedEnv env{{"DISPLAY", xvfb.display()}};
    test::TempDir dir;
    const auto ring = dir / "100%d ring";
    std::filesystem::create_directory(ring);

    Config config;
    config.fps = 30;
    config.replay_seconds = 5;
    Track mic;
    mic.name = "Mic";
    config.tracks = {mic};
    Command command = ffmpeg_command();
    command.append(ring_args(config, Encoder::libx264, ring, Screen{"screen", 0, 320, 240, 0, 0, false}));
    command.stdin_mode = Stdio::pipe;
    command.stdout_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;
    command.new_process_group = true;
    auto recorder = Process::spawn(command);
    ASSERT_TRUE(recorder) << format_os_error(recorder.error());

    // Silence at roughly the real rate, 10 ms at a time, as the mixer would send it.
    std::atomic<bool> stop{false};
    std::thread audio([&stop, pipe = recorder->take_stdin()] {
        const std::string silence(480 * 2 * 4, '\0');
        while (!stop && pipe.write_all(silence)) std::this_thread::sleep_for(10ms);
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (listed_segments(ring) < 3 && std::chrono::steady_clock::now() < deadline &&
           !recorder->try_wait())
        std::this_thread::sleep_for(50ms);
    const std::size_t listed = listed_segments(ring);
    const auto saved = save_replay(ring, dir / "clips", 2, -std::numeric_limits<double>::infinity(),
                                   Origin::manual, {"Mic"});
    recorder->kill_group(SIGKILL);
    (void)recorder->wait();
    stop = true;
    audio.join();

    ASSERT_GE(listed, 3u);
    EXPECT_TRUE(std::filesystem::exists(ring / "seg_00000.ts"));
    ASSERT_TRUE(saved) << format_engine_error(saved.error());
    ASSERT_TRUE(std::holds_alternative<SavedClip>(*saved));
    const auto info = probe(std::get<SavedClip>(*saved).clip.path);
    ASSERT_EQ(info["streams"].size(), 2u);
    EXPECT_EQ(info["streams"][0]["width"], 320);
    EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
    EXPECT_EQ(info["streams"][1]["tags"]["handler_name"], "Mic");
}

// A relative home directory makes the ring directory relative: "-x/.cache/vantrelclips/ring"
// must not reach ffmpeg as an option, nor "a:b/..." as a protocol. The recorder starts,
// records into the ring where the path says, and a save joins from there into a clips
// directory that looks like an option too.
TEST(RingRecorder, RelativeRingDirectoryFromARelativeHome) {
    std::signal(SIGPIPE, SIG_IGN);
    test::XvfbServer xvfb("320x240x24");
    test::TempDir work;
    // The working directory comes back however the test ends: later tests of this program
    // must not run in a directory that is gone.
    struct BackToTheWorkingDirectory {
        std::filesystem::path path = std::filesystem::current_path();
        ~BackToTheWorkingDirectory() { std::filesystem::current_path(path); }
    } back;
    std::filesystem::current_path(work.path());
    for (const std::string home : {"-x", "a:b"}) {
        SCOPED_TRACE(home);
        test::ScopedEnv env{{"DISPLAY", xvfb.display()}, {"HOME", home}, {"XDG_CACHE_HOME", std::nullopt}};
        Config config = default_config();
        config.tracks.clear();
        config.encoder = "libx264";
        config.fps = 30;
        config.replay_seconds = 5;
        auto [commands_tx, commands_rx] = make_queue<EngineCommand>();
        auto [events_tx, events_rx] = make_queue<EngineEvent>();
        EncoderProbes probes;
        auto started = start_recorder(config, RecorderContext{commands_tx, events_tx, 5s}, probes);
        ASSERT_TRUE(started) << format_engine_error(started.error());
        const std::filesystem::path ring = home + "/.cache/vantrelclips/ring";
        EXPECT_EQ(started->ring_dir, ring);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (listed_segments(work / ring.string()) < 2 && std::chrono::steady_clock::now() < deadline &&
               !started->child.try_wait())
            std::this_thread::sleep_for(50ms);
        EXPECT_GE(listed_segments(work / ring.string()), 2u);
        const auto saved = save_replay(started->ring_dir, "-y", 2, -std::numeric_limits<double>::infinity(),
                                       Origin::manual, {});
        stop_recorder(std::move(*started));
        ASSERT_TRUE(saved) << format_engine_error(saved.error());
        ASSERT_TRUE(std::holds_alternative<SavedClip>(*saved));
        const auto& clip = std::get<SavedClip>(*saved).clip;
        EXPECT_EQ(clip.path.parent_path(), "-y");
        EXPECT_EQ(probe(work / clip.path.string())["streams"][0]["width"], 320);
    }
}

}  // namespace
}  // namespace vc
