#include "engine/audio_config.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <memory>
#include <span>

#include "engine/format.hpp"
#include "engine/stream_rate.hpp"

namespace vc {
namespace {

constexpr std::uint32_t kStandardRates[] = {
    5512,    8000,    11025,   12000,    16000,    22050,    24000,    32000,    44100,   48000,
    64000,   88200,   96000,   176400,   192000,   352800,   384000,   705600,   768000,  1411200,
    1536000, 2822400, 3072000, 5644800,  6144000,  11289600, 12288000, 22579200, 24576000,
};

constexpr std::uint32_t kMaxChannels = 64;

struct FormatForms {
    SampleFormat format;
    std::initializer_list<snd_pcm_format_t> alsa;
};

// The probing order; I64 and U64 have no ALSA form and are never offered.
const FormatForms kProbeOrder[] = {
    {SampleFormat::I8, {SND_PCM_FORMAT_S8}},
    {SampleFormat::U8, {SND_PCM_FORMAT_U8}},
    {SampleFormat::I16, {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S16_BE}},
    {SampleFormat::U16, {SND_PCM_FORMAT_U16_LE, SND_PCM_FORMAT_U16_BE}},
    {SampleFormat::I24, {SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S24_BE}},
    {SampleFormat::U24, {SND_PCM_FORMAT_U24_LE, SND_PCM_FORMAT_U24_BE}},
    {SampleFormat::I32, {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S32_BE}},
    {SampleFormat::U32, {SND_PCM_FORMAT_U32_LE, SND_PCM_FORMAT_U32_BE}},
    {SampleFormat::F32, {SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_FLOAT_BE}},
    {SampleFormat::F64, {SND_PCM_FORMAT_FLOAT64_LE, SND_PCM_FORMAT_FLOAT64_BE}},
    {SampleFormat::DsdU8, {SND_PCM_FORMAT_DSD_U8}},
    {SampleFormat::DsdU16, {SND_PCM_FORMAT_DSD_U16_LE, SND_PCM_FORMAT_DSD_U16_BE}},
    {SampleFormat::DsdU32, {SND_PCM_FORMAT_DSD_U32_LE, SND_PCM_FORMAT_DSD_U32_BE}},
};

// Best first.
constexpr SampleFormat kFormatRank[] = {
    SampleFormat::F32, SampleFormat::F64,    SampleFormat::I32,    SampleFormat::U32,
    SampleFormat::I24, SampleFormat::U24,    SampleFormat::I16,    SampleFormat::U16,
    SampleFormat::I64, SampleFormat::U64,    SampleFormat::I8,     SampleFormat::U8,
    SampleFormat::DsdU32, SampleFormat::DsdU16, SampleFormat::DsdU8,
};

// Higher is better.
int format_score(SampleFormat format) {
    const auto found = std::find(std::begin(kFormatRank), std::end(kFormatRank), format);
    return static_cast<int>(std::end(kFormatRank) - found);
}

template <typename T>
int compare(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// <0, 0, >0 as `a` is worse than, as good as, or better than `b`.
int compare_default(const ConfigRange& a, const ConfigRange& b) {
    if (int c = compare(a.channels == 2, b.channels == 2)) return c;
    if (int c = compare(a.channels == 1, b.channels == 1)) return c;
    if (int c = compare(a.channels, b.channels)) return c;
    if (int c = compare(format_score(a.format), format_score(b.format))) return c;
    if (int c = compare(a.rates.contains(kStreamRate), b.rates.contains(kStreamRate))) return c;
    if (int c = compare(a.rates.contains(44100), b.rates.contains(44100))) return c;
    return compare(a.rates.max, b.rates.max);
}

// The parameter space of an opened PCM; owns both the PCM and the parameter block.
class AlsaSpace final : public HardwareSpace {
public:
    AlsaSpace(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) : pcm_(pcm), params_(params) {}
    ~AlsaSpace() override {
        snd_pcm_hw_params_free(params_);
        snd_pcm_close(pcm_);
    }
    AlsaSpace(const AlsaSpace&) = delete;
    AlsaSpace& operator=(const AlsaSpace&) = delete;

    AlsaResult<ParamBounds> rate_bounds() const override {
        ParamBounds bounds;
        int dir = 0;
        if (int err = snd_pcm_hw_params_get_rate_min(params_, &bounds.min, &dir); err < 0)
            return std::unexpected(alsa_error_text("snd_pcm_hw_params_get_rate_min", err));
        if (int err = snd_pcm_hw_params_get_rate_max(params_, &bounds.max, &dir); err < 0)
            return std::unexpected(alsa_error_text("snd_pcm_hw_params_get_rate_max", err));
        return bounds;
    }
    bool accepts_rate(std::uint32_t rate) const override {
        return snd_pcm_hw_params_test_rate(pcm_, params_, rate, 0) == 0;
    }
    AlsaResult<ParamBounds> channel_bounds() const override {
        ParamBounds bounds;
        if (int err = snd_pcm_hw_params_get_channels_min(params_, &bounds.min); err < 0)
            return std::unexpected(alsa_error_text("snd_pcm_hw_params_get_channels_min", err));
        if (int err = snd_pcm_hw_params_get_channels_max(params_, &bounds.max); err < 0)
            return std::unexpected(alsa_error_text("snd_pcm_hw_params_get_channels_max", err));
        return bounds;
    }
    bool accepts_channels(std::uint32_t channels) const override {
        return snd_pcm_hw_params_test_channels(pcm_, params_, channels) == 0;
    }
    bool accepts_format(snd_pcm_format_t format) const override {
        return snd_pcm_hw_params_test_format(pcm_, params_, format) == 0;
    }

private:
    snd_pcm_t* pcm_;
    snd_pcm_hw_params_t* params_;
};

}  // namespace

std::string_view sample_format_name(SampleFormat format) {
    switch (format) {
        case SampleFormat::I8: return "I8";
        case SampleFormat::I16: return "I16";
        case SampleFormat::I24: return "I24";
        case SampleFormat::I32: return "I32";
        case SampleFormat::I64: return "I64";
        case SampleFormat::U8: return "U8";
        case SampleFormat::U16: return "U16";
        case SampleFormat::U24: return "U24";
        case SampleFormat::U32: return "U32";
        case SampleFormat::U64: return "U64";
        case SampleFormat::F32: return "F32";
        case SampleFormat::F64: return "F64";
        case SampleFormat::DsdU8: return "DsdU8";
        case SampleFormat::DsdU16: return "DsdU16";
        case SampleFormat::DsdU32: return "DsdU32";
    }
    return "?";
}

std::string alsa_error_text(std::string_view function, int code) {
    return vc::format("{} failed: {} ({})", function, snd_strerror(code), code);
}

AlsaResult<std::vector<RateRange>> supported_rates(const HardwareSpace& space) {
    const auto bounds = space.rate_bounds();
    if (!bounds) return std::unexpected(bounds.error());
    std::vector<RateRange> ranges;
    if (bounds->min == bounds->max || space.accepts_rate(bounds->min + 1)) {
        ranges.push_back({bounds->min, bounds->max});
        return ranges;
    }
    for (std::uint32_t rate : kStandardRates)
        if (bounds->min <= rate && rate <= bounds->max && space.accepts_rate(rate))
            ranges.push_back({rate, rate});
    return ranges;
}

AlsaResult<std::vector<std::uint16_t>> supported_channels(const HardwareSpace& space) {
    const auto bounds = space.channel_bounds();
    if (!bounds) return std::unexpected(bounds.error());
    const std::uint32_t max = std::min(bounds->max, kMaxChannels);
    const bool every_count = bounds->min == max || space.accepts_channels(bounds->min + 1);
    std::vector<std::uint16_t> counts;
    for (std::uint32_t count = bounds->min; count <= max; ++count)
        if (every_count || space.accepts_channels(count))
            counts.push_back(static_cast<std::uint16_t>(count));
    return counts;
}

std::vector<SampleFormat> supported_formats(const HardwareSpace& space) {
    std::vector<SampleFormat> formats;
    for (const auto& entry : kProbeOrder)
        if (std::any_of(entry.alsa.begin(), entry.alsa.end(),
                        [&](snd_pcm_format_t alsa) { return space.accepts_format(alsa); }))
            formats.push_back(entry.format);
    return formats;
}

AlsaResult<std::vector<ConfigRange>> supported_configs(const HardwareSpace& space) {
    const auto rates = supported_rates(space);
    if (!rates) return std::unexpected(rates.error());
    const auto channels = supported_channels(space);
    if (!channels) return std::unexpected(channels.error());
    std::vector<ConfigRange> configs;
    for (SampleFormat format : supported_formats(space))
        for (std::uint16_t count : *channels)
            for (const RateRange& range : *rates) configs.push_back({count, range, format});
    return configs;
}

bool better_default(const ConfigRange& a, const ConfigRange& b) { return compare_default(a, b) > 0; }

AlsaResult<StreamConfig> choose_default_config(const HardwareSpace& space) {
    const auto configs = supported_configs(space);
    if (!configs) return std::unexpected(configs.error());
    if (configs->empty()) return std::unexpected(std::string("No supported configuration"));
    const ConfigRange* best = &configs->front();
    for (const ConfigRange& candidate : *configs)
        if (compare_default(candidate, *best) >= 0) best = &candidate;
    std::uint32_t rate = best->rates.max;
    if (best->rates.contains(kStreamRate))
        rate = kStreamRate;
    else if (best->rates.contains(44100))
        rate = 44100;
    return StreamConfig{best->channels, rate, best->format};
}

snd_pcm_format_t alsa_capture_format(SampleFormat format) {
    constexpr bool big = std::endian::native == std::endian::big;
    switch (format) {
        case SampleFormat::I8: return SND_PCM_FORMAT_S8;
        case SampleFormat::U8: return SND_PCM_FORMAT_U8;
        case SampleFormat::I16: return big ? SND_PCM_FORMAT_S16_BE : SND_PCM_FORMAT_S16_LE;
        case SampleFormat::U16: return big ? SND_PCM_FORMAT_U16_BE : SND_PCM_FORMAT_U16_LE;
        case SampleFormat::I24: return big ? SND_PCM_FORMAT_S24_BE : SND_PCM_FORMAT_S24_LE;
        case SampleFormat::U24: return big ? SND_PCM_FORMAT_U24_BE : SND_PCM_FORMAT_U24_LE;
        case SampleFormat::I32: return big ? SND_PCM_FORMAT_S32_BE : SND_PCM_FORMAT_S32_LE;
        case SampleFormat::U32: return big ? SND_PCM_FORMAT_U32_BE : SND_PCM_FORMAT_U32_LE;
        case SampleFormat::F32: return big ? SND_PCM_FORMAT_FLOAT_BE : SND_PCM_FORMAT_FLOAT_LE;
        case SampleFormat::F64: return big ? SND_PCM_FORMAT_FLOAT64_BE : SND_PCM_FORMAT_FLOAT64_LE;
        case SampleFormat::DsdU8: return SND_PCM_FORMAT_DSD_U8;
        case SampleFormat::DsdU16: return big ? SND_PCM_FORMAT_DSD_U16_BE : SND_PCM_FORMAT_DSD_U16_LE;
        case SampleFormat::DsdU32: return big ? SND_PCM_FORMAT_DSD_U32_BE : SND_PCM_FORMAT_DSD_U32_LE;
        case SampleFormat::I64:
        case SampleFormat::U64: break;
    }
    return SND_PCM_FORMAT_UNKNOWN;
}

AlsaResult<StreamConfig> default_stream_config(const std::string& pcm_name, StreamDirection direction) {
    const snd_pcm_stream_t stream =
        direction == StreamDirection::Capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    snd_pcm_t* pcm = nullptr;
    if (int err = snd_pcm_open(&pcm, pcm_name.c_str(), stream, SND_PCM_NONBLOCK); err < 0)
        return std::unexpected(alsa_error_text("snd_pcm_open", err));
    snd_pcm_hw_params_t* params = nullptr;
    if (int err = snd_pcm_hw_params_malloc(&params); err < 0) {
        snd_pcm_close(pcm);
        return std::unexpected(alsa_error_text("snd_pcm_hw_params_malloc", err));
    }
    const AlsaSpace space(pcm, params);
    if (int err = snd_pcm_hw_params_any(pcm, params); err < 0)
        return std::unexpected(alsa_error_text("snd_pcm_hw_params_any", err));
    return choose_default_config(space);
}

}  // namespace vc
