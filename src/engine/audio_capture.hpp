// Opening one audio track: the device choice, its default configuration, a running capture
// stream whose worker converts every whole frame into a stereo pair on the track's
// FrameQueue. The audio mixer (thread "audio-mixer") opens each enabled track at every
// recorder start and owns the TrackCapture until it ends. Log target "engine::audio".
#pragma once

#include <cstddef>
#include <vector>

#include "engine/capture_stream.hpp"
#include "engine/error.hpp"
#include "engine/frame_queue.hpp"
#include "engine/settings.hpp"

namespace vc {

// The audio layer's process-wide handle. ALSA needs no session object; this names the
// dependency so open_track's callers say which audio layer they open tracks on.
struct AudioHost {};
AudioHost default_audio_host();

// One opened track, owned by the mixer. `pending`, `ratio` and `pos` are the mixer's
// resampling state; the capture worker only touches `queue`.
struct TrackCapture {
    CaptureStream stream;             // captures while held; releasing joins its worker
    std::vector<StereoPair> pending;  // taken from the queue, not yet used
    double ratio = 1.0;               // device rate / kStreamRate
    double pos = 0.0;                 // fractional read position into `pending`
    SharedFrameQueue queue;
    float volume = 1.0f;
};

// Chooses the track's device, asks it for its default configuration in the track's own
// direction, opens and starts a capture stream with it. Errors (EngineError::Audio):
// "{track} config: {}", "{track}: unsupported sample format {}", "{track}: {}" and
// "{track}: start failed: {}"; a failed open leaves nothing running.
Result<TrackCapture> open_track(const AudioHost& host, const Track& track);

// What a capture callback appends to.
struct CaptureTarget {
    SharedFrameQueue queue;
    std::size_t channels = 0;
};

// The data callbacks, one per supported format. A block of another format breaks an
// invariant of the audio layer and aborts the process.
void capture_f32(const CaptureTarget& target, const SampleBlock& block);
void capture_u8(const CaptureTarget& target, const SampleBlock& block);
void capture_i16(const CaptureTarget& target, const SampleBlock& block);
void capture_u16(const CaptureTarget& target, const SampleBlock& block);
void capture_i32(const CaptureTarget& target, const SampleBlock& block);

using CaptureCallback = void (*)(const CaptureTarget&, const SampleBlock&);

// The data callback for `format`: F32, U8, I32, I16 and U16 have one; any other format fails
// with "{track}: unsupported sample format {}".
Result<CaptureCallback> capture_callback(const std::string& track_name, SampleFormat format);

// WARN "audio stream error: {}" with the track's name as `label`.
void report_stream_error(const std::string& track_name, const std::string& error_text);

}  // namespace vc
