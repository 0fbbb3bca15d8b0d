// Replacing a file's content so that a failure part-way (a full disk, a file size limit, the
// program killed) never leaves the old file empty or cut short. Used by the settings writer;
// each call owns its temporary file from creation to rename or removal.
#pragma once

#include <expected>
#include <filesystem>
#include <string_view>

#include "engine/error.hpp"

namespace vc {

// Writes `bytes` as the content of the file at `path`, giving the error on failure.
// Symbolic links are followed to the file they name, which is replaced (the links stay).
// A regular file, or one that does not exist yet, is replaced by writing a temporary file
// beside it (with the old file's permission bits, or 0666 less the umask) and renaming it
// over; on failure the temporary file is removed and the old file is untouched. An existing
// file that the effective user may not write fails as writing it in place would (EACCES)
// and is left alone. Anything else (a device, a FIFO) is opened and written in place.
[[nodiscard]] std::expected<void, OsError> replace_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace vc
