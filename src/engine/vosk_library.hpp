// The speech-recognition library "libvosk.so", opened at run time from the voice pack with
// the dynamic loader and never linked: the program starts whether or not a pack exists.
// VoskModel owns one opening of the library and one model; it belongs to the voice listener
// (thread "voice") and is released once, model first, then the library.
#pragma once

#include <string_view>
#include <utility>

#include "engine/error.hpp"

namespace vc {

// The C signatures of the library's functions this system calls. The handles are opaque.
namespace vosk {
using SetLogLevel = void (*)(int level);
using ModelNew = void* (*)(const char* model_path);
using ModelFindWord = int (*)(void* model, const char* word);
using ModelFree = void (*)(void* model);
using RecognizerNewGrm = void* (*)(void* model, float sample_rate, const char* grammar);
using RecognizerSetWords = void (*)(void* recognizer, int words);
using RecognizerAcceptWaveformF = int (*)(void* recognizer, const float* samples, int count);
using RecognizerResult = const char* (*)(void* recognizer);
using RecognizerFree = void (*)(void* recognizer);
}  // namespace vosk

// "string contains NUL" when `text` holds a NUL byte: the library would see it cut short.
Status check_no_nul(std::string_view text);

class VoskModel {
public:
    VoskModel(vosk::ModelFindWord find_word, void* library, void* model)
        : find_word_(find_word), library_(library), model_(model) {}
    VoskModel(const VoskModel&) = delete;
    VoskModel& operator=(const VoskModel&) = delete;
    VoskModel(VoskModel&& other) noexcept
        : find_word_(other.find_word_),
          library_(std::exchange(other.library_, nullptr)),
          model_(std::exchange(other.model_, nullptr)) {}
    VoskModel& operator=(VoskModel&& other) noexcept;
    ~VoskModel() { release(); }

    // The model's answer for one word: negative when the word is not in its vocabulary.
    // `word` must be NUL-terminated.
    int find_word(const char* word) const { return find_word_(model_, word); }

    // Looks a function of the library up by name: "libvosk missing symbol: dlsym failed".
    template <typename Function>
    Result<Function> function(const char* name) const {
        auto address = symbol(name);
        if (!address) return std::unexpected(address.error());
        return reinterpret_cast<Function>(*address);
    }

    void* handle() const { return model_; }

private:
    Result<void*> symbol(const char* name) const;
    void release();

    vosk::ModelFindWord find_word_;
    void* library_;
    void* model_;
};

// Opens the pack's library for `language` and loads its model, or fails with one of the
// voice texts: not installed, "loading {}: dlopen failed...", "string contains NUL",
// "libvosk missing symbol: dlsym failed", "failed to load model {}".
Result<VoskModel> load_vosk(std::string_view language);

}  // namespace vc
