#include "engine/audio_mixer.hpp"

#include <pthread.h>

#include "engine/audio_capture.hpp"
#include "engine/detector.hpp"
#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/mixer_loop.hpp"
#include "engine/mixer_start.hpp"
#include "engine/voice.hpp"

namespace vc {
namespace {

constexpr std::size_t kVoiceQueueSlots = 5;

// The microphone: the first opened input track.
std::optional<std::size_t> microphone_index(const std::vector<Track>& opened) {
    for (std::size_t i = 0; i < opened.size(); ++i)
        if (opened[i].source == TrackSource::Input) return i;
    return std::nullopt;
}

std::vector<MixTrack> mix_tracks(std::vector<TrackCapture>& captures) {
    std::vector<MixTrack> tracks;
    tracks.reserve(captures.size());
    for (TrackCapture& capture : captures)
        tracks.push_back({capture.queue, ResampleState{capture.ratio, capture.pos, std::move(capture.pending)},
                          capture.volume});
    return tracks;
}

}  // namespace

AudioCapture::AudioCapture(Sender<StdinWriter> writer, std::vector<Track> tracks, StopFlag stop, SharedLevels levels,
                           std::thread thread)
    : writer_(std::move(writer)),
      tracks_(std::move(tracks)),
      stop_(std::move(stop)),
      levels_(std::move(levels)),
      thread_(std::move(thread)) {}

AudioCapture& AudioCapture::operator=(AudioCapture&& other) noexcept {
    if (this != &other) {
        close();
        writer_ = std::move(other.writer_);
        tracks_ = std::move(other.tracks_);
        stop_ = std::move(other.stop_);
        levels_ = std::move(other.levels_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

void AudioCapture::close() {
    if (stop_) stop_->store(true);
    writer_.reset();
    if (thread_.joinable()) thread_.join();
}

void run_audio_mixer(MixerArgs args) {
    pthread_setname_np(pthread_self(), "audio-mixer");
    const AudioHost host = default_audio_host();

    std::vector<TrackCapture> captures;
    std::vector<Track> opened;
    for (const Track& track : args.config.tracks) {
        if (!track.enabled) continue;
        auto capture = open_track(host, track);
        if (!capture) {
            const std::string reason = format_engine_error(capture.error());
            VC_WARN("engine::audio", format("audio track unavailable: {}", reason), log::field("track", track.name));
            args.context.events.send(event::Message{
                format("audio track \"{}\" unavailable, recording without it: {}", track.name, reason)});
            continue;
        }
        captures.push_back(std::move(*capture));
        opened.push_back(track);
    }

    // Declared after the captures: an early return releases the levels first, then the
    // captures, then the arguments.
    auto levels = std::make_shared<AudioLevels>(opened.size());
    const std::optional<std::size_t> microphone = microphone_index(opened);
    // A recorder that gave up on the report has let go of its end; the writer queue then
    // closes too and ends the wait below.
    (void)args.setup.send(AudioSetup{opened, levels});
    args.setup.reset();
    if (captures.empty()) return;

    auto handed = args.writer.recv();
    if (handed.index() != 0) return;  // the recorder let go without handing ffmpeg's input over
    StdinWriter writer = std::move(std::get<0>(handed));

    std::optional<MixerState> mixer;
    mixer.emplace(mix_tracks(captures), std::move(levels), args.context);
    mixer->detector_track = microphone.value_or(0);
    if (args.config.voice.enabled) {
        if (microphone) {
            auto [chunks_tx, chunks_rx] = make_queue<VoiceChunk>(kVoiceQueueSlots);
            VoiceThreadArgs voice_args{VoiceTrigger(args.context), args.context, std::move(chunks_rx),
                                       args.config.voice, voice_language(args.config.voice)};
            // A listener that cannot be started only means every chunk is dropped.
            (void)start_voice_thread(std::move(voice_args));
            mixer->voice = std::move(chunks_tx);
        } else {
            args.context.events.send(event::Message{"voice commands are off: no microphone track could be opened"});
        }
    }
    if (args.config.autoclip.enabled) mixer->detector.emplace(args.config.autoclip, LoudDetector::kTick);

    if (const auto first_tick = start_stream(*mixer, writer, *args.stop))
        (void)run_tick_schedule(*mixer, writer, *args.stop, steady_tick_clock(), *first_tick);

    // The end order matters: the voice listener's queue first, so that it ends by itself;
    // then ffmpeg's standard input, so that ffmpeg sees the end of its audio; then the
    // capture streams, whose workers are joined.
    mixer->voice.reset();
    mixer.reset();
    writer.reset();
    captures.clear();
}

}  // namespace vc
