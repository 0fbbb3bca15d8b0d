#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "cli/printing.hpp"

namespace vc::cli {
namespace {

TerminalLine out(std::string text) { return {Stream::Stdout, std::move(text)}; }
TerminalLine err(std::string text) { return {Stream::Stderr, std::move(text)}; }

// Standard output and error of this process go into one memory file while it lives, so
// the test sees the lines and their order exactly as a terminal would. With `stdout_only`,
// standard error goes to /dev/null instead.
class CapturedTerminal {
public:
    explicit CapturedTerminal(bool stdout_only = false)
        : file_(::memfd_create("terminal", 0)), saved_out_(::dup(1)), saved_err_(::dup(2)) {
        ::dup2(file_, 1);
        if (stdout_only) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::close(null);
        } else {
            ::dup2(file_, 2);
        }
    }
    ~CapturedTerminal() {
        restore();
        ::close(file_);
    }
    CapturedTerminal(const CapturedTerminal&) = delete;
    CapturedTerminal& operator=(const CapturedTerminal&) = delete;

    std::string text() {
        restore();
        std::string all;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(file_, buffer, sizeof buffer, at);
            if (n <= 0) break;
            all.append(buffer, static_cast<std::size_t>(n));
            at += n;
        }
        return all;
    }

private:
    void restore() {
        if (saved_out_ < 0) return;
        ::dup2(saved_out_, 1);
        ::dup2(saved_err_, 2);
        ::close(saved_out_);
        ::close(saved_err_);
        saved_out_ = saved_err_ = -1;
    }
    int file_;
    int saved_out_;
    int saved_err_;
};

Screen screen(std::string name, std::uint32_t index, std::uint32_t width, std::uint32_t height, bool primary) {
    return Screen{std::move(name), index, width, height, 0, 0, primary};
}

TEST(ScreenList, MarksTheConfiguredScreen) {
    const std::vector<Screen> two = {screen("DP-1", 0, 2560, 1440, true), screen("HDMI-1", 1, 1920, 1080, false)};
    struct Case {
        const char* name;
        std::uint32_t display;
        std::vector<TerminalLine> lines;
    };
    const Case cases[] = {
        {"first", 0,
         {out("Screens:"), out("  * Screen 1 - 2560x1440, primary (DP-1)"), out("    Screen 2 - 1920x1080 (HDMI-1)")}},
        {"second", 1,
         {out("Screens:"), out("    Screen 1 - 2560x1440, primary (DP-1)"), out("  * Screen 2 - 1920x1080 (HDMI-1)")}},
        {"missing", 2,
         {out("Screens:"), out("    Screen 1 - 2560x1440, primary (DP-1)"), out("    Screen 2 - 1920x1080 (HDMI-1)"),
          out("  (screen 3 from settings doesn't exist)")}},
        {"largest number", 4294967295u,
         {out("Screens:"), out("    Screen 1 - 2560x1440, primary (DP-1)"), out("    Screen 2 - 1920x1080 (HDMI-1)"),
          out("  (screen 4294967296 from settings doesn't exist)")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(screen_list_lines(two, c.display), c.lines);
    }
    EXPECT_EQ(screen_list_lines(std::vector<Screen>{fallback_screen()}, 0),
              (std::vector<TerminalLine>{out("Screens:"), out("  * Screen 1, primary (X screen)")}));
}

TEST(ScreenList, FailedListingIsOneErrorLine) {
    const Result<std::vector<Screen>> failed = config_error("no screens found to record");
    EXPECT_EQ(screen_list_lines(failed, 0), (std::vector<TerminalLine>{err("error: config: no screens found to record")}));
}

TEST(EngineEvents, LinesAndStreams) {
    ClipInfo clip;
    clip.path = "/home/u/Videos/Vantrel Clips/Clip 2024-05-01 12-00-00.mp4";
    clip.size = 15728640;
    const std::pair<EngineEvent, std::optional<TerminalLine>> cases[] = {
        {event::EncoderChosen{Encoder::libx264}, out("Encoder: libx264")},
        {event::EncoderChosen{Encoder::h264_videotoolbox}, out("Encoder: h264_videotoolbox")},
        {event::LoudMoment{}, out("Loud moment detected, auto clip in a few seconds")},
        {event::HeardPhrase{"clip \"that\""}, out("Heard \"clip \"that\"\"")},
        {event::ClipSaved{clip}, out("Saved /home/u/Videos/Vantrel Clips/Clip 2024-05-01 12-00-00.mp4 (15.7 MB)")},
        {event::Message{"recorder stopped: x\ny"}, err("error: recorder stopped: x\ny")},
        {event::Stopped{}, std::nullopt},
    };
    for (const auto& [event, line] : cases) {
        SCOPED_TRACE(line ? line->text : "Stopped");
        EXPECT_EQ(engine_event_line(event), line);
    }

    ClipInfo odd;
    odd.path = std::string("/tmp/a\xff" "b.mp4");
    EXPECT_EQ(engine_event_line(event::ClipSaved{odd}), out("Saved /tmp/a\uFFFDb.mp4 (0.0 MB)"));
}

TEST(EngineEvents, DecimalMegabytesRoundedToATenth) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0.0"},
        {999, "0.0"},
        {49999, "0.0"},
        {50001, "0.1"},
        {1000000, "1.0"},
        {1048576, "1.0"},  // decimal megabytes, not binary
        {15728640, "15.7"},
        {1234567890, "1234.6"},
        {18446744073709551615u, "18446744073709.6"},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(megabytes_text(bytes), text);
    }
}

TEST(EngineEvents, PrintedInOrderOnTheirStreams) {
    ClipInfo clip;
    clip.path = "/c/Clip.mp4";
    clip.size = 2500000;
    CapturedTerminal terminal;
    const bool encoder = print_engine_event(event::EncoderChosen{Encoder::h264_nvenc});
    const bool message = print_engine_event(event::Message{"no video captured yet"});
    const bool saved = print_engine_event(event::ClipSaved{clip});
    const bool stopped = print_engine_event(event::Stopped{});
    const std::string text = terminal.text();
    EXPECT_TRUE(encoder);
    EXPECT_TRUE(message);
    EXPECT_TRUE(saved);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(text, "Encoder: h264_nvenc\nerror: no video captured yet\nSaved /c/Clip.mp4 (2.5 MB)\n");
}

TEST(EngineEvents, MessagesGoToStandardErrorOnly) {
    CapturedTerminal standard_output(/*stdout_only=*/true);
    print_engine_event(event::Message{"boom"});
    print_engine_event(event::LoudMoment{});
    EXPECT_EQ(standard_output.text(), "Loud moment detected, auto clip in a few seconds\n");
}

TEST(ScreenList, PrintedAsOneBlock) {
    CapturedTerminal terminal;
    print_lines({out("Screens:"), out("  * Screen 1, primary (X screen)"), err("error: x")});
    EXPECT_EQ(terminal.text(), "Screens:\n  * Screen 1, primary (X screen)\nerror: x\n");
}

}  // namespace
}  // namespace vc::cli
