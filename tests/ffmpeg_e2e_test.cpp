// Short ffmpeg runs against the real ffmpeg: success, ffmpeg's own failure text, a program
// that cannot be launched, a signal death, and output large enough to fill both pipes.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "engine/ffmpeg.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

Command lavfi_command(std::vector<std::string> args) {
    Command command = ffmpeg_command();
    command.append(args);
    return command;
}

std::filesystem::path write_script(const test::TempDir& dir, const std::string& name, const std::string& body) {
    const auto path = dir.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(RunFfmpeg, SucceedsOnExitStatusZero) {
    const auto result = run_ffmpeg(
        lavfi_command({"-f", "lavfi", "-i", "color=black:s=64x64:r=30:d=0.1", "-frames:v", "1", "-f", "null", "-"}),
        "libx264");
    ASSERT_TRUE(result) << format_engine_error(result.error());
}

TEST(RunFfmpeg, FailureCarriesTrimmedStandardError) {
    const auto result = run_ffmpeg(lavfi_command({"-i", "/nonexistent/in.mp4", "-f", "null", "-"}), "saving replay");
    ASSERT_FALSE(result);
    ASSERT_TRUE(result.error().is<EngineError::Ffmpeg>());
    EXPECT_EQ(format_engine_error(result.error()),
              "ffmpeg failed while saving replay: /nonexistent/in.mp4: No such file or directory");
}

TEST(RunFfmpeg, MissingExecutableIsALaunchError) {
    test::TempDir empty;
    test::ScopedEnv env{{"VANTREL_FFMPEG", empty.path().string()}};
    const auto result = run_ffmpeg(ffmpeg_command(), "h264_nvenc");
    ASSERT_FALSE(result);
    ASSERT_TRUE(result.error().is<EngineError::Io>());
    EXPECT_EQ(format_engine_error(result.error()),
              "launching ffmpeg for h264_nvenc: No such file or directory (os error 2)");
}

TEST(RunFfmpeg, NonExecutableFileIsALaunchError) {
    test::TempDir dir;
    dir.write("ffmpeg", "not a program\n");  // mode 0644
    test::ScopedEnv env{{"VANTREL_FFMPEG", dir.path().string()}};
    const auto result = run_ffmpeg(ffmpeg_command(), "thumbnail");
    ASSERT_FALSE(result);
    EXPECT_EQ(format_engine_error(result.error()), "launching ffmpeg for thumbnail: Permission denied (os error 13)");
}

// Faults that a real ffmpeg cannot be made to show on demand, forced with a stand-in.
TEST(RunFfmpeg, ForcedEndings) {
    struct Case {
        const char* script;
        const char* expected;
    } cases[] = {
        {"printf '\\nUnknown encoder foo\\n' >&2; exit 1", "ffmpeg failed while probe: Unknown encoder foo"},
        {"printf '  first\\n\\nsecond\\t\\n' >&2; exit 3", "ffmpeg failed while probe: first\n\nsecond"},
        {"printf 'bad \\377 byte\\n' >&2; exit 1", "ffmpeg failed while probe: bad \xEF\xBF\xBD byte"},
        {"kill -KILL $$", "ffmpeg failed while probe: "},
        {"echo noise; echo 'written before the crash' >&2; kill -SEGV $$", "ffmpeg failed while probe: written before the crash"},
        {"echo 'warnings only' >&2; exit 0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        test::TempDir dir;
        write_script(dir, "ffmpeg", c.script);
        test::ScopedEnv env{{"VANTREL_FFMPEG", dir.path().string() + "/"}};
        const auto result = run_ffmpeg(ffmpeg_command(), "probe");
        if (c.expected == nullptr) {
            EXPECT_TRUE(result);
        } else {
            ASSERT_FALSE(result);
            EXPECT_EQ(format_engine_error(result.error()), c.expected);
        }
    }
}

TEST(RunFfmpeg, StandardInputIsTheNullDevice) {
    // An ffmpeg reading its input from standard input ends at once on /dev/null instead of
    // waiting for a terminal.
    const auto result = run_ffmpeg(lavfi_command({"-f", "s16le", "-ar", "8000", "-ac", "1", "-i", "-", "-f", "null", "-"}),
                                   "reading");
    ASSERT_TRUE(result) << format_engine_error(result.error());
}

// 18 MB on standard output and about 2 MB of per-frame lines on standard error: reading
// one pipe to its end before the other would leave ffmpeg blocked on the full one.
std::vector<std::string> chatty_args() {
    return {"-f", "lavfi", "-i", "testsrc=s=32x32:r=1000", "-frames:v", "6000", "-loglevel", "info",
            "-vf", "showinfo", "-f", "rawvideo", "-"};
}

TEST(RunFfmpeg, ChattyOutputDoesNotDeadlock) {
    const auto result = run_ffmpeg(lavfi_command(chatty_args()), "chatter");
    ASSERT_TRUE(result) << format_engine_error(result.error());
}

TEST(ProcessOutput, CapturesBothStreamsWhole) {
    Command command = lavfi_command(chatty_args());
    command.stdin_mode = Stdio::null_device;
    const auto output = Process::output(std::move(command));
    ASSERT_TRUE(output);
    EXPECT_TRUE(output->status.success()) << output->status.text();
    EXPECT_EQ(output->stdout_bytes.size(), 32u * 32u * 3u * 6000u);
    EXPECT_GT(output->stderr_bytes.size(), 1u << 20);
    EXPECT_NE(output->stderr_bytes.find("n:5999"), std::string::npos);
}

}  // namespace
}  // namespace vc
