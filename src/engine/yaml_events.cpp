#include "engine/yaml_events.hpp"

#include <yaml.h>

#include <string_view>
#include <unordered_map>

#include "engine/format.hpp"

namespace vc::yaml {
namespace {

// No settings value nests deeper than four levels. The limit keeps libyaml's scanner, whose
// work per token grows with the flow nesting depth, from taking quadratic time on a file of
// brackets.
constexpr std::size_t max_nesting = 128;

bool at_start(const yaml_mark_t& mark) { return mark.line == 0 && mark.column == 0; }

// libyaml's problem text with its positions: the problem's mark, or else the byte offset of
// a reader error (in the whole text, `skipped` leading bytes included), then the context with
// its own mark when that says something new.
std::string parser_problem(const yaml_parser_t& parser, std::size_t skipped) {
    std::string text = parser.problem != nullptr ? parser.problem : "unknown YAML error";
    if (!at_start(parser.problem_mark))
        text += mark_suffix({parser.problem_mark.line, parser.problem_mark.column});
    else if (parser.problem_offset != 0)
        text += format(" at position {}", parser.problem_offset + skipped);
    if (parser.context != nullptr) {
        text += ", ";
        text += parser.context;
        const bool same_mark = parser.context_mark.line == parser.problem_mark.line &&
                               parser.context_mark.column == parser.problem_mark.column;
        if (!at_start(parser.context_mark) && !same_mark)
            text += mark_suffix({parser.context_mark.line, parser.context_mark.column});
    }
    return text;
}

ScalarStyle scalar_style(yaml_scalar_style_t style) {
    switch (style) {
        case YAML_SINGLE_QUOTED_SCALAR_STYLE: return ScalarStyle::SingleQuoted;
        case YAML_DOUBLE_QUOTED_SCALAR_STYLE: return ScalarStyle::DoubleQuoted;
        case YAML_LITERAL_SCALAR_STYLE: return ScalarStyle::Literal;
        case YAML_FOLDED_SCALAR_STYLE: return ScalarStyle::Folded;
        default: return ScalarStyle::Plain;
    }
}

std::string owned_text(const yaml_char_t* text) {
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

// Owns one parser for the length of a collection.
class Parser {
public:
    explicit Parser(std::string_view text) {
        // Setting the encoding (the text is known to be UTF-8) turns off libyaml's own
        // skipping of a byte-order mark: read as a character of the first line, the mark
        // would shift its columns and break its indentation. Skipped here, positions count
        // from the character after it, as when libyaml skips it.
        if (text.starts_with(utf8_byte_order_mark)) {
            text.remove_prefix(utf8_byte_order_mark.size());
            skipped_ = utf8_byte_order_mark.size();
        }
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    }
    ~Parser() { yaml_parser_delete(&parser_); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event, or false after a syntax error.
    bool next(yaml_event_t& event) { return yaml_parser_parse(&parser_, &event) != 0; }
    std::string problem() const { return parser_problem(parser_, skipped_); }

private:
    yaml_parser_t parser_{};
    std::size_t skipped_ = 0;  // bytes of a byte-order mark before the text given to libyaml
};

struct EventGuard {
    yaml_event_t& event;
    ~EventGuard() { yaml_event_delete(&event); }
};

}  // namespace

std::string mark_suffix(Mark mark) {
    if (mark.line == 0 && mark.column == 0) return {};
    return format(" at line {} column {}", mark.line + 1, mark.column + 1);
}

Document collect_first_document(std::string_view text) {
    Document document;
    Parser parser(text);
    std::unordered_map<std::string, std::size_t> anchors;
    std::vector<std::size_t> open_nodes;
    bool seen_document = false;

    const auto push = [&](EventKind kind, const yaml_event_t& source) -> Event& {
        Event& event = document.events.emplace_back();
        event.kind = kind;
        event.mark = {source.start_mark.line, source.start_mark.column};
        return event;
    };
    const auto remember_anchor = [&](const yaml_char_t* anchor) {
        if (anchor != nullptr) anchors[owned_text(anchor)] = document.events.size() - 1;
    };

    for (;;) {
        yaml_event_t event;
        if (!parser.next(event)) {
            document.error = parser.problem();
            return document;
        }
        EventGuard guard{event};
        switch (event.type) {
            case YAML_STREAM_START_EVENT:
            case YAML_NO_EVENT:
                break;
            case YAML_DOCUMENT_START_EVENT:
                seen_document = true;
                break;
            case YAML_STREAM_END_EVENT:
                if (!seen_document) {
                    Event& void_event = push(EventKind::Void, event);
                    void_event.end = document.events.size() - 1;
                }
                return document;
            case YAML_DOCUMENT_END_EVENT: {
                yaml_event_t after;
                if (!parser.next(after)) {
                    document.more_documents = true;
                } else {
                    document.more_documents = after.type != YAML_STREAM_END_EVENT;
                    yaml_event_delete(&after);
                }
                return document;
            }
            case YAML_ALIAS_EVENT: {
                const auto found = anchors.find(owned_text(event.data.alias.anchor));
                if (found == anchors.end()) {
                    document.error = "unknown anchor" + mark_suffix({event.start_mark.line,
                                                                     event.start_mark.column});
                    return document;
                }
                Event& alias = push(EventKind::Alias, event);
                alias.alias_target = found->second;
                alias.end = document.events.size() - 1;
                break;
            }
            case YAML_SCALAR_EVENT: {
                Event& scalar = push(EventKind::Scalar, event);
                scalar.style = scalar_style(event.data.scalar.style);
                scalar.value.assign(reinterpret_cast<const char*>(event.data.scalar.value),
                                    event.data.scalar.length);
                scalar.tag = owned_text(event.data.scalar.tag);
                scalar.end = document.events.size() - 1;
                remember_anchor(event.data.scalar.anchor);
                break;
            }
            case YAML_SEQUENCE_START_EVENT:
            case YAML_MAPPING_START_EVENT:
                if (open_nodes.size() >= max_nesting) {
                    document.error = "recursion limit exceeded" + mark_suffix({event.start_mark.line,
                                                                               event.start_mark.column});
                    return document;
                }
                if (event.type == YAML_MAPPING_START_EVENT) {
                    push(EventKind::MappingStart, event).tag = owned_text(event.data.mapping_start.tag);
                    remember_anchor(event.data.mapping_start.anchor);
                } else {
                    push(EventKind::SequenceStart, event).tag = owned_text(event.data.sequence_start.tag);
                    remember_anchor(event.data.sequence_start.anchor);
                }
                open_nodes.push_back(document.events.size() - 1);
                break;
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT: {
                const bool mapping = event.type == YAML_MAPPING_END_EVENT;
                Event& end = push(mapping ? EventKind::MappingEnd : EventKind::SequenceEnd, event);
                end.end = document.events.size() - 1;
                // libyaml balances starts and ends; the check only guards our own bookkeeping.
                if (!open_nodes.empty()) {
                    document.events[open_nodes.back()].end = document.events.size() - 1;
                    open_nodes.pop_back();
                }
                break;
            }
        }
    }
}

}  // namespace vc::yaml
