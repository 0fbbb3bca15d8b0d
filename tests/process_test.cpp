// The process class with small real programs: what a child inherits, pipes, launch
// failures, exit status texts, reaping and signalling.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "engine/ffmpeg.hpp"
#include "engine/process.hpp"
#include "support/environment.hpp"

namespace vc {
namespace {

const std::filesystem::path child_state = VANTREL_TEST_BIN_DIR "/child_state";

std::string run_stdout(Command command) {
    auto output = Process::output(std::move(command));
    EXPECT_TRUE(output) << (output ? "" : format_os_error(output.error()));
    if (!output) return {};
    EXPECT_TRUE(output->status.success()) << output->status.text();
    return output->stdout_bytes;
}

// What a child has of SIGHUP unless it is left to finish: what this process has (ignored when
// the tests run under nohup).
std::string inherited_sighup() {
    struct sigaction now{};
    sigaction(SIGHUP, nullptr, &now);
    return now.sa_handler == SIG_IGN ? "ignored" : "default";
}

// The program ignores SIGPIPE for its whole run, and other threads may hold descriptors
// opened without O_CLOEXEC; neither may reach a child.
TEST(Process, ChildGetsOnlyItsStandardStreamsAndDefaultSigpipe) {
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    const int leaky_file = ::open("/dev/null", O_RDONLY);
    int leaky_pipe[2];
    ASSERT_EQ(::pipe(leaky_pipe), 0);

    Command command(child_state);
    command.stdin_mode = Stdio::null_device;
    const std::string report = run_stdout(command);

    ::close(leaky_file);
    ::close(leaky_pipe[0]);
    ::close(leaky_pipe[1]);
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(report, "fds: 0 1 2\nsigpipe: default\nsighup: " + inherited_sighup() + "\nown group: no\npdeathsig: 0\n");
}

TEST(Process, OwnProcessGroupAndParentDeathSignal) {
    Command command(child_state);
    command.stdin_mode = Stdio::null_device;
    command.new_process_group = true;
    command.pre_exec = kill_with_parent;
    EXPECT_EQ(run_stdout(command),
              "fds: 0 1 2\nsigpipe: default\nsighup: " + inherited_sighup() + "\nown group: yes\npdeathsig: 9\n");
}

// A save's join: a group of its own, a hang-up ignored, no parent-death signal, and the
// ring's lock kept as descriptor 3 whatever number the parent holds it under.
TEST(Process, LeftToFinishWithTheDescriptorItKeeps) {
    const FileDescriptor opened(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(opened.valid());
    const FileDescriptor lock(::fcntl(opened.get(), F_DUPFD_CLOEXEC, 50));
    ASSERT_TRUE(lock.valid());
    Command command(child_state);
    command.stdin_mode = Stdio::null_device;
    leave_to_finish(command);
    command.kept_descriptor = lock.get();
    EXPECT_EQ(run_stdout(command), "fds: 0 1 2 3\nsigpipe: default\nsighup: ignored\nown group: yes\npdeathsig: 0\n");
}

TEST(Process, PipedStandardInput) {
    Command command(child_state, {"--echo-stdin"});
    command.stdin_mode = Stdio::pipe;
    command.stdout_mode = Stdio::pipe;
    auto process = Process::spawn(command);
    ASSERT_TRUE(process);
    FileDescriptor input = process->take_stdin();
    ASSERT_TRUE(input.valid());
    EXPECT_FALSE(process->take_stdin().valid());  // taken once
    ASSERT_TRUE(input.write_all("samples"));
    input.reset();
    auto output = process->wait_with_output();
    ASSERT_TRUE(output);
    EXPECT_EQ(output->stdout_bytes.substr(0, 19), "samples\nfds: 0 1 2\n");
}

TEST(Process, OutputClosesAPipedStandardInput) {
    Command command("cat");
    command.stdin_mode = Stdio::pipe;
    const auto output = Process::output(command);  // would wait forever for input otherwise
    ASSERT_TRUE(output);
    EXPECT_TRUE(output->status.success());
    EXPECT_EQ(output->stdout_bytes, "");
}

TEST(Process, WritingToAChildThatEndedFailsWithEpipe) {
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    Command command("true");
    command.stdin_mode = Stdio::pipe;
    auto process = Process::spawn(command);
    ASSERT_TRUE(process);
    ASSERT_TRUE(process->wait());
    const auto written = process->take_stdin().write_all("late");
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, EPIPE);
}

TEST(Process, LaunchFailuresAreReportedBySpawn) {
    test::TempDir dir;
    const auto text_file = dir.write("plain", "no program\n");
    std::filesystem::create_directory(dir / "folder");
    struct Case {
        std::filesystem::path program;
        int error;
    } cases[] = {
        {dir / "missing", ENOENT},
        {"vantrel-no-such-program", ENOENT},
        {text_file, EACCES},
        {dir / "folder", EACCES},
        {"", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        const auto process = Process::spawn(Command(c.program));
        ASSERT_FALSE(process);
        EXPECT_EQ(process.error().code, c.error);
    }
}

TEST(Process, BareNamesAreLookedUpOnPath) {
    test::TempDir dir;
    const auto script = dir.write("vantrel-fake-tool", "#!/bin/sh\necho found \"$@\"\n");
    ::chmod(script.c_str(), 0755);
    test::ScopedEnv env{{"PATH", "/nonexistent:" + dir.path().string() + ":/usr/bin:/bin"}};
    EXPECT_EQ(run_stdout(Command("vantrel-fake-tool", {"a b", "--c"})), "found a b --c\n");
}

TEST(ExitStatus, Texts) {
    struct Case {
        int raw;
        const char* text;
        bool success;
    } cases[] = {
        {0, "exit status: 0", true},
        {1 << 8, "exit status: 1", false},
        {255 << 8, "exit status: 255", false},
        {SIGKILL, "signal: 9 (SIGKILL)", false},
        {SIGSEGV | 0x80, "signal: 11 (SIGSEGV) (core dumped)", false},
        {SIGRTMIN + 1, nullptr, false},
    };
    for (const Case& c : cases) {
        const ExitStatus status(c.raw);
        if (c.text)
            EXPECT_EQ(status.text(), c.text);
        else
            EXPECT_EQ(status.text(), "signal: " + std::to_string(c.raw));
        EXPECT_EQ(status.success(), c.success);
    }
}

TEST(ExitStatus, FromRealChildren) {
    struct Case {
        const char* script;
        const char* text;
    } cases[] = {
        {"exit 0", "exit status: 0"},
        {"exit 7", "exit status: 7"},
        {"kill -KILL $$", "signal: 9 (SIGKILL)"},
        {"kill -TERM $$", "signal: 15 (SIGTERM)"},
    };
    for (const Case& c : cases) {
        const auto output = Process::output(Command("/bin/sh", {"-c", c.script}));
        ASSERT_TRUE(output);
        EXPECT_EQ(output->status.text(), c.text);
    }
}

bool gone_or_zombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    const auto end_of_name = line.rfind(')');
    return end_of_name != std::string::npos && line.substr(end_of_name + 2, 1) == "Z";
}

TEST(Process, NonBlockingReapAndGroupKill) {
    // The shell starts a grandchild in the same group: the group kill must reach it too.
    Command command("/bin/sh", {"-c", "sleep 30 & echo $!; wait"});
    command.stdin_mode = Stdio::null_device;
    command.stdout_mode = Stdio::pipe;
    command.new_process_group = true;
    auto process = Process::spawn(command);
    ASSERT_TRUE(process);
    FileDescriptor out = process->take_stdout();
    std::string line;
    char c;
    while (out.read_some(&c, 1).value_or(0) == 1 && c != '\n') line += c;
    const pid_t grandchild = std::stoi(line);

    EXPECT_FALSE(process->try_wait());
    process->kill_group(SIGKILL);
    const auto status = process->wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), "signal: 9 (SIGKILL)");
    ASSERT_TRUE(process->try_wait());
    EXPECT_EQ(process->try_wait()->text(), "signal: 9 (SIGKILL)");
    process->kill_group(SIGKILL);  // already reaped: nothing is sent

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!gone_or_zombie(grandchild) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(gone_or_zombie(grandchild));
}

TEST(Process, ParentDeathSignalFollowsTheSpawningThread) {
    std::optional<Process> child;
    std::thread spawner([&child] {
        Command command("sleep", {"30"});
        command.stdin_mode = Stdio::null_device;
        command.new_process_group = true;
        command.pre_exec = kill_with_parent;
        auto process = Process::spawn(command);
        if (process) child.emplace(std::move(*process));
    });
    spawner.join();
    ASSERT_TRUE(child);
    const auto status = child->wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), "signal: 9 (SIGKILL)");
}

}  // namespace
}  // namespace vc
