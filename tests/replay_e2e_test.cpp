// Saving replays from real MPEG-TS segments made by ffmpeg: the clip, its metadata bytes,
// its thumbnail and its audio stream names as ffprobe sees them, and the failures that only
// a real join or a real clip can show.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/process.hpp"
#include "engine/replay.hpp"
#include "engine/ring_list.hpp"
#include "engine/segment_stamps.hpp"
#include "engine/segment_watch.hpp"
#include "support/environment.hpp"
#include "support/tmpfs_mount.hpp"

namespace vc {
namespace {

constexpr double no_earlier_save = -std::numeric_limits<double>::infinity();

std::string run_tool(const std::string& program, std::vector<std::string> args) {
    Command command(program, std::move(args));
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output) return "";
    EXPECT_TRUE(output->status.success()) << program << ": " << output->stderr_bytes;
    return output->stdout_bytes;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Captures the engine's log events so that warnings can be checked.
class CapturingLogger : public log::Logger {
public:
    log::Level max_level() const override { return log::Level::Trace; }
    log::Interest interest(log::Level, std::string_view) const override { return log::Interest::Always; }
    bool enabled(const log::Event&) const override { return true; }
    void write(const log::Event& event) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::string(event.target) + " " + std::string(event.message));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

CapturingLogger& logger() {
    static CapturingLogger* instance = [] {
        auto* created = new CapturingLogger;  // must outlive every thread that may log
        log::install(created);
        return created;
    }();
    return *instance;
}

class ReplaySave : public ::testing::Test {
protected:
    // Twelve one-second segments with video and two audio streams, made once, encoded the
    // way the recorder encodes (no B-frames: with them each segment probes longer than it
    // is listed, and the joined clip overruns its listed length).
    static void SetUpTestSuite() {
        fixture_ = new test::TempDir;
        run_tool("ffmpeg", {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=s=320x240:r=30",
                            "-f", "lavfi", "-i", "sine=f=440:r=48000", "-f", "lavfi", "-i",
                            "sine=f=880:r=48000", "-t", "12", "-map", "0:v", "-map", "1:a", "-map", "2:a",
                            "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "30", "-pix_fmt", "yuv420p", "-c:a", "aac", "-f",
                            "segment", "-segment_time", "1", "-reset_timestamps", "1", "-segment_format",
                            "mpegts", "-segment_list", (fixture_->path() / "ring.csv").string(),
                            "-segment_list_type", "csv", (fixture_->path() / "seg_%05d.ts").string()});
    }
    static void TearDownTestSuite() {
        delete fixture_;
        fixture_ = nullptr;
    }

    void SetUp() override {
        logger().take();
        for (const auto& entry : std::filesystem::directory_iterator(fixture_->path()))
            std::filesystem::copy_file(entry.path(), ring.path() / entry.path().filename());
        listed = lines_of(test::read_file(ring / "ring.csv"));
        ASSERT_GE(listed.size(), 11u);
    }

    Result<SaveOutcome> save(std::uint32_t seconds, double newer_than = no_earlier_save,
                             std::vector<std::string> tracks = {}) {
        return save_replay(ring.path(), clips_dir, seconds, newer_than, Origin::manual, tracks);
    }

    void list(const std::vector<std::string>& lines, const char* ending = "\n") {
        std::string text;
        for (const auto& line : lines) text += line + ending;
        ring.write("ring.csv", text);
    }

