#include "engine/recorder.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "engine/dirs.hpp"
#include "engine/ffmpeg_stderr.hpp"
#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/ring_args.hpp"
#include "engine/ring_directory.hpp"
#include "engine/ring_files.hpp"
#include "engine/screens.hpp"

namespace vc {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartupWait = std::chrono::seconds(8);
constexpr auto kStartupPoll = std::chrono::milliseconds(50);
constexpr std::string_view kNoVideoNotice =
    "no video captured yet: is the display asleep or the PC locked? Recording starts once the screen is on.";

[[noreturn]] void broken_invariant(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// The audio mixer for one attempt, once it has reported which tracks opened.
Result<std::optional<AudioCapture>> start_audio(const Config& config, const RecorderContext& context) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto [setup_tx, setup_rx] = make_queue<AudioSetup>(1);
    auto [writer_tx, writer_rx] = make_queue<StdinWriter>(1);
    std::thread thread;
    try {
        thread = std::thread(run_audio_mixer, MixerArgs{context, std::move(setup_tx), std::move(writer_rx),
                                                        clone_config(config), stop});
    } catch (const std::system_error& e) {
        return io_error("spawning audio thread", e.code().value());
    }
    auto report = setup_rx.recv();
    if (report.index() != 0) {
        thread.detach();
        return audio_error("audio thread exited during setup");
    }
    AudioSetup setup = std::move(std::get<0>(report));
    std::optional<AudioCapture> capture;
    capture.emplace(std::move(writer_tx), std::move(setup.tracks), std::move(stop), std::move(setup.levels),
                    std::move(thread));
    if (capture->tracks().empty()) capture.reset();  // the mixer said why, and has ended
    return capture;
}

// The first segment list, 8 s passing, or ffmpeg's end (the failure reason).
std::optional<std::string> wait_for_startup(Recorder& recorder, const RecorderContext& context) {
    const auto deadline = Clock::now() + kStartupWait;
    const auto ring_list = join_path(recorder.ring_dir, kRingListName);
    for (;;) {
        if (Clock::now() >= deadline) {
            context.events.send(event::Message{std::string(kNoVideoNotice)});
            return std::nullopt;
        }
        struct stat status {};
        if (::stat(ring_list.c_str(), &status) == 0) return std::nullopt;
        if (auto exited = recorder.child.try_wait()) return format("ffmpeg exited ({}), see log", exited->text());
        std::this_thread::sleep_for(kStartupPoll);
    }
}

// One attempt with an encoder that passed its test (or was named). The error ends the whole
// start; a recorder whose ffmpeg exited during the wait comes back as `failed`.
struct Attempt {
    std::optional<Recorder> recorder;
    std::optional<std::string> failed;
};

Result<Attempt> attempt(const Config& config, const RecorderContext& context, Encoder encoder, const Screen& screen) {
    const RingLocation ring = ring_location();
    const std::filesystem::path& ring_dir = ring.path;
    auto prepared = prepare_ring_dir(ring);
    if (!prepared) return std::unexpected(prepared.error());

    std::optional<AudioCapture> audio;
    if (std::any_of(config.tracks.begin(), config.tracks.end(), [](const Track& t) { return t.enabled; })) {
        auto started = start_audio(config, context);
        if (!started) return std::unexpected(started.error());
        audio = std::move(*started);
    }

    Config command_config = clone_config(config);
    command_config.tracks = audio ? clone_tracks(audio->tracks()) : std::vector<Track>{};
    Command command = ffmpeg_command();
    command.append(ring_args(command_config, encoder, ring_dir, screen));
    command.stdin_mode = audio ? Stdio::pipe : Stdio::null_device;
    command.stdout_mode = Stdio::null_device;
    command.stderr_mode = Stdio::pipe;
    command.new_process_group = true;
    command.pre_exec = kill_with_parent;
    auto child = Process::spawn(command);
    if (!child) {
        audio.reset();
        return io_error(format("launching {}", ffmpeg_path()), child.error());
    }

    const auto pid = static_cast<std::uint32_t>(child->pid());
    FileDescriptor stderr_pipe = child->take_stderr();
    if (!stderr_pipe) broken_invariant("stderr piped");
    try {
        std::thread(read_ffmpeg_stderr, context, std::move(stderr_pipe), pid).detach();
    } catch (const std::system_error& e) {
        // Without its reader nobody would notice ffmpeg's end: this start is given up, and
        // ffmpeg must not go on recording behind the error.
        child->kill_group(SIGKILL);
        (void)child->wait();
        audio.reset();
        return io_error("spawning ffmpeg stderr reader", e.code().value());
    }

    if (audio) {
        FileDescriptor stdin_pipe = child->take_stdin();
        if (!stdin_pipe) broken_invariant("stdin piped");
        // A mixer that has already ended refuses it, and the pipe closes with the message.
        if (auto writer = audio->take_writer()) writer->send(std::move(stdin_pipe));
    }

    std::vector<std::string> track_names;
    for (const Track& track : command_config.tracks)
        if (track.enabled) track_names.push_back(track.name);

    Recorder recorder{std::move(audio), std::move(track_names), ring_dir, std::nullopt,
                      std::move(*child), pid, encoder};
    Attempt result;
    result.failed = wait_for_startup(recorder, context);
    result.recorder = std::move(recorder);
    return result;
}

}  // namespace

Result<Recorder> start_recorder(const Config& config, const RecorderContext& context, EncoderProbes& probes) {
    std::vector<Encoder> candidates;
    const bool automatic = config.encoder == "auto";
    if (automatic) {
        candidates = {Encoder::h264_nvenc, Encoder::h264_vaapi, Encoder::libx264, Encoder::libopenh264};
    } else if (auto named = parse_encoder(config.encoder)) {
        candidates = {*named};
    } else {
        return config_error(format("unknown encoder {}", config.encoder));
    }

    auto screen = find_screen(config.display);
    if (!screen) return std::unexpected(screen.error());

    std::vector<std::string> failures;
    for (Encoder encoder : candidates) {
        if (automatic) {
            if (auto probed = probes.probe(encoder); !probed) {
                VC_DEBUG("engine", format("{} unavailable: {}", encoder_name(encoder), format_engine_error(probed.error())));
                continue;
            }
        }
        auto tried = attempt(config, context, encoder, *screen);
        if (!tried) return std::unexpected(tried.error());
        if (!tried->failed) return std::move(*tried->recorder);
        VC_WARN("engine", format("could not record: {}", *tried->failed),
                log::field("encoder", std::string(encoder_name(encoder))));
        failures.push_back(format("{}: {}", encoder_name(encoder), *tried->failed));
        stop_recorder(std::move(*tried->recorder));
    }
    if (failures.empty()) return config_error("no working H.264 encoder found (is ffmpeg installed?)");
    std::string joined;
    for (std::size_t i = 0; i < failures.size(); ++i) joined += (i ? "; " : "") + failures[i];
    return config_error(format("no encoder could record ({})", joined));
}

void stop_recorder(Recorder recorder) {
    // The stop flag first: the write that fails once ffmpeg is gone is then not reported.
    if (recorder.audio) recorder.audio->request_stop();
    recorder.child.kill_group(SIGKILL);
    recorder.child.close_stdin();
    (void)recorder.child.wait();
    recorder.audio.reset();
}

}  // namespace vc
