#include "support/av_sync.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "engine/format.hpp"
#include "engine/process.hpp"
#include "engine/ring_list.hpp"

// Last: Xlib's macros (Status, Bool, ...) would clash with the names above.
#include <X11/Xlib.h>
#include <alsa/asoundlib.h>

namespace vc::test {
namespace {

constexpr unsigned kRate = 48000;
constexpr snd_pcm_uframes_t kPeriod = 480;
constexpr double kHold = 0.050;
constexpr auto kOn = std::chrono::milliseconds(500);
// A picture edge shows in the first frame grabbed after the flash, up to a frame later, and
// two recorders grab on grids of their own. Each flash comes 1/240 s later on the frame grid
// than the one before, so that over a few flashes each recorder's edges fall at every phase
// of its frames, at 30 fps and at 60, and the medians of two recorders hold the same share
// of that frame's delay.
constexpr auto kPhaseStep = std::chrono::microseconds(4167);
constexpr auto kOff = std::chrono::milliseconds(1000) + kPhaseStep;
constexpr auto kWholeClipOff = std::chrono::milliseconds(1500) + kPhaseStep;
constexpr double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
// Eight flashes (sixteen edges) make whole cycles of the frame grid at 30 and at 60 fps.
constexpr FlashSchedule kReferenceSchedule{seconds(kOn + kOff), seconds(kOn), 0};
constexpr FlashSchedule kWholeClipSchedule{seconds(kOn + kWholeClipOff), seconds(kOn), 16};
// A small screen: the picture's edges must survive a busy machine at 60 fps.
constexpr const char* kScreen = "640x360";

// The middle value (the upper one of an even count); `fallback` for none.
double median_of(std::vector<double> values, double fallback) {
    if (values.empty()) return fallback;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Waits for `done` until `limit` has passed; gives its last answer.
template <typename Done>
bool wait_for(Done done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::unexpected<std::string> failure(std::string why) { return std::unexpected(std::move(why)); }

snd_pcm_t* as_pcm(void* pcm) { return static_cast<snd_pcm_t*>(pcm); }

struct Sample {
    double time = 0.0;
    double value = 0.0;
};

// The "pts_time:" and value lines that ffmpeg's metadata printers write, paired up.
std::vector<Sample> read_printed_metadata(const std::string& text, const std::string& key) {
    std::vector<Sample> samples;
    double time = 0.0;
    bool timed = false;  // a time line came before this value line
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (const auto at = line.find("pts_time:"); at != std::string::npos) {
            time = std::strtod(line.c_str() + at + 9, nullptr);
            timed = true;
        } else if (line.rfind(key + "=", 0) == 0 && timed) {
            const std::string value = line.substr(key.size() + 1);
            // astats prints "-inf" for digital silence.
            samples.push_back({time, value.find("inf") != std::string::npos ? -200.0 : std::strtod(value.c_str(), nullptr)});
            timed = false;
        }
    }
    return samples;
}

// The whole seconds of the file's start time: a file stamped with the wall clock starts
// near 1.8e9 s, where the printers' six significant digits say nothing.
long long whole_start_seconds(const std::filesystem::path& file) {
    Command command("ffprobe", {"-v", "error", "-show_entries", "format=start_time", "-of", "csv=p=0", file.string()});
    command.stdin_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output || !output->status.success()) return 0;
    return static_cast<long long>(std::floor(std::strtod(output->stdout_bytes.c_str(), nullptr)));
}

// Runs `filters` over one stream of `file`; the chain ends in a metadata printer.
std::vector<Sample> printed_metadata(const std::filesystem::path& file, const std::string& stream,
                                     const std::string& filter_option, const std::string& filters,
                                     const std::string& key) {
    // -copyts keeps the file's own timestamps, so both streams stay on one timeline; the
    // same whole number of seconds comes off both.
    Command command("ffmpeg", {"-v", "error", "-copyts", "-itsoffset", std::to_string(-whole_start_seconds(file)), "-i",
                               file.string(), "-map", stream, filter_option, filters, "-f", "null", "-"});
    command.stdin_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output || !output->status.success()) return {};
    return read_printed_metadata(output->stdout_bytes, key);
}

std::vector<Edge> debounced_edges(const std::vector<Sample>& samples, double threshold) {
    std::vector<Edge> edges;
    if (samples.empty()) return edges;
    bool state = samples.front().value > threshold;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const bool here = samples[i].value > threshold;
        if (here == state) continue;
        // The new state must hold for kHold before it counts.
        bool holds = true;
        std::size_t j = i;
        for (; j < samples.size() && samples[j].time < samples[i].time + kHold; ++j)
            if ((samples[j].value > threshold) != here) holds = false;
        if (!holds || j == samples.size()) continue;
        edges.push_back({here, samples[i].time});
        state = here;
    }
    return edges;
}

}  // namespace

