// The settings record: what "config.yaml" holds, with its defaults. The front end owns one
// Config for the whole run; every engine start gets a deep copy, and the recorder start
// makes further copies. A Config is never shared between threads and needs no lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vc {

enum class TrackSource : std::uint8_t { Output = 0, Input = 1 };

// "output" / "input": the only forms read and written in the settings file.
std::string_view track_source_name(TrackSource source);
// "Output" / "Input": the forms of the settings summary.
std::string_view track_source_summary(TrackSource source);

struct Track {
    std::string name;
    TrackSource source = TrackSource::Input;
    std::optional<std::string> device;  // absent: the default device
    bool enabled = true;
    float volume = 1.0f;

    bool operator==(const Track&) const = default;
};

struct AutoClip {
    bool enabled = false;
    float threshold_db = 18.0f;
    std::uint32_t min_duration_ms = 250;
    std::uint32_t cooldown_s = 20;
    std::uint32_t post_roll_s = 5;

    bool operator==(const AutoClip&) const = default;
};

struct Voice {
    bool enabled = false;
    std::vector<std::string> phrases;  // empty: the language's default phrases
    std::string language = "auto";
    float min_confidence = 0.8f;

    bool operator==(const Voice&) const = default;
};

struct Config {
    std::uint32_t replay_seconds = 30;
    std::uint32_t fps = 60;
    std::uint32_t display = 0;  // 0-based; shown to the user 1-based
    std::uint8_t quality = 23;
    std::string encoder = "auto";
    std::filesystem::path clips_dir;  // bytes as the system takes them; may not be UTF-8
    std::vector<Track> tracks;
    std::string hotkey = "Alt+F8";
    AutoClip autoclip;
    Voice voice;

    bool operator==(const Config&) const = default;
};

// The single default track: "Microphone", an input, the default device.
Track default_track();

// Every default; clips_dir from the user's videos directory (reads "user-dirs.dirs" anew).
Config default_config();

// Deep copies. Config is a value type, so these are plain copies; they exist so the places
// that hand a copy to another owner say so.
inline Config clone_config(const Config& config) { return config; }
inline std::vector<Track> clone_tracks(const std::vector<Track>& tracks) { return tracks; }

}  // namespace vc
