// The recorder: one long-running ffmpeg that grabs the screen into the ring of one-second
// segments, fed by the audio mixer on its standard input when tracks are recorded. Started
// on the thread that starts the engine (the main thread, which ffmpeg's parent-death signal
// is tied to), then owned by thread "engine" until stop_recorder consumes it. Releasing a
// Recorder without stop_recorder closes its pipe ends and joins the mixer, but neither
// signals nor reaps ffmpeg.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio_mixer.hpp"
#include "engine/clips.hpp"
#include "engine/encoder_probes.hpp"
#include "engine/error.hpp"
#include "engine/ffmpeg.hpp"
#include "engine/messages.hpp"
#include "engine/process.hpp"
#include "engine/settings.hpp"

namespace vc {

// What the previous save that made a clip produced.
struct LastSave {
    ClipInfo clip;
    double newest_end = 0.0;  // ring-list end of its newest segment: the next save's newer_than
};

struct Recorder {
    std::optional<AudioCapture> audio;
    std::vector<std::string> track_names;  // titles of the saved clips' audio streams
    std::filesystem::path ring_dir;
    std::optional<LastSave> last_save;
    Process child;
    std::uint32_t pid = 0;  // also the id of ffmpeg's own process group
    Encoder encoder = Encoder::libx264;
};

// Chooses an encoder (testing the "auto" candidates through `probes`, which remembers their
// outcomes for the run), empties the ring directory, starts the mixer, spawns ffmpeg and
// waits up to 8 s for its first segment list.
[[nodiscard]] Result<Recorder> start_recorder(const Config& config, const RecorderContext& context, EncoderProbes& probes);

// Stop flag, SIGKILL to ffmpeg's group, its standard input closed, reaped, mixer joined.
void stop_recorder(Recorder recorder);

}  // namespace vc
