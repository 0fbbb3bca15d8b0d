// The clip metadata file (exact bytes, strict reading) and the thumbnail's path and seek.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/clips.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

TEST(Origin, NamesPrefixesAndExactLookup) {
    struct Case {
        Origin origin;
        const char* name;
        const char* prefix;
    };
    for (const Case& c : {Case{Origin::manual, "manual", "Clip"}, Case{Origin::auto_, "auto", "Auto"},
                          Case{Origin::voice, "voice", "Voice"}, Case{Origin::edit, "edit", "Edit"}}) {
        EXPECT_EQ(origin_name(c.origin), c.name);
        EXPECT_EQ(origin_prefix(c.origin), c.prefix);
        EXPECT_EQ(origin_from_name(c.name), c.origin);
    }
    for (const char* refused : {"Manual", "MANUAL", " manual", "manual ", "", "Clip"})
        EXPECT_EQ(origin_from_name(refused), std::nullopt) << refused;
}

TEST(ClipMetaJson, NumbersInShortestRoundTripForm) {
    struct Case {
        double value;
        const char* text;
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : {
             Case{30.0, "30.0"},
             Case{1000.0, "1000.0"},
             Case{29.983333000000002, "29.983333000000002"},
             Case{29.983333, "29.983333"},
             Case{0.0, "0.0"},
             Case{-0.0, "-0.0"},
             Case{0.5, "0.5"},
             Case{-2.25, "-2.25"},
             Case{0.00001, "0.00001"},
             Case{0.000012, "0.000012"},
             Case{0.000001, "1e-6"},
             Case{1.5e-7, "1.5e-7"},
             Case{1e15, "1000000000000000.0"},
             Case{1.5e15, "1500000000000000.0"},
             Case{1e16, "1e+16"},
             Case{1.25e16, "1.25e+16"},
             Case{1.7976931348623157e308, "1.7976931348623157e+308"},
             Case{5e-324, "5e-324"},
             Case{0.1 + 0.2, "0.30000000000000004"},
             Case{inf, "null"},
             Case{-inf, "null"},
             Case{std::nan(""), "null"},
         }) {
        EXPECT_EQ(json_number(c.value), c.text) << c.text;
    }
}

TEST(ClipMetaJson, ExactFileContent) {
    const std::string manual = clip_meta_json({30.0, Origin::manual, std::nullopt});
    EXPECT_EQ(manual, "{\n  \"duration_s\": 30.0,\n  \"origin\": \"manual\",\n  \"cloud_id\": null\n}");
    EXPECT_EQ(manual.size(), 66u);
    EXPECT_EQ(clip_meta_json({std::nan(""), Origin::voice, std::nullopt}),
              "{\n  \"duration_s\": null,\n  \"origin\": \"voice\",\n  \"cloud_id\": null\n}");
    EXPECT_EQ(clip_meta_json({1.5, Origin::auto_, std::string("a\"b\\c\n\x01 é")}),
              "{\n  \"duration_s\": 1.5,\n  \"origin\": \"auto\",\n  \"cloud_id\": "
              "\"a\\\"b\\\\c\\n\\u0001 é\"\n}");
}

TEST(ClipMetaJson, WrittenFileReadsBack) {
    test::TempDir dir;
    const auto clip = dir / "Clip 2024-03-05 14-07-09.mp4";
    const ClipMeta meta{29.983333000000002, Origin::edit, std::string("cloud")};
    ASSERT_TRUE(write_clip_meta(clip, meta));
    EXPECT_EQ(test::read_file(dir / "Clip 2024-03-05 14-07-09.json"), clip_meta_json(meta));
    EXPECT_EQ(read_clip_meta(clip), meta);
    // A second write truncates the first.
    ASSERT_TRUE(write_clip_meta(clip, {1.0, Origin::manual, std::nullopt}));
    EXPECT_EQ(read_clip_meta(clip), (ClipMeta{1.0, Origin::manual, std::nullopt}));
    EXPECT_EQ(read_clip_meta(dir / "missing.mp4"), std::nullopt);
    // A duration that is not finite is written as null, which does not read back.
    ASSERT_TRUE(write_clip_meta(clip, {std::numeric_limits<double>::infinity(), Origin::manual, std::nullopt}));
    EXPECT_EQ(read_clip_meta(clip), std::nullopt);
}

TEST(ClipMetaJson, WriteFailureIsIoWithContext) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "clip.json");
    const auto written = write_clip_meta(dir / "clip.mp4", {});
    ASSERT_FALSE(written);
    ASSERT_TRUE(written.error().is<EngineError::Io>());
    EXPECT_EQ(written.error().as<EngineError::Io>().context, "writing clip metadata");
}

