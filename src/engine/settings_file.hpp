// The settings file "config.yaml": where it lives, reading it into a Config and writing a
// Config back. The front end reads it once at start and writes it at start and after every
// screen switch; nothing else touches the file. All functions are safe to call from any
// thread, but nothing guards two writers of one file against each other.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/error.hpp"
#include "engine/settings.hpp"

namespace vc {

// The configuration directory joined with "config.yaml", or the relative "config.yaml" when
// there is no home directory. Looks the directories up anew on every call.
std::filesystem::path config_path();

// The Config in the file; the defaults when the file does not exist. Writes nothing.
// Errors: Io "reading {path}" (unreadable, not UTF-8), Config "{path}: {reason}" (refused).
Result<Config> load_config(const std::filesystem::path& path);

// The Config in a YAML text (valid UTF-8), or the reason it is refused, without the path.
std::expected<Config, std::string> parse_config_text(std::string_view text);

// The YAML text that save_config writes for `config`. Fails only for a clips_dir (or another
// text) that is not valid UTF-8.
Result<std::string> config_yaml_text(const Config& config);

// Writes the text over the file at `path`, creating its parent directories. A regular file
// (or a missing one) is replaced through a temporary file and a rename, so a failed write
// leaves the old file whole; symbolic links are followed and stay links.
// Errors: Io "creating {parent}", Config (the text cannot be built), Io "writing {path}".
Status save_config(const Config& config, const std::filesystem::path& path);

}  // namespace vc
