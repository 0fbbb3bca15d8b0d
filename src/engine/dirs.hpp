// Per-user directories: the home directory, the application's configuration, cache and data
// directories (ProjectDirs) and the user's videos directory (UserDirs). Every lookup reads
// the environment at the moment it is made; nothing is cached and nothing is created on disk.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace vc {

struct ProjectDirs {
    std::filesystem::path config_dir;
    std::filesystem::path cache_dir;
    std::filesystem::path data_dir;
};

struct UserDirs {
    std::filesystem::path home_dir;
    std::optional<std::filesystem::path> videos_dir;
};

// HOME when set and not empty, else the password database entry of the real user.
std::optional<std::filesystem::path> home_dir();

// Absent when there is no home directory.
std::optional<ProjectDirs> project_dirs();
std::optional<UserDirs> user_dirs();

// The videos directory + "Vantrel Clips", else home/Videos/Vantrel Clips, else the
// relative "clips/Vantrel Clips".
std::filesystem::path default_clips_dir();

// Joins two path texts: "/" between them unless the first is empty or already ends in "/";
// a second part that begins with "/" replaces the first.
std::filesystem::path join_path(const std::filesystem::path& first, std::string_view second);

// The video entry of a "user-dirs.dirs" text, given the home directory. Exposed for tests.
std::optional<std::filesystem::path> parse_videos_dir(std::string_view user_dirs_text,
                                                      const std::filesystem::path& home);

}  // namespace vc
