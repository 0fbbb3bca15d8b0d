// The pure steps of a save: the ring list's number grammar and lines, the choice of
// segments, the concat list, the audio titles and the clip name.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include "engine/process.hpp"
#include "engine/replay.hpp"
#include "engine/ring_list.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(RingNumbers, Grammar) {
    struct Case {
        const char* text;
        std::optional<double> value;
    };
    for (const Case& c : {
             Case{"0", 0.0}, Case{"12", 12.0}, Case{"+1.5", 1.5}, Case{"-2", -2.0}, Case{"1.", 1.0},
             Case{".5", 0.5}, Case{"-.5", -0.5}, Case{"1e3", 1000.0}, Case{"1E+3", 1000.0},
             Case{"25e-1", 2.5}, Case{"1.5e0", 1.5}, Case{"007", 7.0}, Case{"1e400", inf},
             Case{"inf", inf}, Case{"-Infinity", -inf}, Case{"+INF", inf},
             Case{"12.033333", 12.033333},
             // refused
             Case{"", std::nullopt}, Case{" 1", std::nullopt}, Case{"1 ", std::nullopt},
             Case{".", std::nullopt}, Case{"+", std::nullopt}, Case{"e5", std::nullopt},
             Case{"1e", std::nullopt}, Case{"1e+", std::nullopt}, Case{"0x10", std::nullopt},
             Case{"1,5", std::nullopt}, Case{"1..2", std::nullopt}, Case{"--1", std::nullopt},
             Case{"infin", std::nullopt}, Case{"nan(1)", std::nullopt}, Case{"1_000", std::nullopt},
             Case{"1\r", std::nullopt}, Case{"١", std::nullopt},
         }) {
        EXPECT_EQ(parse_decimal(c.text), c.value) << '"' << c.text << '"';
    }
    for (const char* nan : {"nan", "NaN", "-nan", "+NAN"}) {
        const auto value = parse_decimal(nan);
        ASSERT_TRUE(value) << nan;
        EXPECT_TRUE(std::isnan(*value)) << nan;
    }
}

TEST(RingList, SegmentLines) {
    struct Case {
        const char* line;
        std::optional<Segment> segment;
    };
    for (const Case& c : {
             Case{"seg_00042.ts,41.0,42.0", Segment{"seg_00042.ts", 1.0, 42.0}},
             Case{"a.ts,1,2,extra", Segment{"a.ts", 1.0, 2.0}},
             Case{"a.ts,1,2,,", Segment{"a.ts", 1.0, 2.0}},
             Case{",0,0.5", Segment{"", 0.5, 0.5}},
             Case{"a.ts,5,4", Segment{"a.ts", 0.0, 4.0}},
             Case{"a.ts,inf,inf", Segment{"a.ts", 0.0, inf}},
             Case{"a.ts", std::nullopt},
             Case{"a.ts,1", std::nullopt},
             Case{"a.ts, 1, 2", std::nullopt},
             Case{"a.ts,1,x", std::nullopt},
             Case{"a.ts,,2", std::nullopt},
             Case{"", std::nullopt},
         }) {
        EXPECT_EQ(parse_segment_line(c.line), c.segment) << c.line;
    }
    const auto nan_end = parse_segment_line("a.ts,1,nan");
    ASSERT_TRUE(nan_end);
    EXPECT_EQ(nan_end->duration, 0.0);
}

TEST(RingList, LinesJunkAndCarriageReturns) {
    EXPECT_EQ(parse_ring_list("a.ts,0,1\r\njunk\r\n\r\nb.ts,1,2.5\nc.ts,2.5,3"),
              (std::vector<Segment>{{"a.ts", 1.0, 1.0}, {"b.ts", 1.5, 2.5}, {"c.ts", 0.5, 3.0}}));
    // A carriage return not followed by a line feed belongs to the last field.
    EXPECT_EQ(parse_ring_list("a.ts,0,1\r"), std::vector<Segment>{});
    EXPECT_EQ(parse_ring_list(""), std::vector<Segment>{});
    EXPECT_EQ(parse_ring_list("\n\n"), std::vector<Segment>{});
}

std::vector<Segment> seconds(int count) {
    std::vector<Segment> list;
    for (int i = 0; i < count; ++i) list.push_back({"s" + std::to_string(i), 1.0, i + 1.0});
    return list;
}

TEST(RingList, ChoosingTheNewest) {
    struct Case {
        std::vector<Segment> listed;
        std::uint32_t replay_seconds;
        std::size_t chosen;
    };
    std::vector<Segment> uneven{{"a", 0.4, 1}, {"b", 2.0, 2}, {"c", 0.0, 3}, {"d", 0.6, 4}};
    for (const Case& c : {
             Case{seconds(32), 30, 30},  // the walk stops when the sum equals the length
             Case{seconds(30), 30, 30},
             Case{seconds(12), 30, 12},  // fewer than asked: all of them
             Case{seconds(1), 5, 1},
             Case{uneven, 2, 3},         // 0.6 + 0 + 2.0 reaches 2; the zero-length one stays
             Case{uneven, 3, 4},
         }) {
        const auto chosen = choose_segments(c.listed, c.replay_seconds);
        ASSERT_EQ(chosen.size(), c.chosen);
        EXPECT_TRUE(std::equal(chosen.begin(), chosen.end(), c.listed.end() - static_cast<long>(c.chosen)));
    }
}