    static test::TempDir* fixture_;
    test::TempDir ring;
    test::TempDir clips;
    std::filesystem::path clips_dir = clips / "Vantrel Clips";
    std::vector<std::string> listed;
};

test::TempDir* ReplaySave::fixture_ = nullptr;

std::string error_text(const Result<SaveOutcome>& result) {
    return result ? std::string("(no error)") : format_engine_error(result.error());
}

const SavedClip& saved(const Result<SaveOutcome>& result) {
    static const SavedClip none;
    if (!result) {
        ADD_FAILURE() << error_text(result);
        return none;
    }
    if (!std::holds_alternative<SavedClip>(*result)) {
        ADD_FAILURE() << "nothing new";
        return none;
    }
    return std::get<SavedClip>(*result);
}

std::string concat_lines(const std::filesystem::path& ring, const std::vector<Segment>& segments) {
    std::string text;
    for (const auto& segment : segments) text += concat_list_entry(ring, segment);
    return text;
}

nlohmann::json probe(const std::filesystem::path& file) {
    return nlohmann::json::parse(run_tool(
        "ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,codec_name,width,duration:stream_tags=handler_name"
                                                    ":format=duration",
                    "-of", "json", file.string()}));
}

TEST_F(ReplaySave, WholeRingWithTwoTracks) {
    test::ScopedEnv env{{"TZ", "<+14>-14"}};
    const std::time_t before = std::time(nullptr);
    const auto result = save(30, no_earlier_save, {"Mic", "Desktop"});
    const std::time_t after = std::time(nullptr);
    const SavedClip& clip = saved(result);
    ASSERT_FALSE(clip.clip.path.empty());

    const auto segments = parse_ring_list(test::read_file(ring / "ring.csv"));
    double duration = 0.0;
    for (const auto& segment : segments) duration += segment.duration;
    EXPECT_EQ(clip.newest_end, segments.back().end);
    EXPECT_EQ(test::read_file(ring / "save.txt"), concat_lines(ring.path(), segments));

    // The name is the local time of TZ, taken during the save.
    const std::string name = clip.clip.path.filename().string();
    bool named_by_local_time = false;
    for (std::time_t t = before; t <= after; ++t)
        named_by_local_time |= name == "Clip " + clip_time_text(t) + ".mp4";
    EXPECT_TRUE(named_by_local_time) << name;
    EXPECT_EQ(clip.clip.path.parent_path(), clips_dir);

    const ClipMeta meta{duration, Origin::manual, std::nullopt};
    EXPECT_EQ(test::read_file(clip_meta_path(clip.clip.path)), clip_meta_json(meta));
    EXPECT_EQ(clip.clip.meta, meta);
    EXPECT_EQ(clip.clip.size, std::filesystem::file_size(clip.clip.path));
    const auto created = std::chrono::system_clock::to_time_t(clip.clip.created);
    EXPECT_GE(created, before - 1);
    EXPECT_LE(created, after + 1);

    const auto info = probe(clip.clip.path);
    ASSERT_EQ(info["streams"].size(), 3u);
    EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(info["streams"][1]["tags"]["handler_name"], "Mic");
    EXPECT_EQ(info["streams"][2]["tags"]["handler_name"], "Desktop");
    // The video stream's length: audio streams of joined segments run a little longer.
    EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), duration, 0.15);

    EXPECT_EQ(clip.clip.thumbnail, clips_dir / ".thumbs" / (clip.clip.path.stem().string() + ".jpg"));
    const auto thumbnail = probe(clip.clip.thumbnail);
    EXPECT_EQ(thumbnail["streams"][0]["width"], 480);
    EXPECT_EQ(logger().take(), std::vector<std::string>{});
}

TEST_F(ReplaySave, NewestSegmentsAmongJunkAndCarriageReturns) {
    std::vector<std::string> messy{"junk", "a.ts,1"};
    for (std::size_t i = 0; i + 1 < listed.size(); ++i) {
        messy.push_back(listed[i]);
        if (i % 3 == 0) messy.push_back("seg_x.ts, 1, 2");
    }
    list(messy, "\r\n");
    const auto first = saved(save(5));
    const auto all_but_last = parse_ring_list(test::read_file(ring / "ring.csv"));
    const std::vector<Segment> newest5(all_but_last.end() - 5, all_but_last.end());
    EXPECT_EQ(test::read_file(ring / "save.txt"), concat_lines(ring.path(), newest5));
    double duration = 0.0;
    for (const auto& segment : newest5) duration += segment.duration;
    ASSERT_TRUE(first.clip.meta);
    EXPECT_EQ(first.clip.meta->duration_s, duration);
    EXPECT_NEAR(std::stod(probe(first.clip.path)["streams"][0]["duration"].get<std::string>()), duration, 0.15);

    // No new segment since: nothing new, and the concat list stays as it was.
    std::filesystem::remove(ring / "save.txt");
    const auto again = save(5, first.newest_end);
    ASSERT_TRUE(again) << error_text(again);
    EXPECT_TRUE(std::holds_alternative<NothingNew>(*again));
    EXPECT_FALSE(std::filesystem::exists(ring / "save.txt"));

    // One more segment listed: a full clip again, under a name of its own.
    list(listed);
    const auto second = saved(save(5, first.newest_end));
    EXPECT_NE(second.clip.path, first.clip.path);
    EXPECT_GT(second.newest_end, first.newest_end);
    EXPECT_EQ(lines_of(test::read_file(ring / "save.txt")).size(), 10u);  // a file and a duration line each
}

