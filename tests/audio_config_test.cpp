#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/audio_capture.hpp"
#include "engine/audio_config.hpp"
#include "engine/audio_devices.hpp"

namespace vc {
namespace {

constexpr std::uint32_t kAnyRate = 4294967295u;

// A device as a table: its rate ranges, accepted channel counts and ALSA formats.
struct TableSpace final : HardwareSpace {
    std::vector<RateRange> rates;
    ParamBounds channels;
    std::set<std::uint32_t> channel_gaps;  // counts within the bounds that are refused
    std::set<snd_pcm_format_t> formats;

    AlsaResult<ParamBounds> rate_bounds() const override {
        ParamBounds b{rates.front().min, rates.front().max};
        for (const auto& r : rates) b = {std::min(b.min, r.min), std::max(b.max, r.max)};
        return b;
    }
    bool accepts_rate(std::uint32_t rate) const override {
        return std::any_of(rates.begin(), rates.end(), [&](const RateRange& r) { return r.contains(rate); });
    }
    AlsaResult<ParamBounds> channel_bounds() const override { return channels; }
    bool accepts_channels(std::uint32_t count) const override {
        return channels.min <= count && count <= channels.max && !channel_gaps.contains(count);
    }
    bool accepts_format(snd_pcm_format_t format) const override { return formats.contains(format); }
};

TableSpace space(std::vector<RateRange> rates, ParamBounds channels, std::set<snd_pcm_format_t> formats,
                 std::set<std::uint32_t> gaps = {}) {
    TableSpace s;
    s.rates = std::move(rates);
    s.channels = channels;
    s.channel_gaps = std::move(gaps);
    s.formats = std::move(formats);
    return s;
}

const std::set<snd_pcm_format_t> kFloat = {SND_PCM_FORMAT_FLOAT_LE};
const std::set<snd_pcm_format_t> kEveryFormat = {
    SND_PCM_FORMAT_S8,        SND_PCM_FORMAT_U8,         SND_PCM_FORMAT_S16_LE,     SND_PCM_FORMAT_U16_LE,
    SND_PCM_FORMAT_S24_LE,    SND_PCM_FORMAT_U24_LE,     SND_PCM_FORMAT_S32_LE,     SND_PCM_FORMAT_U32_LE,
    SND_PCM_FORMAT_FLOAT_LE,  SND_PCM_FORMAT_FLOAT64_LE, SND_PCM_FORMAT_DSD_U8,     SND_PCM_FORMAT_DSD_U16_LE,
    SND_PCM_FORMAT_DSD_U32_LE};

struct ChoiceCase {
    const char* what;
    TableSpace space;
    AlsaResult<StreamConfig> chosen;
};

TEST(DefaultConfig, ChoiceOverParameterSpaces) {
    using F = SampleFormat;
    const auto none = std::unexpected(std::string("No supported configuration"));
    const ChoiceCase cases[] = {
        {"null device: everything", space({{1, kAnyRate}}, {1, 1u << 30}, kEveryFormat), StreamConfig{2, 48000, F::F32}},
        {"S24 and S16 stereo: I24 wins", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S16_LE}),
         StreamConfig{2, 48000, F::I24}},
        {"44100 only", space({{44100, 44100}}, {2, 2}, kFloat), StreamConfig{2, 44100, F::F32}},
        {"continuous range holding 48000", space({{8000, 96000}}, {2, 2}, kFloat), StreamConfig{2, 48000, F::F32}},
        {"continuous range under 44100", space({{8000, 32000}}, {2, 2}, kFloat), StreamConfig{2, 32000, F::F32}},
        {"non-contiguous rates prefer 44100", space({{8000, 8000}, {16000, 16000}, {44100, 44100}, {96000, 96000}}, {2, 2}, kFloat),
         StreamConfig{2, 44100, F::F32}},
        {"non-contiguous rates prefer 48000", space({{44100, 44100}, {48000, 48000}, {96000, 96000}}, {2, 2}, kFloat),
         StreamConfig{2, 48000, F::F32}},
        {"else the highest rate", space({{8000, 8000}, {22050, 22050}, {96000, 96000}}, {2, 2}, kFloat),
         StreamConfig{2, 96000, F::F32}},
        {"only non-standard rates", space({{7000, 7000}, {9000, 9000}}, {2, 2}, kFloat), none},
        {"mono only", space({{48000, 48000}}, {1, 1}, kFloat), StreamConfig{1, 48000, F::F32}},
        {"mono and six: mono", space({{48000, 48000}}, {1, 6}, kFloat, {2, 3, 4, 5}), StreamConfig{1, 48000, F::F32}},
        {"min + 1 accepted: every count", space({{48000, 48000}}, {1, 6}, kFloat, {3, 4, 5}), StreamConfig{2, 48000, F::F32}},
        {"four and six: six", space({{48000, 48000}}, {4, 6}, kFloat, {5}), StreamConfig{6, 48000, F::F32}},
        {"above 64 channels only", space({{48000, 48000}}, {70, 80}, kFloat), none},
        {"no formats", space({{48000, 48000}}, {2, 2}, {}), none},
        {"big-endian form counts", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_S16_BE}), StreamConfig{2, 48000, F::I16}},
        {"F64 over I32", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT64_LE}),
         StreamConfig{2, 48000, F::F64}},
        {"I16 over U16", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_U16_LE, SND_PCM_FORMAT_S16_LE}),
         StreamConfig{2, 48000, F::I16}},
        {"I8 over U8", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_U8, SND_PCM_FORMAT_S8}), StreamConfig{2, 48000, F::I8}},
        {"U8 over DSD", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_U8, SND_PCM_FORMAT_DSD_U32_LE}),
         StreamConfig{2, 48000, F::U8}},
        {"DSD only", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_DSD_U8}), StreamConfig{2, 48000, F::DsdU8}},
        {"24-bit in three bytes is no I24", space({{48000, 48000}}, {2, 2}, {SND_PCM_FORMAT_S24_3LE}), none},
    };
    for (const auto& c : cases) EXPECT_EQ(choose_default_config(c.space), c.chosen) << c.what;
}

