// Monitor lines, display texts and lookups, and list_screens over a stand-in xrandr on
// PATH for the outputs and failures that a single Xvfb cannot produce.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "engine/screens.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

constexpr std::uint32_t u32_max = 4294967295u;

TEST(ParseMonitorLine, Lines) {
    struct Case {
        const char* line;
        std::optional<Screen> expected;
    } cases[] = {
        {" 0: +*DP-1 2560/597x1440/336+0+0  DP-1", Screen{"DP-1", 0, 2560, 1440, 0, 0, true}},
        {" 1: +HDMI-1 1920/527x1080/296+2560+0  HDMI-1", Screen{"HDMI-1", 1, 1920, 1080, 2560, 0, false}},
        {" 0: +screen 1280/339x720/190+0+0  screen", Screen{"screen", 0, 1280, 720, 0, 0, false}},
        {"0: +*eDP-1 1920/344x1080/194+0+0", Screen{"eDP-1", 0, 1920, 1080, 0, 0, true}},
        {"0: +* 800x600+0+0", Screen{"", 0, 800, 600, 0, 0, true}},
        {"+1:: +A 10x20+3+4 Name extra tokens", Screen{"Name", 1, 10, 20, 3, 4, false}},
        {"2: *+x+ 10x20+-5+-7", Screen{"x+", 2, 10, 20, -5, -7, true}},
        {"3: flags 10x20/5+0+0+99 N", Screen{"N", 3, 10, 20, 0, 0, false}},
        {"4294967295: f 4294967295x4294967295+2147483647+-2147483648 Big",
         Screen{"Big", u32_max, u32_max, u32_max, 2147483647, -2147483648, false}},
        {"\t5:\u00a0+*DP-2\u2003640x480+1+2\u3000DP-2", Screen{"DP-2", 5, 640, 480, 1, 2, true}},
        {"0: +A 10x20+0+0 n\xff", Screen{"n\uFFFD", 0, 10, 20, 0, 0, false}},
        {"Monitors: 2", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"-1: +A 10x20+0+0 A", std::nullopt},
        {"x: +A 10x20+0+0 A", std::nullopt},
        {"4294967296: +A 10x20+0+0 A", std::nullopt},
        {"++1: +A 10x20+0+0 A", std::nullopt},
        {"0: +A", std::nullopt},
        {"0: +A 1920/510+0+0 A", std::nullopt},
        {"0: +A 1920/510x1080/290+0 A", std::nullopt},
        {"0: +A 1920/510x1080/290-1920+0 A", std::nullopt},
        {"0: +A x1080+0+0 A", std::nullopt},
        {"0: +A 10x+0+0 A", std::nullopt},
        {"0: +A 10x20++0 A", std::nullopt},
        {"0: +A 10x20+2147483648+0 A", std::nullopt},
        {"0: +A -10x20+0+0 A", std::nullopt},
        {"0: +A 1\u0661x20+0+0 A", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse_monitor_line(c.line), c.expected);
    }
}

TEST(FormatScreen, Texts) {
    const std::pair<Screen, const char*> cases[] = {
        {Screen{"DP-1", 0, 2560, 1440, 0, 0, true}, "Screen 1 - 2560x1440, primary (DP-1)"},
        {Screen{"HDMI-1", 1, 1920, 1080, 2560, 0, false}, "Screen 2 - 1920x1080 (HDMI-1)"},
        {fallback_screen(), "Screen 1, primary (X screen)"},
        {Screen{"", 0, 800, 600, 0, 0, true}, "Screen 1 - 800x600, primary ()"},
        {Screen{"Big", u32_max, 1, 2, 0, 0, false}, "Screen 4294967296 - 1x2 (Big)"},
    };
    for (const auto& [screen, text] : cases) EXPECT_EQ(format_screen(screen), text);
    EXPECT_EQ(fallback_screen(), (Screen{"X screen", 0, 0, 0, 0, 0, true}));
}

