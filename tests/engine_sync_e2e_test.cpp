// Sound in step with the picture, judged from what a saved clip shows and plays: a tone and
// a white screen switched on and off together, found again in the clip. The rig has a
// latency of its own (the tone's playback buffer, the sound server, the frame grid), so
// ffmpeg alone records the same screen and sound first, and the engine's clips are held
// against that reference: the first clip of a run, and the first after a restart (what a
// screen switch does).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "support/av_sync.hpp"

namespace vc {
namespace {

// Users notice sound that lies more than about 40 ms away from its picture.
constexpr double kTolerance = 0.040;

TEST(ClipSync, SoundLiesWithItsPictureAtStartAndAfterARestart) {
    test::SyncRig rig;
    // The first grab after the display and the sound server start is skewed for any
    // recorder: warm both up with a run that is not measured.
    (void)rig.reference(1);
    const test::Offset reference = rig.reference(test::SyncRig::kFlashes);
    ASSERT_TRUE(reference) << reference.error();

    std::vector<test::Offset> clips;
    for (int start = 0; start < 2; ++start) {
        auto engine = rig.start_engine();
        ASSERT_TRUE(engine) << engine.error();
        clips.push_back(rig.clip_offset(*engine));
    }
    std::printf("sound behind picture: ffmpeg alone %+.1f ms; first clip %+.1f ms; after a restart %+.1f ms\n",
                *reference * 1e3, clips[0].value_or(NAN) * 1e3, clips[1].value_or(NAN) * 1e3);
    for (const test::Offset& clip : clips) {
        ASSERT_TRUE(clip) << clip.error();
        EXPECT_NEAR(*clip, *reference, kTolerance);
    }
}

}  // namespace
}  // namespace vc
