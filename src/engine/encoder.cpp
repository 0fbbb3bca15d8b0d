#include "engine/encoder.hpp"

#include <array>
#include <cstddef>

namespace vc {
namespace {

constexpr std::array<std::string_view, 7> encoder_names{
    "h264_nvenc", "h264_amf", "h264_qsv", "h264_videotoolbox", "h264_vaapi", "libx264", "libopenh264",
};

}  // namespace

std::string_view encoder_name(Encoder encoder) {
    return encoder_names.at(static_cast<std::size_t>(encoder));
}

std::optional<Encoder> parse_encoder(std::string_view text) {
    for (std::size_t i = 0; i < encoder_names.size(); ++i) {
        if (encoder_names[i] == text) return static_cast<Encoder>(i);
    }
    return std::nullopt;
}

}  // namespace vc
