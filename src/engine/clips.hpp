// Clip files: what asked for a clip (Origin), its JSON metadata file (ClipMeta) beside the
// MP4, its JPEG thumbnail in ".thumbs", and the record the engine reports for a saved clip
// (ClipInfo). Everything here runs on thread "engine" inside a save; nothing keeps state.
// Log target "engine::clips".
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"

namespace vc {

enum class Origin : std::uint8_t { manual = 0, auto_ = 1, voice = 2, edit = 3 };

// "manual", "auto", "voice", "edit": as written in the metadata file.
std::string_view origin_name(Origin origin);
// "Clip", "Auto", "Voice", "Edit": the clip-name prefix.
std::string_view origin_prefix(Origin origin);
// The origin whose written name is exactly `name` (case-sensitive).
std::optional<Origin> origin_from_name(std::string_view name);

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

// The metadata file's path: the clip's path with the extension "json".
std::filesystem::path clip_meta_path(const std::filesystem::path& clip);

// A JSON number in the shortest form that reads back as the same double: plain decimals
// for exponents -5..15 ("30.0", "0.00001"), else "1e+16" / "1.5e-7"; "null" when not finite.
std::string json_number(double value);

// The metadata file's exact content: three members, two-blank indent, no final line feed.
std::string clip_meta_json(const ClipMeta& meta);

// Strict reading: an object (any member order, unknown members skipped, no member twice,
// "duration_s" and "origin" required) or an array of the three values; JSON white space
// around it and nothing else.
std::optional<ClipMeta> parse_clip_meta(std::string_view text);

[[nodiscard]] Status write_clip_meta(const std::filesystem::path& clip, const ClipMeta& meta);

// Never fails: a missing, unreadable or malformed file gives nullopt.
std::optional<ClipMeta> read_clip_meta(const std::filesystem::path& clip);

// <clip's directory>/.thumbs/<clip's stem>.jpg; "." stands for a path without a directory.
std::filesystem::path thumbnail_path(const std::filesystem::path& clip);

// The second the thumbnail is taken from: floor(min(duration / 2, 3)), 3 for NaN.
std::string thumbnail_seek(double duration_s);

// The thumbnail's ffmpeg arguments after the shared base options.
std::vector<std::string> thumbnail_args(const std::filesystem::path& clip, double duration_s);

// Writes the metadata file (its failure fails the clip), makes the thumbnail (its failure is
// only a warning), then reads the clip's status and metadata back into a ClipInfo.
[[nodiscard]] Result<ClipInfo> finish_clip(std::filesystem::path clip, ClipMeta meta);

}  // namespace vc
