// The ALSA devices a track can name: the device list (name hints, then every card's PCM
// devices), their display names, and the choice of a track's device by display name.
// Used on thread "audio-mixer" when it opens its tracks; log target "engine::audio".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/audio_config.hpp"
#include "engine/settings.hpp"

namespace vc {

enum class DeviceDirections : std::uint8_t { CaptureOnly, PlaybackOnly, Both };

struct AudioDevice {
    std::string pcm_name;                   // what snd_pcm_open takes: "default", "hw:CARD=x,DEV=0"
    std::optional<std::string> description; // one or more lines
    DeviceDirections directions = DeviceDirections::Both;

    bool operator==(const AudioDevice&) const = default;
};

// The device a track without `device` opens.
AudioDevice default_audio_device();

// The first line of the description (without "\n" or "\r\n"), or the PCM name when the
// device has no description. A track's `device` setting is compared with this.
std::string device_name(const AudioDevice& device);

// The direction a track's source needs: capture for a microphone, playback for an output.
StreamDirection track_direction(TrackSource source);

bool can_stream(const AudioDevice& device, StreamDirection direction);

// The first device usable in `direction` whose display name equals `wanted` byte for byte.
std::optional<AudioDevice> find_device(const std::vector<AudioDevice>& devices, std::string_view wanted,
                                       StreamDirection direction);

// Every name hint of the "pcm" interface that has a NAME, then the "hw" and "plughw" names
// of every card's PCM devices that no hint already gave. Fails when the hints cannot be read.
AlsaResult<std::vector<AudioDevice>> list_audio_devices();

// The track's device: the default device without `device`; otherwise the named one, or,
// after the warning "audio device {} not found, using default", the default device.
AudioDevice choose_track_device(const Track& track);

}  // namespace vc
