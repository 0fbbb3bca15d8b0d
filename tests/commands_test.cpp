#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "engine/format.hpp"

namespace vc::cli {
namespace {

const InputCommand kSave = input::SaveClip{};
const InputCommand kList = input::ListScreens{};
const InputCommand kQuit = input::Quit{};
InputCommand screen(std::uint32_t n) { return input::SwitchScreen{n}; }

TEST(StdinCommands, LinesToCommands) {
    const std::pair<std::string, InputCommand> cases[] = {
        {"\n", kSave},
        {"", kSave},
        {" \t \n", kSave},
        {"\u00a0\u3000\r\n", kSave},
        {"q\n", kQuit},
        {"Q\n", kQuit},
        {"  q\t\n", kQuit},
        {"d\n", kList},
        {"D\n", kList},
        {" \tD \t 2\t \n", screen(2)},
        {"d\u00a02\u2003\n", screen(2)},  // no-break space between, em space after
        {"d 2\r\n", screen(2)},
        {"d 2\r", screen(2)},             // a carriage return alone is white space, trimmed
        {"d +3\n", screen(3)},
        {"d 03\n", screen(3)},
        {"d 007\n", screen(7)},
        {"d 4294967295\n", screen(4294967295u)},
        {"d 0\n", kList},
        {"d 000\n", kList},
        {"d x\n", kList},
        {"d -1\n", kList},
        {"d +\n", kList},
        {"d ++1\n", kList},
        {"d 1.5\n", kList},
        {"d 4294967296\n", kList},
        {"d 99999999999999999999\n", kList},
        {"d \u0663\n", kList},  // Arabic-Indic digit three
        {"d 2 3\n", kSave},
        {"q now\n", kSave},
        {"dq\n", kSave},
        {"dd\n", kSave},
        {"qq\n", kSave},
        {"quit\n", kSave},
        {"save\n", kSave},
        {"x d\n", kSave},
        {"d 2", screen(2)},     // a last line without a line feed
        {"q\xff\n", kQuit},     // not UTF-8: taken as "q"
        {"d 2\xc3\n", kQuit},
    };
    for (const auto& [line, command] : cases) {
        SCOPED_TRACE(testing::PrintToString(line));
        EXPECT_EQ(command_from_line(line), command);
    }
}

TEST(StdinCommands, ScreenNumbers) {
    const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
        {"1", 1u},          {"+1", 1u},        {"0001", 1u},  {"4294967295", 4294967295u},
        {"0", std::nullopt}, {"+0", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt},
        {"-1", std::nullopt}, {"4294967296", std::nullopt}, {"1e3", std::nullopt}, {" 1", std::nullopt},
    };
    for (const auto& [word, number] : cases) {
        SCOPED_TRACE(word);
        EXPECT_EQ(parse_screen_number(word), number);
    }
}

// Runs the reader over `text` and gives the commands it sent and what it left unread.
struct ReaderRun {
    std::vector<InputCommand> commands;
    std::string unread;
    bool disconnected = false;
};

ReaderRun read_all(const std::string& text, bool receiver_gone = false) {
    ReaderRun run;
    std::string buffer = text;
    std::FILE* input = fmemopen(buffer.data(), buffer.size(), "r");
    if (buffer.empty()) input = fopen("/dev/null", "r");
    auto [sender, receiver] = make_queue<InputCommand>();
    if (receiver_gone) receiver.reset();
    read_commands(input, std::move(sender));
    for (int c; (c = std::fgetc(input)) != EOF;) run.unread += static_cast<char>(c);
    std::fclose(input);
    if (receiver_gone) return run;
    for (;;) {
        auto received = receiver.try_recv();
        if (std::holds_alternative<RecvError>(received)) {
            run.disconnected = std::get<RecvError>(received) == RecvError::Disconnected;
            break;
        }
        run.commands.push_back(std::get<0>(received));
    }
    return run;
}

TEST(StdinReader, ReadsUntilQuitAndLeavesTheRest) {
    const auto run = read_all("\nd\nd 2\r\nq\nd 1\n");
    EXPECT_EQ(run.commands, (std::vector<InputCommand>{kSave, kList, screen(2), kQuit}));
    EXPECT_EQ(run.unread, "d 1\n");
    EXPECT_TRUE(run.disconnected);
}

TEST(StdinReader, EndOfInputEndsTheReaderSilently) {
    const auto empty = read_all("");
    EXPECT_TRUE(empty.commands.empty());
    EXPECT_TRUE(empty.disconnected);

    const auto last_line = read_all("d\nd 3");
    EXPECT_EQ(last_line.commands, (std::vector<InputCommand>{kList, screen(3)}));
    EXPECT_TRUE(last_line.disconnected);
}

TEST(StdinReader, InvalidLineQuitsAndNothingMoreIsRead) {
    const auto run = read_all("d\n\xfe\xff\nd 2\n");
    EXPECT_EQ(run.commands, (std::vector<InputCommand>{kList, kQuit}));
    EXPECT_EQ(run.unread, "d 2\n");
}

// A line far longer than any command (a stream without line feeds, a pasted file) is still
// one line: what is kept of it says what it means, and a byte anywhere in it that is not
// UTF-8 still makes it "q".
TEST(StdinReader, LongLinesAreOneLineEach) {
    const std::string blanks(10'000'000, ' ');
    std::string euros;  // three bytes each: the kept part ends inside one
    while (euros.size() < kMaxLineBytes + 1000) euros += "\u20ac";
    std::string bad(10'000'000, 'a');
    bad[5'000'000] = '\xff';
    const std::pair<std::string, std::vector<InputCommand>> cases[] = {
        {std::string(10'000'000, 'x') + "\nd 2\n", {kSave, screen(2)}},
        {"q" + blanks + "\n", {kQuit}},
        {"d 2" + blanks + "\nd\n", {screen(2), kList}},
        {euros + "\nq\n", {kSave, kQuit}},
        {euros, {kSave}},
        {bad + "\nd\n", {kQuit}},
        {bad, {kQuit}},
        // Exactly as long as what is kept: the last character stays, also before a CR LF.
        {std::string(kMaxLineBytes - 1, ' ') + "q\nd\n", {kQuit}},
        {std::string(kMaxLineBytes - 3, ' ') + "d 2\r\nd\n", {screen(2), kList}},
        {std::string(kMaxLineBytes - 4, ' ') + "q \u00e9\nq\n", {kSave, kQuit}},  // a two-byte one
    };
    for (const auto& [text, commands] : cases) {
        SCOPED_TRACE(testing::PrintToString(text.substr(0, 8)) + format(" and {} bytes more", text.size() - 8));
        EXPECT_EQ(read_all(text).commands, commands);
    }
}

TEST(StdinReader, GoneReceiverEndsTheReader) {
    const auto run = read_all("\nd\n", /*receiver_gone=*/true);
    EXPECT_EQ(run.unread, "d\n");
}

TEST(StdinReader, ReadErrorCountsAsQuit) {
    // Reading a directory fails with EISDIR.
    std::FILE* input = std::fopen("/", "r");
    ASSERT_NE(input, nullptr);
    auto [sender, receiver] = make_queue<InputCommand>();
    read_commands(input, std::move(sender));
    std::fclose(input);
    auto received = receiver.try_recv();
    ASSERT_EQ(received.index(), 0u);
    EXPECT_EQ(std::get<0>(received), kQuit);
    EXPECT_EQ(std::get<RecvError>(receiver.try_recv()), RecvError::Disconnected);
}

TEST(StdinReader, ClosedDescriptorReadsAsEnd) {
    std::FILE* input = std::fopen("/dev/null", "w");  // reading a write-only stream fails with EBADF
    ASSERT_NE(input, nullptr);
    auto [sender, receiver] = make_queue<InputCommand>();
    read_commands(input, std::move(sender));
    std::fclose(input);
    EXPECT_EQ(std::get<RecvError>(receiver.try_recv()), RecvError::Disconnected);
}

}  // namespace
}  // namespace vc::cli
