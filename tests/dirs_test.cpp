#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/dirs.hpp"
#include "engine/settings.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

using test::ScopedEnv;
using test::TempDir;

struct VideosCase {
    const char* name;
    std::string file;
    std::optional<std::string> expected;
};

TEST(UserDirsFile, VideosEntryRules) {
    const std::filesystem::path home = "/home/u";
    const VideosCase cases[] = {
        {"home relative", "XDG_VIDEOS_DIR=\"$HOME/Movies\"\n", "/home/u/Movies"},
        {"absolute", "XDG_VIDEOS_DIR=\"/media/films\"", "/media/films"},
        {"blanks and tabs around", " \tXDG_VIDEOS_DIR \t= \"/v\"\t\n", "/v"},
        {"home alone switches off", "XDG_VIDEOS_DIR=\"$HOME/\"\n", std::nullopt},
        {"unquoted", "XDG_VIDEOS_DIR=$HOME/Movies\n", std::nullopt},
        {"tilde", "XDG_VIDEOS_DIR=\"~/Movies\"\n", std::nullopt},
        {"one quote", "XDG_VIDEOS_DIR=\"\n", std::nullopt},
        {"key too short", "XDG_DIR=\"/v\"\n", std::nullopt},
        {"other variable", "XDG_VIDEOS_DIR=\"$XDG/v\"\n", std::nullopt},
        {"relative", "XDG_VIDEOS_DIR=\"Movies\"\n", std::nullopt},
        {"escaped blank", "XDG_VIDEOS_DIR=\"$HOME/My\\ Videos\"\n", "/home/u/My Videos"},
        {"trailing backslash dropped", "XDG_VIDEOS_DIR=\"/v\\\"\n", "/v"},
        {"escaped trailing backslash", "XDG_VIDEOS_DIR=\"/v\\\\\"\n", "/v\\"},
        {"crlf spoils every line", "XDG_VIDEOS_DIR=\"/a\"\r\nXDG_MUSIC_DIR=\"/m\"\r\n", std::nullopt},
        {"last valid line wins", "XDG_VIDEOS_DIR=\"/a\"\nXDG_VIDEOS_DIR=\"/b\"\nXDG_VIDEOS_DIR=bad\n", "/b"},
        {"other entries ignored", "# comment\nXDG_MUSIC_DIR=\"/m\"\n", std::nullopt},
        {"first equals splits", "XDG_VIDEOS_DIR=\"/a=b\"", "/a=b"},
        {"non-utf8 name skipped", "XDG_\xff_DIR=\"/x\"\nXDG_VIDEOS_DIR=\"/v\"", "/v"},
    };
    for (const auto& c : cases) {
        const auto videos = parse_videos_dir(c.file, home);
        if (c.expected)
            EXPECT_EQ(videos, std::filesystem::path(*c.expected)) << c.name;
        else
            EXPECT_EQ(videos, std::nullopt) << c.name;
    }
}

TEST(JoinPath, SeparatorRules) {
    EXPECT_EQ(join_path("/a", "b").native(), "/a/b");
    EXPECT_EQ(join_path("/a/", "b").native(), "/a/b");
    EXPECT_EQ(join_path("", "b").native(), "b");
    EXPECT_EQ(join_path("/a", "/b").native(), "/b");
}

struct DirsFixture : ::testing::Test {
    TempDir tmp;
    ScopedEnv env{{"HOME", (tmp.path() / "home").string()},
                  {"XDG_CONFIG_HOME", std::nullopt},
                  {"XDG_CACHE_HOME", std::nullopt},
                  {"XDG_DATA_HOME", std::nullopt}};
    std::string home() const { return (tmp.path() / "home").string(); }
};

TEST_F(DirsFixture, ProjectDirsUnderHome) {
    const auto dirs = project_dirs();
    ASSERT_TRUE(dirs);
    EXPECT_EQ(dirs->config_dir.native(), home() + "/.config/vantrelclips");
    EXPECT_EQ(dirs->cache_dir.native(), home() + "/.cache/vantrelclips");
    EXPECT_EQ(dirs->data_dir.native(), home() + "/.local/share/vantrelclips");
}

TEST_F(DirsFixture, XdgVariablesCountOnlyWhenAbsolute) {
    env.set("XDG_CONFIG_HOME", "/x/");
    env.set("XDG_CACHE_HOME", "relative");
    env.set("XDG_DATA_HOME", "");
    const auto dirs = project_dirs();
    ASSERT_TRUE(dirs);
    EXPECT_EQ(dirs->config_dir.native(), "/x/vantrelclips");
    EXPECT_EQ(dirs->cache_dir.native(), home() + "/.cache/vantrelclips");
    EXPECT_EQ(dirs->data_dir.native(), home() + "/.local/share/vantrelclips");
}

TEST_F(DirsFixture, RelativeHomeIsUsedUnchanged) {
    env.set("HOME", "home");
    EXPECT_EQ(project_dirs()->config_dir.native(), "home/.config/vantrelclips");
}

TEST_F(DirsFixture, EmptyHomeFallsBackToPasswordDatabase) {
    env.set("HOME", "");
    const auto home = home_dir();
    ASSERT_TRUE(home);  // the test user (root in CI) has a password entry
    EXPECT_FALSE(home->empty());
    EXPECT_NE(home->native(), "");
}

TEST_F(DirsFixture, DefaultClipsDirFromUserDirsFile) {
    EXPECT_EQ(default_clips_dir().native(), home() + "/Videos/Vantrel Clips");
    tmp.write("home/.config/user-dirs.dirs", "XDG_VIDEOS_DIR=\"$HOME/Movies\"\n");
    EXPECT_EQ(default_clips_dir().native(), home() + "/Movies/Vantrel Clips");

    // The file follows XDG_CONFIG_HOME.
    tmp.write("cfg/user-dirs.dirs", "XDG_VIDEOS_DIR=\"/media/films\"\n");
    env.set("XDG_CONFIG_HOME", (tmp.path() / "cfg").string());
    EXPECT_EQ(default_clips_dir().native(), "/media/films/Vantrel Clips");
}

TEST_F(DirsFixture, DefaultConfig) {
    const Config config = default_config();
    EXPECT_EQ(config.replay_seconds, 30u);
    EXPECT_EQ(config.fps, 60u);
    EXPECT_EQ(config.display, 0u);
    EXPECT_EQ(config.quality, 23);
    EXPECT_EQ(config.encoder, "auto");
    EXPECT_EQ(config.clips_dir.native(), home() + "/Videos/Vantrel Clips");
    ASSERT_EQ(config.tracks.size(), 1u);
    EXPECT_EQ(config.tracks[0], (Track{"Microphone", TrackSource::Input, std::nullopt, true, 1.0f}));
    EXPECT_EQ(config.hotkey, "Alt+F8");
    EXPECT_EQ(config.autoclip, (AutoClip{false, 18.0f, 250, 20, 5}));
    EXPECT_EQ(config.voice, (Voice{false, {}, "auto", 0.8f}));
}

// Without a home directory: run as a user with no password entry, in a child process.
TEST(DirsWithoutHome, RelativeFallbacks) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::unsetenv("HOME");
        ::setenv("XDG_CONFIG_HOME", "/abs/config", 1);
        if (setgid(54321) != 0 || setuid(54321) != 0) _exit(3);
        const bool ok = !home_dir() && !project_dirs() && !user_dirs() &&
                        default_clips_dir().native() == "clips/Vantrel Clips";
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot switch to a user without a password entry";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vc
