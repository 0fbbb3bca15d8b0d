// Writing the settings file: the exact text, round trips through the reader, and writes that
// fail part-way, which must leave the old file whole.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <limits>

#include "engine/settings_file.hpp"
#include "engine/yaml_scalars.hpp"
#include "support/environment.hpp"
#include "support/other_user.hpp"

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


TEST(SettingsFloatText, ShortestDigitsInTheFileLayout) {
    const std::vector<std::pair<float, std::string>> cases = {
        {0.8f, "0.8"},         {18.0f, "18.0"},        {1.0f, "1.0"},          {0.0f, "0.0"},
        {-0.0f, "-0.0"},       {12.5f, "12.5"},        {1234567.0f, "1234567.0"}, {0.001234f, "0.001234"},
        {1e20f, "1e20"},       {1.5e-7f, "1.5e-7"},    {1e-6f, "0.000001"},    {1e12f, "1000000000000.0"},
        {1e13f, "1e13"},       {-2.5f, "-2.5"},        {0.1f, "0.1"},          {16777216.0f, "16777216.0"},
        {123456.79f, "123456.79"},
        {std::numeric_limits<float>::max(), "3.4028235e38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        {std::numeric_limits<float>::infinity(), ".inf"},
        {-std::numeric_limits<float>::infinity(), "-.inf"},
        {std::numeric_limits<float>::quiet_NaN(), ".nan"},
        {-std::numeric_limits<float>::quiet_NaN(), ".nan"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(yaml::float_text(value), text) << text;
}

// Texts that would read back as something else unless quoted, and texts that need a block
// or double quotes.
const std::vector<std::string> awkward_texts = {
    "", "~", "null", "Null", "NULL", "true", "False", "007", "-01", "60", "-5", "+7", "0x1F", "-0b1",
    "99999999999999999999999999999999999999999", "1e3", ".inf", "-.Inf", ".nan", "+1.5", "1.", ".5",
    "a\nb", "trailing\n", "\n", "\n\n", " lead", "trail ", "# hash", "key: value", "- dash", "'quote",
    "\"double", "tab\there", std::string("nul\0byte", 8), "\xc3\xbc" "n\xc3\xaf" "c\xc3\xb6" "de", "[x]", "{y}",
    "*star", "&amp", "!bang", "%pct", "@at", "`tick", "-", "?", ":", "a #b", "\r", "\xc2\x85", "\xe2\x80\xa8",
    "---", "...", "<<", "1e400", "yes", "inf", std::string(5000, 'x'), "Alt+F8", "/a b/c",
};

TEST_F(SettingsWrite, AwkwardTextsReadBackUnchanged) {
    for (const std::string& text : awkward_texts) {
        SCOPED_TRACE(text);
        Config config = default_config();
        config.encoder = text;
        config.hotkey = text;
        config.clips_dir = text;
        config.tracks = {Track{text, TrackSource::Output, text, false, 0.5f}};
        config.voice.phrases = {text, text + "!"};
        config.voice.language = text;
        auto yaml_text = config_yaml_text(config);
        ASSERT_TRUE(yaml_text);
        auto read = parse_config_text(*yaml_text);
        ASSERT_TRUE(read) << read.error() << "\n" << *yaml_text;
        EXPECT_EQ(*read, config) << *yaml_text;
    }
}

TEST_F(SettingsWrite, TextsAreQuotedOnlyWhenNeeded) {
    Config config = default_config();
    config.encoder = "";
    config.hotkey = "true";
    config.voice.language = "007";
    config.voice.phrases = {"clip that", "line\nfeed"};
    config.tracks = {Track{"60", TrackSource::Input, "null", true, 1.0f},
                     Track{"Desk", TrackSource::Output, std::nullopt, true, 2.0f}};
    auto text = config_yaml_text(config);
    ASSERT_TRUE(text);
    for (const char* line : {"encoder: ''\n", "hotkey: 'true'\n", "language: '007'\n", "- name: '60'\n",
                             "  device: 'null'\n", "  device: null\n", "  - clip that\n", "  - |-\n    line\n    feed\n",
                             "- name: Desk\n  source: output\n"})
        EXPECT_NE(text->find(line), std::string::npos) << line << "\n" << *text;

    config.tracks.clear();
    config.voice.phrases.clear();
    text = config_yaml_text(config);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("\ntracks: []\n"), std::string::npos) << *text;
    auto read = parse_config_text(*text);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->tracks.empty());
}

TEST_F(SettingsWrite, FloatsReadBackAsTheSameBits) {
    const std::vector<float> values = {0.8f, 18.0f, 1e20f, 1.5e-7f, -0.0f, 0.1f, 1e-45f, 3.4028235e38f,
                                       16777217.0f, 0.3f, -123.456f, std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity()};
    for (const float value : values) {
        Config config = default_config();
        config.tracks[0].volume = value;
        config.autoclip.threshold_db = value;
        config.voice.min_confidence = value;
        auto read = parse_config_text(*config_yaml_text(config));
        ASSERT_TRUE(read);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(read->tracks[0].volume), std::bit_cast<std::uint32_t>(value));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(read->voice.min_confidence), std::bit_cast<std::uint32_t>(value));
    }
    Config config = default_config();
    config.tracks[0].volume = std::numeric_limits<float>::quiet_NaN();
    auto read = parse_config_text(*config_yaml_text(config));
    ASSERT_TRUE(read);
    EXPECT_TRUE(std::isnan(read->tracks[0].volume));
}