TEST(ParseMonitors, LinesAndFailures) {
    auto one = parse_monitors("Monitors: 1\n 0: +*DP-1 2560/597x1440/336+0+0  DP-1\n");
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(format_screen(one->front()), "Screen 1 - 2560x1440, primary (DP-1)");

    // Carriage returns before line feeds go; a last line without a line feed counts.
    auto two = parse_monitors("Monitors: 2\r\n 1: +B 10x20+0+0 B\r\n 0: +*A 30x40+10+0 A");
    ASSERT_TRUE(two);
    ASSERT_EQ(two->size(), 2u);
    EXPECT_EQ((*two)[0].name, "B");
    EXPECT_EQ((*two)[1].name, "A");

    for (const char* output : {"", "Monitors: 0\n", "garbage\n\n"}) {
        const auto none = parse_monitors(output);
        ASSERT_FALSE(none) << output;
        EXPECT_EQ(format_engine_error(none.error()), "config: no screens found to record");
    }
}

TEST(ChooseScreen, ByXrandrNumberNotPosition) {
    const std::vector<Screen> screens{
        Screen{"B", 1, 10, 10, 0, 0, false},
        Screen{"A", 0, 10, 10, 10, 0, true},
        Screen{"B again", 1, 10, 10, 20, 0, false},
    };
    EXPECT_EQ(choose_screen(screens, 1)->name, "B");
    EXPECT_EQ(choose_screen(screens, 0)->name, "A");
    const auto missing = choose_screen(screens, 5);
    ASSERT_FALSE(missing);
    EXPECT_EQ(format_engine_error(missing.error()), "config: screen 6 doesn't exist; available: 2, 1, 2");
    EXPECT_EQ(format_engine_error(choose_screen({fallback_screen()}, u32_max).error()),
              "config: screen 4294967296 doesn't exist; available: 1");
}

// A stand-in xrandr first on PATH, writing a canned output and ending as told.
class FakeXrandr : public ::testing::Test {
protected:
    void install(const std::string& body) {
        const auto script = dir_.write("xrandr", "#!/bin/sh\n[ \"$*\" = --listmonitors ] || exit 9\n" + body + "\n");
        ::chmod(script.c_str(), 0755);
    }

    test::TempDir dir_;
    test::ScopedEnv env_{{"PATH", dir_.path().string() + ":/usr/bin:/bin"}};
};

TEST_F(FakeXrandr, SeveralMonitors) {
    install(
        "printf 'Monitors: 3\\n 0: +*DP-1 2560/597x1440/336+0+0  DP-1\\n"
        " 1: +HDMI-1 1920/527x1080/296+2560+0  HDMI-1\\n"
        " 2: +DP-2 1920/510x1080/290-1920+0  DP-2\\n'\n"
        "echo 'stderr is ignored' >&2");
    const auto screens = list_screens();
    ASSERT_TRUE(screens);
    ASSERT_EQ(screens->size(), 2u);  // the monitor left of the origin does not parse
    EXPECT_EQ(format_screen((*screens)[0]), "Screen 1 - 2560x1440, primary (DP-1)");
    EXPECT_EQ(format_screen((*screens)[1]), "Screen 2 - 1920x1080 (HDMI-1)");

    EXPECT_EQ(find_screen(1)->x, 2560);
    EXPECT_EQ(format_engine_error(find_screen(5).error()), "config: screen 6 doesn't exist; available: 1, 2");
}

TEST_F(FakeXrandr, FailuresGiveTheFallbackScreen) {
    for (const char* body : {"echo ' 0: +*DP-1 2560/597x1440/336+0+0  DP-1'; exit 1",
                             "echo \"Can't open display\" >&2; exit 1", "kill -KILL $$"}) {
        SCOPED_TRACE(body);
        install(body);
        const auto screens = list_screens();
        ASSERT_TRUE(screens);
        EXPECT_EQ(*screens, std::vector<Screen>{fallback_screen()});
        EXPECT_EQ(find_screen(0), fallback_screen());
        EXPECT_EQ(format_engine_error(find_screen(1).error()), "config: screen 2 doesn't exist; available: 1");
    }
}

TEST_F(FakeXrandr, MissingProgramGivesTheFallbackScreen) {
    test::ScopedEnv no_path{{"PATH", dir_.path().string()}};  // holds no xrandr
    EXPECT_EQ(list_screens(), std::vector<Screen>{fallback_screen()});
}

TEST_F(FakeXrandr, SuccessWithoutMonitorsIsAnError) {
    install("echo 'Monitors: 0'");
    const auto screens = list_screens();
    ASSERT_FALSE(screens);
    EXPECT_EQ(format_engine_error(screens.error()), "config: no screens found to record");
    EXPECT_EQ(format_engine_error(find_screen(0).error()), "config: no screens found to record");
}

}  // namespace
}  // namespace vc
