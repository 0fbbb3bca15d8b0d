// Test helpers: environment variables set for one scope, and temporary directories.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vc::test {

// Sets (or, with nullopt, unsets) variables and restores the old values when it goes.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const char* name, std::optional<std::string> value);

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A fresh directory under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Writes `content` to `name` (creating parent directories) and gives its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);

}  // namespace vc::test
