#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/voice_listener.hpp"
#include "engine/voice_phrases.hpp"
#include "support/environment.hpp"
#include "support/fake_voice_pack.hpp"
#include "support/own_threads.hpp"
#include "support/log_recorder.hpp"

namespace vc {
namespace {

namespace fs = std::filesystem;
using test::FakeVoicePack;
using Lines = std::vector<std::string>;

// The engine's two queues, as the listener's trigger sees them.
struct EngineQueues {
    std::pair<Sender<EngineCommand>, Receiver<EngineCommand>> commands = make_queue<EngineCommand>();
    std::pair<Sender<EngineEvent>, Receiver<EngineEvent>> events = make_queue<EngineEvent>();

    RecorderContext context() { return {commands.first, events.first, std::chrono::seconds{3}}; }

    std::vector<EngineEvent> take_events() {
        std::vector<EngineEvent> taken;
        for (auto got = events.second.try_recv(); std::holds_alternative<EngineEvent>(got);
             got = events.second.try_recv())
            taken.push_back(std::get<EngineEvent>(std::move(got)));
        return taken;
    }
    std::vector<EngineCommand> take_commands() {
        std::vector<EngineCommand> taken;
        for (auto got = commands.second.try_recv(); std::holds_alternative<EngineCommand>(got);
             got = commands.second.try_recv())
            taken.push_back(std::get<EngineCommand>(std::move(got)));
        return taken;
    }
    // The phrases of the HeardPhrase events, each checked to come with a voice save.
    Lines heard() {
        Lines phrases;
        for (const auto& event : take_events())
            if (const auto* heard = std::get_if<event::HeardPhrase>(&event)) phrases.push_back(heard->text);
        const auto saves = take_commands();
        EXPECT_EQ(saves.size(), phrases.size());
        for (const auto& command : saves) {
            const auto* save = std::get_if<command::Save>(&command);
            EXPECT_TRUE(save != nullptr && save->delay == std::chrono::nanoseconds{0} &&
                        save->origin == Origin::voice);
        }
        return phrases;
    }
};

VoiceChunk constant_chunk(float value) { return VoiceChunk(kVoiceChunkSamples, value); }

// Runs the listener on this thread over `chunks`, the queue closed behind them.
Status listen(const Voice& voice, std::string_view language, std::vector<VoiceChunk> chunks,
              EngineQueues& engine) {
    auto [sender, receiver] = make_queue<VoiceChunk>();
    for (auto& chunk : chunks) (void)sender.send(std::move(chunk));
    sender.reset();
    VoiceTrigger trigger(engine.context());
    return run_voice_listener(voice, language, receiver, trigger);
}

TEST(VoiceListener, FromSetUpToTheLastChunk) {
    test::LogRecorder log;
    FakeVoicePack pack;
    pack.vocabulary({"clip", "that", "save", "flip", "okay"});
    pack.write_model_file("script",
                          "accept 2 {\"text\": \"clip that\", \"result\": [{\"conf\": 1.0}, {\"conf\": 0.9}]}\n"
                          "final 1 {\"text\": \"save that\"}\n");
    EngineQueues engine;
    std::vector<VoiceChunk> chunks;
    chunks.push_back(constant_chunk(0.0f));          // quiet while idle: pre-roll
    chunks.push_back(constant_chunk(0.5f));          // speech
    for (int i = 0; i < 5; ++i) chunks.push_back(constant_chunk(-0.25f / 1024));  // -72 dB: quiet
    chunks.push_back(constant_chunk(1.0f));          // speech again, left open at the end
    ASSERT_TRUE(listen(Voice{}, "en", std::move(chunks), engine));

    const std::string model = pack.model_dir().string();
    const Lines expected = {
        "set_log_level -1",
        "model_new " + model,
        "find_word clip 0", "find_word that 1", "find_word save 2", "find_word that 1",
        "find_word flip 3", "find_word okay 4",
        "recognizer_new_grm 16000 [\"clip that\",\"save that\",\"flip\",\"okay\",\"[unk]\"]",
        "set_words 1",
        "accept 1 count=1600 first=0 last=0",
        "accept 2 count=1600 first=16384 last=16384",
        "result",
        "accept 3 count=1600 first=-8 last=-8",
        "accept 4 count=1600 first=-8 last=-8",
        "accept 5 count=1600 first=-8 last=-8",
        "accept 6 count=1600 first=-8 last=-8",
        "accept 7 count=1600 first=-8 last=-8",
        "final_result 1",
        "accept 8 count=1600 first=32768 last=32768",
        "recognizer_free",
        "model_free",
        "unload",
    };
    // Every filler but "save" is asked about; those the model does not know are left out here.
    EXPECT_EQ(pack.calls_starting("find_word ").size(), 4u + ENGLISH_FILLERS.size() - 1);
    Lines calls;
    for (auto& line : pack.calls())
        if (!(line.starts_with("find_word ") && line.ends_with(" -1"))) calls.push_back(std::move(line));
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(calls[i], expected[i]);
    EXPECT_EQ(engine.heard(), (Lines{"clip that", "save that"}));

    const auto listening = log.with_message("voice commands listening");
    ASSERT_EQ(listening.size(), 1u);
    EXPECT_EQ(listening[0].level, log::Level::Info);
    EXPECT_EQ(listening[0].target, "engine::voice");
    EXPECT_EQ(listening[0].field("lang"), "en");
    EXPECT_EQ(listening[0].field("phrases"), "[\"clip that\", \"save that\"]");
    const auto commands = log.with_message("voice command");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].field("phrase"), "clip that");
    EXPECT_EQ(commands[1].field("phrase"), "save that");
}

