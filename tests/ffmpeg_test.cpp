// Encoder names and options, the base command, file arguments and finding the executable.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "engine/ffmpeg.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

using Args = std::vector<std::string>;

TEST(Encoder, NamesRoundTripAndParsingIsExact) {
    const char* names[] = {"h264_nvenc", "h264_amf",   "h264_qsv",   "h264_videotoolbox",
                           "h264_vaapi", "libx264",    "libopenh264"};
    for (int i = 0; i < 7; ++i) {
        const auto encoder = static_cast<Encoder>(i);
        EXPECT_EQ(encoder_name(encoder), names[i]);
        EXPECT_EQ(parse_encoder(names[i]), encoder);
    }
    for (const char* text : {"auto", "LIBX264", " libx264", "libx264 ", "x264", "", "libx264\n"})
        EXPECT_EQ(parse_encoder(text), std::nullopt) << text;
}

TEST(Encoder, ArgumentLists) {
    struct Case {
        Encoder encoder;
        std::uint8_t quality;
        std::uint32_t gop;
        Args expected;
    } cases[] = {
        {Encoder::h264_nvenc, 23, 30,
         {"-c:v", "h264_nvenc", "-preset", "p4", "-tune", "ll", "-rc", "vbr", "-cq", "23", "-b:v", "0", "-bf", "0",
          "-g", "30"}},
        {Encoder::h264_amf, 23, 60,
         {"-c:v", "h264_amf", "-usage", "lowlatency", "-rc", "cqp", "-qp_i", "23", "-qp_p", "23", "-g", "60"}},
        {Encoder::h264_qsv, 20, 60, {"-c:v", "h264_qsv", "-preset", "faster", "-global_quality", "20", "-g", "60"}},
        {Encoder::h264_videotoolbox, 23, 60, {"-c:v", "h264_videotoolbox", "-realtime", "1", "-q:v", "54", "-g", "60"}},
        {Encoder::h264_vaapi, 1, 1, {"-c:v", "h264_vaapi", "-qp", "1", "-g", "1"}},
        {Encoder::libx264, 23, 60,
         {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-crf", "23", "-pix_fmt", "yuv420p",
          "-g", "60"}},
        {Encoder::libopenh264, 23, 30,
         {"-c:v", "libopenh264", "-rc_mode", "quality", "-qmin", "18", "-qmax", "28", "-pix_fmt", "yuv420p", "-g",
          "30"}},
        {Encoder::libx264, 51, 4294967295u,
         {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-crf", "51", "-pix_fmt", "yuv420p",
          "-g", "4294967295"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(encoder_name(c.encoder));
        EXPECT_EQ(encoder_args(c.encoder, c.quality, c.gop), c.expected);
    }
}

// The derived numbers clamp at their ends instead of wrapping around.
TEST(Encoder, DerivedNumbersSaturate) {
    struct Case {
        Encoder encoder;
        std::uint8_t quality;
        std::size_t at;  // index of the first derived number
        Args expected;   // the derived numbers
    } cases[] = {
        {Encoder::h264_videotoolbox, 0, 5, {"100"}},
        {Encoder::h264_videotoolbox, 50, 5, {"0"}},
        {Encoder::h264_videotoolbox, 51, 5, {"0"}},
        {Encoder::h264_videotoolbox, 255, 5, {"0"}},
        {Encoder::libopenh264, 0, 5, {"0", "-qmax", "5"}},
        {Encoder::libopenh264, 3, 5, {"0", "-qmax", "8"}},
        {Encoder::libopenh264, 5, 5, {"0", "-qmax", "10"}},
        {Encoder::libopenh264, 46, 5, {"41", "-qmax", "51"}},
        {Encoder::libopenh264, 48, 5, {"43", "-qmax", "51"}},
        {Encoder::libopenh264, 255, 5, {"250", "-qmax", "51"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.quality));
        const Args args = encoder_args(c.encoder, c.quality, 30);
        ASSERT_GE(args.size(), c.at + c.expected.size());
        EXPECT_EQ(Args(args.begin() + static_cast<long>(c.at), args.begin() + static_cast<long>(c.at + c.expected.size())),
                  c.expected);
    }
    const std::pair<Encoder, std::size_t> sizes[] = {
        {Encoder::h264_nvenc, 16},       {Encoder::h264_amf, 12},   {Encoder::h264_qsv, 8},
        {Encoder::h264_videotoolbox, 8}, {Encoder::h264_vaapi, 6},  {Encoder::libx264, 12},
        {Encoder::libopenh264, 12},
    };
    for (const auto& [encoder, size] : sizes) EXPECT_EQ(encoder_args(encoder, 23, 30).size(), size);
}

TEST(FfmpegCommand, BaseOptionsAndNoStreamSettings) {
    test::ScopedEnv env{{"VANTREL_FFMPEG", "/opt/ff"}};
    const Command command = ffmpeg_command();
    EXPECT_EQ(command.program, "/opt/ff/ffmpeg");
    EXPECT_EQ(command.args, (Args{"-hide_banner", "-loglevel", "error", "-y"}));
    EXPECT_EQ(command.stdin_mode, Stdio::inherit);
    EXPECT_EQ(command.stdout_mode, Stdio::inherit);
    EXPECT_EQ(command.stderr_mode, Stdio::inherit);
    EXPECT_FALSE(command.new_process_group);
    EXPECT_EQ(command.pre_exec, nullptr);
}

TEST(FfmpegFileArg, OptionAndProtocolLookalikesGetADotSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/u/Videos/Clip 1.mp4", "/home/u/Videos/Clip 1.mp4"},
        {"/tmp/-x:y.mp4", "/tmp/-x:y.mp4"},
        {"clips/a.mp4", "clips/a.mp4"},
        {"-rf.mp4", "./-rf.mp4"},
        {"-dir/a.mp4", "./-dir/a.mp4"},
        {"pipe:1", "./pipe:1"},
        {"Clip 12:30:00.mp4", "./Clip 12:30:00.mp4"},
        {"concat:a|b", "./concat:a|b"},
        {"dir/a:b.mp4", "dir/a:b.mp4"},
        {"./-x.mp4", "./-x.mp4"},
        {"a.mp4", "a.mp4"},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(ffmpeg_file_arg(path), expected) << path;
    // A clip path is bytes, and stays the same bytes.
    EXPECT_EQ(ffmpeg_file_arg("bad\xff:x"), "./bad\xff:x");
    EXPECT_EQ(ffmpeg_file_arg("-\xff/a"), "./-\xff/a");
}

TEST(FfmpegPath, EnvironmentVariableIsUsedWithoutAnyCheck) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/ff", "/opt/ff/ffmpeg"},
        {"/opt/ff/", "/opt/ff/ffmpeg"},
        {"", "ffmpeg"},
        {"relative/dir", "relative/dir/ffmpeg"},
        {"/nonexistent", "/nonexistent/ffmpeg"},
        {"/opt/\xff", "/opt/\xff/ffmpeg"},
    };
    for (const auto& [value, expected] : cases) {
        test::ScopedEnv env{{"VANTREL_FFMPEG", value}};
        EXPECT_EQ(ffmpeg_path().native(), expected);
    }
    test::ScopedEnv env{{"VANTREL_FFMPEG", std::nullopt}};
    EXPECT_EQ(ffmpeg_path(), "ffmpeg");  // nothing called ffmpeg beside the test program
}