TEST_F(SettingsWrite, ReadWriteReadKeepsTheConfigAndDropsUnknownKeys) {
    const fs::path path = home.write("config.yaml",
                                     "# comment\nfps: 0x1E\nextra: {deep: [1, 2]}\ntracks:\n- {name: a, source: !output }\n"
                                     "voice: {phrases: [\"x\\ty\"], min_confidence: .25}\n");
    auto first = load_config(path);
    ASSERT_TRUE(first);
    ASSERT_TRUE(save_config(*first, path));
    const std::string written = test::read_file(path);
    EXPECT_EQ(written.find("extra"), std::string::npos);
    EXPECT_EQ(written.find("comment"), std::string::npos);
    auto second = load_config(path);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, *first);
}

TEST_F(SettingsWrite, ClipsDirThatIsNotUtf8IsRefusedAndTheFileKept) {
    const fs::path path = home.write("config.yaml", "fps: 30\n");
    Config config = default_config();
    config.clips_dir = fs::path("/videos/caf\xe9");
    auto saved = save_config(config, path);
    ASSERT_FALSE(saved);
    EXPECT_EQ(format_engine_error(saved.error()), "config: path contains invalid UTF-8 characters");
    EXPECT_EQ(test::read_file(path), "fps: 30\n");
}

// Every file in `directory`: a write must leave no temporary file behind.
std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
}

TEST_F(SettingsWrite, FailuresNameWhatCouldNotBeWritten) {
    const fs::path file = home.write("plain-file", "keep");
    struct Case {
        fs::path path;
        std::string error;
    };
    const std::vector<Case> cases = {
        {file / "sub/config.yaml", "creating " + (file / "sub").string() + ": Not a directory (os error 20)"},
        {file / "config.yaml", "creating " + file.string() + ": File exists (os error 17)"},
        {home.path(), "writing " + home.path().string() + ": Is a directory (os error 21)"},
        {"/dev/full", "writing /dev/full: No space left on device (os error 28)"},
    };
    for (const Case& c : cases) {
        auto saved = save_config(default_config(), c.path);
        ASSERT_FALSE(saved) << c.path;
        EXPECT_EQ(format_engine_error(saved.error()), c.error);
    }
    EXPECT_EQ(test::read_file(file), "keep");
    EXPECT_EQ(entries(home.path()), std::vector<std::string>{"plain-file"});
}

TEST_F(SettingsWrite, DanglingLinkIntoAMissingDirectoryFails) {
    const fs::path path = home / "config.yaml";
    fs::create_symlink(home / "gone/config.yaml", path);
    auto saved = save_config(default_config(), path);
    ASSERT_FALSE(saved);
    EXPECT_EQ(format_engine_error(saved.error()), "writing " + path.string() + ": No such file or directory (os error 2)");
    EXPECT_TRUE(fs::is_symlink(path));
}

