// The real program left recording for minutes with a short ring that wraps many times and
// a save every few seconds: every save must succeed with a clip of its own, the ring must
// stay within its bound, and the program's memory must not grow with the saves. The soak is
// a number of saves, not a span of time: a busy machine makes it last longer, not smaller.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "engine/process.hpp"
#include "support/environment.hpp"
#include "support/pulse_server.hpp"
#include "support/running_program.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kReplaySeconds = 5;
constexpr std::size_t kSaves = 40;
constexpr auto kSaveEvery = 4s;  // at least; a save that takes longer delays the next

// The resident set of a process in kB, as /proc shows it; 0 when it cannot be read.
long resident_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return 0;
}

// What the ring directory holds besides its segments must be one of its lists or the join lock.
struct RingContents {
    std::size_t segments = 0;
    std::vector<std::string> strangers;
};

RingContents ring_contents(const fs::path& ring) {
    RingContents contents;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(ring, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("seg_") && name.ends_with(".ts"))
            ++contents.segments;
        else if (name != "ring.csv" && name != "ring.csv.tmp" && name != "save.txt" &&
                 name != "join.lock")
            contents.strangers.push_back(name);
    }
    return contents;
}

// The end time of the newest segment in the ring's list: it keeps growing across wraps.
double listed_end(const fs::path& ring) {
    std::ifstream in(ring / "ring.csv");
    std::string last;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) last = line;
    const auto comma = last.rfind(',');
    return comma == std::string::npos ? 0.0 : std::stod(last.substr(comma + 1));
}

// The clip of the newest "Saved {} ({} MB)" line.
std::string newest_clip(const std::string& out) {
    const auto at = out.rfind("Saved ");
    const auto end = out.find(" (", at);
    return at == std::string::npos || end == std::string::npos ? std::string() : out.substr(at + 6, end - at - 6);
}

TEST(ProgramSoak, SavesEveryFewSecondsWhileTheRingWraps) {
    const test::TempDir home;
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    test::ScopedEnv env;
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "RUST_LOG", "VANTREL_FFMPEG", "VANTREL_VOICE_DIR"})
        env.set(name, std::nullopt);
    env.set("HOME", home.path().string());
    env.set("XDG_RUNTIME_DIR", (home / "run").string());
    env.set("NO_COLOR", "1");
    // Under AddressSanitizer, freed blocks are held back before reuse, which would read as
    // growth; without that hold the program's own use of memory shows.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    env.set("ASAN_OPTIONS", std::string(sanitizer && *sanitizer ? std::string(sanitizer) + ":" : "") +
                                "quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
    const test::XvfbServer x("640x480x24");
    env.set("DISPLAY", x.display());

    // A real-time audio track, so the mixer and its capture run for the whole soak too.
    const test::PulseServer pulse;
    home.write(".asoundrc", "pcm.vc_tone { type pulse; device \"tone\"; hint { show on; description \"Tone\" } }\n");
    home.write(".config/vantrelclips/config.yaml", "replay_seconds: " + std::to_string(kReplaySeconds) +
                                                       "\nfps: 30\ntracks:\n- name: Tone\n  source: input\n"
                                                       "  device: Tone\n");
    const fs::path ring = home / ".cache/vantrelclips/ring";

    test::RunningProgram program;
    ASSERT_TRUE(program.wait_for_stdout("Encoder: libx264\n", 60s)) << program.out() << program.err();
    ASSERT_NE(program.out().find(" INFO audio source opened label=\"Tone\""), std::string::npos) << program.out();
    // A save asked for before the recorder has listed a segment has nothing to join, and a
    // busy machine may take longer than the start's own 8 s wait to get there.
    const auto recording = std::chrono::steady_clock::now() + 120s;
    while (!fs::exists(ring / "ring.csv") && std::chrono::steady_clock::now() < recording)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(ring / "ring.csv")) << "no segment was ever listed";

    std::size_t most_segments = 0;
    std::set<std::string> strangers;
    std::set<std::string> clips;
    long first_rss = 0;
    long last_rss = 0;
    for (std::size_t saves = 1; saves <= kSaves; ++saves) {
        const auto next = std::chrono::steady_clock::now() + kSaveEvery;
        program.type("\n");
        ASSERT_TRUE(program.wait_for_stdout(" MB)\n", 120s, saves)) << "save " << saves << "\n"
                                                                   << program.out() << program.err();
        clips.insert(newest_clip(program.out()));
        (saves == 1 ? first_rss : last_rss) = resident_kb(program.pid());
        // Watch the ring between saves, while ffmpeg writes and removes segments: at least
        // once, however long the save took.
        do {
            const RingContents contents = ring_contents(ring);
            most_segments = std::max(most_segments, contents.segments);
            strangers.insert(contents.strangers.begin(), contents.strangers.end());
            program.read_for(100ms);
        } while (std::chrono::steady_clock::now() < next);
    }

    EXPECT_EQ(clips.size(), kSaves) << "every save makes a clip of its own";
    // A machine too busy for ffmpeg to finish its first segment within 8 s gets the start-up
    // notice; any other error line is a fault.
    std::string errors = program.err();
    const std::string notice =
        "error: no video captured yet: is the display asleep or the PC locked? Recording starts once the screen is on.\n";
    if (const auto at = errors.find(notice); at != std::string::npos) errors.erase(at, notice.size());
    EXPECT_EQ(errors.find("error: "), std::string::npos) << program.err();
    EXPECT_GT(most_segments, 0u);
    EXPECT_LE(most_segments, static_cast<std::size_t>(kReplaySeconds + 10));
    EXPECT_TRUE(strangers.empty()) << *strangers.begin();
    EXPECT_GT(listed_end(ring), 3.0 * (kReplaySeconds + 10)) << "the ring wrapped several times";
    ASSERT_GT(first_rss, 0);
    EXPECT_NEAR(static_cast<double>(last_rss), static_cast<double>(first_rss), 0.1 * static_cast<double>(first_rss))
        << "RSS after the first save " << first_rss << " kB, after the last " << last_rss << " kB";

    const auto ffmpegs = test::ffmpeg_children(program.pid());
    program.type("q\n");
    const auto status = program.wait_for_exit(30s);
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_EQ(status->code(), 0) << status->text();
    for (const auto& ffmpeg : ffmpegs) EXPECT_FALSE(test::process_alive(ffmpeg.pid)) << "ffmpeg " << ffmpeg.pid;
}

}  // namespace
}  // namespace vc
