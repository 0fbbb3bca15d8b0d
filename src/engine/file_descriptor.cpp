#include "engine/file_descriptor.hpp"

#include <fcntl.h>

#include <cerrno>
#include <unistd.h>

namespace vc {

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        // Linux releases the descriptor even when close reports EINTR; retrying could
        // close a descriptor another thread has just been given.
        ::close(fd_);
    }
    fd_ = fd;
}

std::expected<void, OsError> FileDescriptor::write_all(std::string_view bytes) const {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(OsError::from_errno(errno));
        }
        // No progress and no error would otherwise spin here for ever.
        if (written == 0) return std::unexpected(OsError::with_message("failed to write whole buffer"));
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

std::expected<std::size_t, OsError> FileDescriptor::read_some(char* buffer, std::size_t size) const {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return std::unexpected(OsError::from_errno(errno));
    }
}

std::expected<void, OsError> write_file(const std::filesystem::path& path, std::string_view content) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file) return std::unexpected(OsError::from_errno(errno));
    if (auto written = file.write_all(content); !written) return written;
    // A full disk may only show at the close.
    if (::close(file.release()) != 0 && errno != EINTR) return std::unexpected(OsError::from_errno(errno));
    return {};
}

}  // namespace vc
