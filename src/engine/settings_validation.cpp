#include "engine/settings_validation.hpp"

#include <algorithm>

#include "engine/escaped_text.hpp"
#include "engine/unicode.hpp"

namespace vc {

Status validate_config(const Config& config) {
    if (config.replay_seconds < 5 || config.replay_seconds > 600)
        return config_error("replay_seconds must be 5..=600");
    if (config.fps < 15 || config.fps > 240) return config_error("fps must be 15..=240");
    if (config.quality < 1 || config.quality > 51) return config_error("quality must be 1..=51");

    const auto enabled_tracks =
        std::ranges::count_if(config.tracks, [](const Track& track) { return track.enabled; });
    if (config.autoclip.enabled && enabled_tracks == 0)
        return config_error("autoclip needs at least one audio source");
    if (enabled_tracks > 6) return config_error("at most 6 audio tracks can be recorded at once");

    for (const Track& track : config.tracks) {
        // Written so that NaN fails: every comparison with it is false.
        if (!(track.volume >= 0.0f && track.volume <= 2.0f))
            return config_error("track " + quote_escaped(track.name) + ": volume must be 0..=2");
    }
    for (const Track& track : config.tracks) {
        if (trim_white_space(track.name).empty()) return config_error("every track needs a name");
    }

    const bool has_enabled_input = std::ranges::any_of(config.tracks, [](const Track& track) {
        return track.enabled && track.source == TrackSource::Input;
    });
    if (config.voice.enabled && !has_enabled_input)
        return config_error("voice commands need an enabled input (microphone) track");
    if (!(config.voice.min_confidence >= 0.0f && config.voice.min_confidence <= 1.0f))
        return config_error("voice.min_confidence must be 0..=1");
    return {};
}

}  // namespace vc
