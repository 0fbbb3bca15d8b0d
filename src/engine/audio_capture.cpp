#include "engine/audio_capture.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "engine/audio_devices.hpp"
#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/stream_rate.hpp"

namespace vc {
namespace {

template <typename Sample>
std::span<const Sample> samples_of(const SampleBlock& block, SampleFormat expected) {
    if (block.format != expected) {
        std::fputs("host supplied incorrect sample type\n", stderr);
        std::abort();
    }
    return {static_cast<const Sample*>(block.data), block.samples};
}

}  // namespace

AudioHost default_audio_host() { return {}; }

void capture_f32(const CaptureTarget& target, const SampleBlock& block) {
    push_frames_f32(*target.queue, samples_of<float>(block, SampleFormat::F32), target.channels,
                    std::chrono::steady_clock::now(), block.after_loss);
}
void capture_u8(const CaptureTarget& target, const SampleBlock& block) {
    push_frames_u8(*target.queue, samples_of<std::uint8_t>(block, SampleFormat::U8), target.channels,
                    std::chrono::steady_clock::now(), block.after_loss);
}
void capture_i16(const CaptureTarget& target, const SampleBlock& block) {
    push_frames_i16(*target.queue, samples_of<std::int16_t>(block, SampleFormat::I16), target.channels,
                    std::chrono::steady_clock::now(), block.after_loss);
}
void capture_u16(const CaptureTarget& target, const SampleBlock& block) {
    push_frames_u16(*target.queue, samples_of<std::uint16_t>(block, SampleFormat::U16), target.channels,
                    std::chrono::steady_clock::now(), block.after_loss);
}
void capture_i32(const CaptureTarget& target, const SampleBlock& block) {
    push_frames_i32(*target.queue, samples_of<std::int32_t>(block, SampleFormat::I32), target.channels,
                    std::chrono::steady_clock::now(), block.after_loss);
}

Result<CaptureCallback> capture_callback(const std::string& track_name, SampleFormat format) {
    switch (format) {
        case SampleFormat::F32: return capture_f32;
        case SampleFormat::U8: return capture_u8;
        case SampleFormat::I32: return capture_i32;
        case SampleFormat::I16: return capture_i16;
        case SampleFormat::U16: return capture_u16;
        default: break;
    }
    return audio_error(vc::format("{}: unsupported sample format {}", track_name, sample_format_name(format)));
}

void report_stream_error(const std::string& track_name, const std::string& error_text) {
    VC_WARN("engine::audio", vc::format("audio stream error: {}", error_text), log::field("label", track_name));
}

Result<TrackCapture> open_track(const AudioHost&, const Track& track) {
    const AudioDevice device = choose_track_device(track);
    const auto config = default_stream_config(device.pcm_name, track_direction(track.source));
    if (!config) return audio_error(vc::format("{} config: {}", track.name, config.error()));

    auto queue = std::make_shared<FrameQueue>();
    const auto chosen = capture_callback(track.name, config->format);
    if (!chosen) return std::unexpected(chosen.error());
    const CaptureCallback callback = *chosen;

    // Capture also for an output track: its configuration came from the playback side, and
    // what it plays is read back from the device's capture side.
    CaptureTarget target{queue, config->channels};
    auto stream = CaptureStream::open(
        device.pcm_name, *config, [target, callback](const SampleBlock& block) { callback(target, block); },
        [name = track.name](const std::string& error) { report_stream_error(name, error); });
    if (!stream) return audio_error(vc::format("{}: {}", track.name, stream.error()));
    if (auto started = stream->start(); !started)
        return audio_error(vc::format("{}: start failed: {}", track.name, started.error()));

    VC_INFO("engine::audio", "audio source opened", log::field("label", track.name),
            log::field("device", device_name(device)), log::field("rate", config->rate),
            log::field("channels", config->channels), log::field("fmt", sample_format_name(config->format)));
    return TrackCapture{std::move(*stream), {}, static_cast<double>(config->rate) / kStreamRate, 0.0, std::move(queue),
                        track.volume};
}

}  // namespace vc
