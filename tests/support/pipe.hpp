// Test helper: one pipe, both ends owned, with the reads and queries tests make on it.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "engine/file_descriptor.hpp"

namespace vc::test {

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;

    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
    // Reads until `bytes` have come or the stream ends.
    std::string read_up_to(std::size_t bytes) const {
        std::string data(bytes, '\0');
        std::size_t got = 0;
        while (got < bytes) {
            auto n = read.read_some(data.data() + got, bytes - got);
            if (!n || *n == 0) break;
            got += *n;
        }
        data.resize(got);
        return data;
    }
    std::string read_to_end() const {
        std::string data, chunk;
        while (!(chunk = read_up_to(65536)).empty()) data += chunk;
        return data;
    }
    // Bytes written and not yet read.
    std::size_t queued() const {
        int bytes = 0;
        ::ioctl(read.get(), FIONREAD, &bytes);
        return static_cast<std::size_t>(bytes);
    }
    std::size_t capacity() const { return static_cast<std::size_t>(::fcntl(read.get(), F_GETPIPE_SZ)); }
};

}  // namespace vc::test
