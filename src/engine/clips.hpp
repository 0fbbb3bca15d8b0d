// Clip files: what asked for a clip (Origin), its JSON metadata (ClipMeta) and the record
// the engine reports for a saved clip (ClipInfo). Log target "engine::clips".
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vc {

enum class Origin : std::uint8_t { manual = 0, auto_ = 1, voice = 2, edit = 3 };

// "manual", "auto", "voice", "edit": as written in the metadata file.
std::string_view origin_name(Origin origin);
// "Clip", "Auto", "Voice", "Edit": the clip-name prefix.
std::string_view origin_prefix(Origin origin);

struct ClipMeta {
    double duration_s = 0.0;
    Origin origin = Origin::manual;
    std::optional<std::string> cloud_id;  // always empty in this system: written as null

    bool operator==(const ClipMeta&) const = default;
};

struct ClipInfo {
    std::filesystem::path path;
    std::filesystem::path thumbnail;
    std::optional<ClipMeta> meta;  // empty when the metadata file cannot be read back
    std::chrono::system_clock::time_point created;
    std::uint64_t size = 0;
};

}  // namespace vc
