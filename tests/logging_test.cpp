#include <gtest/gtest.h>

#include "cli/logging.hpp"

namespace vc::cli {
namespace {

using log::Level;
using namespace std::string_literals;

struct DirectiveCase {
    const char* piece;
    std::optional<std::string> reason;  // nullopt: accepted
};

const std::string kLevelReason =
    "error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", \"debug\", "
    "\"trace\", or a number 0-5";

TEST(RustLog, DirectiveGrammar) {
    const DirectiveCase cases[] = {
        {"debug", {}},
        {"engine", {}},
        {"engine=DeBuG", {}},
        {"engine=", {}},
        {" engine=debug ", {}},
        {"engine=+4", {}},
        {"engine=5", {}},
        {"engine[span]=debug", {}},
        {"engine[{encoder}]", {}},
        {"[{encoder}]=info", {}},
        {"[]", {}},
        {"engine[{a=1}]=debug", {}},
        {"-x", {}},
        {"\u00e9ngine=info", {}},
        {"engine=verbose", kLevelReason},
        {"engine=6", kLevelReason},
        {"engine=+", kLevelReason},
        {"!engine", "invalid filter directive"},
        {"+3", "invalid filter directive"},
        {"   ", "invalid filter directive"},
        {"=info", "invalid filter directive"},
        {"engine[span", "invalid filter directive"},
        {"engine[{a}", "invalid filter directive"},
        {"engine[{a}x]", "invalid filter directive"},
        {"engine[{}]", "invalid filter directive"},
        {"engine[span]x", "invalid filter directive"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_directive(c.piece);
        if (c.reason) {
            ASSERT_FALSE(parsed) << c.piece;
            EXPECT_EQ(parsed.error(), *c.reason) << c.piece;
        } else {
            EXPECT_TRUE(parsed) << c.piece << ": " << (parsed ? "" : parsed.error());
        }
    }
    EXPECT_TRUE(parse_directive("engine[{a=(}]").error().starts_with("invalid field filter: "));
}

TEST(RustLog, WhatADirectiveMeans) {
    EXPECT_EQ(**parse_directive("info"), (Directive{std::nullopt, {}, 3}));
    EXPECT_EQ(**parse_directive("3"), (Directive{std::nullopt, {}, 3}));
    EXPECT_EQ(**parse_directive("engine"), (Directive{"engine", {}, 5}));
    EXPECT_EQ(**parse_directive("engine=+4"), (Directive{"engine", {}, 4}));
    EXPECT_EQ(**parse_directive("a.b/c d=off"), (Directive{"a.b/c d", {}, 0}));
    EXPECT_EQ(**parse_directive("engine[{encoder}]=warn"), (Directive{"engine", {"encoder"}, 2}));
    EXPECT_FALSE(*parse_directive("engine[span]=debug"));  // accepted, never enables anything
}

struct FilterCase {
    const char* rust_log;
    Level level;
    const char* target;
    bool shown;
    std::vector<std::string_view> fields = {};
};

// The decision a call site makes: its remembered interest, and the full check only when
// that says the fields matter.
bool shown_through_call_site(const LogFilter& filter, const FilterCase& c) {
    switch (filter.interest(c.level, c.target)) {
        case log::Interest::Always: return true;
        case log::Interest::Never: return false;
        case log::Interest::Sometimes: return filter.enabled(c.level, c.target, c.fields);
    }
    return false;
}

TEST(RustLog, Matching) {
    const FilterCase cases[] = {
        {"warn,engine=info", Level::Info, "engine", true},
        {"warn,engine=info", Level::Info, "engine::voice", true},
        {"warn,engine=info", Level::Debug, "engine", false},
        {"warn,engine=info", Level::Warn, "ffmpeg", true},
        {"warn,engine=info", Level::Info, "ffmpeg", false},
        {"debug", Level::Debug, "ffmpeg", true},
        {"debug", Level::Trace, "engine", false},
        {"off", Level::Error, "engine", false},
        {"0", Level::Error, "engine", false},
        {"", Level::Error, "engine", false},
        {",,", Level::Error, "engine", false},
        {"engine=debug,engine=warn", Level::Info, "engine", false},
        {"engine=debug,engine=warn", Level::Warn, "engine::audio", true},
        {"engine=debug,engine=warn", Level::Error, "ffmpeg", false},
        {"info,engine::audio=off", Level::Error, "engine::audio", false},
        {"info,engine::audio=off", Level::Info, "engine::clips", true},
        {"info,engine::audio=off", Level::Info, "ffmpeg", true},
        {"engine=verbose", Level::Error, "engine", false},
        {"engine=debug, ffmpeg=off", Level::Debug, "engine", true},
        {"engine=debug, ffmpeg=off", Level::Error, "ffmpeg", false},
        {"engine[span]=debug", Level::Error, "engine", false},
        {"eng=debug", Level::Debug, "engine::voice", true},
        {"engine::a=debug", Level::Debug, "engine::audio", true},
        {"engine::a=debug", Level::Debug, "engine::clips", false},
        {"trace,engine=off", Level::Error, "engine", false},  // the longest target decides alone
        {"error,engine::audio=trace", Level::Trace, "engine::audio", true},
        {"info,debug", Level::Debug, "x", true},
        {"ENGINE=info", Level::Info, "engine", false},  // targets match byte for byte
        {"WARN,engine=DeBug", Level::Debug, "engine", true},  // level names do not
        {"WARN,engine=DeBug", Level::Info, "ffmpeg", false},
        // A field directive stricter than the one behind it decides alone for events with its
        // fields; the others fall to the next directive.
        {"info,engine[{encoder}]=off", Level::Info, "engine", false, {"encoder"}},
        {"info,engine[{encoder}]=off", Level::Info, "engine", true, {"track"}},
        {"warn,engine[{label}]=error", Level::Warn, "engine::audio", false, {"label"}},
        {"warn,engine[{label}]=error", Level::Error, "engine::audio", true, {"label"}},
        {"engine[{encoder}]=off,engine=info", Level::Info, "engine", false, {"encoder"}},
        {"engine[{encoder}]=off,engine=info", Level::Info, "engine", true},
        {"trace,engine[{label}]=off", Level::Error, "engine::audio", false, {"label"}},
        {"trace,engine[{label}]=off", Level::Trace, "engine::voice", true, {"phrase"}},
        {"engine[{label}]=info", Level::Info, "engine::audio", false},  // no other directive
    };
    for (const auto& c : cases) {
        const auto filter = LogFilter::parse(c.rust_log);
        EXPECT_EQ(filter.enabled(c.level, c.target, c.fields), c.shown) << c.rust_log << " / " << c.target;
        EXPECT_EQ(shown_through_call_site(filter, c), c.shown) << c.rust_log << " / " << c.target;
        // Without field directives in play the answer never waits for the fields.
        if (std::string_view(c.rust_log).find('{') == std::string_view::npos) {
            EXPECT_EQ(filter.interest(c.level, c.target) == log::Interest::Always, c.shown) << c.rust_log;
        }
    }
}

TEST(RustLog, FieldNamesNarrowADirective) {
    const auto filter = LogFilter::parse("warn,engine[{encoder}]=debug");
    EXPECT_TRUE(filter.enabled(Level::Debug, "engine", {"encoder"}));
    EXPECT_FALSE(filter.enabled(Level::Debug, "engine", {"track"}));
    EXPECT_TRUE(filter.enabled(Level::Warn, "engine", {"track"}));
    EXPECT_EQ(filter.interest(Level::Debug, "engine"), log::Interest::Sometimes);
    EXPECT_EQ(filter.interest(Level::Warn, "engine"), log::Interest::Always);
    EXPECT_EQ(filter.interest(Level::Trace, "engine"), log::Interest::Never);
}

TEST(RustLog, RejectedPiecesKeepTheirText) {
    std::vector<RejectedDirective> rejected;
    const auto filter = LogFilter::parse("!engine, engine=verbose ,info", &rejected);
    ASSERT_EQ(rejected.size(), 2u);
    EXPECT_EQ(rejected[0].piece, "!engine");
    EXPECT_EQ(rejected[0].reason, "invalid filter directive");
    EXPECT_EQ(rejected[1].piece, " engine=verbose ");
    EXPECT_EQ(rejected[1].reason, kLevelReason);
    EXPECT_TRUE(filter.enabled(Level::Info, "engine"));
}

TEST(RustLog, SpecificityOrder) {
    const auto filter = LogFilter::parse("info,engine=warn,[{a}]=trace,engine::audio=debug,engine[{b}]=error");
    std::vector<std::optional<std::string>> targets;
    for (const auto& d : filter.directives()) targets.push_back(d.target);
    const std::vector<std::optional<std::string>> expected = {"engine::audio", "engine", "engine", std::nullopt,
                                                              std::nullopt};
    EXPECT_EQ(targets, expected);
    EXPECT_EQ(filter.directives()[1].field_names, std::vector<std::string>{"b"});
    EXPECT_EQ(filter.max_level(), Level::Trace);
}

std::chrono::system_clock::time_point at(long long micros) {
    return std::chrono::system_clock::time_point(std::chrono::microseconds(micros));
}

// 2026-01-31T18:05:07.123456Z
constexpr long long kMoment = 1769882707LL * 1000000 + 123456;

std::string line(const log::Event& event, bool colour, long long micros = kMoment) {
    std::string out;
    format_log_line(out, event, at(micros), LineFormat{colour});
    return out;
}

TEST(LogLine, PlainLayout) {
    const log::Field fields[] = {log::field("encoder", "libx264")};
    EXPECT_EQ(line({Level::Info, "engine", "replay buffer running", fields}, false),
              "2026-01-31T18:05:07.123456Z  INFO replay buffer running encoder=\"libx264\"\n");
    EXPECT_EQ(line({Level::Warn, "ffmpeg", "x", {}}, false, 999), "1970-01-01T00:00:00.000999Z  WARN x\n");
    EXPECT_EQ(line({Level::Trace, "t", "m", {}}, false).substr(28), "TRACE m\n");
    EXPECT_EQ(line({Level::Debug, "t", "m", {}}, false).substr(28), "DEBUG m\n");
    EXPECT_EQ(line({Level::Error, "t", "m", {}}, false).substr(28), "ERROR m\n");
}

TEST(LogLine, MicrosecondsAreCutNotRounded) {
    using namespace std::chrono;
    std::string out;
    format_log_line(out, {Level::Info, "t", "m", {}}, system_clock::time_point(nanoseconds(1999999)), {false});
    EXPECT_EQ(out.substr(0, 27), "1970-01-01T00:00:00.001999Z");
}

TEST(LogLine, FieldValues) {
    const log::Field fields[] = {
        log::field("track", "Mic \"1\"\\\t\r\n\0x\x07\u0300\u200b\u00a0é"s),
        log::field("rate", 48000u),
        log::field("delta", -3),
        log::field("ok", true),
        log::field("db", 0.5f),
        log::display_field("device", "default"),
        log::debug_field("fmt", "F32"),
        log::debug_list_field("missing", {"clip", "th\"at"}),
    };
    EXPECT_EQ(line({Level::Warn, "engine::audio", "m", fields}, false).substr(34),
              "m track=\"Mic \\\"1\\\"\\\\\\t\\r\\n\\0x\\u{7}\\u{300}\\u{200b}\\u{a0}é\" rate=48000 delta=-3 ok=true "
              "db=0.5 device=default fmt=F32 missing=[\"clip\", \"th\\\"at\"]\n");
}

TEST(LogLine, MessageEscapesOnlyTerminalControls) {
    std::string out;
    append_escaped_message(out, "a\x1b[31m\u009b\x07\x08\x0c\x7f\t\n\r\"\\ \u0080");
    EXPECT_EQ(out, "a\\x1b[31m\\u{9b}\\x07\\x08\\x0c\\x7f\t\n\r\"\\ \\u{80}");
}

TEST(LogLine, Colour) {
    const log::Field fields[] = {log::field("encoder", "libx264")};
    EXPECT_EQ(line({Level::Info, "engine", "replay buffer running", fields}, true),
              "\x1b[2m2026-01-31T18:05:07.123456Z\x1b[0m \x1b[32m INFO\x1b[0m replay buffer running "
              "\x1b[3mencoder\x1b[0m\x1b[2m=\x1b[0m\"libx264\"\n");
    EXPECT_NE(line({Level::Trace, "t", "m", {}}, true).find("\x1b[35mTRACE\x1b[0m"), std::string::npos);
    EXPECT_NE(line({Level::Debug, "t", "m", {}}, true).find("\x1b[34mDEBUG\x1b[0m"), std::string::npos);
    EXPECT_NE(line({Level::Warn, "t", "m", {}}, true).find("\x1b[33m WARN\x1b[0m"), std::string::npos);
    EXPECT_NE(line({Level::Error, "t", "m", {}}, true).find("\x1b[31mERROR\x1b[0m"), std::string::npos);
}

// The facade end to end: call sites through an installed logger.
TEST(LogFacade, CallSitesAskOnceAndSkipRejectedEvents) {
    std::vector<std::string> written;
    int message_builds = 0;
    const auto message = [&] {
        ++message_builds;
        return std::string("hello");
    };
    TerminalLogger logger(LogFilter::parse("warn,engine=info"), LineFormat{false}, [] { return at(kMoment); },
                          [&](std::string_view text) -> std::expected<void, OsError> {
                              written.emplace_back(text);
                              return {};
                          });
    log::install(&logger);
    for (int i = 0; i < 3; ++i) {
        VC_DEBUG("engine", message());
        VC_INFO("engine::voice", message(), log::field("phrase", "clip that"));
        VC_INFO("ffmpeg", message());
    }
    log::install(nullptr);
    VC_INFO("engine::voice", message());
    EXPECT_EQ(message_builds, 3);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0], "2026-01-31T18:05:07.123456Z  INFO hello phrase=\"clip that\"\n");
}

TEST(LogFacade, FieldDirectiveHidesTheEventsWithItsFields) {
    std::vector<std::string> written;
    TerminalLogger logger(LogFilter::parse("info,engine[{encoder}]=off"), LineFormat{false}, [] { return at(kMoment); },
                          [&](std::string_view text) -> std::expected<void, OsError> {
                              written.emplace_back(text.substr(28));
                              return {};
                          });
    log::install(&logger);
    for (const char* encoder : {"libx264", "h264_vaapi"}) {
        VC_INFO("engine", "replay buffer running", log::field("encoder", encoder));
        VC_INFO("engine", "no encoder field");
    }
    log::install(nullptr);
    EXPECT_EQ(written, (std::vector<std::string>{" INFO no encoder field\n", " INFO no encoder field\n"}));
}

TEST(LogFacade, FailedWriteDoesNotStopLogging) {
    int attempts = 0;
    TerminalLogger logger(LogFilter::parse("info"), LineFormat{false}, {},
                          [&](std::string_view) -> std::expected<void, OsError> {
                              ++attempts;
                              return std::unexpected(OsError::from_errno(EPIPE));
                          });
    log::install(&logger);
    VC_INFO("engine", "one");
    VC_INFO("engine", "two");
    log::install(nullptr);
    EXPECT_EQ(attempts, 2);
}

}  // namespace
}  // namespace vc::cli
