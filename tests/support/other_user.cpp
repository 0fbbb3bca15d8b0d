#include "support/other_user.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "engine/file_descriptor.hpp"

namespace vc::test {
namespace {

constexpr int kCannotSwitch = 3;

}  // namespace

std::optional<std::string> run_as_user_without_home(const std::function<std::string()>& body) {
    int ends[2];
    if (::pipe(ends) != 0) return std::nullopt;
    FileDescriptor read_end(ends[0]);
    FileDescriptor write_end(ends[1]);
    const pid_t child = ::fork();
    if (child < 0) return std::nullopt;
    if (child == 0) {
        read_end.reset();
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUserWithoutHome) != 0 || ::setuid(kUserWithoutHome) != 0)
            ::_exit(kCannotSwitch);
        (void)write_end.write_all(body());
        ::_exit(0);
    }
    write_end.reset();
    std::string text;
    char buffer[1024];
    for (;;) {
        auto got = read_end.read_some(buffer, sizeof buffer);
        if (!got || *got == 0) break;
        text.append(buffer, *got);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotSwitch) return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child did not finish (status " + std::to_string(status) + ")";
    return text;
}

}  // namespace vc::test
