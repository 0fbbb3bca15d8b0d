// Reading one recogniser result, a JSON object such as
//   {"text": "clip that", "result": [{"conf": 1.0, "word": "clip"}, ...]}
// strictly: a result that is not exactly such an object is ignored as a whole, so a reply
// the listener does not understand can never ask for a save. Pure functions; used on "voice".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vc {

struct Word {
    float conf = 0.0f;

    bool operator==(const Word&) const = default;
};

struct Utterance {
    std::string text;         // empty when the key is absent
    std::vector<Word> result;  // empty when the key is absent

    bool operator==(const Utterance&) const = default;
};

// nullopt for anything but one JSON object (white space around it allowed) whose "text", when
// given, is a string and whose "result", when given, is an array of objects each with a
// numeric "conf"; "text", "result" or "conf" given twice also refuses it. Other keys, and
// their values whatever their shape, are passed over.
std::optional<Utterance> parse_utterance(std::string_view json);

// The "result" array alone: the same rules for its word objects.
std::optional<std::vector<Word>> read_words(std::string_view json_array);

// The lowest word confidence, 1.0 for no words.
float utterance_confidence(const Utterance& utterance);

}  // namespace vc