TEST_F(ReplaySave, FailingJoinKeepsTheConcatList) {
    list({"missing.ts,0,1"});
    const auto result = save(30);
    ASSERT_FALSE(result);
    ASSERT_TRUE(result.error().is<EngineError::Ffmpeg>()) << error_text(result);
    EXPECT_EQ(result.error().as<EngineError::Ffmpeg>().context, "saving replay");
    EXPECT_TRUE(std::filesystem::exists(ring / "save.txt"));
}

TEST_F(ReplaySave, MetadataThatCannotBeWrittenFailsTheSave) {
    struct Case {
        const char* what;
        void (*plant)(const std::filesystem::path& json);
        const char* error;
        bool json_stays;  // a cut-short file is removed; what was there before the save stays
    };
    const Case cases[] = {
        {"a directory", [](const auto& json) { std::filesystem::create_directories(json); },
         "writing clip metadata: Is a directory (os error 21)", true},
        {"a full disk", [](const auto& json) { std::filesystem::create_symlink("/dev/full", json); },
         "writing clip metadata: No space left on device (os error 28)", false},
    };
    test::ScopedEnv env{{"TZ", "UTC0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(clips_dir);
        std::filesystem::create_directories(clips_dir);
        // Whatever second the save names its clip after, its metadata path is planted.
        const std::time_t now = std::time(nullptr);
        for (std::time_t t = now; t <= now + 5; ++t) c.plant(clips_dir / ("Clip " + clip_time_text(t) + ".json"));
        const auto result = save(3);
        ASSERT_FALSE(result);
        EXPECT_EQ(error_text(result), c.error);
        std::vector<std::filesystem::path> clips_made;
        for (const auto& entry : std::filesystem::directory_iterator(clips_dir))
            if (entry.path().extension() == ".mp4") clips_made.push_back(entry.path());
        ASSERT_EQ(clips_made.size(), 1u);  // the clip file stays
        EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(clip_meta_path(clips_made[0]))),
                  c.json_stays);
        EXPECT_FALSE(std::filesystem::exists(clips_dir / ".thumbs"));
    }
}

// A full disk as ffmpeg meets it: the join cannot even write the clip's header, and fails
// after it has created the file. The stand-in runs the real ffmpeg, with no room to write.
TEST_F(ReplaySave, FailedJoinRemovesTheFileItMadeAndNothingElse) {
    test::TempDir bin;
    const auto wrapper = bin.write("ffmpeg", "#!/bin/sh\nulimit -f 0\ntrap '' XFSZ\nexec ffmpeg \"$@\"\n");
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    test::ScopedEnv env{{"TZ", "UTC0"}, {"VANTREL_FFMPEG", bin.path().string()}};
    // Earlier clips hold every name of the seconds the save may fall in: it takes a numbered one.
    std::filesystem::create_directories(clips_dir);
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> earlier;
    for (std::time_t t = now; t <= now + 5; ++t) {
        earlier.push_back("Clip " + clip_time_text(t) + ".mp4");
        std::ofstream(clips_dir / earlier.back()) << "an earlier clip";
    }
    const auto result = save(3);
    ASSERT_FALSE(result);
    ASSERT_TRUE(result.error().is<EngineError::Ffmpeg>()) << error_text(result);
    EXPECT_NE(error_text(result).find("File too large"), std::string::npos) << error_text(result);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(clips_dir)) {
        left.push_back(entry.path().filename().string());
        EXPECT_EQ(test::read_file(entry.path()), "an earlier clip") << left.back();
    }
    std::ranges::sort(left);
    EXPECT_EQ(left, earlier);
}