// A switch lands this long after it is asked for: after the samples already in the
// device's buffer (50 ms) and the period being written.
constexpr auto kSwitchLead = std::chrono::milliseconds(100);
// How many of the device's words of where it plays the switch goes by: half a second's.
constexpr std::size_t kPlayingWords = 50;

PacedTone::PacedTone(const std::string& pcm) {
    snd_pcm_t* handle = nullptr;
    if (snd_pcm_open(&handle, pcm.c_str(), SND_PCM_STREAM_PLAYBACK, 0) < 0)
        throw std::runtime_error("cannot open ALSA playback " + pcm);
    // 50 ms of buffer: the tone reaches the sink soon after it is switched on, and a busy
    // machine does not starve the device between two periods.
    if (snd_pcm_set_params(handle, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, kRate, 1, 50000) < 0) {
        snd_pcm_close(handle);
        throw std::runtime_error("cannot set up ALSA playback " + pcm);
    }
    pcm_ = handle;
    started_ = Clock::now();
    thread_ = std::thread(&PacedTone::play, this);
}

void PacedTone::set(bool on) {
    const double at = std::chrono::duration<double>(Clock::now() + kSwitchLead - started_).count() * kRate;
    std::lock_guard lock(mutex_);
    // The median of what the device said lately: one odd word of its delay (a sound server
    // that reschedules) would put the switch that far off.
    const double lead = median_of({playing_.begin(), playing_.end()}, 0.0);
    next_ = {static_cast<std::uint64_t>(std::max(0.0, std::round(at + lead))), on};
}

PacedTone::~PacedTone() {
    stop_.store(true);
    thread_.join();
    snd_pcm_close(as_pcm(pcm_));
}

void PacedTone::play() {
    std::vector<float> period(kPeriod * 2);
    double phase = 0.0;
    bool on = false;
    std::uint64_t sample = 0;  // the next one to write
    while (!stop_.load()) {
        std::optional<std::pair<std::uint64_t, bool>> next;
        {
            std::lock_guard lock(mutex_);
            next = next_;
        }
        for (snd_pcm_uframes_t i = 0; i < kPeriod; ++i, ++sample) {
            if (next && sample >= next->first) on = next->second;
            const float value = on ? static_cast<float>(0.5 * std::sin(phase)) : 0.0f;
            period[2 * i] = period[2 * i + 1] = value;
            phase = std::fmod(phase + 2.0 * std::numbers::pi * 1000.0 / kRate, 2.0 * std::numbers::pi);
        }
        const snd_pcm_sframes_t written = snd_pcm_writei(as_pcm(pcm_), period.data(), kPeriod);
        if (written < 0 && snd_pcm_recover(as_pcm(pcm_), static_cast<int>(written), 1) < 0) return;
        // What the device plays now: all it was given, less what still waits in its buffer.
        snd_pcm_sframes_t queued = 0;
        if (snd_pcm_delay(as_pcm(pcm_), &queued) < 0 || queued < 0) queued = 0;
        const double playing = static_cast<double>(sample) - static_cast<double>(queued);
        const double time = std::chrono::duration<double>(Clock::now() - started_).count() * kRate;
        std::lock_guard lock(mutex_);
        playing_.push_back(playing - time);
        if (playing_.size() > kPlayingWords) playing_.pop_front();
    }
}

