// The voice listener: the detached thread "voice" that the audio mixer starts when voice
// commands are on and a microphone track opened. It loads the speech library and model,
// vets the phrases, builds the grammar, and turns the mixer's microphone chunks into
// heard-phrase events and voice saves. It owns the library, model and recogniser for its
// whole life and ends by itself once the mixer closes the chunk queue and it has drained it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/messages.hpp"
#include "engine/settings.hpp"
#include "engine/speech_gate.hpp"
#include "engine/vosk_library.hpp"

namespace vc {

// What a matched phrase does: a HeardPhrase event, then a Save with origin voice and no
// delay. Holds its own senders; failed sends are ignored (the engine is shutting down).
class VoiceTrigger {
public:
    explicit VoiceTrigger(RecorderContext context) : context_(std::move(context)) {}
    void operator()(std::string phrase);

private:
    RecorderContext context_;
};

struct VoiceThreadArgs {
    VoiceTrigger trigger;
    RecorderContext context;  // its event sender carries the failure message
    Receiver<VoiceChunk> chunks;
    Voice voice;
    std::string language;
};

// The one recogniser of a listener, with the model it was made from. Releasing it frees
// the recogniser, then the model, then unloads the library.
class VoskRecognizer {
public:
    // Creates the recogniser for `grammar` at 16 kHz with per-word results. The model goes
    // with it; when this fails the model is released before the error is returned.
    static Result<VoskRecognizer> create(VoskModel model, const std::string& grammar);

    VoskRecognizer(VoskRecognizer&& other) noexcept;
    VoskRecognizer& operator=(VoskRecognizer&&) = delete;
    ~VoskRecognizer();

    // Non-zero when an utterance ended and a result can be fetched.
    int accept(const std::vector<float>& samples);
    // The library's current or final result, copied at once; nullopt if it gave none.
    std::optional<std::string> result();
    std::optional<std::string> final_result();

private:
    VoskRecognizer(vosk::RecognizerAcceptWaveformF accept, vosk::RecognizerResult result,
                   vosk::RecognizerResult final_result, vosk::RecognizerFree free, VoskModel model,
                   void* handle)
        : accept_(accept), result_(result), final_result_(final_result), free_(free),
          model_(std::move(model)), handle_(handle) {}

    vosk::RecognizerAcceptWaveformF accept_;
    vosk::RecognizerResult result_;
    vosk::RecognizerResult final_result_;
    vosk::RecognizerFree free_;
    VoskModel model_;
    void* handle_;
};

// Fills `buffer` with the chunk scaled to the 16-bit range, feeds it, and gives the result
// text when the recogniser has one.
std::optional<std::string> feed_recognizer(std::vector<float>& buffer, VoskRecognizer& recognizer,
                                           const VoiceChunk& chunk);

// Pulls the trigger for the first kept phrase found in the result's text, when every word is
// at least `min_confidence` sure. A result that does not parse is ignored without a word.
void handle_recognizer_result(const std::vector<std::string>& kept, const Voice& voice,
                              VoiceTrigger& trigger, const std::optional<std::string>& result);

// Set-up, then the chunk loop until the queue is closed and drained. Fails only in set-up.
Status run_voice_listener(const Voice& voice, std::string_view language, Receiver<VoiceChunk>& chunks,
                          VoiceTrigger& trigger);

// The body of thread "voice": a failed set-up becomes the message event
// "voice commands disabled: {}".
void run_voice_thread(VoiceThreadArgs args);

// Starts the detached thread "voice" with `args`.
Status start_voice_thread(VoiceThreadArgs args);

}  // namespace vc
