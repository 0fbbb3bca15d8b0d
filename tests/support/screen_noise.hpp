// ScreenNoise: moving noise on a part of an X display's root window, painted through its own
// Xlib connection by a thread of its own, a new picture every frame: the costliest thing to
// encode, so that a recording of it makes large segments (high bitrate). still() stops the
// painting and turns the whole screen flat black (its segments then small); the object stops
// its thread when it goes.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace vc::test {

class ScreenNoise {
public:
    // Paints `width` by `height` pixels at the top left, `fps` pictures a second. Throws
    // std::runtime_error when the display cannot be opened.
    ScreenNoise(const std::string& display, int width, int height, int fps = 30);
    ~ScreenNoise();
    ScreenNoise(const ScreenNoise&) = delete;
    ScreenNoise& operator=(const ScreenNoise&) = delete;

    // Stops painting and returns once the screen is flat black.
    void still();

private:
    void paint(int width, int height, int fps);

    void* display_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread painter_;
};

}  // namespace vc::test