// A relative clips directory (or ring directory) that ffmpeg would read as an option or a
// protocol, or whose '%' the image writer would read as a pattern: the clip, its metadata
// and its thumbnail are made where the paths say, and nothing is logged.
TEST_F(ReplaySave, ClipsDirectoryThatLooksLikeAnOptionAProtocolOrAPattern) {
    struct Case {
        const char* ring;
        const char* clips;
    };
    const Case cases[] = {
        {"-r", "-y"},          {"ring", "-dash dir"}, {"a:b", "a:b/c"},
        {"ring", "pipe:1"},    {"ring", "http://127.0.0.1:1/x"}, {"50%d ring", "100%d clips"},
        {"ring", "50% clips"},
    };
    test::TempDir work;
    const auto old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clips);
        if (!std::filesystem::exists(c.ring)) std::filesystem::copy(ring.path(), c.ring);
        logger().take();
        const auto result = save_replay(c.ring, c.clips, 3, no_earlier_save, Origin::manual, {});
        const auto& clip = saved(result);
        if (clip.clip.path.empty()) continue;
        EXPECT_EQ(clip.clip.path.parent_path(), c.clips);
        const auto absolute = work / clip.clip.path.string();
        EXPECT_EQ(probe(absolute)["streams"][0]["codec_name"], "h264");
        EXPECT_EQ(clip.clip.size, std::filesystem::file_size(absolute));
        EXPECT_TRUE(clip.clip.meta);
        // A JPEG picture (ffprobe itself would read a '%' in the name as a pattern).
        EXPECT_EQ(test::read_file(work / clip.clip.thumbnail.string()).substr(0, 3), "\xff\xd8\xff");
        EXPECT_EQ(logger().take(), std::vector<std::string>{});
    }
    std::filesystem::current_path(old_cwd);
}

TEST_F(ReplaySave, FailedThumbnailIsOnlyAWarning) {
    std::filesystem::create_directories(clips_dir);
    std::ofstream(clips_dir / ".thumbs") << "a file where the thumbnails go";
    const auto clip = saved(save(3));
    ASSERT_FALSE(clip.clip.path.empty());
    EXPECT_TRUE(clip.clip.meta);
    EXPECT_FALSE(std::filesystem::exists(clip.clip.thumbnail));
    const auto warnings = logger().take();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "engine::clips thumbnail failed for " + clip.clip.path.string() + ": creating " +
                               (clips_dir / ".thumbs").string() + ": File exists (os error 17)");
}

TEST_F(ReplaySave, UndecodableClipGivesWarningNotFailure) {
    // A clip ffmpeg cannot read back: the join succeeds, the thumbnail run does not.
    const auto clip = saved(save(3));
    ASSERT_FALSE(clip.clip.path.empty());
    logger().take();
    std::ofstream(clip.clip.path, std::ios::trunc) << "not a video";
    const auto finished = finish_clip(clip.clip.path, {3.0, Origin::auto_, std::nullopt});
    ASSERT_TRUE(finished) << format_engine_error(finished.error());
    EXPECT_EQ(finished->size, 11u);
    EXPECT_EQ(finished->meta, (ClipMeta{3.0, Origin::auto_, std::nullopt}));
    const auto warnings = logger().take();
    ASSERT_EQ(warnings.size(), 1u);
    const std::string expected =
        "engine::clips thumbnail failed for " + clip.clip.path.string() + ": ffmpeg failed while thumbnail: ";
    EXPECT_EQ(warnings[0].substr(0, expected.size()), expected);
}

TEST_F(ReplaySave, RelativeRingDirectory) {
    const auto old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(ring.path().parent_path());
    const auto result = save_replay(ring.path().filename(), clips_dir, 3, no_earlier_save, Origin::voice, {});
    std::filesystem::current_path(old_cwd);
    const auto& clip = saved(result);
    EXPECT_EQ(clip.clip.path.filename().string().substr(0, 6), "Voice ");
    EXPECT_TRUE(std::filesystem::exists(clip.clip.thumbnail));
}

