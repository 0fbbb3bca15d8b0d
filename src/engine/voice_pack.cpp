#include "engine/voice_pack.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "engine/dirs.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"

namespace vc {
namespace {

bool has_nul(const std::filesystem::path& path) {
    return path.native().find('\0') != std::string::npos;
}

// stat(2) follows symbolic links, which is what "is a regular file" means here.
bool stat_is(const std::filesystem::path& path, mode_t type) {
    if (has_nul(path)) return false;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    return (status.st_mode & S_IFMT) == type;
}

// A locale variable counts only when it is set, valid UTF-8 and not empty.
const char* locale_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0' || !is_valid_utf8(value)) return nullptr;
    return value;
}

std::string locale_entry(std::string_view raw) {
    const auto cut = raw.find_first_of(".@");
    std::string entry(raw.substr(0, cut));
    std::replace(entry.begin(), entry.end(), '_', '-');
    return entry;
}

}  // namespace

std::filesystem::path voice_dir() {
    if (const char* dir = std::getenv("VANTREL_VOICE_DIR")) return std::filesystem::path(dir);
    if (const auto dirs = project_dirs()) return join_path(dirs->data_dir, "voice");
    return std::filesystem::path("voice");
}

std::filesystem::path vosk_library_path() {
    return join_path(join_path(voice_dir(), "lib"), "libvosk.so");
}

std::filesystem::path vosk_model_path(std::string_view language) {
    return join_path(join_path(voice_dir(), "models"), language);
}

bool voice_pack_installed(std::string_view language) {
    if (language.find('\0') != std::string_view::npos) return false;
    if (!stat_is(vosk_library_path(), S_IFREG)) return false;
    return stat_is(join_path(vosk_model_path(language), "conf"), S_IFDIR);
}

std::vector<std::string> system_locales() {
    std::vector<std::string> locales;
    const auto add = [&](std::string_view raw) {
        std::string entry = locale_entry(raw);
        if (std::find(locales.begin(), locales.end(), entry) == locales.end())
            locales.push_back(std::move(entry));
    };
    if (const char* language = locale_variable("LANGUAGE")) {
        std::string_view rest(language);
        for (;;) {
            const auto colon = rest.find(':');
            add(rest.substr(0, colon));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = locale_variable(name)) add(value);
    return locales;
}

std::string voice_language(const Voice& voice) {
    if (voice.language != "auto") return voice.language;
    const auto locales = system_locales();
    if (locales.empty()) return "en";
    return to_lower(locales.front()).starts_with("es") ? "es" : "en";
}

}  // namespace vc
