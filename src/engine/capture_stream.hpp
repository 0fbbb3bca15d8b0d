// CaptureStream: one running ALSA capture stream and its worker thread "cpal_alsa_in". The
// worker waits on the PCM's poll descriptors and a wake-up pipe, reads what the device holds
// (a period, or more after the worker was late) and hands it to the data callback as one
// block; errors go to the error callback.
// Owned by the track capture that opened it (thread "audio-mixer"); releasing it wakes the
// worker, joins it and closes the PCM.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "engine/audio_config.hpp"

namespace vc {

// One block of interleaved samples as the device delivered it, in the stream's format.
struct SampleBlock {
    SampleFormat format;
    const void* data;
    std::size_t samples;  // not frames
    // The device lost audio before this block (it overran, and was started again).
    bool after_loss = false;
};

class CaptureStream {
public:
    using DataCallback = std::function<void(const SampleBlock&)>;
    using ErrorCallback = std::function<void(const std::string&)>;

    // Opens `pcm_name` for capture with `config` (about 10 ms periods, at least 100 ms of
    // buffer) and prepares it; nothing is read until start().
    static AlsaResult<CaptureStream> open(const std::string& pcm_name, const StreamConfig& config,
                                          DataCallback on_data, ErrorCallback on_error);

    // Starts the PCM and the worker.
    AlsaResult<void> start();

    CaptureStream(CaptureStream&&) noexcept;
    CaptureStream& operator=(CaptureStream&&) noexcept;
    ~CaptureStream();

private:
    struct State;
    explicit CaptureStream(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace vc
