#include "cli/hotkey.hpp"

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/format.hpp"

// Last: Xlib defines macros (Status, Bool, None) that clash with ordinary names.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace vc::cli {
namespace {

using Answer = std::expected<void, std::string>;
using namespace std::chrono_literals;

constexpr auto kCycle = 50ms;
// ShiftMask, ControlMask, Mod1Mask, Mod4Mask: Lock (Caps Lock) and Mod2 (Num Lock) are
// ignored when a key event is matched.
constexpr unsigned kMatchedModifiers = 0x4D;
// Each hotkey is grabbed plain, with Num Lock, with Caps Lock, and with both.
constexpr unsigned kLockVariants[] = {0, Mod2Mask, LockMask, Mod2Mask | LockMask};

struct EventQueue {
    Sender<HotkeyEvent> sender;
    Receiver<HotkeyEvent> receiver;
};

// Leaked on purpose: the queue outlives every thread that may still send or poll.
EventQueue& event_queue() {
    static auto* queue = [] {
        auto [sender, receiver] = make_queue<HotkeyEvent>();
        return new EventQueue{std::move(sender), std::move(receiver)};
    }();
    return *queue;
}

// The first X protocol error of the requests made while a trap is set on this thread.
// Xlib reports errors through one process-wide handler, on the thread whose call read
// them, so a thread-local trap finds the hotkey thread that made the request.
struct ErrorTrap {
    bool caught = false;
    unsigned char error_code = 0;
};
thread_local ErrorTrap* current_trap = nullptr;

int on_x_error(Display*, XErrorEvent* error) {
    if (current_trap != nullptr && !current_trap->caught) {
        current_trap->caught = true;
        current_trap->error_code = error->error_code;
    }
    return 0;  // Xlib's own handler would end the process
}

// The server went away. Xlib's default ends the process here; the per-display exit handler
// below returns instead, and the hotkey thread sees the flag and stops using the display.
int on_x_io_error(Display*) { return 0; }

void on_x_io_exit(Display*, void* lost) { *static_cast<bool*>(lost) = true; }

void install_x_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(on_x_error);
        XSetIOErrorHandler(on_x_io_error);
    });
}

class TrapScope {
public:
    explicit TrapScope(ErrorTrap& trap) : previous_(current_trap) { current_trap = &trap; }
    ~TrapScope() { current_trap = previous_; }
    TrapScope(const TrapScope&) = delete;
    TrapScope& operator=(const TrapScope&) = delete;

private:
    ErrorTrap* previous_;
};

std::string x_error_text(Display* display, unsigned char code) {
    char buffer[256] = {};
    XGetErrorText(display, code, buffer, sizeof buffer);
    return buffer;
}

struct Entry {
    std::uint32_t id = 0;
    unsigned mask = 0;
    bool pressed = false;
};

class HotkeyThread {
public:
    HotkeyThread(std::optional<std::string> display_name, Receiver<HotkeyMessage> messages)
        : display_name_(std::move(display_name)), messages_(std::move(messages)), events_(event_queue().sender) {}

    ~HotkeyThread() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    HotkeyThread(const HotkeyThread&) = delete;
    HotkeyThread& operator=(const HotkeyThread&) = delete;

    void run() {
        failure_ = set_up();
        for (;;) {
            if (!failure_.empty()) {
                // Nothing to poll: answer messages as they come until told to stop.
                if (!answer(messages_.recv())) return;
                continue;
            }
            drain_x_events();
            if (!answer(messages_.try_recv())) return;
            std::this_thread::sleep_for(kCycle);
        }
    }

private:
    // Empty on success, else the text every registration fails with.
    std::string set_up() {
        const auto no_connection = [](const std::string& reason) {
            return "Unable to open x11 connection, maybe you are not running under X11? Other window systems on "
                   "Linux are not supported by `global-hotkey` crate: " +
                   reason;
        };
        if (!display_name_) return no_connection("the DISPLAY environment variable is not set");
        display_ = XOpenDisplay(display_name_->c_str());
        if (display_ == nullptr) return no_connection(vc::format("cannot open display \"{}\"", *display_name_));
        XSetIOErrorExitHandler(display_, on_x_io_exit, &connection_lost_);
        root_ = DefaultRootWindow(display_);

        int opcode = 0, event_base = 0, error_base = 0;
        if (!XQueryExtension(display_, "XKEYBOARD", &opcode, &event_base, &error_base))
            return "Unable to send xkb_use_extension request to x11 server: the X server has no XKEYBOARD extension";
        ErrorTrap trap;
        {
            TrapScope scope(trap);
            int major = 1, minor = 0;
            if (!XkbQueryExtension(display_, &opcode, &event_base, &error_base, &major, &minor))
                return "xkb_use_extension request to x11 server has failed: the X server does not grant XKB "
                       "version 1.0";
            Bool supported = False;
            const Bool set = XkbSetDetectableAutoRepeat(display_, True, &supported);
            XSync(display_, False);
            if (trap.caught)
                return "xkb_per_client_flags request to x11 server has failed: " +
                       x_error_text(display_, trap.error_code);
            if (!set || !supported)
                return "xkb_per_client_flags request to x11 server has failed: the X server does not support "
                       "detectable auto-repeat";
        }
        if (connection_lost_) return lost_text();
        return {};
    }

    static std::string lost_text() { return "Unable to register hotkey: the connection to the X server was lost"; }

    void note_lost() {
        if (connection_lost_ && failure_.empty()) failure_ = lost_text();
    }

