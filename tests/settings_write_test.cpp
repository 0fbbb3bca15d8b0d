// Writing the settings file: the exact text, round trips through the reader, and writes that
// fail part-way, which must leave the old file whole.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <limits>

#include "engine/settings_file.hpp"
#include "engine/yaml_scalars.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

class SettingsWrite : public ::testing::Test {
protected:
    TempDir home;
    ScopedEnv env{{"HOME", home.path().string()}, {"XDG_CONFIG_HOME", std::nullopt}};
};

TEST_F(SettingsWrite, DefaultsForAFreshHomeGiveTheKnownFile) {
    const fs::path path = config_path();
    EXPECT_EQ(path, home.path() / ".config/vantrelclips/config.yaml");
    ASSERT_TRUE(save_config(default_config(), path));
    const std::string expected =
        "replay_seconds: 30\n"
        "fps: 60\n"
        "display: 0\n"
        "quality: 23\n"
        "encoder: auto\n"
        "clips_dir: " + home.path().string() + "/Videos/Vantrel Clips\n"
        "tracks:\n"
        "- name: Microphone\n"
        "  source: input\n"
        "  device: null\n"
        "  enabled: true\n"
        "  volume: 1.0\n"
        "hotkey: Alt+F8\n"
        "autoclip:\n"
        "  enabled: false\n"
        "  threshold_db: 18.0\n"
        "  min_duration_ms: 250\n"
        "  cooldown_s: 20\n"
        "  post_roll_s: 5\n"
        "voice:\n"
        "  enabled: false\n"
        "  phrases: []\n"
        "  language: auto\n"
        "  min_confidence: 0.8\n";
    EXPECT_EQ(test::read_file(path), expected);
    auto loaded = load_config(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, default_config());
}

}  // namespace
}  // namespace vc
