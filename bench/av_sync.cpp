// How far a clip's sound lies behind its picture, judged from the content (a tone and a
// white screen switched together, see tests/support/av_sync.hpp), next to ffmpeg alone on
// the same screen and sound: the first clip of a run, a clip after a long recording, and the
// first clip after a restart (what a screen switch does). Run it on an idle machine and
// beside a load of your own.
//
//   bench_av_sync [minutes before the late clip, default 10]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/av_sync.hpp"

namespace {

void print(const char* what, const vc::test::Offset& offset) {
    if (offset)
        std::printf("  %-34s %+7.1f ms\n", what, *offset * 1e3);
    else
        std::printf("  %-34s no figure: %s\n", what, offset.error().c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    try {
        vc::test::SyncRig rig;
        (void)rig.reference(1);  // warms the display and the sound server up
        std::printf("sound behind picture:\n");
        print("ffmpeg alone", rig.reference(vc::test::SyncRig::kFlashes));
        {
            auto engine = rig.start_engine();
            if (!engine) {
                std::fprintf(stderr, "engine start: %s\n", engine.error().c_str());
                return 1;
            }
            print("first clip", rig.clip_offset(*engine));
            std::this_thread::sleep_for(std::chrono::duration<double>(minutes * 60.0));
            char label[64];
            std::snprintf(label, sizeof label, "clip after %.1f more minutes", minutes);
            print(label, rig.clip_offset(*engine));
        }
        auto engine = rig.start_engine();
        if (!engine) {
            std::fprintf(stderr, "engine restart: %s\n", engine.error().c_str());
            return 1;
        }
        print("first clip after a restart", rig.clip_offset(*engine));
        print("ffmpeg alone, again", rig.reference(vc::test::SyncRig::kFlashes));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