TEST(ConcatList, LinesAreQuotedAndBackslashesKept) {
    EXPECT_EQ(concat_list_line("/tmp/it's", "seg_00001.ts"), "file '/tmp/it'\\''s/seg_00001.ts'\n");
    EXPECT_EQ(concat_list_line("/tmp/ring", "seg_00002.ts"), "file '/tmp/ring/seg_00002.ts'\n");
    EXPECT_EQ(concat_list_line("/tmp/a\\b", "x.ts"), "file '/tmp/a\\b/x.ts'\n");
    EXPECT_EQ(concat_list_line("/tmp/ring", "/elsewhere/x.ts"), "file '/elsewhere/x.ts'\n");
    EXPECT_EQ(concat_list_line("/tmp/r\xff", "x.ts"), "file '/tmp/r\xef\xbf\xbd/x.ts'\n");
}

// Each segment lies its listed length after the one before; one listed with no length keeps
// its own.
TEST(ConcatList, EntriesGiveTheListedLength) {
    EXPECT_EQ(concat_list_entry("/tmp/ring", Segment{"seg_00002.ts", 1.0, 31.0}),
              "file '/tmp/ring/seg_00002.ts'\nduration 1.000000\n");
    EXPECT_EQ(concat_list_entry("/tmp/ring", Segment{"seg_00003.ts", 0.9833333, 32.0}),
              "file '/tmp/ring/seg_00003.ts'\nduration 0.983333\n");
    EXPECT_EQ(concat_list_entry("/tmp/ring", Segment{"seg_00004.ts", 0.0, 30.0}), "file '/tmp/ring/seg_00004.ts'\n");
    EXPECT_EQ(concat_list_entry("/tmp/ring", Segment{"seg_00005.ts", 1e300, 1e300}), "file '/tmp/ring/seg_00005.ts'\n");
}

// A library that sets the process's numeric locale (one with a decimal comma) must not change
// what the demuxer reads: the lengths keep their point. The locale is compiled for the test.
TEST(ConcatList, LengthsKeepTheirPointWhateverTheLocale) {
    test::TempDir locales;
    Command compile("localedef", {"-i", "de_DE", "-f", "UTF-8", (locales / "de_DE.UTF-8").string()});
    compile.stdin_mode = Stdio::null_device;
    const auto compiled = Process::output(std::move(compile));
    ASSERT_TRUE(compiled && compiled->status.success()) << (compiled ? compiled->stderr_bytes : "cannot run localedef");
    test::ScopedEnv path{{"LOCPATH", locales.path().string()}};
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    char comma[16];
    std::snprintf(comma, sizeof comma, "%.1f", 0.5);
    const std::string entry = concat_list_entry("/tmp/ring", Segment{"seg_00003.ts", 0.9833333, 32.0});
    std::setlocale(LC_NUMERIC, "C");
    ASSERT_STREQ(comma, "0,5") << "the locale has a decimal comma";
    EXPECT_EQ(entry, "file '/tmp/ring/seg_00003.ts'\nduration 0.983333\n");
}

TEST(JoinCommand, TrackTitlesAndArguments) {
    EXPECT_EQ(track_metadata_args({}), std::vector<std::string>{});
    EXPECT_EQ(track_metadata_args({"Mic", "Desktop"}),
              (std::vector<std::string>{"-metadata:s:a:0", "title=Mic", "-metadata:s:a:0", "handler_name=Mic",
                                        "-metadata:s:a:1", "title=Desktop", "-metadata:s:a:1",
                                        "handler_name=Desktop"}));
    EXPECT_EQ(join_args("/r/save.txt", {"a=b"}, "/c/Clip x.mp4"),
              (std::vector<std::string>{"-f", "concat", "-safe", "0", "-i", "/r/save.txt", "-map", "0", "-c",
                                        "copy", "-movflags", "+faststart", "-metadata:s:a:0", "title=a=b",
                                        "-metadata:s:a:0", "handler_name=a=b", "/c/Clip x.mp4"}));
    // Relative paths that ffmpeg would read as an option or a protocol; bytes stay bytes.
    const auto args = join_args("-r/save.txt", {}, "http://h:1/\xff/Clip x.mp4");
    EXPECT_EQ(args[5], "./-r/save.txt");
    EXPECT_EQ(args.back(), "./http://h:1/\xff/Clip x.mp4");
}

