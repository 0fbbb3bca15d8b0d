#include "engine/whole_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/file_descriptor.hpp"

namespace vc {

std::expected<std::string, OsError> read_whole_file(const std::filesystem::path& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::unexpected(OsError::from_errno(errno));
    std::string content;
    char buffer[65536];
    for (;;) {
        auto got = file.read_some(buffer, sizeof buffer);
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) return content;
        content.append(buffer, *got);
    }
}

std::expected<void, OsError> write_whole_file(const std::filesystem::path& path, std::string_view content,
                                              PartialFile partial) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file) return std::unexpected(OsError::from_errno(errno));
    std::expected<void, OsError> result = file.write_all(content);
    // A full disk may only show at the close.
    if (auto closed = file.close(); !closed && result) result = std::move(closed);
    if (!result && partial == PartialFile::remove) ::unlink(path.c_str());
    return result;
}

}  // namespace vc