struct ResultCase {
    const char* result;
    float min_confidence;
    std::optional<std::string> heard;
};

TEST(VoiceListener, WhichResultsTrigger) {
    const std::vector<std::string> kept = {"clip that", "save that"};
    const ResultCase cases[] = {
        {R"({"text": "clip that", "result": [{"conf": 1.0}, {"conf": 0.75}]})", 0.75f, "clip that"},
        {R"({"text": "clip that", "result": [{"conf": 1.0}, {"conf": 0.75}]})", 0.7f, "clip that"},
        {R"({"text": "clip that", "result": [{"conf": 1.0}, {"conf": 0.75}]})", 0.8f, std::nullopt},
        {R"({"text": "clip that"})", 1.0f, "clip that"},
        {R"({"text": "  clip that  "})", 0.8f, "clip that"},
        {R"({"text": "clip that's"})", 0.8f, "clip that"},
        {R"({"text": "save that clip that"})", 0.8f, "clip that"},
        {R"({"text": "Clip that"})", 0.0f, std::nullopt},
        {R"({"text": "clip"})", 0.0f, std::nullopt},
        {R"({"text": ""})", 0.0f, std::nullopt},
        {R"({"text": "clip that", "result": [{"word": "clip"}]})", 0.0f, std::nullopt},
        {R"({"text": "clip that", "text": "clip that"})", 0.0f, std::nullopt},
        {R"({"text": "clip that"} trailing)", 0.0f, std::nullopt},
        {"not json", 0.0f, std::nullopt},
    };
    for (const auto& c : cases) {
        EngineQueues engine;
        VoiceTrigger trigger(engine.context());
        Voice voice;
        voice.min_confidence = c.min_confidence;
        handle_recognizer_result(kept, voice, trigger, std::string(c.result));
        EXPECT_EQ(engine.heard(), c.heard ? Lines{*c.heard} : Lines{}) << c.result << " " << c.min_confidence;
    }
    EngineQueues engine;
    VoiceTrigger trigger(engine.context());
    handle_recognizer_result(kept, Voice{}, trigger, std::nullopt);
    EXPECT_TRUE(engine.heard().empty());
}

TEST(VoiceListener, TriggerSendsIntoClosedQueuesQuietly) {
    EngineQueues engine;
    VoiceTrigger trigger(engine.context());
    engine.commands.second.reset();
    engine.events.second.reset();
    trigger("clip that");  // nobody listens any more: nothing happens, nothing breaks
}

struct SetUpFailure {
    const char* build;
    const char* model_file;  // created in the model directory, or nullptr
    bool vocabulary;
    const char* text;
    Lines last_calls;  // the end of the call log
};

TEST(VoiceThread, SetUpFailuresDisableVoiceCommands) {
    const SetUpFailure cases[] = {
        {"fake_vosk", "fail_recognizer", true, "failed to create recognizer", {"model_free", "unload"}},
        {"fake_vosk", nullptr, false, "none of the voice phrases are in the model's vocabulary",
         {"find_word that -1", "model_free", "unload"}},
        {"fake_vosk_no_new_grm", nullptr, true, "libvosk missing symbol: dlsym failed",
         {"find_word there -1", "model_free", "unload"}},
        // Once the recogniser exists it is freed before the model, whatever lookup failed.
        {"fake_vosk_no_set_words", nullptr, true, "libvosk missing symbol: dlsym failed",
         {"recognizer_free", "model_free", "unload"}},
        {"fake_vosk_no_final_result", nullptr, true, "libvosk missing symbol: dlsym failed",
         {"set_words 1", "recognizer_free", "model_free", "unload"}},
        {"fake_vosk_no_recognizer_free", nullptr, true, "libvosk missing symbol: dlsym failed",
         {"set_words 1", "model_free", "unload"}},
    };
    for (const auto& c : cases) {
        FakeVoicePack pack(c.build);
        if (c.vocabulary) pack.vocabulary({"clip", "that", "save"});
        if (c.model_file) pack.write_model_file(c.model_file, "");
        EngineQueues engine;
        auto [sender, receiver] = make_queue<VoiceChunk>(5);
        run_voice_thread({VoiceTrigger(engine.context()), engine.context(), std::move(receiver), Voice{}, "en"});
        const auto events = engine.take_events();
        ASSERT_EQ(events.size(), 1u) << c.build;
        const auto* message = std::get_if<event::Message>(&events[0]);
        ASSERT_TRUE(message) << c.build;
        EXPECT_EQ(message->text, std::string("voice commands disabled: voice: ") + c.text) << c.build;
        const Lines calls = pack.calls();
        ASSERT_GE(calls.size(), c.last_calls.size()) << c.build;
        EXPECT_EQ(Lines(calls.end() - static_cast<std::ptrdiff_t>(c.last_calls.size()), calls.end()), c.last_calls)
            << c.build;
    }
    // Not installed: the library is never opened.
    FakeVoicePack pack;
    EngineQueues engine;
    auto [sender, receiver] = make_queue<VoiceChunk>(5);
    Voice voice;
    voice.language = "fr";
    run_voice_thread({VoiceTrigger(engine.context()), engine.context(), std::move(receiver), voice, "fr"});
    const auto events = engine.take_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::get<event::Message>(events[0]).text.starts_with(
        "voice commands disabled: voice: voice pack for 'fr' is not installed ("));
    EXPECT_TRUE(pack.calls().empty());
}