    void drain_x_events() {
        while (!connection_lost_ && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (connection_lost_) break;
            if (event.type == KeyPress) {
                on_key(event.xkey, HotkeyEventState::Pressed);
            } else if (event.type == KeyRelease) {
                on_key(event.xkey, HotkeyEventState::Released);
            }
        }
        note_lost();
    }

    void on_key(const XKeyEvent& key, HotkeyEventState state) {
        const auto found = table_.find(static_cast<std::uint8_t>(key.keycode));
        if (found == table_.end()) return;
        for (Entry& entry : found->second) {
            if (state == HotkeyEventState::Pressed) {
                if (entry.pressed || entry.mask != (key.state & kMatchedModifiers)) continue;
                entry.pressed = true;
            } else {
                if (!entry.pressed) continue;
                entry.pressed = false;
            }
            events_.send(HotkeyEvent{entry.id, state});  // the queue is never closed
        }
    }

    // False once the thread must end.
    bool answer(Receiver<HotkeyMessage>::Received received) {
        if (std::holds_alternative<RecvError>(received))
            return std::get<RecvError>(received) == RecvError::Empty;  // a vanished listener ends the thread
        auto& message = std::get<0>(received);
        if (std::holds_alternative<hotkey_message::Stop>(message)) return false;
        auto& request = std::get<hotkey_message::Register>(message);
        request.answer.send(failure_.empty() ? register_hotkey(request.hotkey) : std::unexpected(failure_));
        return true;
    }

    Answer register_hotkey(const HotKey& hotkey) {
        const auto fail = [](std::string inner) {
            return std::unexpected("Unable to register hotkey: " + inner);
        };
        const auto keysym = hotkey.key.keysym();
        if (!keysym) return fail(vc::format("Unknown scancode for key: {}", hotkey.key.name()));

        ErrorTrap trap;
        TrapScope scope(trap);
        int min_code = 0, max_code = 0;
        XDisplayKeycodes(display_, &min_code, &max_code);
        int per_code = 0;
        KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_code), max_code - min_code + 1, &per_code);
        if (map == nullptr || trap.caught) {
            if (map != nullptr) XFree(map);
            note_lost();
            if (connection_lost_) return std::unexpected(failure_);
            return fail(trap.caught ? x_error_text(display_, trap.error_code)
                                    : std::string("the keyboard mapping could not be read"));
        }
        std::optional<unsigned> keycode;
        for (int code = min_code; code <= max_code && !keycode; ++code) {
            for (int column = 0; column < per_code; ++column) {
                if (map[(code - min_code) * per_code + column] == *keysym) {
                    keycode = static_cast<unsigned>(code);
                    break;
                }
            }
        }
        XFree(map);
        if (!keycode) return fail(vc::format("Unable to find keycode for key: {}", hotkey.key.name()));

        const unsigned mask = x_modifier_mask(hotkey.mods);
        for (const unsigned extra : kLockVariants) {
            XGrabKey(display_, static_cast<int>(*keycode), mask | extra, root_, False, GrabModeAsync, GrabModeAsync);
            XSync(display_, False);
            note_lost();
            if (connection_lost_) return std::unexpected(failure_);
            if (!trap.caught) continue;
            if (trap.error_code == BadAccess) {
                for (const unsigned variant : kLockVariants)
                    XUngrabKey(display_, static_cast<int>(*keycode), mask | variant, root_);
                XFlush(display_);
                return std::unexpected("HotKey already registered: " + hotkey_debug_text(hotkey));
            }
            return fail(x_error_text(display_, trap.error_code));
        }

        auto& entries = table_[static_cast<std::uint8_t>(*keycode)];
        for (const Entry& entry : entries) {
            if (entry.mask == mask) return std::unexpected("HotKey already registered: " + hotkey_debug_text(hotkey));
        }
        entries.push_back(Entry{hotkey.id, mask, false});
        return {};
    }

    std::optional<std::string> display_name_;
    Receiver<HotkeyMessage> messages_;
    Sender<HotkeyEvent> events_;
    Display* display_ = nullptr;
    Window root_ = 0;
    bool connection_lost_ = false;
    std::string failure_;  // not empty: the facility cannot work, and every registration fails with it
    std::map<std::uint8_t, std::vector<Entry>> table_;
};

}  // namespace

std::optional<HotkeyEvent> poll_hotkey_event() {
    auto received = event_queue().receiver.try_recv();
    if (std::holds_alternative<RecvError>(received)) return std::nullopt;
    return std::get<0>(received);
}

HotkeyListener::HotkeyListener() {
    install_x_handlers();
    // Read here, on the caller's thread: the environment is not safe to read beside setenv.
    std::optional<std::string> display_name;
    if (const char* value = std::getenv("DISPLAY"); value != nullptr && *value != '\0') display_name = value;

    auto [sender, receiver] = make_queue<HotkeyMessage>();
    messages_ = std::move(sender);
    std::thread([display_name = std::move(display_name), receiver = std::move(receiver)]() mutable {
        HotkeyThread(std::move(display_name), std::move(receiver)).run();
    }).detach();
}

HotkeyListener::~HotkeyListener() {
    messages_.send(hotkey_message::Stop{});
}

std::expected<void, std::string> HotkeyListener::register_hotkey(const HotKey& hotkey) {
    auto [answer_sender, answer_receiver] = make_queue<Answer>(1);
    messages_.send(hotkey_message::Register{hotkey, std::move(answer_sender)});
    auto received = answer_receiver.recv();
    if (std::holds_alternative<RecvError>(received))
        return std::unexpected("Unable to register hotkey: the hotkey thread has ended");
    return std::move(std::get<0>(received));
}

}  // namespace vc::cli