// The decoded video frames of a file, one hash each, in order.
std::vector<std::string> frame_hashes(const std::filesystem::path& file) {
    std::vector<std::string> hashes;
    for (const auto& line : lines_of(run_tool("ffmpeg", {"-hide_banner", "-loglevel", "error", "-i", file.string(),
                                                         "-map", "0:v", "-f", "framemd5", "-"}))) {
        if (line.starts_with('#')) continue;
        hashes.push_back(line.substr(line.rfind(',') + 1));
    }
    return hashes;
}

// A join that falls behind the recorder: the recorder comes round to the oldest chosen
// segment, truncates it and writes the next second into it, while the save is still on its
// way to read it. A stand-in ffmpeg does that to the ring just before each join it runs (by
// the plan for that join, when there is one) and then runs the real ffmpeg. A join that is
// only slow to finish (writing the clip on a slow disk, on a busy machine) has read every
// segment when the recorder comes round: the stand-in then does it after the real join.
// CTest runs this a second time with every inotify_init1 refused (a user's inotify instances
// are limited), where the file status alone must tell the same.
TEST_F(ReplaySave, RecorderComingRoundToAChosenSegmentDuringTheJoin) {
    const FileDescriptor inotify(::inotify_init1(IN_CLOEXEC));
    // The ring as the recorder lists it: segments 0 to 9, saving 5 s chooses 5 to 9.
    const auto fixture_segment = [](int n) {
        char name[32];
        std::snprintf(name, sizeof name, "seg_%05d.ts", n);
        return fixture_->path() / name;
    };
    const std::string oldest_chosen = (ring / "seg_00005.ts").string();
    // The next second, written into the oldest chosen segment, which the list then names newest.
    std::string moved_on;
    for (std::size_t i = 1; i < 10; ++i) moved_on += listed[i] + "\n";
    moved_on += "seg_00005.ts" + listed[10].substr(listed[10].find(',')) + "\n";
    const std::string come_round = "cat '" + fixture_segment(10).string() + "' > '" + oldest_chosen + "'\n" +
                                   "printf '%s' '" + moved_on + "' > '" + (ring / "ring.csv.tmp").string() + "'\n" +
                                   "mv '" + (ring / "ring.csv.tmp").string() + "' '" + (ring / "ring.csv").string() +
                                   "'\n";
    // The recorder has only just started the oldest chosen one again: it is cut short.
    const auto cut_short = [&](int bytes) {
        return "head -c " + std::to_string(bytes) + " '" + fixture_segment(11).string() + "' > '" + oldest_chosen +
               "'\n";
    };

    struct Case {
        const char* what;
        std::vector<std::string> plans;  // run before the first, second, ... join
        std::vector<std::string> after;  // run after the first, second, ... join
        std::vector<int> clip_segments;  // the fixture segments the clip shows; none: the save fails
        std::size_t joins;
    };
    const Case cases[] = {
        {"overwritten with the next second", {come_round}, {}, {6, 7, 8, 9, 10}, 2},
        {"cut short, then written and listed as the newest", {cut_short(0), come_round}, {}, {6, 7, 8, 9, 10}, 3},
        {"cut short before every join", {cut_short(0), cut_short(188), cut_short(376)}, {}, {}, 3},
        {"overwritten once the join has read it", {}, {come_round}, {5, 6, 7, 8, 9}, 1},
        {"cut short once the join has read it", {}, {cut_short(0)}, {5, 6, 7, 8, 9}, 1},
    };
    test::ScopedEnv time_zone{{"TZ", "UTC0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(ring.path());
        std::filesystem::create_directories(ring.path());
        SetUp();
        list(std::vector<std::string>(listed.begin(), listed.begin() + 10));
        std::filesystem::remove_all(clips_dir);
        test::TempDir bin;
        for (std::size_t i = 0; i < c.plans.size(); ++i) bin.write(format("plan{}", i), c.plans[i]);
        for (std::size_t i = 0; i < c.after.size(); ++i) bin.write(format("after{}", i), c.after[i]);
        const std::string dir = bin.path().string();
        const std::string list = (ring / "ring.csv").string();
        const auto wrapper = bin.write("ffmpeg", "#!/bin/sh\n"
                                                 "case \" $* \" in *\" concat \"*) ;; *) exec ffmpeg \"$@\";; esac\n"
                                                 "n=$(cat '" + dir + "/joins' 2>/dev/null || echo 0)\n"
                                                 "echo $((n + 1)) > '" + dir + "/joins'\n"
                                                 "if [ -f '" + dir + "/plan'$n ]; then . '" + dir + "/plan'$n; fi\n"
                                                 "cp '" + list + "' '" + dir + "/list_at_join'\n"
                                                 "ffmpeg \"$@\"\n"
                                                 "status=$?\n"
                                                 "if [ -f '" + dir + "/after'$n ]; then . '" + dir + "/after'$n; fi\n"
                                                 "exit $status\n");
        std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
        test::ScopedEnv env{{"VANTREL_FFMPEG", dir}};

        logger().take();
        const auto result = save(5);
        EXPECT_EQ(test::read_file(bin / "joins"), std::to_string(c.joins) + "\n");
        const auto lines = logger().take();
        EXPECT_EQ(std::ranges::any_of(lines, [](const std::string& line) {
                      return line.starts_with("engine::clips no inotify (Too many open files (os error 24)): ");
                  }),
                  !inotify.valid());
        if (c.clip_segments.empty()) {
            EXPECT_EQ(error_text(result), "saving replay: the recording overwrote the segments before they were joined");
            EXPECT_TRUE(!std::filesystem::exists(clips_dir) || std::filesystem::is_empty(clips_dir));
            continue;
        }
        const SavedClip& clip = saved(result);
        if (clip.clip.path.empty()) continue;
        std::vector<std::string> expected;
        for (const int n : c.clip_segments) std::ranges::copy(frame_hashes(fixture_segment(n)), std::back_inserter(expected));
        EXPECT_EQ(frame_hashes(clip.clip.path), expected);
        // The newest end of the list that the kept join read.
        EXPECT_EQ(clip.newest_end, parse_ring_list(test::read_file(bin / "list_at_join")).back().end);
        // Only the clip of the join that read the right seconds is left.
        std::size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(clips_dir)) files += entry.is_regular_file();
        EXPECT_EQ(files, 2u);  // the clip and its metadata
    }
}

