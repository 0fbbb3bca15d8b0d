// FileDescriptor: sole owner of one open POSIX file descriptor (a pipe end, a device),
// closed when the owner goes. It is how pipe ends travel between threads: the recorder
// hands ffmpeg's standard input to the audio mixer and its standard error to the reader
// thread as FileDescriptor values. It does no buffering of its own.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "engine/error.hpp"

namespace vc {

// The one loop that writes a whole buffer to a descriptor, for files, pipes and the terminal
// alike: resumes after interruptions and partial writes, and gives up with "failed to write
// whole buffer" on a write that takes no byte, which would otherwise spin for ever.
std::expected<void, OsError> write_all(int fd, std::string_view bytes);

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }

    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1);
    // Closes the held descriptor and says whether the close failed: a full disk may only
    // show there. The handle is empty afterwards either way.
    [[nodiscard]] std::expected<void, OsError> close();

    // write_all on the held descriptor. A pipe whose reader is gone fails with EPIPE (the
    // process ignores SIGPIPE).
    std::expected<void, OsError> write_all(std::string_view bytes) const { return vc::write_all(fd_, bytes); }
    // One read, resumed after an interruption; 0 means the end of the stream.
    std::expected<std::size_t, OsError> read_some(char* buffer, std::size_t size) const;

private:
    int fd_ = -1;
};

}  // namespace vc
