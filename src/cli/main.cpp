// VantrelClips: a replay recorder for X11 desktops. main() reads top to bottom as the
// start-up order; run_main_loop is the one loop that drives everything afterwards.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/hotkey.hpp"
#include "cli/hotkey_text.hpp"
#include "cli/logging.hpp"
#include "cli/printing.hpp"
#include "engine/engine.hpp"
#include "engine/format.hpp"
#include "engine/screens.hpp"
#include "engine/settings_file.hpp"
#include "engine/voice_pack.hpp"

namespace vc::cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPass = std::chrono::milliseconds(20);
constexpr auto kStopWait = std::chrono::seconds(10);

// The input queue, once the stdin reader runs: fail_and_wait must take its line from there,
// since the reader holds standard input.
Receiver<InputCommand>* g_input = nullptr;

// A standard stream that the program was started without would be taken by the next file
// or pipe we open: the recorder's standard-error pipe would then be read as typed commands,
// or a log line written into the settings file. /dev/null in its place makes a closed input
// read as its end and closed outputs swallow what they get. Must run before anything opens
// a descriptor.
void open_missing_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so `fd` is the lowest free number and the open
        // lands on it. Without /dev/null nothing better can be done: the stream stays closed.
        (void)::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

// Ends the process without static destructors: detached threads (stdin reader, hotkey
// thread, ffmpeg readers, a finishing voice listener) may still be running.
[[noreturn]] void end_process(int status) { ::_exit(status); }

[[noreturn]] void fail_and_wait(const std::string& message) {
    print_error_line("error: " + message);
    print_error_line("Press Enter to close.");
    if (g_input != nullptr) {
        (void)g_input->recv();  // any line, or the end of input
    } else {
        for (;;) {
            char c;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n != 1 || c == '\n') break;  // the line, the end of input, or a read error
        }
    }
    end_process(1);
}

Engine start_engine(const Config& config, EncoderProbes& probes) {
    auto engine = spawn_engine(clone_config(config), probes);
    if (!engine) fail_and_wait(format("could not start recording: {}", format_engine_error(engine.error())));
    return std::move(*engine);
}

// Prints what the engine still says until it has stopped, or has been silent for 10 s.
// True once the engine is known to have stopped (its Stopped event, or its queue closed).
bool stop_engine(Engine& engine) {
    engine.commands.send(command::Stop{});
    for (;;) {
        auto received = engine.events.recv_until(Clock::now() + kStopWait);
        if (received.index() != 0) return std::get<RecvError>(received) == RecvError::Disconnected;
        if (!print_engine_event(std::move(std::get<0>(received)))) return true;
    }
}

// Waits, printing what it says, until the engine has stopped: its recorder must be gone
// before another one may take over the ring directory.
void wait_until_stopped(Engine& engine) {
    for (;;) {
        auto received = engine.events.recv();
        if (received.index() != 0 || !print_engine_event(std::move(std::get<0>(received)))) return;
    }
}

struct Hotkey {
    std::unique_ptr<HotkeyListener> listener;  // present when registered
    std::uint32_t id = 0;
    std::string prompt_label = "Enter";
};

Hotkey register_hotkey(const Config& config) {
    Hotkey hotkey;
    std::string reason;
    auto parsed = hotkey_from_text(config.hotkey);
    if (!parsed) {
        reason = format("{}: {}", config.hotkey, parsed.error());
    } else {
        try {
            hotkey.listener = std::make_unique<HotkeyListener>();
        } catch (const std::system_error& e) {  // the hotkey thread could not be started
            reason = format_os_error(OsError::from_errno(e.code().value()));
            print_line(format("(hotkey unavailable: {})", reason));
            return hotkey;
        }
        if (auto registered = hotkey.listener->register_hotkey(*parsed); registered) {
            hotkey.id = parsed->id;
            hotkey.prompt_label = format("{} or Enter", config.hotkey);
            return hotkey;
        } else {
            reason = registered.error();
        }
        hotkey.listener.reset();
    }
    print_line(format("(hotkey unavailable: {})", reason));
    return hotkey;
}

void print_summary(const Config& config, const std::filesystem::path& settings_path) {
    print_line(format("Settings:  {}", settings_path));
    print_line(format("Clips go to {}", config.clips_dir));
    print_line(format("Keeps the last {} s at {} fps", config.replay_seconds, config.fps));
    for (const Track& track : config.tracks) {
        if (!track.enabled) continue;
        print_line(format("  audio track {} ({}, {})", track.name, track_source_summary(track.source),
                          track.device ? *track.device : std::string("default device")));
    }
}

