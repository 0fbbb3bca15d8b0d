// The screen list as printed, from a real xrandr against a real X server.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "cli/printing.hpp"
#include "support/environment.hpp"
#include "support/xvfb.hpp"

namespace vc::cli {
namespace {

// What print_screens writes to standard output and standard error together.
std::string printed_screens(std::uint32_t display) {
    const int file = ::memfd_create("terminal", 0);
    const int saved_out = ::dup(1);
    const int saved_err = ::dup(2);
    ::dup2(file, 1);
    ::dup2(file, 2);
    print_screens(display);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    std::string text(4096, '\0');
    const ssize_t n = ::pread(file, text.data(), text.size(), 0);
    ::close(file);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

TEST(PrintScreens, ListsTheMonitorsOfTheDisplay) {
    test::XvfbServer x;
    test::ScopedEnv env{{"DISPLAY", x.display()}};
    EXPECT_EQ(printed_screens(0), "Screens:\n  * Screen 1 - 1280x720 (screen)\n");
    EXPECT_EQ(printed_screens(2),
              "Screens:\n    Screen 1 - 1280x720 (screen)\n  (screen 3 from settings doesn't exist)\n");
}

TEST(PrintScreens, WithoutDisplayTheWholeScreenFallback) {
    test::ScopedEnv env{{"DISPLAY", std::nullopt}};
    EXPECT_EQ(printed_screens(0), "Screens:\n  * Screen 1, primary (X screen)\n");
    EXPECT_EQ(printed_screens(1),
              "Screens:\n    Screen 1, primary (X screen)\n  (screen 2 from settings doesn't exist)\n");
}

}  // namespace
}  // namespace vc::cli