RootFlash::RootFlash(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
    if (!display_) throw std::runtime_error("cannot open display " + display);
    set(false);
}

RootFlash::~RootFlash() { XCloseDisplay(display_); }

void RootFlash::set(bool white) {
    const int screen = DefaultScreen(display_);
    const Window root = RootWindow(display_, screen);
    XSetWindowBackground(display_, root, white ? WhitePixel(display_, screen) : BlackPixel(display_, screen));
    XClearWindow(display_, root);
    XSync(display_, False);
}

void flash_and_beep(PacedTone& tone, RootFlash& flash, int count, Clock::duration on, Clock::duration off,
                    std::stop_token stop) {
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < count && !stop.stop_requested(); ++i) {
        for (const bool state : {true, false}) {
            std::this_thread::sleep_until(next);
            tone.set(state);
            flash.set(state);
            next += state ? on : off;
        }
    }
    std::this_thread::sleep_until(next);
}

MediaEdges find_edges(const std::filesystem::path& file) {
    MediaEdges edges;
    // Mean luma of a small copy of each frame: white is about 235, black 16.
    edges.picture = debounced_edges(
        printed_metadata(file, "0:v:0", "-vf",
                         "scale=64:36,signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-",
                         "lavfi.signalstats.YAVG"), 128.0);
    // RMS level of 5 ms windows: the tone is about -9 dB, silence far below -60. The samples
    // are laid end to end from the stream's first one, as a decoder to WAV, an editor or a
    // player that keeps its clock on the sound lays them: a gap in the stream's times moves
    // every later sound against its picture.
    edges.sound = debounced_edges(printed_metadata(file, "0:a:0", "-af",
                                                   "asetpts=N/SR/TB+STARTPTS,"
                                                   "aformat=channel_layouts=mono,asetnsamples=n=240:p=0,"
                                                   "astats=metadata=1:reset=1,"
                                                   "ametadata=print:key=lavfi.astats.Overall.RMS_level:file=-",
                                                   "lavfi.astats.Overall.RMS_level"),
                                  -30.0);
    return edges;
}

namespace {

struct EdgePair {
    Edge picture, sound;
};

// Each picture edge with the sound edge of the same direction nearest to it, within 0.7 s.
std::vector<EdgePair> paired_edges(const MediaEdges& edges) {
    std::vector<EdgePair> pairs;
    for (const Edge& picture : edges.picture) {
        const Edge* best = nullptr;
        for (const Edge& sound : edges.sound)
            if (sound.rising == picture.rising && std::abs(sound.time - picture.time) <= 0.7 &&
                (!best || std::abs(sound.time - picture.time) < std::abs(best->time - picture.time)))
                best = &sound;
        if (best) pairs.push_back({picture, *best});
    }
    return pairs;
}

}  // namespace

std::vector<double> paired_offsets(const MediaEdges& edges) {
    std::vector<double> offsets;
    for (const EdgePair& pair : paired_edges(edges)) offsets.push_back(pair.sound.time - pair.picture.time);
    return offsets;
}

