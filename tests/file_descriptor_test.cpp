// The one write-all loop, through each way the program writes a whole buffer: the settings
// file, clip metadata and the terminal. A write that takes no byte cannot be had from a real
// file on cue, so a seccomp filter makes a child process's write() on the file being
// written, or on standard output, return 0; each writer must then give up with an error
// instead of spinning, and leave no cut-short file behind where it promises not to.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <thread>

#include "cli/printing.hpp"
#include "engine/clips.hpp"
#include "engine/settings_file.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kNoSeccomp = "(no seccomp)";

// From here on every write() of this process on standard output, or on the descriptor the
// next open() will give, returns 0 without writing. Other descriptors are left alone: the
// sanitizers test memory by writing it into a pipe of their own.
bool make_writes_take_nothing() {
    const int next = ::open("/dev/null", O_RDONLY);
    if (next < 0) return false;
    ::close(next);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, STDOUT_FILENO, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(next), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// Runs `writer` in a child whose writes take nothing and gives the text it reports, or
// nullopt when it had not ended after 10 seconds (it was spinning, and is killed).
std::optional<std::string> run_with_writes_taking_nothing(const std::function<std::string()>& writer) {
    int report[2];
    if (::pipe(report) != 0) return "(no pipe)";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        const std::string text = make_writes_take_nothing() ? writer() : std::string(kNoSeccomp);
        (void)!::write(report[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(report[1]);
    int status = 0;
    bool ended = false;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         !(ended = ::waitpid(child, &status, WNOHANG) == child) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    ::close(report[0]);
    if (!ended) return std::nullopt;
    return text;
}

TEST(WriteAll, WriteThatTakesNoByteFailsEveryWriter) {
    test::TempDir dir;
    const auto settings = dir / "config.yaml";
    const auto clip = dir / "clip.mp4";
    struct Case {
        const char* what;
        std::function<std::string()> write;
        std::string error;
    };
    const Case cases[] = {
        {"settings file",
         [&] {
             auto saved = save_config(default_config(), settings);
             return saved ? std::string("(written)") : format_engine_error(saved.error());
         },
         "writing " + settings.string() + ": failed to write whole buffer"},
        {"clip metadata",
         [&] {
             auto written = write_clip_meta(clip, {30.0, Origin::manual, std::nullopt});
             return written ? std::string("(written)") : format_engine_error(written.error());
         },
         "writing clip metadata: failed to write whole buffer"},
        {"terminal",
         [] {
             auto written = cli::write_stdout("Recording. Press Enter to save.\n");
             return written ? std::string("(written)") : format_os_error(written.error());
         },
         "failed to write whole buffer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto reported = run_with_writes_taking_nothing(c.write);
        ASSERT_TRUE(reported) << "the writer kept retrying a write that takes no byte";
        if (*reported == kNoSeccomp) GTEST_SKIP() << "seccomp filters are not available here";
        EXPECT_EQ(*reported, c.error);
    }
    // Neither the settings file (replaced whole or not at all) nor a cut-short metadata file
    // is left; nor any temporary file.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace vc
