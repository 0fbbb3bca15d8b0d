// Sound in step with the picture, judged from what a saved clip shows and plays: a tone and
// a white screen switched on and off together, found again in the clip. The rig has a
// latency of its own (the tone's playback buffer, the sound server, the frame grid), so
// ffmpeg alone records the same screen and sound first, and the engine's clips are held
// against that reference: the first clip of a run, and the first after a restart (what a
// screen switch does).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "support/av_sync.hpp"

namespace vc {
namespace {

// Users notice sound that lies more than about 40 ms away from its picture: every edge must
// lie within 45 ms of where ffmpeg alone puts it, and their median within 40 ms.
constexpr double kEdgeTolerance = 0.045;
constexpr double kMedianTolerance = 0.040;

TEST(ClipSync, SoundLiesWithItsPictureAtStartAndAfterARestart) {
    test::SyncRig rig;
    // The first grab after the display and the sound server start is skewed for any
    // recorder: warm both up with a run that is not measured.
    (void)rig.reference(1);
    const test::Offset reference = rig.reference(test::SyncRig::kFlashes);
    ASSERT_TRUE(reference) << reference.error();
    std::printf("sound behind picture: ffmpeg alone %s\n", reference->text().c_str());

    for (const char* start : {"first clip", "after a restart"}) {
        SCOPED_TRACE(start);
        auto engine = rig.start_engine();
        ASSERT_TRUE(engine) << engine.error();
        const test::Offset clip = rig.clip_offset(*engine);
        ASSERT_TRUE(clip) << clip.error();
        std::printf("sound behind picture: %s %s\n", start, clip->text().c_str());
        for (const double edge : clip->each) EXPECT_NEAR(edge, reference->median(), kEdgeTolerance) << clip->text();
        EXPECT_NEAR(clip->median(), reference->median(), kMedianTolerance) << clip->text();
    }
}

// A steady tone through a whole clip: the clip plays it without a hole or a splice that
// ffmpeg alone on the same monitor, or a witness reading it beside them, does not have too
// (the tone's own player may starve on a busy machine); one more is let pass.
TEST(ClipSync, SteadyToneHasNoBreaksThatFfmpegAloneHasNot) {
    test::SyncRig rig;
    const auto breaks = rig.tone_breaks(20);
    ASSERT_TRUE(breaks) << breaks.error();
    std::printf("clip: %s\nffmpeg alone: %s\nwitness: %s\n", test::describe(breaks->clip).c_str(),
                test::describe(breaks->ffmpeg_alone).c_str(), test::describe(breaks->witness).c_str());
    EXPECT_LE(breaks->clip.count(), std::max(breaks->ffmpeg_alone.count(), breaks->witness.count()) + 1)
        << test::describe(breaks->clip);
}

}  // namespace
}  // namespace vc