std::vector<double> scheduled_offsets(const MediaEdges& edges, FlashSchedule schedule) {
    const std::vector<EdgePair> pairs = paired_edges(edges);
    if (pairs.empty()) return {};
    // Each edge's flash on the schedule, counted from the first paired one, and how far its
    // picture edge lies from that flash's place.
    const auto flash_start = [&](const Edge& edge) { return edge.time - (edge.rising ? 0.0 : schedule.on); };
    const double origin = flash_start(pairs.front().picture);
    std::vector<double> places, waits;
    for (const EdgePair& pair : pairs) {
        const double from_origin = flash_start(pair.picture) - origin;
        const double place = origin + std::round(from_origin / schedule.period) * schedule.period +
                             (pair.picture.rising ? 0.0 : schedule.on);
        places.push_back(place);
        waits.push_back(pair.picture.time - place);
    }
    // The wait as it goes along the recording: a line through its means over the first and
    // the last whole cycles of the frame grid, which a timeline that stretches (a gap where
    // two segments meet) tilts; with fewer edges than that, its median.
    const auto mean_of = [&](std::size_t from, std::size_t to, const std::vector<double>& values) {
        double sum = 0.0;
        for (std::size_t i = from; i < to; ++i) sum += values[i];
        return sum / static_cast<double>(to - from);
    };
    const std::size_t n = pairs.size();
    const std::size_t cycle = schedule.cycle_edges;
    std::function<double(double)> wait_at;
    if (cycle > 0 && n > cycle) {
        const double t1 = mean_of(0, cycle, places), w1 = mean_of(0, cycle, waits);
        const double t2 = mean_of(n - cycle, n, places), w2 = mean_of(n - cycle, n, waits);
        wait_at = [=](double t) { return w1 + (w2 - w1) * (t - t1) / (t2 - t1); };
    } else {
        const double median = median_of(waits, NAN);
        wait_at = [=](double) { return median; };
    }
    std::vector<double> offsets;
    for (std::size_t i = 0; i < n; ++i) offsets.push_back(pairs[i].sound.time - (places[i] + wait_at(places[i])));
    return offsets;
}

double EdgeOffsets::median() const { return median_of(each, NAN); }

std::string EdgeOffsets::text() const {
    const auto list = [](const std::vector<double>& values) {
        std::string out;
        char number[32];
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::snprintf(number, sizeof number, i == 0 ? "%+.1f" : " %+.1f", values[i] * 1e3);
            out += number;
        }
        return out;
    };
    char median_text[32];
    std::snprintf(median_text, sizeof median_text, "%+.1f", median() * 1e3);
    return std::string(median_text) + " (" + list(each) + ") ms; frame by frame (" + list(raw) + ") ms";
}

namespace {

// The edges of `file` edge by edge, once at least `min_pairs` pair up.
Offset offsets_of(const std::filesystem::path& file, std::size_t min_pairs, const char* what, FlashSchedule schedule) {
    const auto edges = find_edges(file);
    EdgeOffsets offsets{scheduled_offsets(edges, schedule), paired_offsets(edges)};
    if (offsets.each.size() < min_pairs)
        return failure(format("{} picture and {} sound edges of {} did not pair up ({})", edges.picture.size(),
                              edges.sound.size(), what, file));
    return offsets;
}

}  // namespace

SyncRig::SyncRig()
    : xvfb_(std::string(kScreen) + "x24"),
      env_{{"HOME", home_.path().string()},
           {"XDG_CACHE_HOME", std::nullopt},
           {"XDG_CONFIG_HOME", std::nullopt},
           {"DISPLAY", xvfb_.display()},
           {"VANTREL_FFMPEG", std::nullopt},
           {"RUST_LOG", "off"}} {
    home_.write(".asoundrc", PulseServer::alsa_config());
    tone_.emplace("vc_desk_play");
    flash_.emplace(xvfb_.display());
}

double SyncRig::newest_listed_end() const {
    const auto list = home_ / ".cache/vantrelclips/ring/ring.csv";
    std::error_code ignored;
    if (!std::filesystem::exists(list, ignored)) return 0.0;
    const auto segments = parse_ring_list(read_file(list));
    return segments.empty() ? 0.0 : segments.back().end;
}

