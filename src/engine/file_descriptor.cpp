#include "engine/file_descriptor.hpp"

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

std::expected<void, OsError> FileDescriptor::close() {
    const int fd = release();
    if (fd < 0) return {};
    // Linux releases the descriptor even when close reports EINTR, and nothing was lost then.
    if (::close(fd) != 0 && errno != EINTR) return std::unexpected(OsError::from_errno(errno));
    return {};
}

std::expected<void, OsError> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(OsError::from_errno(errno));
        }
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

}  // namespace vc
