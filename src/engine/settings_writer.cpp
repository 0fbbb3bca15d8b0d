// Writing "config.yaml": the whole text is built in memory with libyaml's emitter, in the
// fixed key order, then put in place of the old file in one replacement.

#include <yaml.h>

#include "engine/directories.hpp"
#include "engine/file_replace.hpp"
#include "engine/format.hpp"
#include "engine/settings_file.hpp"
#include "engine/utf8.hpp"
#include "engine/yaml_scalars.hpp"

namespace vc {
namespace {

// Owns one libyaml emitter writing into a string. The first failure sticks; later calls do
// nothing, and `finish` reports it.
class TextEmitter {
public:
    TextEmitter() {
        yaml_emitter_initialize(&emitter_);
        yaml_emitter_set_output(&emitter_, &TextEmitter::append, &text_);
        yaml_emitter_set_unicode(&emitter_, 1);
        yaml_emitter_set_width(&emitter_, -1);
        yaml_emitter_set_indent(&emitter_, 2);
    }
    ~TextEmitter() { yaml_emitter_delete(&emitter_); }
    TextEmitter(const TextEmitter&) = delete;
    TextEmitter& operator=(const TextEmitter&) = delete;

    void begin() {
        yaml_event_t event;
        if (!ok_) return;
        yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING);
        emit(event);
        if (!ok_) return;
        yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1);
        emit(event);
    }

    void end() {
        yaml_event_t event;
        if (!ok_) return;
        yaml_document_end_event_initialize(&event, 1);
        emit(event);
        if (!ok_) return;
        yaml_stream_end_event_initialize(&event);
        emit(event);
    }

    void begin_mapping() {
        if (!ok_) return;
        yaml_event_t event;
        yaml_mapping_start_event_initialize(&event, nullptr, nullptr, 1, YAML_BLOCK_MAPPING_STYLE);
        emit(event);
    }
    void end_mapping() {
        if (!ok_) return;
        yaml_event_t event;
        yaml_mapping_end_event_initialize(&event);
        emit(event);
    }
    void begin_sequence() {
        if (!ok_) return;
        yaml_event_t event;
        yaml_sequence_start_event_initialize(&event, nullptr, nullptr, 1, YAML_BLOCK_SEQUENCE_STYLE);
        emit(event);
    }
    void end_sequence() {
        if (!ok_) return;
        yaml_event_t event;
        yaml_sequence_end_event_initialize(&event);
        emit(event);
    }

    // Numbers, booleans and null: always plain.
    void plain(std::string_view value) { scalar(value, YAML_PLAIN_SCALAR_STYLE); }

    // A text, in the style that makes it read back as the same text.
    void text(std::string_view value) {
        if (value.find('\n') != std::string_view::npos)
            scalar(value, YAML_LITERAL_SCALAR_STYLE);
        else if (yaml::text_needs_quotes(value))
            scalar(value, YAML_SINGLE_QUOTED_SCALAR_STYLE);
        else
            scalar(value, YAML_ANY_SCALAR_STYLE);
    }

    Result<std::string> finish() {
        if (ok_ && !yaml_emitter_flush(&emitter_)) fail();
        if (!ok_) return config_error(error_);
        return std::move(text_);
    }

private:
    static int append(void* data, unsigned char* buffer, std::size_t size) {
        static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
        return 1;
    }

    void scalar(std::string_view value, yaml_scalar_style_t style) {
        if (!ok_) return;
        if (!is_valid_utf8(value)) {
            ok_ = false;
            error_ = "text contains invalid UTF-8 characters";
            return;
        }
        yaml_event_t event;
        if (!yaml_scalar_event_initialize(&event, nullptr, nullptr,
                                          reinterpret_cast<yaml_char_t*>(const_cast<char*>(value.data())),
                                          static_cast<int>(value.size()), 1, 1, style)) {
            ok_ = false;
            error_ = "could not build the settings text";
            return;
        }
        emit(event);
    }

    // The emitter takes the event over, also when it fails.
    void emit(yaml_event_t& event) {
        if (!yaml_emitter_emit(&emitter_, &event)) fail();
    }

    void fail() {
        ok_ = false;
        error_ = emitter_.problem != nullptr ? emitter_.problem : "could not build the settings text";
    }

    yaml_emitter_t emitter_{};
    std::string text_;
    bool ok_ = true;
    std::string error_;
};

void unsigned_value(TextEmitter& out, std::string_view key, std::uint64_t value) {
    out.text(key);
    out.plain(std::to_string(value));
}
void bool_value(TextEmitter& out, std::string_view key, bool value) {
    out.text(key);
    out.plain(value ? "true" : "false");
}
void float_value(TextEmitter& out, std::string_view key, float value) {
    out.text(key);
    out.plain(yaml::float_text(value));
}
void text_value(TextEmitter& out, std::string_view key, std::string_view value) {
    out.text(key);
    out.text(value);
}

void emit_track(TextEmitter& out, const Track& track) {
    out.begin_mapping();
    text_value(out, "name", track.name);
    text_value(out, "source", track_source_name(track.source));
    out.text("device");
    if (track.device)
        out.text(*track.device);
    else
        out.plain("null");
    bool_value(out, "enabled", track.enabled);
    float_value(out, "volume", track.volume);
    out.end_mapping();
}

}  // namespace

Result<std::string> config_yaml_text(const Config& config) {
    if (!is_valid_utf8(config.clips_dir.native())) return config_error("path contains invalid UTF-8 characters");

    TextEmitter out;
    out.begin();
    out.begin_mapping();
    unsigned_value(out, "replay_seconds", config.replay_seconds);
    unsigned_value(out, "fps", config.fps);
    unsigned_value(out, "display", config.display);
    unsigned_value(out, "quality", config.quality);
    text_value(out, "encoder", config.encoder);
    text_value(out, "clips_dir", config.clips_dir.native());
    out.text("tracks");
    out.begin_sequence();
    for (const Track& track : config.tracks) emit_track(out, track);
    out.end_sequence();
    text_value(out, "hotkey", config.hotkey);

    out.text("autoclip");
    out.begin_mapping();
    bool_value(out, "enabled", config.autoclip.enabled);
    float_value(out, "threshold_db", config.autoclip.threshold_db);
    unsigned_value(out, "min_duration_ms", config.autoclip.min_duration_ms);
    unsigned_value(out, "cooldown_s", config.autoclip.cooldown_s);
    unsigned_value(out, "post_roll_s", config.autoclip.post_roll_s);
    out.end_mapping();

    out.text("voice");
    out.begin_mapping();
    bool_value(out, "enabled", config.voice.enabled);
    out.text("phrases");
    out.begin_sequence();
    for (const std::string& phrase : config.voice.phrases) out.text(phrase);
    out.end_sequence();
    text_value(out, "language", config.voice.language);
    float_value(out, "min_confidence", config.voice.min_confidence);
    out.end_mapping();

    out.end_mapping();
    out.end();
    return out.finish();
}

Status save_config(const Config& config, const std::filesystem::path& path) {
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty() && parent != path) {
        if (auto made = make_directories(parent); !made) return io_error(format("creating {}", parent), made.error());
    }
    auto text = config_yaml_text(config);
    if (!text) return std::unexpected(text.error());
    if (auto written = replace_file(path, *text); !written)
        return io_error(format("writing {}", path), written.error());
    return {};
}

}  // namespace vc