// A copy of a helper program placed next to various things called "ffmpeg".
TEST(FfmpegPath, BesideTheRunningProgram) {
    test::ScopedEnv unset{{"VANTREL_FFMPEG", std::nullopt}};
    const std::filesystem::path helper = VANTREL_TEST_BIN_DIR "/print_ffmpeg_path";
    enum Kind { regular_file, directory, link_to_file, dangling_link, nothing };
    for (const Kind kind : {regular_file, directory, link_to_file, dangling_link, nothing}) {
        SCOPED_TRACE(int(kind));
        test::TempDir dir;
        const auto bin = dir / "bin";
        std::filesystem::create_directory(bin);
        std::filesystem::copy_file(helper, bin / "print_ffmpeg_path");
        const auto beside = bin / "ffmpeg";
        const auto target = dir.write("real-ffmpeg", "");
        switch (kind) {
        case regular_file: dir.write("bin/ffmpeg", ""); break;
        case directory: std::filesystem::create_directory(beside); break;
        case link_to_file: std::filesystem::create_symlink(target, beside); break;
        case dangling_link: std::filesystem::create_symlink(dir / "gone", beside); break;
        case nothing: break;
        }
        const bool taken = kind == regular_file || kind == link_to_file;

        const auto output = Process::output(Command(bin / "print_ffmpeg_path"));
        ASSERT_TRUE(output);
        EXPECT_EQ(output->stdout_bytes, taken ? beside.string() : "ffmpeg");

        // An empty VANTREL_FFMPEG wins even over a file beside the program.
        test::ScopedEnv empty{{"VANTREL_FFMPEG", ""}};
        const auto forced = Process::output(Command(bin / "print_ffmpeg_path"));
        ASSERT_TRUE(forced);
        EXPECT_EQ(forced->stdout_bytes, "ffmpeg");
    }
}

}  // namespace
}  // namespace vc
