#include "engine/audio_devices.hpp"

#include <algorithm>
#include <cstdlib>

#include <alsa/asoundlib.h>

#include "engine/format.hpp"
#include "engine/log.hpp"

namespace vc {
namespace {

// A hint value, freed at once; absent when the hint has none.
std::optional<std::string> hint_value(const void* hint, const char* id) {
    char* value = snd_device_name_get_hint(hint, id);
    if (value == nullptr) return std::nullopt;
    std::string text(value);
    std::free(value);
    return text;
}

AlsaResult<std::vector<AudioDevice>> hinted_devices() {
    void** hints = nullptr;
    if (int err = snd_device_name_hint(-1, "pcm", &hints); err < 0)
        return std::unexpected(alsa_error_text("snd_device_name_hint", err));
    std::vector<AudioDevice> devices;
    for (void** hint = hints; *hint != nullptr; ++hint) {
        auto name = hint_value(*hint, "NAME");
        if (!name) continue;
        const auto ioid = hint_value(*hint, "IOID");
        DeviceDirections directions = DeviceDirections::Both;
        if (ioid == "Input")
            directions = DeviceDirections::CaptureOnly;
        else if (ioid == "Output")
            directions = DeviceDirections::PlaybackOnly;
        devices.push_back({std::move(*name), hint_value(*hint, "DESC"), directions});
    }
    snd_device_name_free_hint(hints);
    return devices;
}

// A card's PCM devices, each under its "hw" and "plughw" names.
void add_card_devices(int card, std::vector<AudioDevice>& devices, std::size_t hinted) {
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, vc::format("hw:{}", card).c_str(), 0) < 0) return;
    snd_ctl_card_info_t* card_info = nullptr;
    snd_pcm_info_t* pcm_info = nullptr;
    snd_ctl_card_info_alloca(&card_info);
    snd_pcm_info_alloca(&pcm_info);
    if (snd_ctl_card_info(ctl, card_info) < 0) {
        snd_ctl_close(ctl);
        return;
    }
    const std::string card_id = snd_ctl_card_info_get_id(card_info);
    const std::string card_name = snd_ctl_card_info_get_name(card_info);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        const auto answers = [&](snd_pcm_stream_t stream) {
            snd_pcm_info_set_device(pcm_info, static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(pcm_info, 0);
            snd_pcm_info_set_stream(pcm_info, stream);
            return snd_ctl_pcm_info(ctl, pcm_info) == 0;
        };
        const bool capture = answers(SND_PCM_STREAM_CAPTURE);
        std::string pcm_name = capture ? snd_pcm_info_get_name(pcm_info) : std::string();
        const bool playback = answers(SND_PCM_STREAM_PLAYBACK);
        if (!capture && playback) pcm_name = snd_pcm_info_get_name(pcm_info);
        if (!capture && !playback) continue;
        const DeviceDirections directions = capture && playback ? DeviceDirections::Both
                                            : capture           ? DeviceDirections::CaptureOnly
                                                                : DeviceDirections::PlaybackOnly;
        const std::string first_line = card_name + ", " + pcm_name;
        const std::pair<const char*, const char*> kinds[] = {
            {"hw", "Direct hardware device without any conversions"},
            {"plughw", "Hardware device with all software conversions"},
        };
        for (const auto& [prefix, second_line] : kinds) {
            std::string name = vc::format("{}:CARD={},DEV={}", prefix, card_id, device);
            const auto end = devices.begin() + static_cast<std::ptrdiff_t>(hinted);
            if (std::any_of(devices.begin(), end, [&](const AudioDevice& d) { return d.pcm_name == name; }))
                continue;
            devices.push_back({std::move(name), first_line + "\n" + second_line, directions});
        }
    }
    snd_ctl_close(ctl);
}

}  // namespace

AudioDevice default_audio_device() { return {"default", "Default Audio Device", DeviceDirections::Both}; }

std::string device_name(const AudioDevice& device) {
    if (!device.description) return device.pcm_name;
    std::string_view text = *device.description;
    text = text.substr(0, text.find('\n'));
    if (text.size() != device.description->size() && text.ends_with('\r')) text.remove_suffix(1);
    return std::string(text);
}

StreamDirection track_direction(TrackSource source) {
    return source == TrackSource::Input ? StreamDirection::Capture : StreamDirection::Playback;
}

bool can_stream(const AudioDevice& device, StreamDirection direction) {
    if (device.directions == DeviceDirections::Both) return true;
    return direction == StreamDirection::Capture ? device.directions == DeviceDirections::CaptureOnly
                                                 : device.directions == DeviceDirections::PlaybackOnly;
}

std::optional<AudioDevice> find_device(const std::vector<AudioDevice>& devices, std::string_view wanted,
                                       StreamDirection direction) {
    for (const AudioDevice& device : devices)
        if (can_stream(device, direction) && device_name(device) == wanted) return device;
    return std::nullopt;
}

AlsaResult<std::vector<AudioDevice>> list_audio_devices() {
    auto devices = hinted_devices();
    if (!devices) return devices;
    const std::size_t hinted = devices->size();
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) add_card_devices(card, *devices, hinted);
    return devices;
}

AudioDevice choose_track_device(const Track& track) {
    if (!track.device) return default_audio_device();
    if (const auto devices = list_audio_devices()) {
        if (auto found = find_device(*devices, *track.device, track_direction(track.source))) return *found;
    }
    VC_WARN("engine::audio", vc::format("audio device {} not found, using default", *track.device),
            log::field("label", track.name));
    return default_audio_device();
}

}  // namespace vc
