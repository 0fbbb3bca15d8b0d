// The command line of the segment-ring recorder: the long-running ffmpeg that grabs one
// screen, takes the opened audio tracks from its standard input and keeps a ring of
// one-second MPEG-TS segments with "ring.csv" listing the newest. Built by the recorder start
// (on the thread that starts the engine) and appended to ffmpeg_command's base options.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/ffmpeg.hpp"
#include "engine/screens.hpp"
#include "engine/settings.hpp"

namespace vc {

// Reads fps, quality, replay_seconds and tracks of `config` (the tracks that opened, so the
// audio input matches the sample stream on standard input) and the DISPLAY variable.
std::vector<std::string> ring_args(const Config& config, Encoder encoder,
                                   const std::filesystem::path& ring_dir, const Screen& screen);

}  // namespace vc