TEST(DefaultConfig, ProbingOrderAndStandardRates) {
    const auto every = space({{1, kAnyRate}}, {1, 1u << 30}, kEveryFormat);
    using F = SampleFormat;
    EXPECT_EQ(supported_formats(every), (std::vector<F>{F::I8, F::U8, F::I16, F::U16, F::I24, F::U24, F::I32, F::U32,
                                                        F::F32, F::F64, F::DsdU8, F::DsdU16, F::DsdU32}));
    EXPECT_EQ(supported_channels(every)->size(), 64u);
    EXPECT_EQ(*supported_rates(every), (std::vector<RateRange>{{1, kAnyRate}}));
    // Bounds 5000..200000 with min + 1 refused: the standard rates in between that it takes.
    const auto gapped = space({{5000, 5000}, {5512, 5512}, {48000, 48000}, {192000, 192000}, {200000, 200000}}, {2, 2}, kFloat);
    EXPECT_EQ(*supported_rates(gapped), (std::vector<RateRange>{{5512, 5512}, {48000, 48000}, {192000, 192000}}));
    EXPECT_EQ(supported_configs(gapped)->size(), 3u);
}

TEST(DefaultConfig, OnlyFiveFormatsCanBeCaptured) {
    using F = SampleFormat;
    const F all[] = {F::I8, F::I16, F::I24, F::I32, F::I64, F::U8, F::U16, F::U24,
                     F::U32, F::U64, F::F32, F::F64, F::DsdU8, F::DsdU16, F::DsdU32};
    const std::set<F> capturable = {F::F32, F::U8, F::I32, F::I16, F::U16};
    for (F format : all) {
        const auto callback = capture_callback("Mic", format);
        if (capturable.contains(format)) {
            EXPECT_TRUE(callback) << sample_format_name(format);
        } else {
            ASSERT_FALSE(callback);
            EXPECT_EQ(format_engine_error(callback.error()),
                      "audio: Mic: unsupported sample format " + std::string(sample_format_name(format)));
        }
    }
}

}  // namespace
}  // namespace vc

namespace vc {
namespace {

TEST(DeviceChoice, DisplayNamesAndDirections) {
    using D = DeviceDirections;
    const std::vector<AudioDevice> devices = {
        {"mic_only", "Shared Name\nCapture side", D::CaptureOnly},
        {"hw:CARD=x,DEV=0", "Card, PCM\nDirect hardware device without any conversions", D::Both},
        {"plughw:CARD=x,DEV=0", "Card, PCM\nHardware device with all software conversions", D::Both},
        {"speaker", "Shared Name", D::PlaybackOnly},
        {"bare", std::nullopt, D::Both},
        {"crlf", "Windows\r\nline", D::Both},
        {"lonely_cr", "Ends in\r", D::Both},
    };
    EXPECT_EQ(device_name(devices[4]), "bare");
    EXPECT_EQ(device_name(devices[5]), "Windows");
    EXPECT_EQ(device_name(devices[6]), "Ends in\r");  // no line feed: the whole text
    const struct {
        const char* wanted;
        StreamDirection direction;
        const char* found;  // nullptr: not found
    } cases[] = {
        {"Shared Name", StreamDirection::Capture, "mic_only"},
        {"Shared Name", StreamDirection::Playback, "speaker"},
        {"Card, PCM", StreamDirection::Capture, "hw:CARD=x,DEV=0"},  // the first of equal names
        {"bare", StreamDirection::Playback, "bare"},
        {"Windows", StreamDirection::Capture, "crlf"},
        {"shared name", StreamDirection::Capture, nullptr},
        {"Shared Name ", StreamDirection::Capture, nullptr},
        {"", StreamDirection::Capture, nullptr},
    };
    for (const auto& c : cases) {
        const auto found = find_device(devices, c.wanted, c.direction);
        if (c.found == nullptr) {
            EXPECT_FALSE(found) << c.wanted;
        } else {
            ASSERT_TRUE(found) << c.wanted;
            EXPECT_EQ(found->pcm_name, c.found) << c.wanted;
        }
    }
    EXPECT_EQ(track_direction(TrackSource::Input), StreamDirection::Capture);
    EXPECT_EQ(track_direction(TrackSource::Output), StreamDirection::Playback);
}

}  // namespace
}  // namespace vc
