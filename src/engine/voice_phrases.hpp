// The phrases that trigger a voice save and the closed grammar the recogniser listens with:
// the kept phrases, look-alike filler words that soak up near misses, and "[unk]" for any
// other sound. Run once per listener on thread "voice", right after the model loaded.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/settings.hpp"

namespace vc {

class VoskModel;

inline constexpr std::array<std::string_view, 26> SPANISH_FILLERS = {
    "guarda", "garda", "agua", "graba", "grava", "brava", "haba", "eso", "esto",
    "ese",    "beso",  "peso", "queso", "bueno", "vamos", "que",  "no",  "si",
    "va",     "ya",    "dale", "mira",  "para",  "pasa",  "casa", "clase"};

inline constexpr std::array<std::string_view, 50> ENGLISH_FILLERS = {
    "flip",  "slip", "ship", "chip",   "tip",  "lip",  "trip", "grip", "skip",  "whip",
    "click", "clean", "cliff", "clap", "save", "safe", "same", "shave", "wave", "gave",
    "cave",  "flat", "hat",  "bat",    "cat",  "fat",  "rat",  "that's", "this", "the",
    "a",     "it",   "is",   "was",    "what", "and",  "i",    "you",  "we",    "go",
    "get",   "nice", "shot", "good",   "yeah", "no",   "okay", "over", "in",    "there"};

// What vetting asks of a model: its answer for one NUL-terminated lower-case word,
// negative when the word is unknown. VoskModel::find_word in the program, a table in tests.
using FindWord = std::function<int(const char* word)>;

// The configured phrases that are not blank, as written; when none is, the language's two
// defaults ("guarda eso", "graba eso" for exactly "es", else "clip that", "save that").
std::vector<std::string> voice_phrases(const Voice& voice, std::string_view language);

// The words of a text: maximal runs of letters, numbers and apostrophes; never empty.
std::vector<std::string_view> phrase_words(std::string_view text);

// Lower-cased (full Unicode mapping) and reduced to its words joined by single blanks.
std::string normalize_phrase(std::string_view text);

// The words of the normalised phrase the model does not know, in order, repeats kept.
Result<std::vector<std::string>> unknown_words(const FindWord& find_word, std::string_view phrase);
Result<std::vector<std::string>> unknown_words(const VoskModel& model, std::string_view phrase);

// The normalised phrases whose every word the model knows, in order. A dropped phrase logs
// "voice phrase has unknown words; ignored"; a phrase without any word is dropped too, since
// the empty text would match every result. None kept: "none of the voice phrases are in
// the model's vocabulary".
Result<std::vector<std::string>> vet_phrases(const FindWord& find_word,
                                             const std::vector<std::string>& phrases);

// The grammar as compact JSON: the kept phrases, the language's fillers that are not already
// a word of a kept phrase and that the model knows, then "[unk]".
Result<std::string> build_grammar(const FindWord& find_word, const std::vector<std::string>& kept,
                                  std::string_view language);

}  // namespace vc
