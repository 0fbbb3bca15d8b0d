// The event stream of the first YAML document in a text, collected from libyaml's parser
// into owned records so that the settings reader can walk it, skip whole values in one
// step and replay anchored nodes for aliases. Owned by the one call that reads the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vc::yaml {

enum class EventKind : std::uint8_t {
    MappingStart,
    MappingEnd,
    SequenceStart,
    SequenceEnd,
    Scalar,
    Alias,
    Void,  // the text holds no document at all
};

enum class ScalarStyle : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded };

// libyaml's mark: 0-based line and column, columns in characters.
struct Mark {
    std::size_t line = 0;
    std::size_t column = 0;
};

// " at line L column C" (1-based), or nothing for the very start of the text.
std::string mark_suffix(Mark mark);

inline constexpr std::size_t unterminated = static_cast<std::size_t>(-1);

struct Event {
    EventKind kind = EventKind::Void;
    ScalarStyle style = ScalarStyle::Plain;
    Mark mark;
    // Index of the node's last event: its end event for a mapping or a sequence, itself for
    // the others; `unterminated` when a syntax error came first.
    std::size_t end = unterminated;
    std::size_t alias_target = 0;  // aliases: index of the anchored node's first event
    std::string value;             // scalars: the text, escapes undone
    std::string tag;               // scalars, mappings, sequences: the resolved tag, or empty
};

struct Document {
    std::vector<Event> events;
    // Set when collection stopped early: libyaml's problem with positions, or an alias
    // without an earlier anchor.
    std::optional<std::string> error;
    // Something follows the first document's end.
    bool more_documents = false;
};

// Parses `text` (valid UTF-8) up to the end of its first document, or up to a syntax error.
// A byte-order mark at its start is skipped: marks count from the character after it.
Document collect_first_document(std::string_view text);

}  // namespace vc::yaml
