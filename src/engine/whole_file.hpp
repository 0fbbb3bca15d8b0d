// Whole files at once: the one way the program reads a file into memory and writes a buffer
// out as a file's whole content (the settings file, the ring list, the concat list, clip
// metadata, the user-dirs file). Any thread may call them; nothing is kept between calls.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/error.hpp"

namespace vc {

// The whole content, or the error of the open or of a read (resumed after interruptions).
[[nodiscard]] std::expected<std::string, OsError> read_whole_file(const std::filesystem::path& path);

// What a write that fails once the file is open leaves at its path.
enum class PartialFile : std::uint8_t {
    keep,    // what was written so far stays (a device or a pipe must never be unlinked)
    remove,  // the path is unlinked, so a cut-short file is never taken for a whole one
};

// Opens `path` for writing, created (0666 less the umask) or truncated, and writes all of
// `content` with write_all; the error of the open, a write or the close.
[[nodiscard]] std::expected<void, OsError> write_whole_file(const std::filesystem::path& path, std::string_view content,
                                              PartialFile partial = PartialFile::keep);

}  // namespace vc
