// The seven H.264 encoders the system can drive, by name. Apart from ffmpeg.hpp so the
// engine's messages can carry the chosen encoder without the process class.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vc {

// Stored in one byte, in this order; the text form is ffmpeg's encoder name.
enum class Encoder : std::uint8_t {
    h264_nvenc = 0,
    h264_amf = 1,
    h264_qsv = 2,
    h264_videotoolbox = 3,
    h264_vaapi = 4,
    libx264 = 5,
    libopenh264 = 6,
};

std::string_view encoder_name(Encoder encoder);
// The encoder whose name is exactly `text`; "auto" and everything else give nullopt.
std::optional<Encoder> parse_encoder(std::string_view text);

}  // namespace vc