TEST(ClipName, LocalTimeFollowsTz) {
    const std::time_t when = 1709647629;  // 2024-03-05 14:07:09 UTC
    struct Case {
        const char* tz;
        const char* text;
    };
    for (const Case& c : {Case{"UTC0", "2024-03-05 14-07-09"}, Case{"CET-1", "2024-03-05 15-07-09"},
                          Case{"<-10>10", "2024-03-05 04-07-09"}, Case{"<+14>-14", "2024-03-06 04-07-09"}}) {
        test::ScopedEnv env{{"TZ", c.tz}};
        EXPECT_EQ(clip_time_text(when), c.text) << c.tz;
    }
}

TEST(ClipName, CollisionsCountUpThenFail) {
    test::TempDir dir;
    const std::string time = "2024-03-05 14-07-09";
    EXPECT_EQ(free_clip_path(dir.path(), Origin::voice, time), dir / "Voice 2024-03-05 14-07-09.mp4");
    dir.write("Clip 2024-03-05 14-07-09.mp4", "");
    EXPECT_EQ(free_clip_path(dir.path(), Origin::manual, time), dir / "Clip 2024-03-05 14-07-09 (1).mp4");
    dir.write("Clip 2024-03-05 14-07-09 (1).mp4", "");
    std::filesystem::create_directory(dir / "Clip 2024-03-05 14-07-09 (2).mp4");  // any kind of file counts
    EXPECT_EQ(free_clip_path(dir.path(), Origin::manual, time), dir / "Clip 2024-03-05 14-07-09 (3).mp4");
    for (int n = 3; n <= 999; ++n) dir.write("Clip 2024-03-05 14-07-09 (" + std::to_string(n) + ").mp4", "");
    const auto full = free_clip_path(dir.path(), Origin::manual, time);
    ASSERT_FALSE(full);
    EXPECT_EQ(format_engine_error(full.error()), "config: could not find a free clip filename");
    // A dangling link leads nowhere: that name is free.
    std::filesystem::create_symlink(dir / "nowhere", dir / "Auto 2024-03-05 14-07-09.mp4");
    EXPECT_EQ(free_clip_path(dir.path(), Origin::auto_, time), dir / "Auto 2024-03-05 14-07-09.mp4");
}

}  // namespace
}  // namespace vc

namespace vc {
namespace {

// Failures that end a save before any ffmpeg runs.
class SaveFailures : public ::testing::Test {
protected:
    Result<SaveOutcome> save(double newer_than = -inf) {
        return save_replay(ring.path(), clips.path() / "out", 30, newer_than, Origin::manual, {});
    }
    test::TempDir ring;
    test::TempDir clips;
};

std::string error_text(const Result<SaveOutcome>& result) {
    return result ? std::string("(no error)") : format_engine_error(result.error());
}

TEST_F(SaveFailures, ListThatCannotBeRead) {
    std::filesystem::create_directory(ring / "ring.csv");
    EXPECT_EQ(error_text(save()), "reading replay index: Is a directory (os error 21)");
    std::filesystem::remove(ring / "ring.csv");
    ring.write("ring.csv", "seg_00000.ts,0,1\nseg_\xff.ts,1,2\n");
    EXPECT_EQ(error_text(save()), "reading replay index: stream did not contain valid UTF-8");
    EXPECT_FALSE(std::filesystem::exists(ring / "save.txt"));
}

TEST_F(SaveFailures, MissingOrUselessListIsNothingRecorded) {
    EXPECT_EQ(error_text(save()), "nothing recorded yet");  // after the retries
    ring.write("ring.csv", "junk\na.ts,1\nb.ts, 1, 2\r\n");
    EXPECT_EQ(error_text(save()), "nothing recorded yet");
    ring.write("ring.csv", "");
    EXPECT_EQ(error_text(save()), "nothing recorded yet");
    EXPECT_FALSE(std::filesystem::exists(ring / "save.txt"));
}

TEST_F(SaveFailures, NothingNewTouchesNoFile) {
    ring.write("ring.csv", "seg_00000.ts,0,1\nseg_00001.ts,1,2\n");
    for (const double newer_than : {2.0, 5.0, inf}) {
        const auto result = save(newer_than);
        ASSERT_TRUE(result) << error_text(result);
        EXPECT_TRUE(std::holds_alternative<NothingNew>(*result));
    }
    EXPECT_FALSE(std::filesystem::exists(ring / "save.txt"));
    EXPECT_FALSE(std::filesystem::exists(clips / "out"));
}

TEST_F(SaveFailures, ConcatListOrClipsDirectoryCannotBeWritten) {
    ring.write("ring.csv", "seg_00000.ts,0,1\n");
    std::filesystem::create_directory(ring / "save.txt");
    EXPECT_EQ(error_text(save()), "writing concat list: Is a directory (os error 21)");
    std::filesystem::remove(ring / "save.txt");
    clips.write("out", "a regular file where the clips directory goes");
    EXPECT_EQ(error_text(save()), "creating " + (clips / "out").string() + ": File exists (os error 17)");
    EXPECT_EQ(test::read_file(ring / "save.txt"),
              "file '" + (ring / "seg_00000.ts").string() + "'\nduration 1.000000\n");
}

}  // namespace
}  // namespace vc
