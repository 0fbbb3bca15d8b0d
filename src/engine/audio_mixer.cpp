#include "engine/audio_mixer.hpp"

#include <pthread.h>

#include <chrono>
#include <thread>

#include "engine/audio_capture.hpp"
#include "engine/detector.hpp"
#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/mixer_tick.hpp"
#include "engine/voice.hpp"

namespace vc {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(10);
constexpr std::size_t kVoiceQueueSlots = 5;

// What the tick loop works on; everything is allocated before the first tick.
struct Mixer {
    std::vector<TrackCapture> tracks;
    std::vector<Block> blocks;
    std::string bytes;
    std::size_t detector_track = 0;
    std::optional<Sender<VoiceChunk>> voice;
    VoiceFeed voice_feed;
    std::optional<LoudDetector> detector;
};

// The microphone: the first opened input track, else the first opened track.
std::size_t microphone_index(const std::vector<Track>& opened, bool* found) {
    for (std::size_t i = 0; i < opened.size(); ++i) {
        if (opened[i].source == TrackSource::Input) {
            *found = true;
            return i;
        }
    }
    *found = false;
    return 0;
}

// Returns false when the mixer must end (a failed write).
bool run_tick(Mixer& mixer, const StdinWriter& writer, const SharedLevels& levels, MixerArgs& args) {
    for (std::size_t t = 0; t < mixer.tracks.size(); ++t) {
        TrackCapture& track = mixer.tracks[t];
        ResampleState state{track.ratio, track.pos, std::move(track.pending)};
        {
            auto locked = track.queue->lock();
            take_pairs(locked.pairs(), state);
        }
        fill_block(state, mixer.blocks[t]);
        apply_volume(mixer.blocks[t], track.volume);
        track.pos = state.pos;
        track.pending = std::move(state.pending);
    }

    interleave(mixer.blocks, mixer.bytes);
    if (auto written = writer.write_all(mixer.bytes); !written) {
        if (!args.stop->load())
            args.context.events.send(event::Message{"audio pipe closed: " + format_os_error(written.error())});
        return false;
    }

    for (std::size_t t = 0; t < mixer.blocks.size(); ++t) levels->set(t, block_level(mixer.blocks[t]));
    if (mixer.detector) mixer.detector->update(levels->get(mixer.detector_track), args.context);

    if (mixer.voice) {
        mixer.voice_feed.add(mixer.blocks[mixer.detector_track]);
        if (mixer.voice_feed.chunk_ready()) mixer.voice->try_send(mixer.voice_feed.take_chunk());
    }
    return true;
}

// Sleeps until `deadline`, resuming after interruptions, checking the stop flag after
// every sleep. Returns false when stopped.
bool sleep_until(Clock::time_point deadline, const StopFlag& stop) {
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(deadline - Clock::now());
        if (stop->load()) return false;
    }
    return true;
}

}  // namespace

AudioCapture::AudioCapture(Sender<StdinWriter> writer, std::vector<Track> tracks, StopFlag stop, SharedLevels levels,
                           std::thread thread)
    : writer_(std::move(writer)),
      tracks_(std::move(tracks)),
      stop_(std::move(stop)),
      levels_(std::move(levels)),
      thread_(std::move(thread)) {}

void AudioCapture::close() {
    if (stop_) stop_->store(true);
    writer_.reset();
    if (thread_.joinable()) thread_.join();
}

void run_audio_mixer(MixerArgs args) {
    pthread_setname_np(pthread_self(), "audio-mixer");
    const AudioHost host = default_audio_host();

    Mixer mixer;
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
        mixer.tracks.push_back(std::move(*capture));
        opened.push_back(track);
    }

    auto levels = std::make_shared<AudioLevels>(opened.size());
    bool has_microphone = false;
    mixer.detector_track = microphone_index(opened, &has_microphone);
    args.setup.send(AudioSetup{opened, levels});
    args.setup.reset();
    if (mixer.tracks.empty()) return;

    auto handed = args.writer.recv();
    if (handed.index() != 0) return;  // the recorder let go without handing ffmpeg's input over
    StdinWriter writer = std::move(std::get<0>(handed));

    if (args.config.voice.enabled) {
        if (has_microphone) {
            auto [chunks_tx, chunks_rx] = make_queue<VoiceChunk>(kVoiceQueueSlots);
            VoiceThreadArgs voice_args{VoiceTrigger(args.context), args.context, std::move(chunks_rx),
                                       args.config.voice, voice_language(args.config.voice)};
            // A listener that cannot be started only means every chunk is dropped.
            (void)start_voice_thread(std::move(voice_args));
            mixer.voice = std::move(chunks_tx);
        } else {
            args.context.events.send(event::Message{"voice commands are off: no microphone track could be opened"});
        }
    }
    if (args.config.autoclip.enabled) mixer.detector.emplace(args.config.autoclip, LoudDetector::kTick);
    mixer.blocks.resize(mixer.tracks.size());
    mixer.bytes.reserve(kBlockFrames * 8 * mixer.tracks.size());

    auto deadline = Clock::now();
    if (!args.stop->load()) {
        for (;;) {
            if (!sleep_until(deadline, args.stop)) break;
            deadline += kTick;
            if (!run_tick(mixer, writer, levels, args)) break;
            if (args.stop->load()) break;
        }
    }
    // The end order matters: the voice listener's queue first, so it ends by itself; then
    // ffmpeg's standard input; then the capture streams.
    mixer.voice.reset();
    writer.reset();
    mixer.tracks.clear();
}

}  // namespace vc
