#include "engine/settings.hpp"

#include "engine/dirs.hpp"

namespace vc {

std::string_view track_source_name(TrackSource source) {
    return source == TrackSource::Output ? "output" : "input";
}

std::string_view track_source_summary(TrackSource source) {
    return source == TrackSource::Output ? "Output" : "Input";
}

Track default_track() {
    return Track{.name = "Microphone", .source = TrackSource::Input, .device = std::nullopt,
                 .enabled = true, .volume = 1.0f};
}

Config default_config() {
    Config config;
    config.clips_dir = default_clips_dir();
    config.tracks.push_back(default_track());
    return config;
}

}  // namespace vc
