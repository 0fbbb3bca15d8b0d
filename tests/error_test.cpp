#include <gtest/gtest.h>

#include <cerrno>

#include "engine/error.hpp"
#include "engine/format.hpp"

namespace vc {
namespace {

std::string text_of(std::unexpected<EngineError> error) { return format_engine_error(error.error()); }

TEST(EngineError, TextForms) {
    EXPECT_EQ(text_of(config_error("no screens found to record")), "config: no screens found to record");
    EXPECT_EQ(text_of(config_error(format("screen {} doesn't exist; available: {}", 3, "1, 2"))),
              "config: screen 3 doesn't exist; available: 1, 2");
    EXPECT_EQ(text_of(io_error("reading /x/config.yaml", ENOENT)),
              "reading /x/config.yaml: No such file or directory (os error 2)");
    EXPECT_EQ(text_of(io_error("reading replay index", OsError::with_message("stream did not contain valid UTF-8"))),
              "reading replay index: stream did not contain valid UTF-8");
    EXPECT_EQ(text_of(ffmpeg_error("saving replay", "")), "ffmpeg failed while saving replay: ");
    EXPECT_EQ(text_of(ffmpeg_error("libx264", "Unknown encoder")), "ffmpeg failed while libx264: Unknown encoder");
    EXPECT_EQ(text_of(audio_error("Mic: unsupported sample format I24")), "audio: Mic: unsupported sample format I24");
    EXPECT_EQ(text_of(nothing_recorded()), "nothing recorded yet");
    EXPECT_EQ(text_of(voice_error("failed to create recognizer")), "voice: failed to create recognizer");
}

TEST(EngineError, ResultCarriesTheVariant) {
    Result<int> result = config_error("x");
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is<EngineError::Config>());
    EXPECT_EQ(result.error().as<EngineError::Config>().text, "x");
}

TEST(Format, FillsSlotsInOrder) {
    EXPECT_EQ(format("{} unavailable: {}", "h264_nvenc", std::string("gone")), "h264_nvenc unavailable: gone");
    EXPECT_EQ(format("{} {} {}", 7u, -3, true), "7 -3 true");
    EXPECT_EQ(format("{}", std::filesystem::path("/a\xff" "b")), "/a\xEF\xBF\xBD" "b");
    EXPECT_EQ(format("no slots"), "no slots");
}

}  // namespace
}  // namespace vc
