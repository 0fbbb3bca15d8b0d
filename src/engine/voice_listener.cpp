#include "engine/voice_listener.hpp"

#include <pthread.h>

#include <system_error>
#include <thread>

#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"
#include "engine/voice_phrases.hpp"
#include "engine/voice_utterance.hpp"

namespace vc {
namespace {

constexpr std::string_view kTarget = "engine::voice";
constexpr float kSampleRate = 16000.0f;
constexpr float kSampleScale = 32768.0f;

std::optional<std::string> copy_text(const char* text) {
    if (text == nullptr) return std::nullopt;
    return lossy_utf8(text);
}

// A recogniser whose set-up failed halfway must not outlive the model it was made from.
void free_recognizer(const VoskModel& model, void* handle) {
    if (auto free = model.function<vosk::RecognizerFree>("vosk_recognizer_free")) (*free)(handle);
}

}  // namespace

void VoiceTrigger::operator()(std::string phrase) {
    (void)context_.events.send(event::HeardPhrase{std::move(phrase)});
    (void)context_.commands.send(command::Save{std::chrono::nanoseconds{0}, Origin::voice});
}

Result<VoskRecognizer> VoskRecognizer::create(VoskModel model, const std::string& grammar) {
    auto new_grm = model.function<vosk::RecognizerNewGrm>("vosk_recognizer_new_grm");
    if (!new_grm) return std::unexpected(new_grm.error());
    void* handle = (*new_grm)(model.handle(), kSampleRate, grammar.c_str());
    if (handle == nullptr) return voice_error("failed to create recognizer");

    auto set_words = model.function<vosk::RecognizerSetWords>("vosk_recognizer_set_words");
    if (!set_words) {
        free_recognizer(model, handle);
        return std::unexpected(set_words.error());
    }
    (*set_words)(handle, 1);

    auto accept = model.function<vosk::RecognizerAcceptWaveformF>("vosk_recognizer_accept_waveform_f");
    auto result = accept ? model.function<vosk::RecognizerResult>("vosk_recognizer_result")
                         : std::unexpected(accept.error());
    auto final_result = result ? model.function<vosk::RecognizerResult>("vosk_recognizer_final_result")
                               : std::unexpected(result.error());
    auto free = final_result ? model.function<vosk::RecognizerFree>("vosk_recognizer_free")
                             : std::unexpected(final_result.error());
    if (!free) {
        free_recognizer(model, handle);
        return std::unexpected(free.error());
    }
    return VoskRecognizer(*accept, *result, *final_result, *free, std::move(model), handle);
}

VoskRecognizer::VoskRecognizer(VoskRecognizer&& other) noexcept
    : accept_(other.accept_), result_(other.result_), final_result_(other.final_result_),
      free_(other.free_), model_(std::move(other.model_)), handle_(std::exchange(other.handle_, nullptr)) {}

VoskRecognizer::~VoskRecognizer() {
    if (handle_ != nullptr) free_(handle_);
}

int VoskRecognizer::accept(const std::vector<float>& samples) {
    return accept_(handle_, samples.data(), static_cast<int>(samples.size()));
}

std::optional<std::string> VoskRecognizer::result() { return copy_text(result_(handle_)); }

std::optional<std::string> VoskRecognizer::final_result() { return copy_text(final_result_(handle_)); }

std::optional<std::string> feed_recognizer(std::vector<float>& buffer, VoskRecognizer& recognizer,
                                           const VoiceChunk& chunk) {
    buffer.clear();
    for (const float sample : chunk) buffer.push_back(sample * kSampleScale);
    if (recognizer.accept(buffer) == 0) return std::nullopt;
    return recognizer.result();
}

void handle_recognizer_result(const std::vector<std::string>& kept, const Voice& voice,
                              VoiceTrigger& trigger, const std::optional<std::string>& result) {
    if (!result) return;
    const auto utterance = parse_utterance(*result);
    if (!utterance) return;
    const std::string_view text = trim_white_space(utterance->text);
    const std::string* matched = nullptr;
    for (const auto& phrase : kept) {
        if (text.find(phrase) != std::string_view::npos) {
            matched = &phrase;
            break;
        }
    }
    if (matched == nullptr) return;
    if (utterance_confidence(*utterance) < voice.min_confidence) return;
    VC_INFO(kTarget, "voice command", log::field("phrase", *matched));
    trigger(*matched);
}

Status run_voice_listener(const Voice& voice, std::string_view language, Receiver<VoiceChunk>& chunks,
                          VoiceTrigger& trigger) {
    auto model = load_vosk(language);
    if (!model) return std::unexpected(model.error());

    const FindWord find_word = [&](const char* word) { return model->find_word(word); };
    auto kept = vet_phrases(find_word, voice_phrases(voice, language));
    if (!kept) return std::unexpected(kept.error());
    auto grammar = build_grammar(find_word, *kept, language);
    if (!grammar) return std::unexpected(grammar.error());

    auto recognizer = VoskRecognizer::create(std::move(*model), *grammar);
    if (!recognizer) return std::unexpected(recognizer.error());
    grammar->clear();
    grammar->shrink_to_fit();

    VC_INFO(kTarget, "voice commands listening", log::field("lang", language),
            log::debug_list_field("phrases", *kept));

    SpeechGate gate;
    std::vector<float> buffer;
    buffer.reserve(kVoiceChunkSamples);
    for (;;) {
        auto received = chunks.recv();
        auto* chunk = std::get_if<VoiceChunk>(&received);
        if (chunk == nullptr) break;
        auto step = gate.push(std::move(*chunk));
        for (const auto& fed : step.feed)
            handle_recognizer_result(*kept, voice, trigger, feed_recognizer(buffer, *recognizer, fed));
        if (step.close_utterance)
            handle_recognizer_result(*kept, voice, trigger, recognizer->final_result());
    }
    return {};
}

void run_voice_thread(VoiceThreadArgs args) {
    auto listened = run_voice_listener(args.voice, args.language, args.chunks, args.trigger);
    if (!listened)
        (void)args.context.events.send(
            event::Message{vc::format("voice commands disabled: {}", format_engine_error(listened.error()))});
}

Status start_voice_thread(VoiceThreadArgs args) {
    try {
        std::thread thread([args = std::move(args)]() mutable {
            ::pthread_setname_np(::pthread_self(), "voice");
            run_voice_thread(std::move(args));
        });
        thread.detach();
    } catch (const std::system_error& error) {
        return io_error("starting the voice listener thread", error.code().value());
    }
    return {};
}

}  // namespace vc