std::expected<Process, std::string> SyncRig::start_alone(const std::filesystem::path& file, int fps, bool alsa) {
    Command command("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-f", "x11grab", "-framerate",
                               std::to_string(fps), "-video_size", kScreen, "-i", xvfb_.display() + "+0,0", "-f",
                               alsa ? "alsa" : "pulse", "-i", alsa ? "vc_desk" : "vsink.monitor", "-copyts", "-map",
                               "0:v", "-map", "1:a", "-c:v",
                               "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-c:a",
                               "pcm_f32le", file.string()});
    command.stdin_mode = Stdio::null_device;
    command.stdout_mode = Stdio::null_device;
    auto ffmpeg = Process::spawn(command);
    if (!ffmpeg) return failure("cannot launch ffmpeg");
    // The file grows once both inputs run and the first packets are muxed.
    const bool running = wait_for(
        [&] {
            std::error_code ignored;
            return std::filesystem::file_size(file, ignored) > 50000 && !ignored;
        },
        std::chrono::seconds(30));
    if (!running) {
        stop_alone(*ffmpeg);
        return failure("ffmpeg alone never wrote its file");
    }
    return std::move(*ffmpeg);
}

void SyncRig::stop_alone(Process& ffmpeg) {
    ffmpeg.kill(SIGINT);
    (void)ffmpeg.wait();
}

Offset SyncRig::reference(int flashes) {
    const auto file = home_ / format("reference-{}.mkv", ++references_);
    auto ffmpeg = start_alone(file, 60);
    if (!ffmpeg) return std::unexpected(ffmpeg.error());
    flash_and_beep(*tone_, *flash_, flashes, kOn, kOff);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last edge reaches the file
    stop_alone(*ffmpeg);
    return offsets_of(file, static_cast<std::size_t>(2 * flashes - 1), "the reference", kReferenceSchedule);
}

std::expected<Engine, std::string> SyncRig::start_engine(std::uint32_t replay_seconds, int fps,
                                                         std::optional<std::string> device) {
    Config config = default_config();
    config.encoder = "libx264";
    config.replay_seconds = replay_seconds;
    config.fps = static_cast<std::uint32_t>(fps);
    config.clips_dir = home_ / "clips";
    config.tracks = {Track{.name = "Desk", .source = TrackSource::Input, .device = std::move(device)}};
    engine_started_ = Clock::now();
    auto spawned = spawn_engine(config, probes_);
    if (!spawned) return std::unexpected(format_engine_error(spawned.error()));
    if (!wait_for([&] { return newest_listed_end() >= 2.0; }, std::chrono::seconds(30)))
        return std::unexpected("the ring never listed two segments");
    return std::move(*spawned);
}

std::expected<ClipInfo, std::string> SyncRig::save_when_listed(Engine& engine, double seconds) {
    if (!wait_for([&] { return newest_listed_end() >= seconds; }, std::chrono::seconds(60)))
        return failure("the ring stopped growing");
    engine.commands.send(command::Save{std::chrono::nanoseconds(0), Origin::manual});
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (;;) {
        auto received = engine.events.recv_until(deadline);
        auto* event = std::get_if<EngineEvent>(&received);
        if (!event) return failure("no clip within 60 s");
        if (auto* saved = std::get_if<event::ClipSaved>(event)) return saved->clip;
        if (auto* message = std::get_if<event::Message>(event)) std::printf("engine message: %s\n", message->text.c_str());
    }
}

