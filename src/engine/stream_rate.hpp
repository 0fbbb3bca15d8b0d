// The rate of the audio stream the mixer writes to ffmpeg, and so of every clip's sound.
// A device that can run at it is opened at it, which spares the resampling.
#pragma once

#include <cstdint>

namespace vc {

inline constexpr std::uint32_t kStreamRate = 48000;  // Hz

}  // namespace vc
