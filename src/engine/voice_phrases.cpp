#include "engine/voice_phrases.hpp"

#include <set>

#include <nlohmann/json.hpp>

#include "engine/log.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"
#include "engine/vosk_library.hpp"

namespace vc {
namespace {

constexpr std::string_view kTarget = "engine::voice";

bool is_word_character(char32_t c) { return c == U'\'' || is_alphanumeric(c); }

}  // namespace

std::vector<std::string> voice_phrases(const Voice& voice, std::string_view language) {
    std::vector<std::string> phrases;
    for (const auto& phrase : voice.phrases)
        if (!trim_white_space(phrase).empty()) phrases.push_back(phrase);
    if (!phrases.empty()) return phrases;
    if (language == "es") return {"guarda eso", "graba eso"};
    return {"clip that", "save that"};
}

std::vector<std::string_view> phrase_words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = std::string_view::npos;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t here = pos;
        const auto c = next_code_point(text, pos);
        const bool inside = c && is_word_character(*c);
        if (inside && start == std::string_view::npos) {
            start = here;
        } else if (!inside && start != std::string_view::npos) {
            words.push_back(text.substr(start, here - start));
            start = std::string_view::npos;
        }
    }
    if (start != std::string_view::npos) words.push_back(text.substr(start));
    return words;
}

std::string normalize_phrase(std::string_view text) {
    const std::string lower = to_lower(text);
    std::string normalized;
    for (const auto word : phrase_words(lower)) {
        if (!normalized.empty()) normalized += ' ';
        normalized += word;
    }
    return normalized;
}

Result<std::vector<std::string>> unknown_words(const FindWord& find_word, std::string_view phrase) {
    std::vector<std::string> missing;
    const std::string normalized = normalize_phrase(phrase);
    for (const auto word : phrase_words(normalized)) {
        std::string text(word);
        if (auto checked = check_no_nul(text); !checked) return std::unexpected(checked.error());
        if (find_word(text.c_str()) < 0) missing.push_back(std::move(text));
    }
    return missing;
}

Result<std::vector<std::string>> unknown_words(const VoskModel& model, std::string_view phrase) {
    return unknown_words([&](const char* word) { return model.find_word(word); }, phrase);
}

Result<std::vector<std::string>> vet_phrases(const FindWord& find_word,
                                             const std::vector<std::string>& phrases) {
    std::vector<std::string> kept;
    for (const auto& phrase : phrases) {
        auto missing = unknown_words(find_word, phrase);
        if (!missing) return std::unexpected(missing.error());
        std::string normalized = normalize_phrase(phrase);
        if (missing->empty() && !normalized.empty()) {
            kept.push_back(std::move(normalized));
            continue;
        }
        VC_WARN(kTarget, "voice phrase has unknown words; ignored", log::field("phrase", phrase),
                log::debug_list_field("missing", *missing));
    }
    if (kept.empty()) return voice_error("none of the voice phrases are in the model's vocabulary");
    return kept;
}

Result<std::string> build_grammar(const FindWord& find_word, const std::vector<std::string>& kept,
                                  std::string_view language) {
    std::vector<std::string> grammar(kept.begin(), kept.end());
    std::set<std::string_view> phrase_word_set;
    for (const auto& phrase : kept)
        for (const auto word : split_white_space(phrase)) phrase_word_set.insert(word);

    const auto add_fillers = [&](const auto& fillers) -> Status {
        for (const auto filler : fillers) {
            if (phrase_word_set.contains(filler)) continue;
            auto missing = unknown_words(find_word, filler);
            if (!missing) return std::unexpected(missing.error());
            if (missing->empty()) grammar.emplace_back(filler);
        }
        return {};
    };
    const Status added = language == "es" ? add_fillers(SPANISH_FILLERS) : add_fillers(ENGLISH_FILLERS);
    if (!added) return std::unexpected(added.error());
    grammar.emplace_back("[unk]");

    // Phrases come from the settings file, so they are text; replace guards a stray byte.
    std::string json = nlohmann::json(grammar).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (auto checked = check_no_nul(json); !checked) return std::unexpected(checked.error());
    return json;
}

}  // namespace vc