TEST(ClipMetaRead, AcceptsAndRefuses) {
    struct Case {
        const char* text;
        std::optional<ClipMeta> meta;
    };
    const ClipMeta thirty{30.0, Origin::manual, std::nullopt};
    const ClipMeta clouded{2.0, Origin::voice, std::string("id")};
    for (const Case& c : {
             Case{"{\"duration_s\":30,\"origin\":\"manual\",\"cloud_id\":null}", thirty},
             Case{" \t\r\n{\"origin\":\"manual\",\"duration_s\":30.0} \n", thirty},
             Case{"{\"duration_s\":3e1,\"origin\":\"manual\",\"title\":{\"a\":[1,{\"b\":2}]},\"x\":[]}", thirty},
             Case{"{\"duration_s\":2,\"origin\":\"voice\",\"cloud_id\":\"id\"}", clouded},
             Case{"[30, \"manual\", null]", thirty},
             Case{"[2.0,\"voice\",\"id\"]", clouded},
             Case{"{\"duration_s\":-1e-3,\"origin\":\"edit\"}", ClipMeta{-1e-3, Origin::edit, std::nullopt}},
             // refused
             Case{"", std::nullopt},
             Case{"null", std::nullopt},
             Case{"30", std::nullopt},
             Case{"{\"duration_s\":null,\"origin\":\"manual\",\"cloud_id\":null}", std::nullopt},
             Case{"{\"duration_s\":\"30\",\"origin\":\"manual\"}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"Manual\"}", std::nullopt},
             Case{"{\"duration_s\":30}", std::nullopt},
             Case{"{\"origin\":\"manual\"}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\",\"cloud_id\":5}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\",\"duration_s\":31}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\",\"origin\":\"manual\"}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\",\"x\":1,\"x\":2}", std::nullopt},
             Case{"{\"duration_s\":[30],\"origin\":\"manual\"}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\"} x", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\"}{}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\",}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\"}\f", std::nullopt},
             Case{"{\"duration_s\":1e400,\"origin\":\"manual\"}", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"manual\"} // note", std::nullopt},
             Case{"[30,\"manual\"]", std::nullopt},
             Case{"[30,\"manual\",null,1]", std::nullopt},
             Case{"[30,\"manual\",[]]", std::nullopt},
             Case{"[\"manual\",30,null]", std::nullopt},
             Case{"{\"duration_s\":30,\"origin\":\"man\xffual\"}", std::nullopt},
         }) {
        EXPECT_EQ(parse_clip_meta(c.text), c.meta) << c.text;
    }
}

TEST(Thumbnail, PathSeekAndArguments) {
    EXPECT_EQ(thumbnail_path("Clips/Clip 2024-03-05 14-07-09.mp4"),
              std::filesystem::path("Clips/.thumbs/Clip 2024-03-05 14-07-09.jpg"));
    EXPECT_EQ(thumbnail_path("Clip.mp4"), std::filesystem::path("./.thumbs/Clip.jpg"));
    EXPECT_EQ(thumbnail_path("/v/a b/c"), std::filesystem::path("/v/a b/.thumbs/c.jpg"));

    struct Case {
        double duration;
        const char* seek;
    };
    for (const Case& c : {Case{30.0, "3"}, Case{6.0, "3"}, Case{5.0, "2"}, Case{1.5, "0"}, Case{0.0, "0"},
                          Case{3.9, "1"}, Case{std::nan(""), "3"},
                          Case{std::numeric_limits<double>::infinity(), "3"}})
        EXPECT_EQ(thumbnail_seek(c.duration), c.seek) << c.duration;

    EXPECT_EQ(thumbnail_args("/c/Clip 1.mp4", 30.0),
              (std::vector<std::string>{"-skip_frame", "nokey", "-ss", "3", "-i", "/c/Clip 1.mp4", "-frames:v", "1",
                                        "-vf", "scale=480:-2", "-q:v", "4", "-update", "1",
                                        "/c/.thumbs/Clip 1.jpg"}));
    // A clips directory that looks like an option or a protocol; the clip path keeps its bytes.
    EXPECT_EQ(thumbnail_args("-y/Clip 1.mp4", 5.0),
              (std::vector<std::string>{"-skip_frame", "nokey", "-ss", "2", "-i", "./-y/Clip 1.mp4", "-frames:v", "1",
                                        "-vf", "scale=480:-2", "-q:v", "4", "-update", "1",
                                        "./-y/.thumbs/Clip 1.jpg"}));
    const auto args = thumbnail_args("pipe:1/100%d \xff/Clip 1.mp4", 5.0);
    EXPECT_EQ(args[5], "./pipe:1/100%d \xff/Clip 1.mp4");
    EXPECT_EQ(args.back(), "./pipe:1/100%d \xff/.thumbs/Clip 1.jpg");
}

}  // namespace
}  // namespace vc
