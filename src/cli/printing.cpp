#include "cli/printing.hpp"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

namespace vc::cli {
namespace {

// Leaked on purpose: detached threads may print while the process exits.
std::mutex& stdout_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}

int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace

int write_stdout(std::string_view text) {
    std::lock_guard lock(stdout_lock());
    return write_all(STDOUT_FILENO, text);
}

int write_stderr(std::string_view text) { return write_all(STDERR_FILENO, text); }

void print_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_stdout(line);
}

void print_error_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_stderr(line);
}

}  // namespace vc::cli