// The recorder puts its list in place a moment before it closes the segment the list names
// newest: the last bytes of that second reach the file after the save has read the list,
// before the join starts. That is the recorder finishing the second, not coming round to
// it; a write to the oldest before the join, or to the newest once the join runs, is.
TEST_F(ReplaySave, NewestSegmentFinishedAfterItWasListedIsNoOvertake) {
    struct Case {
        const char* what;
        bool newest;
        bool before_the_join;
        bool overtaken;
    };
    const Case cases[] = {
        {"the newest finished before the join", true, true, false},
        {"the oldest written before the join", false, true, true},
        {"the newest written once the join runs", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(ring.path());
        std::filesystem::create_directories(ring.path());
        SetUp();
        const auto chosen = choose_segments(parse_ring_list(test::read_file(ring / "ring.csv")), 5);
        const auto write = [&] {
            std::ofstream(ring / (c.newest ? chosen.back() : chosen.front()).name, std::ios::app) << "more";
        };
        SegmentWatch watch(ring.path(), chosen);
        if (c.before_the_join) write();
        watch.join_starts();
        if (!c.before_the_join) write();
        for (const Segment& segment : chosen) (void)test::read_file(ring / segment.name);  // the join
        EXPECT_EQ(watch.overtaken(), c.overtaken);
    }
}

// The kernel keeps a watch's events in a queue of its own, which a long join at a high
// bitrate could once overflow. Events lost so are never taken for an overtake: a segment
// that the join read before the recorder came round to it is in time, whether the file system
// keeps access times (relatime: they tell) or not (noatime: nothing tells, and the clip's own
// timeline judges); where the access times tell that the join read it after the recorder
// wrote it, it is overtaken. The queue is made to overflow by a join that reads its first two
// segments a byte at a time, turn about, so that no two events merge.
TEST_F(ReplaySave, EventsLostToAnOverflowAreNeverTakenForAnOvertake) {
    const int queue_limit = std::stoi(test::read_file("/proc/sys/fs/inotify/max_queued_events"));
    test::TmpfsMount noatime(MS_NOATIME);
    struct Case {
        const char* what;
        bool noatime;
        bool read_after_the_write;
        bool overtaken;
    };
    const Case cases[] = {
        {"relatime, written after the join read it", false, false, false},
        {"noatime, written after the join read it", true, false, false},
        {"relatime, written before the join read it", false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto dir = c.noatime ? noatime / "ring" : ring.path();
        std::filesystem::create_directories(dir);
        for (const auto& entry : std::filesystem::directory_iterator(fixture_->path()))
            std::filesystem::copy_file(entry.path(), dir / entry.path().filename(),
                                       std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(reads_after_changes_kept(dir), !c.noatime);
        const auto chosen = choose_segments(parse_ring_list(test::read_file(dir / "ring.csv")), 5);
        ASSERT_EQ(chosen.size(), 5u);
        const auto segment = [&](std::size_t i) { return dir / chosen[i].name; };
        // The recorder comes round to the fourth: the next second, written over it.
        const auto write = [&] {
            std::ofstream(segment(3), std::ios::binary | std::ios::trunc) << test::read_file(fixture_->path() / "seg_00011.ts");
        };

        SegmentWatch watch(dir, chosen);
        watch.join_starts();
        {
            const FileDescriptor first(::open(segment(0).c_str(), O_RDONLY | O_CLOEXEC));
            const FileDescriptor second(::open(segment(1).c_str(), O_RDONLY | O_CLOEXEC));
            char byte;
            for (int i = 0; i <= queue_limit; ++i)
                for (const FileDescriptor* fd : {&first, &second}) ASSERT_EQ(::pread(fd->get(), &byte, 1, i % 100), 1);
        }
        for (std::size_t i = 2; i < chosen.size(); ++i) {
            if (i == 3 && c.read_after_the_write) write();
            (void)test::read_file(segment(i));
            if (i == 3 && !c.read_after_the_write) {
                // A write in the same tick of the file system's clock would stamp the file with
                // the time of the read, which tells nothing.
                const auto read_at = stamp_segments(dir, {chosen[3]}).front()->accessed_ns;
                const timespec touch[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
                while (stamp_segments(dir, {chosen[3]}).front()->modified_ns <= read_at)
                    ASSERT_EQ(::utimensat(AT_FDCWD, segment(3).c_str(), touch, 0), 0);
                write();
            }
        }
        EXPECT_EQ(watch.overtaken(), c.overtaken);
        EXPECT_TRUE(watch.tally().lost) << "the queue overflowed";
    }
}

// A list that appears while the save waits between its reads of the missing list is read
// and used: the list is put in place once the save is seen asleep between two reads, so a
// miss has come first, however slowly a busy machine runs either thread.
TEST_F(ReplaySave, ListAppearingDuringTheRetries) {
    const std::string text = test::read_file(ring / "ring.csv");
    std::filesystem::remove(ring / "ring.csv");
    std::atomic<pid_t> saver{0};
    std::optional<Result<SaveOutcome>> result;
    std::thread save_thread([&] {
        saver = ::gettid();
        result = save(3);
    });
    const auto asleep = [&] {
        std::ifstream in("/proc/self/task/" + std::to_string(saver.load()) + "/syscall");
        long number = -1;
        in >> number;
        return number == SYS_clock_nanosleep || number == SYS_nanosleep;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((saver == 0 || !asleep()) && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const bool missed_first = saver != 0 && asleep();
    ring.write("ring.csv.tmp", text);
    std::filesystem::rename(ring / "ring.csv.tmp", ring / "ring.csv");
    save_thread.join();
    EXPECT_TRUE(missed_first) << "the save was never seen waiting to read the list again";
    ASSERT_TRUE(result);
    EXPECT_FALSE(saved(*result).clip.path.empty());
}

}  // namespace
}  // namespace vc
