// list_screens against a real X server (Xvfb) and with no X server at all.
#include <gtest/gtest.h>

#include "engine/screens.hpp"
#include "support/environment.hpp"
#include "support/xvfb.hpp"

namespace vc {
namespace {

TEST(ListScreens, RealXvfb) {
    test::XvfbServer server("1280x720x24");
    test::ScopedEnv env{{"DISPLAY", server.display()}};
    const auto screens = list_screens();
    ASSERT_TRUE(screens) << format_engine_error(screens.error());
    ASSERT_EQ(screens->size(), 1u);
    EXPECT_EQ(screens->front(), (Screen{"screen", 0, 1280, 720, 0, 0, false}));
    EXPECT_EQ(format_screen(screens->front()), "Screen 1 - 1280x720 (screen)");
    EXPECT_EQ(find_screen(0), screens->front());
    EXPECT_EQ(format_engine_error(find_screen(2).error()), "config: screen 3 doesn't exist; available: 1");
}

TEST(ListScreens, NoXServerGivesTheFallbackScreen) {
    test::ScopedEnv env{{"DISPLAY", std::nullopt}};
    const auto screens = list_screens();
    ASSERT_TRUE(screens);
    EXPECT_EQ(*screens, std::vector<Screen>{fallback_screen()});
    EXPECT_EQ(format_screen(screens->front()), "Screen 1, primary (X screen)");
}

}  // namespace
}  // namespace vc
