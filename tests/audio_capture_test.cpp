#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "cli/logging.hpp"
#include "engine/audio_capture.hpp"
#include "engine/audio_devices.hpp"
#include "support/engine_events.hpp"
#include "support/audio_log_lines.hpp"
#include "support/environment.hpp"
#include "support/own_threads.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;


constexpr std::size_t kRampFrames = 4800;

// Frame i of the ramp: left i / 8192, right -i / 8192, exact in binary floating point.
StereoPair ramp_pair(std::size_t i) {
    const float v = static_cast<float>(i) / 8192.0f;
    return {v, -v};
}

// Every test device lives in one .asoundrc under a private HOME, read once by libasound.
class AlsaDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = new test::TempDir;
        std::string ramp;
        for (std::size_t i = 0; i < kRampFrames; ++i) {
            const StereoPair pair = ramp_pair(i);
            ramp.append(reinterpret_cast<const char*>(&pair.left), 4);
            ramp.append(reinterpret_cast<const char*>(&pair.right), 4);
        }
        const auto ramp_path = home_->write("ramp.raw", ramp);
        const std::string file_device =
            "type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" + ramp_path.string() + "\"; format \"raw\"";
        home_->write(".asoundrc",
                     "pcm.!default { " + file_device + " }\n"
                     "pcm.filemic { " + file_device + "; hint { show on; description \"File Mic\nSecond line\" } }\n"
                     "pcm.playonly { type asym; playback.pcm \"null\"; hint { show on; description \"Play Only\" } }\n"
                     "pcm.captureonly { type asym; capture.pcm \"null\"; hint { show on; description \"Capture Only\" } }\n"
                     "pcm.crlf { type null; hint { show on; description \"Carriage\r\nReturn\" } }\n");
        env_ = new test::ScopedEnv{{"HOME", home_->path().string()},
                                   {"XDG_RUNTIME_DIR", home_->path().string()},
                                   {"PULSE_SERVER", std::nullopt},
                                   {"ALSA_CONFIG_PATH", std::nullopt}};
        log::install(&test::audio_log_lines().logger);
    }
    static void TearDownTestSuite() {
        log::install(nullptr);
        delete env_;
        delete home_;
    }
    void SetUp() override { test::audio_log_lines().take(); }

    static inline test::TempDir* home_ = nullptr;
    static inline test::ScopedEnv* env_ = nullptr;
};

using test::make_track;

TEST_F(AlsaDevices, ListShowsHintedDevicesByDisplayName) {
    const auto devices = list_audio_devices();
    ASSERT_TRUE(devices) << devices.error();
    const auto mic = find_device(*devices, "File Mic", StreamDirection::Capture);
    ASSERT_TRUE(mic);
    EXPECT_EQ(mic->pcm_name, "filemic");
    EXPECT_EQ(mic->description, "File Mic\nSecond line");
    EXPECT_EQ(mic->directions, DeviceDirections::Both);
    const auto crlf = find_device(*devices, "Carriage", StreamDirection::Playback);
    ASSERT_TRUE(crlf);
    EXPECT_EQ(crlf->pcm_name, "crlf");
}

