// The stream configuration of an audio device: which sample format, channel count and rate
// the capture of a track runs with. The choice is a pure function over a hardware parameter
// space (HardwareSpace), so every device shape can be tested without a sound card; the thin
// ALSA adapter default_stream_config() opens the device and hands its space to that choice.
// Called on thread "audio-mixer" while it opens its tracks; nothing here keeps state.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <alsa/asoundlib.h>

namespace vc {

enum class SampleFormat : std::uint8_t {
    I8, I16, I24, I32, I64, U8, U16, U24, U32, U64, F32, F64, DsdU8, DsdU16, DsdU32,
};

// "I8" ... "DsdU32": the form in messages and log fields.
std::string_view sample_format_name(SampleFormat format);

struct StreamConfig {
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    SampleFormat format = SampleFormat::F32;

    bool operator==(const StreamConfig&) const = default;
};

enum class StreamDirection : std::uint8_t { Capture, Playback };

// The audio layer's own failures are plain texts; open_track wraps them into EngineError.
template <typename T>
using AlsaResult = std::expected<T, std::string>;

struct ParamBounds {
    std::uint32_t min = 0;
    std::uint32_t max = 0;
};

// What a device accepts before anything is fixed: bounds and membership tests of rates and
// channel counts, and whether one ALSA sample format is accepted.
class HardwareSpace {
public:
    virtual ~HardwareSpace() = default;
    virtual AlsaResult<ParamBounds> rate_bounds() const = 0;
    virtual bool accepts_rate(std::uint32_t rate) const = 0;
    virtual AlsaResult<ParamBounds> channel_bounds() const = 0;
    virtual bool accepts_channels(std::uint32_t channels) const = 0;
    virtual bool accepts_format(snd_pcm_format_t format) const = 0;
};

struct RateRange {
    std::uint32_t min = 0;
    std::uint32_t max = 0;

    bool contains(std::uint32_t rate) const { return min <= rate && rate <= max; }
    bool operator==(const RateRange&) const = default;
};

// One stream shape the device supports.
struct ConfigRange {
    std::uint16_t channels = 0;
    RateRange rates;
    SampleFormat format = SampleFormat::F32;

    bool operator==(const ConfigRange&) const = default;
};

// Rates: one range when the bounds are equal or the device takes min + 1, otherwise the
// standard rates within the bounds that it accepts, each a range of its own.
AlsaResult<std::vector<RateRange>> supported_rates(const HardwareSpace& space);
// Channel counts from the minimum up to the maximum, capped at 64.
AlsaResult<std::vector<std::uint16_t>> supported_channels(const HardwareSpace& space);
// The formats the device accepts in one of their ALSA forms, in probing order.
std::vector<SampleFormat> supported_formats(const HardwareSpace& space);

// Every combination of format, channel count and rate range.
AlsaResult<std::vector<ConfigRange>> supported_configs(const HardwareSpace& space);

// True when `a` is the better default: stereo, then mono, then more channels, then the
// format rank, then a range holding 48000, then one holding 44100, then the higher maximum.
bool better_default(const ConfigRange& a, const ConfigRange& b);

// The best candidate with its rate: 48000 or 44100 when in range, else the range's maximum.
// Fails with "No supported configuration" when the device offers no candidate.
AlsaResult<StreamConfig> choose_default_config(const HardwareSpace& space);

// The ALSA form a capture stream of `format` reads: native byte order. SND_PCM_FORMAT_UNKNOWN
// for formats without one (I64, U64).
snd_pcm_format_t alsa_capture_format(SampleFormat format);

// Opens `pcm_name` non-blocking in `direction`, takes its full parameter space and chooses.
AlsaResult<StreamConfig> default_stream_config(const std::string& pcm_name, StreamDirection direction);

// "{function} failed: {ALSA's description} ({code})": the texts of the audio layer's errors.
std::string alsa_error_text(std::string_view function, int code);

}  // namespace vc