TEST_F(SettingsWrite, FileSizeLimitLeavesTheOldFileWhole) {
    const std::string old_text = "fps: 30\n# the user's own file\n";
    const fs::path path = home.write("cfg/config.yaml", old_text);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        auto saved = save_config(default_config(), path);
        const bool expected = !saved && format_engine_error(saved.error()) ==
                                            "writing " + path.string() + ": File too large (os error 27)";
        ::_exit(expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::read_file(path), old_text);
    EXPECT_EQ(entries(path.parent_path()), std::vector<std::string>{"config.yaml"});
}

TEST_F(SettingsWrite, SymlinkStaysALinkAndItsTargetIsUpdated) {
    const fs::path target = home.write("dotfiles/vantrel.yaml", "fps: 30\n");
    const fs::path link = home / ".config/vantrelclips/config.yaml";
    fs::create_directories(link.parent_path());
    fs::create_symlink("../../dotfiles/vantrel.yaml", link);
    Config config = default_config();
    config.fps = 42;
    ASSERT_TRUE(save_config(config, link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), fs::path("../../dotfiles/vantrel.yaml"));
    auto read = load_config(target);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->fps, 42u);
    EXPECT_EQ(entries(home / "dotfiles"), std::vector<std::string>{"vantrel.yaml"});
}

TEST_F(SettingsWrite, PermissionBitsAreKeptAndNewFilesFollowTheUmask) {
    const fs::path existing = home.write("existing.yaml", "fps: 30\n");
    ::chmod(existing.c_str(), 0640);
    ASSERT_TRUE(save_config(default_config(), existing));
    struct stat status {};
    ASSERT_EQ(::stat(existing.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    const mode_t old_mask = ::umask(027);
    const fs::path fresh = home / "new/dir/config.yaml";
    const auto saved = save_config(default_config(), fresh);
    ::umask(old_mask);
    ASSERT_TRUE(saved);
    ASSERT_EQ(::stat(fresh.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat(fresh.parent_path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0750u);
}

// Tests run as root, whom no permission bit stops: the writes run in a child process as a
// user with no password entry, in a directory that user may write.
TEST_F(SettingsWrite, FileTheUserMayNotWriteIsRefusedAndLeftAlone) {
    ASSERT_EQ(::chmod(home.path().c_str(), 0777), 0);
    const std::string old_text = "fps: 30\n# read-only on purpose\n";
    const fs::path read_only = home.write("read-only.yaml", old_text);
    ASSERT_EQ(::chmod(read_only.c_str(), 0444), 0);
    const fs::path theirs = home.write("theirs.yaml", old_text);  // root's
    ASSERT_EQ(::chmod(theirs.c_str(), 0644), 0);
    const fs::path writable = home.write("writable.yaml", old_text);
    ASSERT_EQ(::chmod(writable.c_str(), 0666), 0);

    const auto reported = test::run_as_user_without_home([&] {
        std::string text;
        for (const fs::path& path : {read_only, theirs, writable}) {
            auto saved = save_config(default_config(), path);
            text += (saved ? std::string("ok") : format_engine_error(saved.error())) + "\n";
        }
        return text;
    });
    if (!reported) GTEST_SKIP() << "cannot switch to a user without a password entry";
    const std::string& text = *reported;

    EXPECT_EQ(text, "writing " + read_only.string() + ": Permission denied (os error 13)\n" +
                        "writing " + theirs.string() + ": Permission denied (os error 13)\n" + "ok\n");
    for (const fs::path& path : {read_only, theirs}) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0u) << path;
        EXPECT_EQ(test::read_file(path), old_text) << path;
    }
    EXPECT_NE(test::read_file(writable), old_text);
    EXPECT_EQ(entries(home.path()), (std::vector<std::string>{"read-only.yaml", "theirs.yaml", "writable.yaml"}));
}

TEST_F(SettingsWrite, BareFileNameIsWrittenInTheWorkingDirectory) {
    const fs::path old_directory = fs::current_path();
    fs::current_path(home.path());
    const auto saved = save_config(default_config(), "config.yaml");
    fs::current_path(old_directory);
    ASSERT_TRUE(saved);
    EXPECT_EQ(entries(home.path()), std::vector<std::string>{"config.yaml"});
}

}  // namespace
}  // namespace vc
