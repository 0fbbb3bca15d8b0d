// Reading "config.yaml": libyaml's events of the first document, walked by a record reader
// of our own that knows the Config schema. The reader only moves forward through the events,
// except that an alias replays the node its anchor marked. Unknown keys are skipped in one
// step each (their values are never walked, so aliases inside them are never expanded).

#include <array>
#include <cerrno>
#include <cmath>
#include <functional>
#include <limits>

#include "engine/dirs.hpp"
#include "engine/escaped_text.hpp"
#include "engine/format.hpp"
#include "engine/settings_file.hpp"
#include "engine/utf8.hpp"
#include "engine/whole_file.hpp"
#include "engine/yaml_events.hpp"
#include "engine/yaml_scalars.hpp"

namespace vc {
namespace {

using yaml::Event;
using yaml::EventKind;
using yaml::ScalarStyle;

template <typename T>
using Read = std::expected<T, std::string>;
using ReadStatus = std::expected<void, std::string>;

std::unexpected<std::string> refuse(std::string text) { return std::unexpected(std::move(text)); }

std::string child_path(const std::string& parent, std::string_view key) {
    return parent.empty() ? std::string(key) : parent + "." + std::string(key);
}

std::string entry_path(const std::string& parent, std::size_t index) {
    return format("{}[{}]", parent, index);
}

// A float read as 64 bits and narrowed to the nearest 32-bit float; beyond the 32-bit range
// (after rounding) it becomes an infinity.
float narrow_to_float(double value) {
    constexpr double overflow_threshold = 0x1.ffffffp127;  // halfway past the largest float
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    if (std::fabs(value) >= overflow_threshold)
        return value > 0 ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

class ConfigReader {
public:
    explicit ConfigReader(const yaml::Document& document) : document_(document), events_(document.events) {
        // Aliases may replay a node many times; the replays together may cost a fixed
        // multiple of the text itself, so no file can make the reader run long or grow big.
        bytes_before_.reserve(events_.size() + 1);
        std::size_t bytes = 0;
        for (const Event& event : events_) {
            bytes_before_.push_back(bytes);
            bytes += event.value.size();
        }
        bytes_before_.push_back(bytes);
        replay_budget_ = 16 * (events_.size() + bytes) + 65536;
    }

    Read<Config> read() {
        Config config;
        std::array<bool, 10> seen{};
        static constexpr std::array<std::string_view, 10> fields = {
            "replay_seconds", "fps", "display", "quality", "encoder",
            "clips_dir", "tracks", "hotkey", "autoclip", "voice"};
        auto done = read_record(0, "", "struct Config", fields, seen,
                                [&](std::size_t field, std::size_t value, const std::string& path)
                                    -> ReadStatus {
            switch (field) {
                case 0: return assign(config.replay_seconds, read_unsigned(value, path, UINT32_MAX, "u32"));
                case 1: return assign(config.fps, read_unsigned(value, path, UINT32_MAX, "u32"));
                case 2: return assign(config.display, read_unsigned(value, path, UINT32_MAX, "u32"));
                case 3: return assign(config.quality, read_unsigned(value, path, UINT8_MAX, "u8"));
                case 4: return assign(config.encoder, read_text(value, path, "a string"));
                case 5: {
                    auto text = read_text(value, path, "path string");
                    if (!text) return std::unexpected(text.error());
                    config.clips_dir = std::filesystem::path(std::move(*text));
                    return {};
                }
                case 6: return read_list(value, path, [&](std::size_t entry, const std::string& entry_path) {
                    auto track = read_track(entry, entry_path);
                    if (!track) return ReadStatus(std::unexpected(track.error()));
                    config.tracks.push_back(std::move(*track));
                    return ReadStatus();
                });
                case 7: return assign(config.hotkey, read_text(value, path, "a string"));
                case 8: return assign(config.autoclip, read_autoclip(value, path));
                default: return assign(config.voice, read_voice(value, path));
            }
        });
        if (!done) return std::unexpected(done.error());

        const Config defaults = default_config();
        if (!seen[0]) config.replay_seconds = defaults.replay_seconds;
        if (!seen[1]) config.fps = defaults.fps;
        if (!seen[2]) config.display = defaults.display;
        if (!seen[3]) config.quality = defaults.quality;
        if (!seen[4]) config.encoder = defaults.encoder;
        if (!seen[5]) config.clips_dir = defaults.clips_dir;
        if (!seen[6]) config.tracks = defaults.tracks;
        if (!seen[7]) config.hotkey = defaults.hotkey;
        if (!seen[8]) config.autoclip = defaults.autoclip;
        if (!seen[9]) config.voice = defaults.voice;
        return config;
    }

private:
    template <typename Field, typename Value>
    static ReadStatus assign(Field& field, Read<Value> value) {
        if (!value) return std::unexpected(std::move(value.error()));
        field = static_cast<Field>(std::move(*value));
        return {};
    }

    std::unexpected<std::string> error_at(const std::string& path, std::string_view message,
                                          yaml::Mark mark) const {
        std::string text = path.empty() ? std::string() : path + ": ";
        text += message;
        text += yaml::mark_suffix(mark);
        return refuse(std::move(text));
    }

    // What the reader meets when it needs an event that was never collected.
    std::unexpected<std::string> syntax_error() const {
        return refuse(document_.error.value_or("unexpected end of the YAML events"));
    }

    // The node at `index`, with an alias followed to the node its anchor marked.
    Read<std::size_t> node_at(std::size_t index, const std::string& path) {
        if (index >= events_.size()) return syntax_error();
        const Event& event = events_[index];
        if (event.kind != EventKind::Alias) return index;
        const std::size_t target = event.alias_target;
        const std::size_t last = std::min(events_[target].end, events_.size() - 1);
        replay_cost_ += (last - target + 1) + (bytes_before_[last + 1] - bytes_before_[target]);
        if (replay_cost_ > replay_budget_)
            return error_at(path, "repetition limit exceeded", event.mark);
        return target;
    }

    // The index just after the node that starts at `index` (an alias is one event).
    std::size_t after(std::size_t index) const {
        const std::size_t end = events_[index].end;
        return end == yaml::unterminated ? events_.size() : end + 1;
    }

    std::string found_value(const Event& node, std::optional<std::string>& mismatch) const {
        switch (node.kind) {
            case EventKind::MappingStart: return "map";
            case EventKind::SequenceStart: return "sequence";
            case EventKind::Void: return "unit value";
            default: break;
        }
        if (auto tagged = yaml::describe_core_tagged(node.tag, node.value)) {
            mismatch = std::move(tagged->mismatch);
            return std::move(tagged->found);
        }
        if (node.style != ScalarStyle::Plain) return "string " + quote_escaped(node.value);
        if (node.tag.empty() || node.tag.starts_with('!')) return yaml::describe_plain(node.value);
        return "string " + quote_escaped(node.value);
    }

    std::unexpected<std::string> invalid_type(const Event& node, const std::string& path,
                                              std::string_view expected) const {
        std::optional<std::string> mismatch;
        const std::string found = found_value(node, mismatch);
        if (mismatch) return error_at(path, format("invalid value: {}, expected {}", found, *mismatch), node.mark);
        return error_at(path, format("invalid type: {}, expected {}", found, expected), node.mark);
    }

    // Walks the entries of a record. `on_field` gets the field's number in `fields`, the
    // value's index and its path; keys that are not fields are skipped with their values.
    template <std::size_t N, typename OnField>
    ReadStatus read_record(std::size_t index, const std::string& path, std::string_view expected,
                           const std::array<std::string_view, N>& fields, std::array<bool, N>& seen,
                           OnField&& on_field, yaml::Mark* record_mark = nullptr) {
        auto node_index = node_at(index, path);
        if (!node_index) return std::unexpected(node_index.error());
        const Event& node = events_[*node_index];
        if (record_mark != nullptr) *record_mark = node.mark;
        const bool empty_value = node.kind == EventKind::Void ||
                                 (node.kind == EventKind::Scalar && node.style == ScalarStyle::Plain &&
                                  node.value.empty());
        if (empty_value) return {};
        if (node.kind != EventKind::MappingStart) return invalid_type(node, path, expected);

        std::size_t i = *node_index + 1;
        for (;;) {
            if (i >= events_.size()) return syntax_error();
            if (events_[i].kind == EventKind::MappingEnd) return {};
            auto key_index = node_at(i, path);
            if (!key_index) return std::unexpected(key_index.error());
            const Event& key = events_[*key_index];
            if (key.kind != EventKind::Scalar) {
                std::optional<std::string> unused;
                return error_at(path, format("invalid type: {}, expected field identifier",
                                             found_value(key, unused)),
                                node.mark);
            }
            const std::size_t value = after(i);
            if (value >= events_.size()) return syntax_error();
            std::size_t field = 0;
            while (field < N && fields[field] != key.value) ++field;
            if (field < N) {
                if (seen[field])
                    return error_at(path, format("duplicate field `{}`", fields[field]), node.mark);
                seen[field] = true;
                if (auto status = on_field(field, value, child_path(path, fields[field])); !status)
                    return status;
            }
            i = after(value);
        }
    }

    template <typename OnEntry>
    ReadStatus read_list(std::size_t index, const std::string& path, OnEntry&& on_entry) {
        auto node_index = node_at(index, path);
        if (!node_index) return std::unexpected(node_index.error());
        const Event& node = events_[*node_index];
        if (node.kind == EventKind::Scalar && node.style == ScalarStyle::Plain && node.value.empty())
            return {};
        if (node.kind != EventKind::SequenceStart) return invalid_type(node, path, "a sequence");
        std::size_t i = *node_index + 1;
        for (std::size_t entry = 0;; ++entry) {
            if (i >= events_.size()) return syntax_error();
            if (events_[i].kind == EventKind::SequenceEnd) return {};
            if (auto status = on_entry(i, entry_path(path, entry)); !status) return status;
            i = after(i);
        }
    }

    // The scalar at `index`, or an invalid-type error for a mapping or a sequence.
    Read<const Event*> scalar_at(std::size_t index, const std::string& path, std::string_view expected) {
        auto node_index = node_at(index, path);
        if (!node_index) return std::unexpected(node_index.error());
        const Event& node = events_[*node_index];
        if (node.kind != EventKind::Scalar) return invalid_type(node, path, expected);
        return &node;
    }

    static bool may_be_number(const Event& node, std::string_view core_tag) {
        return node.style == ScalarStyle::Plain ||
               (node.style == ScalarStyle::Literal && node.tag == core_tag);
    }

    Read<std::uint64_t> read_unsigned(std::size_t index, const std::string& path, std::uint64_t max,
                                      std::string_view expected) {
        auto node = scalar_at(index, path, expected);
        if (!node) return std::unexpected(node.error());
        if (may_be_number(**node, yaml::int_tag)) {
            if (const auto number = yaml::parse_unsigned((*node)->value)) {
                if (*number > max)
                    return error_at(path, format("invalid value: integer `{}`, expected {}", *number, expected),
                                    (*node)->mark);
                return *number;
            }
        }
        return invalid_type(**node, path, expected);
    }

    Read<bool> read_bool(std::size_t index, const std::string& path) {
        auto node = scalar_at(index, path, "a boolean");
        if (!node) return std::unexpected(node.error());
        if (may_be_number(**node, yaml::bool_tag))
            if (const auto value = yaml::parse_bool((*node)->value)) return *value;
        return invalid_type(**node, path, "a boolean");
    }

    Read<float> read_float(std::size_t index, const std::string& path) {
        auto node = scalar_at(index, path, "f32");
        if (!node) return std::unexpected(node.error());
        if (may_be_number(**node, yaml::float_tag))
            if (const auto value = yaml::parse_float((*node)->value)) return narrow_to_float(*value);
        return invalid_type(**node, path, "f32");
    }

    Read<std::string> read_text(std::size_t index, const std::string& path, std::string_view expected) {
        auto node = scalar_at(index, path, expected);
        if (!node) return std::unexpected(node.error());
        return (*node)->value;
    }

    Read<std::optional<std::string>> read_device(std::size_t index, const std::string& path) {
        auto found = scalar_at(index, path, "a string");
        if (!found) return std::unexpected(found.error());
        const Event& node = **found;
        if (node.style == ScalarStyle::Plain && node.tag.empty() &&
            (node.value.empty() || yaml::is_null_word(node.value)))
            return std::nullopt;
        if (node.style == ScalarStyle::Plain && node.tag == yaml::null_tag) {
            if (yaml::is_null_word(node.value)) return std::nullopt;
            return error_at(path, format("invalid value: string {}, expected null", quote_escaped(node.value)),
                            node.mark);
        }
        return node.value;
    }

    Read<TrackSource> read_source(std::size_t index, const std::string& path) {
        auto node_index = node_at(index, path);
        if (!node_index) return std::unexpected(node_index.error());
        const Event& node = events_[*node_index];
        const auto variant = [](std::string_view name) -> std::optional<TrackSource> {
            if (name == "output") return TrackSource::Output;
            if (name == "input") return TrackSource::Input;
            return std::nullopt;
        };
        const auto unknown = [&](std::string_view name) {
            return error_at(path, format("unknown variant `{}`, expected `output` or `input`", name), node.mark);
        };
        if (node.tag.starts_with('!')) {
            const std::string_view name = std::string_view(node.tag).substr(1);
            const auto source = variant(name);
            if (!source) return unknown(name);
            if (node.kind != EventKind::Scalar) return invalid_type(node, path, "unit");
            if (node.style == ScalarStyle::Plain && (node.value.empty() || yaml::is_null_word(node.value)))
                return *source;
            return error_at(path, format("invalid value: string {}, expected null", quote_escaped(node.value)),
                            node.mark);
        }
        if (node.kind != EventKind::Scalar)
            return error_at(path, format("invalid type: {}, expected a YAML tag starting with '!'",
                                         node.kind == EventKind::MappingStart ? "map" : "sequence"),
                            node.mark);
        if (const auto source = variant(node.value)) return *source;
        return unknown(node.value);
    }

    Read<Track> read_track(std::size_t index, const std::string& path) {
        Track track;
        std::array<bool, 5> seen{};
        static constexpr std::array<std::string_view, 5> fields = {"name", "source", "device", "enabled",
                                                                   "volume"};
        yaml::Mark mark;
        auto done = read_record(index, path, "struct Track", fields, seen,
                                [&](std::size_t field, std::size_t value, const std::string& field_path)
                                    -> ReadStatus {
            switch (field) {
                case 0: return assign(track.name, read_text(value, field_path, "a string"));
                case 1: return assign(track.source, read_source(value, field_path));
                case 2: return assign(track.device, read_device(value, field_path));
                case 3: return assign(track.enabled, read_bool(value, field_path));
                default: return assign(track.volume, read_float(value, field_path));
            }
        }, &mark);
        if (!done) return std::unexpected(done.error());
        if (!seen[0]) return error_at(path, "missing field `name`", mark);
        if (!seen[1]) return error_at(path, "missing field `source`", mark);
        if (!seen[2]) track.device = std::nullopt;
        if (!seen[3]) track.enabled = true;
        if (!seen[4]) track.volume = 1.0f;
        return track;
    }

    Read<AutoClip> read_autoclip(std::size_t index, const std::string& path) {
        AutoClip autoclip;  // its defaults fill the fields that are not given
        std::array<bool, 5> seen{};
        static constexpr std::array<std::string_view, 5> fields = {
            "enabled", "threshold_db", "min_duration_ms", "cooldown_s", "post_roll_s"};
        auto done = read_record(index, path, "struct AutoClip", fields, seen,
                                [&](std::size_t field, std::size_t value, const std::string& field_path)
                                    -> ReadStatus {
            switch (field) {
                case 0: return assign(autoclip.enabled, read_bool(value, field_path));
                case 1: return assign(autoclip.threshold_db, read_float(value, field_path));
                case 2: return assign(autoclip.min_duration_ms, read_unsigned(value, field_path, UINT32_MAX, "u32"));
                case 3: return assign(autoclip.cooldown_s, read_unsigned(value, field_path, UINT32_MAX, "u32"));
                default: return assign(autoclip.post_roll_s, read_unsigned(value, field_path, UINT32_MAX, "u32"));
            }
        });
        if (!done) return std::unexpected(done.error());
        return autoclip;
    }

    Read<Voice> read_voice(std::size_t index, const std::string& path) {
        Voice voice;  // its defaults fill the fields that are not given
        std::array<bool, 4> seen{};
        static constexpr std::array<std::string_view, 4> fields = {"enabled", "phrases", "language",
                                                                   "min_confidence"};
        auto done = read_record(index, path, "struct Voice", fields, seen,
                                [&](std::size_t field, std::size_t value, const std::string& field_path)
                                    -> ReadStatus {
            switch (field) {
                case 0: return assign(voice.enabled, read_bool(value, field_path));
                case 1: return read_list(value, field_path, [&](std::size_t entry, const std::string& entry_path) {
                    auto phrase = read_text(entry, entry_path, "a string");
                    if (!phrase) return ReadStatus(std::unexpected(phrase.error()));
                    voice.phrases.push_back(std::move(*phrase));
                    return ReadStatus();
                });
                case 2: return assign(voice.language, read_text(value, field_path, "a string"));
                default: return assign(voice.min_confidence, read_float(value, field_path));
            }
        });
        if (!done) return std::unexpected(done.error());
        return voice;
    }

    const yaml::Document& document_;
    const std::vector<Event>& events_;
    std::vector<std::size_t> bytes_before_;
    std::size_t replay_budget_ = 0;
    std::size_t replay_cost_ = 0;
};

}  // namespace

std::filesystem::path config_path() {
    if (const auto dirs = project_dirs()) return join_path(dirs->config_dir, "config.yaml");
    return "config.yaml";
}

std::expected<Config, std::string> parse_config_text(std::string_view text) {
    const yaml::Document document = yaml::collect_first_document(text);
    ConfigReader reader(document);
    auto config = reader.read();
    if (!config) return config;
    if (document.error) return refuse(*document.error);
    if (document.more_documents)
        return refuse("deserializing from YAML containing more than one document is not supported");
    return config;
}

Result<Config> load_config(const std::filesystem::path& path) {
    auto content = read_whole_file(path);
    if (!content) {
        if (content.error().code == ENOENT) return default_config();
        return io_error(format("reading {}", path), std::move(content.error()));
    }
    if (!is_valid_utf8(*content))
        return io_error(format("reading {}", path), OsError::with_message("stream did not contain valid UTF-8"));
    auto config = parse_config_text(*content);
    if (!config) return config_error(format("{}: {}", path, config.error()));
    return std::move(*config);
}

}  // namespace vc