TEST_F(AlsaDevices, RampArrivesSampleExact) {
    StreamConfig config{2, 48000, SampleFormat::F32};
    auto queue = std::make_shared<FrameQueue>();
    std::atomic<std::size_t> seen{0};
    auto stream = CaptureStream::open(
        "filemic", config,
        [&](const SampleBlock& block) {
            // The file device is not paced and repeats stale data after its end: keep the ramp only.
            const std::size_t frames = block.samples / 2;
            const std::size_t before = seen.load();
            if (before < kRampFrames) {
                const std::size_t keep = std::min(frames, kRampFrames - before);
                capture_f32({queue, 2}, {block.format, block.data, keep * 2});
            }
            seen += frames;
        },
        [](const std::string&) {});
    ASSERT_TRUE(stream) << stream.error();
    ASSERT_TRUE(stream->start());
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (seen.load() < kRampFrames && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    auto locked = queue->lock();
    ASSERT_EQ(locked.pairs().size(), kRampFrames);
    for (std::size_t i = 0; i < kRampFrames; ++i) ASSERT_EQ(locked.pairs()[i], ramp_pair(i)) << i;
}

long workers_running() { return test::threads_named("cpal_alsa_in"); }

struct OpenCase {
    const char* what;
    Track track;
    const char* device_field;  // of "audio source opened"
    std::optional<std::string> warning;
};

TEST_F(AlsaDevices, OpenTrackChoosesTheDeviceByDisplayName) {
    const OpenCase cases[] = {
        {"no device", make_track("Microphone", TrackSource::Input, std::nullopt), "Default Audio Device", {}},
        {"first description line", make_track("Mic", TrackSource::Input, "File Mic"), "File Mic", {}},
        {"other case", make_track("Mic", TrackSource::Input, "file mic"), "Default Audio Device",
         " WARN audio device file mic not found, using default label=\"Mic\"\n"},
        {"surrounding blank", make_track("Mic", TrackSource::Input, " File Mic"), "Default Audio Device",
         " WARN audio device  File Mic not found, using default label=\"Mic\"\n"},
        {"whole description", make_track("Mic", TrackSource::Input, "File Mic\nSecond line"), "Default Audio Device",
         " WARN audio device File Mic\nSecond line not found, using default label=\"Mic\"\n"},
        {"output track", make_track("Desktop", TrackSource::Output, "File Mic"), "File Mic", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            auto opened = open_track(default_audio_host(), c.track);
            ASSERT_TRUE(opened) << format_engine_error(opened.error());
            std::optional<TrackCapture> capture(std::move(*opened));
            EXPECT_EQ(capture->ratio, 1.0);
            EXPECT_EQ(capture->pos, 0.0);
            EXPECT_TRUE(capture->pending.empty());
            EXPECT_EQ(workers_running(), 1);
            // The device is not paced: pairs pile up at once, up to the queue's cap.
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (capture->queue->size() == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            EXPECT_GT(capture->queue->size(), 0u);
            EXPECT_LE(capture->queue->size(), FrameQueue::kCapacity);
            const auto released = std::chrono::steady_clock::now();
            capture.reset();
            EXPECT_LT(std::chrono::steady_clock::now() - released, 5s);  // no hang: the pipe woke it
        }
        EXPECT_EQ(workers_running(), 0);
        std::vector<std::string> expected;
        if (c.warning) expected.push_back(*c.warning);
        expected.push_back(" INFO audio source opened label=\"" + c.track.name + "\" device=\"" + c.device_field +
                           "\" rate=48000 channels=2 fmt=\"F32\"\n");
        EXPECT_EQ(test::audio_log_lines().take(), expected);
    }
}

struct FailureCase {
    Track track;
    std::string prefix;  // of the error's text form
};

TEST_F(AlsaDevices, OneDirectionDevicesFailWithTheirStep) {
    const FailureCase cases[] = {
        // configured from the capture side, which the device lacks
        {make_track("Mic", TrackSource::Input, "Play Only"), "audio: Mic config: snd_pcm_open failed: "},
        // configured from its playback side, then the capture stream cannot open
        {make_track("Desktop", TrackSource::Output, "Play Only"), "audio: Desktop: snd_pcm_open failed: "},
        {make_track("Desktop", TrackSource::Output, "Capture Only"), "audio: Desktop config: snd_pcm_open failed: "},
    };
    for (const auto& c : cases) {
        const auto capture = open_track(default_audio_host(), c.track);
        ASSERT_FALSE(capture) << c.prefix;
        const std::string text = format_engine_error(capture.error());
        EXPECT_TRUE(text.starts_with(c.prefix)) << text;
        EXPECT_EQ(workers_running(), 0);
    }
    EXPECT_EQ(test::audio_log_lines().take(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vc
