#include "engine/dirs.hpp"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/utf8.hpp"
#include "engine/whole_file.hpp"

namespace vc {
namespace {

constexpr std::string_view kProjectName = "vantrelclips";  // "Vantrel Clips", pieces lower-cased
constexpr std::string_view kClipsFolder = "Vantrel Clips";

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// An XDG variable counts only when it holds an absolute path.
std::optional<std::filesystem::path> absolute_env(const char* name) {
    auto value = env(name);
    if (!value || value->empty() || (*value)[0] != '/') return std::nullopt;
    return std::filesystem::path(*value);
}

std::optional<std::filesystem::path> password_home() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested < 0 ? 512 : static_cast<std::size_t>(suggested));
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        // A buffer that is too small is no reason to give up on the home directory.
        if (rc == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] == '\0')
            return std::nullopt;
        return std::filesystem::path(entry.pw_dir);
    }
}

std::string_view trim_blanks(std::string_view text) {
    const auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// A backslash is dropped and the byte after it is taken literally.
std::string unescape(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\') {
            if (++i < raw.size()) out += raw[i];
        } else {
            out += raw[i];
        }
    }
    return out;
}

std::filesystem::path config_home(const std::filesystem::path& home) {
    if (auto xdg = absolute_env("XDG_CONFIG_HOME")) return *xdg;
    return join_path(home, ".config");
}

}  // namespace

std::filesystem::path join_path(const std::filesystem::path& first, std::string_view second) {
    const std::string& base = first.native();
    if (!second.empty() && second.front() == '/') return std::filesystem::path(std::string(second));
    if (base.empty() || base.back() == '/') return std::filesystem::path(base + std::string(second));
    return std::filesystem::path(base + "/" + std::string(second));
}

std::optional<std::filesystem::path> home_dir() {
    if (auto home = env("HOME"); home && !home->empty()) return std::filesystem::path(*home);
    return password_home();
}

std::optional<ProjectDirs> project_dirs() {
    auto home = home_dir();
    if (!home) return std::nullopt;
    const auto base = [&](const char* variable, std::string_view fallback) {
        if (auto xdg = absolute_env(variable)) return *xdg;
        return join_path(*home, fallback);
    };
    return ProjectDirs{
        .config_dir = join_path(base("XDG_CONFIG_HOME", ".config"), kProjectName),
        .cache_dir = join_path(base("XDG_CACHE_HOME", ".cache"), kProjectName),
        .data_dir = join_path(base("XDG_DATA_HOME", ".local/share"), kProjectName),
    };
}

std::optional<std::filesystem::path> parse_videos_dir(std::string_view text,
                                                      const std::filesystem::path& home) {
    std::optional<std::filesystem::path> videos;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;

        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = trim_blanks(line.substr(0, equals));
        const std::string_view value = trim_blanks(line.substr(equals + 1));
        if (key.size() < 8 || !key.starts_with("XDG_") || !key.ends_with("_DIR")) continue;
        const std::string_view name = key.substr(4, key.size() - 8);
        if (!is_valid_utf8(name)) continue;
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
        const std::string_view raw = value.substr(1, value.size() - 2);

        std::filesystem::path path;
        if (raw == "$HOME/") {
            continue;  // the directory is switched off
        } else if (raw.starts_with("$HOME/")) {
            path = join_path(home, unescape(raw.substr(6)));
        } else if (raw.starts_with("/")) {
            path = std::filesystem::path(unescape(raw));
        } else {
            continue;
        }
        if (name == "VIDEOS") videos = std::move(path);
    }
    return videos;
}

std::optional<UserDirs> user_dirs() {
    auto home = home_dir();
    if (!home) return std::nullopt;
    UserDirs dirs{.home_dir = *home, .videos_dir = std::nullopt};
    if (auto text = read_whole_file(join_path(config_home(*home), "user-dirs.dirs")))
        dirs.videos_dir = parse_videos_dir(*text, *home);
    return dirs;
}

std::filesystem::path default_clips_dir() {
    auto dirs = user_dirs();
    if (!dirs) return join_path("clips", kClipsFolder);
    if (dirs->videos_dir) return join_path(*dirs->videos_dir, kClipsFolder);
    return join_path(join_path(dirs->home_dir, "Videos"), kClipsFolder);
}

}  // namespace vc
