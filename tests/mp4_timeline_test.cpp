// A clip's picture timeline from its MP4 index, and whether it holds every frame of the
// segments it was joined from.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/mp4_timeline.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

std::string be32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

std::string box(const std::string& type, const std::string& body) {
    return be32(static_cast<std::uint32_t>(8 + body.size())) + type + body;
}

using Runs = std::vector<Mp4Timeline::Run>;

// One track as a muxer writes it: its handler, its timescale (a version 0 or 1 media
// header) and its sample table's frame lengths.
std::string trak(const std::string& handler, std::uint32_t timescale, const Runs& runs, int version = 0) {
    const std::string times = version == 1 ? std::string(16, '\0') : std::string(8, '\0');
    const std::string length = version == 1 ? std::string(8, '\0') : std::string(4, '\0');
    const std::string mdhd = std::string(1, static_cast<char>(version)) + std::string(3, '\0') + times +
                             be32(timescale) + length + std::string(4, '\0');
    const std::string hdlr = std::string(8, '\0') + handler + std::string(12, '\0') + "Name" + '\0';
    std::string stts = std::string(4, '\0') + be32(static_cast<std::uint32_t>(runs.size()));
    for (const auto& run : runs) stts += be32(run.count) + be32(run.delta);
    const std::string stbl = box("stsd", std::string(8, '\0')) + box("stts", stts);
    return box("trak", box("tkhd", std::string(84, '\0')) +
                           box("mdia", box("mdhd", mdhd) + box("hdlr", hdlr) +
                                           box("minf", box("vmhd", std::string(12, '\0')) + box("stbl", stbl))));
}

bool same(const Runs& a, const Runs& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].count != b[i].count || a[i].delta != b[i].delta) return false;
    return true;
}

TEST(Mp4Timeline, FirstVideoTrackOfTheIndex) {
    const Runs video{{1799, 1500}, {1, 1500}};
    const Runs sound{{1406, 1024}};
    struct Case {
        const char* what;
        std::string moov;
        std::optional<std::uint32_t> timescale;  // nullopt: no timeline
    };
    const std::string mvhd = box("mvhd", std::string(100, '\0'));
    const std::string good = trak("vide", 90000, video);
    const Case cases[] = {
        {"video alone", mvhd + good, 90000},
        {"sound first, then video", mvhd + trak("soun", 48000, sound) + good, 90000},
        {"a version 1 media header", mvhd + trak("vide", 15360, video, 1), 15360},
        {"sound alone", mvhd + trak("soun", 48000, sound), std::nullopt},
        {"no frames", mvhd + trak("vide", 90000, {}), std::nullopt},
        {"a timescale of 0", mvhd + trak("vide", 0, video), std::nullopt},
        {"more runs than the table holds", mvhd + good.substr(0, good.size() - 8), std::nullopt},
        {"a box that overruns its parent", mvhd + be32(1 << 30) + "trak", std::nullopt},
        {"nothing", "", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto timeline = parse_moov(c.moov);
        ASSERT_EQ(timeline.has_value(), c.timescale.has_value()) << c.what;
        if (!timeline) continue;
        EXPECT_EQ(timeline->timescale, *c.timescale) << c.what;
        EXPECT_TRUE(same(timeline->runs, video)) << c.what;
    }
}

TEST(Mp4Timeline, ReadFromTheFileWhereverItsIndexLies) {
    test::TempDir dir;
    const std::string moov = box("moov", box("mvhd", std::string(100, '\0')) + trak("vide", 90000, {{60, 1500}}));
    const std::string ftyp = box("ftyp", "isom" + std::string(12, '\0'));
    const std::string mdat = box("mdat", std::string(5000, 'x'));
    // A 64-bit size, as a muxer writes for a large media box.
    const std::string large_mdat = be32(1) + "mdat" + be32(0) + be32(16 + 5000) + std::string(5000, 'x');
    struct Case {
        const char* what;
        std::string bytes;
        bool found;
    };
    const Case cases[] = {
        {"index first (+faststart)", ftyp + moov + mdat, true},
        {"index last", ftyp + mdat + moov, true},
        {"after a 64-bit media box", ftyp + large_mdat + moov, true},
        {"no index", ftyp + mdat, false},
        {"cut short in the index", ftyp + moov.substr(0, moov.size() / 2), false},
        {"an empty file", "", false},
    };
    for (const Case& c : cases) {
        const auto file = dir.write("clip.mp4", c.bytes);
        const auto timeline = read_mp4_timeline(file);
        ASSERT_EQ(timeline.has_value(), c.found) << c.what;
        if (timeline) {
            EXPECT_TRUE(same(timeline->runs, {{60, 1500}})) << c.what;
        }
    }
    EXPECT_FALSE(read_mp4_timeline(dir / "missing.mp4"));
}

// 30 s of segments at 60 fps on a 90 kHz clock: 1500 a frame.
TEST(Mp4Timeline, HoldsEveryFrameOfItsSegments) {
    struct Case {
        const char* what;
        Runs runs;
        double listed;
        bool whole;
    };
    const Case cases[] = {
        {"every frame", {{1800, 1500}}, 30.0, true},
        {"a tick off here and there (rounding)", {{600, 1500}, {1, 1501}, {599, 1500}, {1, 1499}, {599, 1500}}, 30.0, true},
        {"the last frame without a length", {{1799, 1500}, {1, 0}}, 30.0, true},
        {"one frame short at the end", {{1799, 1500}}, 30.0, true},
        {"a frame missing in the middle: a step", {{900, 1500}, {1, 3000}, {898, 1500}}, 30.0, false},
        {"half a second missing in the middle", {{900, 1500}, {1, 46500}, {869, 1500}}, 30.0, false},
        {"the last segment cut short", {{1770, 1500}}, 30.0, false},
        {"two frames short at the end", {{1798, 1500}}, 30.0, false},
        {"no frame at all", {{0, 1500}}, 30.0, false},
        {"frames without a length: nothing to go by", {{1800, 0}}, 30.0, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(holds_every_frame(Mp4Timeline{90000, c.runs}, c.listed), c.whole) << c.what;
}

}  // namespace
}  // namespace vc