// The settings are left as they are: the engine simply runs without voice commands.
void print_voice_pack_notice(const Config& config) {
    if (config.voice.enabled && !voice_pack_installed(voice_language(config.voice)))
        print_line("  voice commands are on but the voice pack isn't installed; they will stay off");
}

// The screen switch: the old engine is released only once the new one runs, but its
// recorder must have ended before the new one starts on the same ring directory.
void switch_screen(Engine& engine, Config& config, const std::filesystem::path& settings_path, EncoderProbes& probes,
                   std::uint32_t n) {
    auto screen = find_screen(n - 1);
    if (!screen) {
        print_error_line("error: " + format_engine_error(screen.error()));
        return;
    }
    print_line(format("Switching to {}...", format_screen(*screen)));
    if (!stop_engine(engine)) wait_until_stopped(engine);
    config.display = n - 1;
    if (auto saved = save_config(config, settings_path); !saved)
        print_error_line("warning: could not save settings: " + format_engine_error(saved.error()));
    Engine old = std::move(engine);
    engine = start_engine(config, probes);
    // `old` is released here: it sends Stop again and joins the old engine thread.
}

// Returns the exit status once the program should end.
int run_main_loop(Engine& engine, Config& config, const std::filesystem::path& settings_path, EncoderProbes& probes,
                  Hotkey& hotkey, Receiver<InputCommand>& input) {
    for (;;) {
        if (hotkey.listener) {
            bool pressed = false;
            while (auto event = poll_hotkey_event())
                pressed |= event->id == hotkey.id && event->state == HotkeyEventState::Pressed;
            if (pressed) engine.commands.send(command::Save{std::chrono::nanoseconds(0), Origin::manual});
        }

        auto typed = input.try_recv();
        if (auto* command = std::get_if<InputCommand>(&typed)) {
            if (std::holds_alternative<input::ListScreens>(*command)) {
                print_screens(config.display);
            } else if (std::holds_alternative<input::SaveClip>(*command)) {
                engine.commands.send(command::Save{std::chrono::nanoseconds(0), Origin::manual});
            } else if (auto* to = std::get_if<input::SwitchScreen>(command)) {
                switch_screen(engine, config, settings_path, probes, to->screen);
            } else {
                print_line("Stopping...");
                stop_engine(engine);
                return 0;
            }
        }

        for (;;) {
            auto received = engine.events.try_recv();
            if (received.index() != 0) break;
            if (!print_engine_event(std::move(std::get<0>(received)))) {
                print_line("Recording stopped.");
                return 0;
            }
        }
        std::this_thread::sleep_for(kPass);
    }
}

}  // namespace
}  // namespace vc::cli

int main(int argc, char** argv) {
    using namespace vc;
    using namespace vc::cli;

    open_missing_standard_streams();

    // A write into a closed pipe (ffmpeg's standard input after ffmpeg ended) must fail with
    // an error instead of ending the program; children get the default back (process.hpp).
    ::signal(SIGPIPE, SIG_IGN);

    install_logging();
    print_line("Vantrel Clips 0.0.1 - PRE-ALPHA: very buggy, may not work at all.");
    print_line("");

    const std::filesystem::path settings_path = config_path();
    auto loaded = load_config(settings_path);
    if (!loaded) fail_and_wait(format("could not read settings {}: {}", settings_path, format_engine_error(loaded.error())));
    Config config = std::move(*loaded);

    const auto command_line = parse_command_line(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (!command_line) fail_and_wait(std::string(kUsage));
    if (command_line->display) config.display = *command_line->display;

    if (auto saved = save_config(config, settings_path); !saved)
        print_error_line(format("warning: could not write settings to {}: {}", settings_path,
                                format_engine_error(saved.error())));

    print_summary(config, settings_path);
    print_voice_pack_notice(config);
    print_screens(config.display);

    // Each encoder is tested at most once per run, however often the engine starts again.
    EncoderProbes probes;
    Engine engine = start_engine(config, probes);

    auto [input_tx, input_rx] = make_queue<InputCommand>();
    if (!spawn_stdin_reader(std::move(input_tx)))
        print_error_line("warning: could not read commands from standard input; the hotkey still saves clips");
    g_input = &input_rx;

    Hotkey hotkey = register_hotkey(config);
    print_line("");
    print_line(format("Recording. Press {} to save a clip, d <number> + Enter to switch screens, q + Enter to quit.",
                      hotkey.prompt_label));

    const int status = run_main_loop(engine, config, settings_path, probes, hotkey, input_rx);

    hotkey.listener.reset();
    g_input = nullptr;
    input_rx.reset();
    { Engine released = std::move(engine); }
    end_process(status);
}