std::string thread_names() {
    std::string names;
    for (const test::OwnThread& thread : test::own_threads()) names += thread.name + ";";
    return names;
}

bool wait_for_call(const FakeVoicePack& pack, const std::string& call) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& line : pack.calls())
            if (line == call) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(VoiceThread, RunsDetachedAsVoiceAndEndsWhenTheQueueCloses) {
    FakeVoicePack pack;
    pack.vocabulary({"clip", "that", "save"});
    pack.write_model_file("script", "accept 1 {\"text\": \"clip that\"}\n");
    EngineQueues engine;
    auto [sender, receiver] = make_queue<VoiceChunk>(5);
    ASSERT_TRUE(start_voice_thread(
        {VoiceTrigger(engine.context()), engine.context(), std::move(receiver), Voice{}, "en"}));
    ASSERT_TRUE(wait_for_call(pack, "set_words 1"));
    EXPECT_NE(thread_names().find(";voice;"), std::string::npos) << thread_names();

    ASSERT_TRUE(sender.try_send(constant_chunk(0.5f)).sent());
    ASSERT_TRUE(sender.try_send(constant_chunk(0.5f)).sent());
    sender.reset();
    ASSERT_TRUE(wait_for_call(pack, "unload"));
    const Lines calls = pack.calls();
    EXPECT_EQ(Lines(calls.end() - 6, calls.end()),
              (Lines{"accept 1 count=1600 first=16384 last=16384", "result",
                     "accept 2 count=1600 first=16384 last=16384", "recognizer_free", "model_free", "unload"}));
    EXPECT_EQ(engine.heard(), (Lines{"clip that"}));
}

// Real speech from espeak-ng, resampled by sox: the gate must open on the phrase, replay the
// pre-roll, and close the utterance once, after the phrase ends.
TEST(VoiceListener, GatesRealSpeech) {
    if (std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "espeak-ng or sox is not installed";
    test::TempDir dir;
    const auto wav = dir / "clip.wav";
    const auto raw = dir / "clip.raw";
    const std::string command = "espeak-ng -w '" + wav.string() + "' 'clip that' && sox '" + wav.string() +
                                "' -r 16000 -c 1 -b 32 -e floating-point -t raw '" + raw.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string bytes = test::read_file(raw);
    std::vector<float> speech(bytes.size() / sizeof(float));
    std::memcpy(speech.data(), bytes.data(), speech.size() * sizeof(float));
    ASSERT_GT(speech.size(), 8000u);

    // One second of silence on both sides of the phrase, then cut into chunks.
    std::vector<float> samples(16000, 0.0f);
    samples.insert(samples.end(), speech.begin(), speech.end());
    samples.resize(samples.size() + 16000, 0.0f);
    std::vector<VoiceChunk> chunks;
    for (std::size_t at = 0; at + kVoiceChunkSamples <= samples.size(); at += kVoiceChunkSamples)
        chunks.emplace_back(samples.begin() + static_cast<std::ptrdiff_t>(at),
                            samples.begin() + static_cast<std::ptrdiff_t>(at + kVoiceChunkSamples));
    const std::size_t chunk_count = chunks.size();

    FakeVoicePack pack;
    pack.vocabulary(test::full_vocabulary());
    pack.write_model_file("script", "final * {\"text\": \"clip that\", \"result\": [{\"conf\": 0.93}, {\"conf\": 0.9}]}\n");
    EngineQueues engine;
    ASSERT_TRUE(listen(Voice{}, "en", std::move(chunks), engine));

    const auto accepts = pack.calls_starting("accept ");
    EXPECT_EQ(pack.calls_starting("final_result").size(), 1u);
    EXPECT_EQ(engine.heard(), (Lines{"clip that"}));
    // The silence around the phrase is mostly kept away: three chunks before, five after.
    ASSERT_GE(accepts.size(), 9u);
    EXPECT_LT(accepts.size(), chunk_count - 10);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NE(accepts[i].find("first=0 last=0"), std::string::npos) << accepts[i];
    for (std::size_t i = accepts.size() - 5; i < accepts.size(); ++i)
        EXPECT_NE(accepts[i].find("first=0 last=0"), std::string::npos) << accepts[i];
    EXPECT_EQ(accepts[3].find("first=0 last=0"), std::string::npos) << accepts[3];
}

}  // namespace
}  // namespace vc