std::expected<SyncRig::WholeClip, std::string> SyncRig::whole_clip(Engine& engine, std::uint32_t replay_seconds,
                                                                  int fps) {
    const auto file = home_ / format("alone-{}.mkv", ++references_);
    const auto alsa_file = home_ / format("alone-alsa-{}.mkv", references_);
    auto alone = start_alone(file, fps);
    if (!alone) return std::unexpected(alone.error());
    auto alone_alsa = start_alone(alsa_file, fps, true);
    if (!alone_alsa) {
        stop_alone(*alone);
        return std::unexpected(alone_alsa.error());
    }
    // Flashes until the clip is saved; the clip is the newest `replay_seconds` once the ring
    // lists two more than that since they began, so they run through all of it.
    const double began = std::chrono::duration<double>(Clock::now() - engine_started_).count();
    std::jthread flashing([this](std::stop_token stop) {
        flash_and_beep(*tone_, *flash_, std::numeric_limits<int>::max(), kOn, kWholeClipOff, stop);
    });
    auto clip = save_when_listed(engine, began + replay_seconds + 2.0);
    flashing.request_stop();
    flashing.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last edge reaches ffmpeg alone's file
    stop_alone(*alone);
    stop_alone(*alone_alsa);
    if (!clip) return std::unexpected(clip.error());
    // Two edges a flash; the clip may cut one at either end.
    auto in_clip = offsets_of(clip->path, static_cast<std::size_t>(replay_seconds) - 2, "the clip", kWholeClipSchedule);
    if (!in_clip) return std::unexpected(in_clip.error());
    auto by_alone = offsets_of(file, static_cast<std::size_t>(replay_seconds), "ffmpeg alone", kWholeClipSchedule);
    if (!by_alone) return std::unexpected(by_alone.error());
    auto by_alsa = offsets_of(alsa_file, static_cast<std::size_t>(replay_seconds), "ffmpeg alone on ALSA",
                              kWholeClipSchedule);
    if (!by_alsa) return std::unexpected(by_alsa.error());
    return WholeClip{std::move(*in_clip), std::move(*by_alone), std::move(*by_alsa), std::move(*clip)};
}

std::expected<SyncRig::ToneBreaks, std::string> SyncRig::tone_breaks(std::uint32_t replay_seconds) {
    SteadyTone tone;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the sink plays it before anyone listens
    const auto run = format("tone-{}", ++references_);
    MonitorRecorder witness(MonitorRecorder::Tool::parec, home_ / (run + "-witness.raw"));
    MonitorRecorder alone(MonitorRecorder::Tool::ffmpeg, home_ / (run + "-ffmpeg.raw"));
    auto engine = start_engine(replay_seconds);
    if (!engine) return std::unexpected(engine.error());
    // A whole clip of tone: the engine started after the tone did.
    const auto clip = save_when_listed(*engine, replay_seconds + 1.0);
    engine->commands.send(command::Stop{});
    if (!clip) return std::unexpected(clip.error());
    ToneBreaks breaks{find_breaks(decoded_mono(clip->path)), find_breaks(alone.finish()), find_breaks(witness.finish())};
    for (const Breaks* b : {&breaks.clip, &breaks.ffmpeg_alone, &breaks.witness})
        if (b->seconds < replay_seconds / 2.0)
            return failure("too little tone: clip " + describe(breaks.clip) + "; ffmpeg alone " +
                           describe(breaks.ffmpeg_alone) + "; witness " + describe(breaks.witness));
    return breaks;
}

std::expected<SyncRig::BlockBreaks, std::string> SyncRig::block_tone_breaks(std::chrono::milliseconds block,
                                                                           std::uint32_t replay_seconds) {
    const auto run = format("blocks-{}", ++references_);
    const auto fifo = home_ / (run + ".fifo");
    pulse_.add_pipe_source(run, fifo);
    pulse_.set_default_source(run);
    BlockTone tone(fifo, block);
    MonitorRecorder alone(MonitorRecorder::Tool::ffmpeg, home_ / (run + "-ffmpeg.raw"), run);
    auto engine = start_engine(replay_seconds, 30, std::nullopt);
    if (!engine) return std::unexpected(engine.error());
    // Past the start, where the device's first block and its first gap are lost before its
    // rhythm is known.
    const auto clip = save_when_listed(*engine, replay_seconds + 3.0);
    engine->commands.send(command::Stop{});
    if (!clip) return std::unexpected(clip.error());
    BlockBreaks breaks{find_breaks(decoded_mono(clip->path)), find_breaks(alone.finish())};
    for (const Breaks* b : {&breaks.clip, &breaks.ffmpeg_alone})
        if (b->seconds < replay_seconds / 2.0)
            return failure("too little tone: clip " + describe(breaks.clip) + "; ffmpeg alone " +
                           describe(breaks.ffmpeg_alone));
    return breaks;
}

}  // namespace vc::test
