// The global hotkey facility: a thread of its own with its own X11 connection (from
// `DISPLAY`) grabs registered key combinations on the root window and turns each physical
// press and release into a HotkeyEvent on one process-wide queue.
//
// main owns the one HotkeyListener; the hotkey thread alone owns the X connection and the
// registration table, and the two meet only through queues. Nothing here ever ends the
// process: an X error becomes an error text, and a lost X server just silences the hotkey.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "cli/hotkey_text.hpp"
#include "engine/queue.hpp"

namespace vc::cli {

enum class HotkeyEventState : std::uint8_t { Pressed = 0, Released = 1 };

struct HotkeyEvent {
    std::uint32_t id = 0;  // the registered HotKey's id
    HotkeyEventState state = HotkeyEventState::Pressed;

    bool operator==(const HotkeyEvent&) const = default;
};

// Takes the oldest event of the process-wide hotkey queue without waiting. The queue lives
// from its first use to the end of the process; events of every listener land in it.
std::optional<HotkeyEvent> poll_hotkey_event();

namespace hotkey_message {
struct Register {
    HotKey hotkey;
    Sender<std::expected<void, std::string>> answer;
};
struct Stop {};
}  // namespace hotkey_message
using HotkeyMessage = std::variant<hotkey_message::Register, hotkey_message::Stop>;

// The handle main holds on the hotkey thread. Creating it starts the (detached) thread;
// releasing it asks the thread to stop without waiting, and the X server drops every grab
// when the thread's connection closes.
class HotkeyListener {
public:
    HotkeyListener();
    ~HotkeyListener();
    HotkeyListener(const HotkeyListener&) = delete;
    HotkeyListener& operator=(const HotkeyListener&) = delete;

    // Grabs `hotkey` and blocks until the hotkey thread answers (within about one 50 ms
    // cycle after its set-up). The error is the text for "(hotkey unavailable: {})".
    std::expected<void, std::string> register_hotkey(const HotKey& hotkey);

private:
    Sender<HotkeyMessage> messages_;
};

}  // namespace vc::cli
