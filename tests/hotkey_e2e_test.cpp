// The hotkey facility against a real X server (Xvfb, started per test on a free display)
// with real key events from xdotool.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/hotkey.hpp"
#include "engine/process.hpp"
#include "support/environment.hpp"
#include "support/xvfb.hpp"

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace vc::cli {
namespace {

using namespace std::chrono_literals;

std::vector<HotkeyEvent> take_events() {
    std::vector<HotkeyEvent> events;
    while (auto event = poll_hotkey_event()) events.push_back(*event);
    return events;
}

HotKey parse(std::string_view text) {
    auto hotkey = hotkey_from_text(text);
    EXPECT_TRUE(hotkey.has_value());
    return *hotkey;
}

const HotkeyEvent kPressed{65703, HotkeyEventState::Pressed};
const HotkeyEvent kReleased{65703, HotkeyEventState::Released};
const std::vector<HotkeyEvent> kOnePress{kPressed, kReleased};

class HotkeyE2E : public testing::Test {
protected:
    // As the program does. A listener's thread lets go of its connection at its next cycle,
    // after its handle is gone: it may meet a server this fixture has just ended, and a write
    // into that socket must be an error the thread handles, not the end of the test run.
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

    void SetUp() override {
        x_.emplace();
        env_.set("DISPLAY", x_->display());  // for the listeners and for xdotool
        take_events();  // the queue is process-wide: forget earlier tests' events
    }
    // Runs xdotool; its exit code, or -1.
    static int key(std::vector<std::string> args) {
        Command command("xdotool", std::move(args));
        command.stdin_mode = Stdio::null_device;
        auto run = Process::output(std::move(command));
        if (!run) return -1;
        return run->status.code().value_or(-1);
    }

    // The sentinel: a second hotkey of the listener under test, pressed after the keys
    // under test. Its events come over the same connection after theirs, so once its
    // release has come every event of those keys has come too, however slow the machine.
    static void register_sentinel(HotkeyListener& listener) {
        ASSERT_TRUE(listener.register_hotkey(parse("Alt+F12")).has_value());
    }
    // Presses the sentinel and gives every event that came before its release, the
    // sentinel's own left out.
    static std::vector<HotkeyEvent> events_before_the_sentinel() {
        EXPECT_EQ(key({"key", "alt+F12"}), 0);
        const std::uint32_t sentinel = parse("Alt+F12").id;
        std::vector<HotkeyEvent> events;
        bool released = false;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!released && std::chrono::steady_clock::now() < deadline) {
            for (const auto& event : take_events()) {
                if (event.id != sentinel)
                    events.push_back(event);
                else
                    released = released || event.state == HotkeyEventState::Released;
            }
            if (!released) std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(released) << "the sentinel's release never came";
        return events;
    }

    std::optional<test::XvfbServer> x_;
    test::ScopedEnv env_;
};

TEST_F(HotkeyE2E, PressGivesOnePressedAndOneReleased) {
    HotkeyListener listener;
    ASSERT_TRUE(listener.register_hotkey(parse("Alt+F8")).has_value());
    register_sentinel(listener);
    ASSERT_EQ(key({"key", "alt+F8"}), 0);
    EXPECT_EQ(events_before_the_sentinel(), kOnePress);
    ASSERT_EQ(key({"key", "alt+F8"}), 0);
    EXPECT_EQ(events_before_the_sentinel(), kOnePress);
}

TEST_F(HotkeyE2E, HeldKeyGivesOnePress) {
    HotkeyListener listener;
    ASSERT_TRUE(listener.register_hotkey(parse("Alt+F8")).has_value());
    register_sentinel(listener);
    ASSERT_EQ(key({"keydown", "alt+F8", "sleep", "3", "keyup", "F8", "keyup", "alt"}), 0);
    EXPECT_EQ(events_before_the_sentinel(), kOnePress);
}

TEST_F(HotkeyE2E, LocksStillMatchAndExtraModifiersDoNot) {
    HotkeyListener listener;
    ASSERT_TRUE(listener.register_hotkey(parse("Alt+F8")).has_value());
    register_sentinel(listener);

    ASSERT_EQ(key({"key", "shift+alt+F8"}), 0);
    EXPECT_TRUE(events_before_the_sentinel().empty());
    ASSERT_EQ(key({"key", "ctrl+alt+F8"}), 0);
    EXPECT_TRUE(events_before_the_sentinel().empty());

    const std::vector<std::vector<std::string>> locks = {{"Num_Lock"}, {"Caps_Lock"}, {"Num_Lock", "Caps_Lock"}};
    for (const auto& lock : locks) {
        SCOPED_TRACE(lock.size() == 2 ? "both locks" : lock[0]);
        for (const auto& name : lock) ASSERT_EQ(key({"key", name}), 0);  // switched on
        ASSERT_EQ(key({"key", "alt+F8"}), 0);
        EXPECT_EQ(events_before_the_sentinel(), kOnePress);
        for (const auto& name : lock) ASSERT_EQ(key({"key", name}), 0);  // and off again
    }
}

TEST_F(HotkeyE2E, KeysThatCannotBeGrabbed) {
    HotkeyListener listener;
    const std::pair<std::string, std::string> cases[] = {
        {"Alt+F24", "Unable to register hotkey: Unable to find keycode for key: F24"},
        {"Alt+NumpadEnter", "Unable to register hotkey: Unknown scancode for key: NumpadEnter"},
        {"Alt+MediaPlayPause", "Unable to register hotkey: Unknown scancode for key: MediaPlayPause"},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        const auto registered = listener.register_hotkey(parse(text));
        ASSERT_FALSE(registered.has_value());
        EXPECT_EQ(registered.error(), error);
    }
    // The failures leave the listener working.
    EXPECT_TRUE(listener.register_hotkey(parse("Alt+F8")).has_value());
}

TEST_F(HotkeyE2E, CombinationHeldElsewhereIsAlreadyRegistered) {
    const std::string already = "HotKey already registered: HotKey { mods: Modifiers(ALT), key: F8, id: 65703 }";
    {
        HotkeyListener first;
        ASSERT_TRUE(first.register_hotkey(parse("Alt+F8")).has_value());
        register_sentinel(first);
        const auto twice = first.register_hotkey(parse("Alt+F8"));
        ASSERT_FALSE(twice.has_value());
        EXPECT_EQ(twice.error(), already);

        HotkeyListener second;
        const auto other = second.register_hotkey(parse("Alt+F8"));
        ASSERT_FALSE(other.has_value());
        EXPECT_EQ(other.error(), already);

        ASSERT_EQ(key({"key", "alt+F8"}), 0);
        EXPECT_EQ(events_before_the_sentinel(), kOnePress);  // from the first listener only
    }

    // Another client holds only the Caps Lock variant: the two grabs made before it fails
    // are given back. (Another key: the listeners above let go of theirs only at their
    // thread's next cycle.)
    Display* other = XOpenDisplay(x_->display().c_str());
    ASSERT_NE(other, nullptr);
    const int f9 = XKeysymToKeycode(other, XK_F9);
    XGrabKey(other, f9, Mod1Mask | LockMask, DefaultRootWindow(other), False, GrabModeAsync, GrabModeAsync);
    XSync(other, False);

    HotkeyListener refused;
    const auto partial = refused.register_hotkey(parse("Alt+F9"));
    ASSERT_FALSE(partial.has_value());
    EXPECT_EQ(partial.error(), "HotKey already registered: " + hotkey_debug_text(parse("Alt+F9")));
    XCloseDisplay(other);

    HotkeyListener third;  // `refused` is still connected: it must hold none of the variants
    const auto registered = third.register_hotkey(parse("Alt+F9"));
    EXPECT_TRUE(registered.has_value()) << registered.error();
}

TEST_F(HotkeyE2E, ServerGoneLeavesTheProcessRunning) {
    HotkeyListener listener;
    ASSERT_TRUE(listener.register_hotkey(parse("Alt+F8")).has_value());
    x_.reset();  // the server ends and drops every client
    std::this_thread::sleep_for(300ms);  // a few cycles of the hotkey thread meet the closed connection
    const auto after = listener.register_hotkey(parse("Alt+F9"));
    ASSERT_FALSE(after.has_value());
    EXPECT_EQ(after.error(), "Unable to register hotkey: the connection to the X server was lost");
    EXPECT_TRUE(take_events().empty());
}

TEST(Hotkey, RegistrationFailsWithoutDisplay) {
    const std::string prefix =
        "Unable to open x11 connection, maybe you are not running under X11? Other window systems on Linux are "
        "not supported by `global-hotkey` crate: ";
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, prefix + "the DISPLAY environment variable is not set"},
        {"", prefix + "the DISPLAY environment variable is not set"},
        {":4711", prefix + "cannot open display \":4711\""},
    };
    for (const auto& [display, error] : cases) {
        SCOPED_TRACE(display.value_or("(unset)"));
        test::ScopedEnv env{{"DISPLAY", display}};
        HotkeyListener listener;
        for (int attempt = 0; attempt < 2; ++attempt) {  // every registration is answered
            const auto registered = listener.register_hotkey(parse("Alt+F8"));
            ASSERT_FALSE(registered.has_value());
            EXPECT_EQ(registered.error(), error);
        }
    }
}

}  // namespace
}  // namespace vc::cli
