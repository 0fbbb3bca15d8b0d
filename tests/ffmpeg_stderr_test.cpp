#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

#include "engine/ffmpeg_stderr.hpp"

namespace vc {
namespace {

std::vector<std::string> split(std::initializer_list<std::string_view> chunks, bool* stopped_early = nullptr) {
    StderrLines lines;
    std::vector<std::string> out;
    for (auto chunk : chunks) {
        if (!lines.feed(chunk, out)) {
            if (stopped_early) *stopped_early = true;
            return out;
        }
    }
    if (auto last = lines.finish()) out.push_back(*last);
    return out;
}

TEST(StderrLines, LineEnds) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split({"a\nb\n"}), (V{"a", "b"}));
    EXPECT_EQ(split({"par", "tial\nrest"}), (V{"partial", "rest"}));
    EXPECT_EQ(split({"crlf\r\n", "\n", "last\r"}), (V{"crlf", "", "last\r"}));
    EXPECT_EQ(split({"only\r\r\n"}), (V{"only\r"}));
    EXPECT_EQ(split({""}), V{});
}

TEST(StderrLines, InvalidUtf8EndsTheReading) {
    bool stopped = false;
    EXPECT_EQ(split({"good\nb\xff" "d\nafter\n"}, &stopped), std::vector<std::string>{"good"});
    EXPECT_TRUE(stopped);
    // Split across reads, a multi-byte character is still whole.
    EXPECT_EQ(split({"\xc3", "\xa9\n"}), std::vector<std::string>{"\u00e9"});
}

TEST(StderrLines, KeepsTheLastTwenty) {
    StderrLines lines;
    EXPECT_EQ(lines.stopped_text(), "recorder stopped: ");
    for (int i = 1; i <= 25; ++i) lines.keep("line " + std::to_string(i));
    std::string expected = "recorder stopped: line 6";
    for (int i = 7; i <= 25; ++i) expected += "\nline " + std::to_string(i);
    EXPECT_EQ(lines.stopped_text(), expected);
}

TEST(ReadFfmpegStderr, SendsRecorderStoppedAtTheEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto [commands, received] = make_queue<EngineCommand>();
    auto [events, unused] = make_queue<EngineEvent>();
    std::thread reader(read_ffmpeg_stderr, RecorderContext{commands, events, {}}, FileDescriptor(fds[0]), 1234u);
    commands.reset();
    const std::string text = "Input #0\nbroken pipe\r\nno newline";
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    reader.join();
    auto message = received.recv();
    ASSERT_EQ(message.index(), 0u);
    const auto& stopped = std::get<command::RecorderStopped>(std::get<0>(message));
    EXPECT_EQ(stopped.pid, 1234u);
    EXPECT_EQ(stopped.text, "recorder stopped: Input #0\nbroken pipe\nno newline");
    EXPECT_EQ(std::get<RecvError>(received.recv()), RecvError::Disconnected);
}

}  // namespace
}  // namespace vc
