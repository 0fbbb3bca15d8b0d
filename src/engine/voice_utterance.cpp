#include "engine/voice_utterance.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace vc {
namespace {

using json = nlohmann::json;

// A SAX reader that builds the Utterance as the events arrive and refuses the document at
// the first event that breaks the shape. Returning false stops the parser at once.
class UtteranceReader final : public nlohmann::json_sax<json> {
public:
    // words_only: the document is the "result" array itself.
    explicit UtteranceReader(bool words_only) : words_only_(words_only) {
        if (words_only) state_ = State::ExpectResult;
    }

    bool finished() const { return state_ == State::Done; }
    Utterance& utterance() { return utterance_; }

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t value) override { return number(static_cast<float>(value)); }
    bool number_unsigned(number_unsigned_t value) override { return number(static_cast<float>(value)); }
    bool number_float(number_float_t value, const string_t&) override {
        return number(static_cast<float>(value));
    }
    bool string(string_t& value) override {
        if (state_ == State::ExpectText) {
            utterance_.text = std::move(value);
            state_ = State::InTop;
            return true;
        }
        return scalar();
    }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override {
        switch (state_) {
            case State::Start: state_ = State::InTop; return true;
            case State::InResult:
                word_ = {};
                has_conf_ = false;
                state_ = State::InWord;
                return true;
            case State::Skipping: ++skip_depth_; return true;
            case State::SkipValueTop:
            case State::SkipValueWord: return begin_skip();
            default: return false;
        }
    }
    bool end_object() override {
        switch (state_) {
            case State::InTop: state_ = State::Done; return true;
            case State::InWord:
                if (!has_conf_) return false;
                utterance_.result.push_back(word_);
                state_ = State::InResult;
                return true;
            case State::Skipping: return end_skip();
            default: return false;
        }
    }
    bool start_array(std::size_t) override {
        switch (state_) {
            case State::ExpectResult:
                if (seen_result_) return false;
                seen_result_ = true;
                state_ = State::InResult;
                return true;
            case State::Skipping: ++skip_depth_; return true;
            case State::SkipValueTop:
            case State::SkipValueWord: return begin_skip();
            default: return false;
        }
    }
    bool end_array() override {
        switch (state_) {
            case State::InResult: state_ = words_only_ ? State::Done : State::InTop; return true;
            case State::Skipping: return end_skip();
            default: return false;
        }
    }
    bool key(string_t& name) override {
        if (state_ == State::Skipping) return true;
        if (state_ == State::InTop) {
            if (name == "text") {
                if (seen_text_) return false;
                seen_text_ = true;
                state_ = State::ExpectText;
            } else if (name == "result") {
                if (seen_result_) return false;
                state_ = State::ExpectResult;
            } else {
                state_ = State::SkipValueTop;
            }
            return true;
        }
        if (state_ == State::InWord) {
            if (name == "conf") {
                if (has_conf_) return false;
                state_ = State::ExpectConf;
            } else {
                state_ = State::SkipValueWord;
            }
            return true;
        }
        return false;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    enum class State {
        Start,          // before the top object
        InTop,          // between keys of the top object
        ExpectText,     // after "text"
        ExpectResult,   // after "result" (or the start of a bare word list)
        InResult,       // between word objects
        InWord,         // between keys of a word object
        ExpectConf,     // after "conf"
        SkipValueTop,   // after another key of the top object
        SkipValueWord,  // after another key of a word object
        Skipping,       // inside an ignored object or array
        Done,
    };

    bool number(float value) {
        if (state_ == State::ExpectConf) {
            word_.conf = value;
            has_conf_ = true;
            state_ = State::InWord;
            return true;
        }
        return scalar();
    }
    // A scalar is fine only as the value of a key that is passed over.
    bool scalar() {
        switch (state_) {
            case State::SkipValueTop: state_ = State::InTop; return true;
            case State::SkipValueWord: state_ = State::InWord; return true;
            case State::Skipping: return true;
            default: return false;
        }
    }
    bool begin_skip() {
        skip_return_ = state_ == State::SkipValueTop ? State::InTop : State::InWord;
        skip_depth_ = 1;
        state_ = State::Skipping;
        return true;
    }
    bool end_skip() {
        if (--skip_depth_ == 0) state_ = skip_return_;
        return true;
    }

    const bool words_only_;
    State state_ = State::Start;
    State skip_return_ = State::InTop;
    std::size_t skip_depth_ = 0;
    bool seen_text_ = false;
    bool seen_result_ = false;
    bool has_conf_ = false;
    Word word_;
    Utterance utterance_;
};

// The parser refuses trailing text itself (strict mode); the reader refuses a document it
// saw only part of, which the parser reports as success when the reader stopped it.
std::optional<Utterance> read(std::string_view text, bool words_only) {
    UtteranceReader reader(words_only);
    bool parsed = false;
    try {
        parsed = json::sax_parse(text, &reader, json::input_format_t::json, true);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!parsed || !reader.finished()) return std::nullopt;
    return std::move(reader.utterance());
}

}  // namespace

std::optional<Utterance> parse_utterance(std::string_view json_text) { return read(json_text, false); }

std::optional<std::vector<Word>> read_words(std::string_view json_array) {
    auto words = read(json_array, true);
    if (!words) return std::nullopt;
    return std::move(words->result);
}

float utterance_confidence(const Utterance& utterance) {
    float confidence = 1.0f;
    for (const auto& word : utterance.result) confidence = std::min(confidence, word.conf);
    return confidence;
}

}  // namespace vc
