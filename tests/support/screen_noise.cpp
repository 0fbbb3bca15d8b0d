#include "support/screen_noise.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace vc::test {

ScreenNoise::ScreenNoise(const std::string& display, int width, int height, int fps)
    : display_(XOpenDisplay(display.c_str())) {
    if (!display_) throw std::runtime_error("cannot open display " + display);
    painter_ = std::thread(&ScreenNoise::paint, this, width, height, fps);
}

ScreenNoise::~ScreenNoise() {
    still();
    XCloseDisplay(static_cast<Display*>(display_));
}

void ScreenNoise::still() {
    stop_.store(true);
    if (!painter_.joinable()) return;
    painter_.join();
    // Flat black, the cheapest picture there is.
    auto* display = static_cast<Display*>(display_);
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    XSetWindowBackground(display, root, BlackPixel(display, screen));
    XClearWindow(display, root);
    XSync(display, False);
}

void ScreenNoise::paint(int width, int height, int fps) {
    auto* display = static_cast<Display*>(display_);
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const GC gc = DefaultGC(display, screen);
    // The image's pixels are malloc'd: XDestroyImage frees them.
    auto* pixels = static_cast<char*>(std::malloc(static_cast<std::size_t>(width) * height * 4));
    XImage* image = XCreateImage(display, DefaultVisual(display, screen), static_cast<unsigned>(DefaultDepth(display, screen)),
                                 ZPixmap, 0, pixels, static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto due = std::chrono::steady_clock::now();
    while (!stop_.load()) {
        auto* words = reinterpret_cast<std::uint64_t*>(pixels);
        for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height / 2; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        XPutImage(display, root, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XSync(display, False);
        due += std::chrono::microseconds(1'000'000 / fps);
        std::this_thread::sleep_until(due);
    }
    XDestroyImage(image);
}

}  // namespace vc::test
