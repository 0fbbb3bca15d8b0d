// EngineError: the one error type of the settings, the engine, the audio capture and the
// voice commands. Fallible operations return std::expected<T, EngineError>; the error
// travels upward as a value and the user only ever sees its text form.
#pragma once

#include <expected>
#include <string>
#include <variant>

namespace vc {

// An operating-system error: an error number, or a failure that carries a message of its
// own (for example a file whose content is not valid UTF-8).
struct OsError {
    int code = 0;
    std::string message;  // used instead of the error number's description when not empty

    static OsError from_errno(int code) { return {code, {}}; }
    static OsError with_message(std::string message) { return {0, std::move(message)}; }
};

// "{description} (os error {code})", or the message of its own.
std::string format_os_error(const OsError& error);

struct EngineError {
    struct Config {
        std::string text;
    };
    struct Io {
        std::string context;
        OsError io_error;
    };
    struct Ffmpeg {
        std::string context;
        std::string stderr_text;
    };
    struct Audio {
        std::string text;
    };
    struct NothingRecorded {};
    struct Voice {
        std::string text;
    };

    std::variant<Config, Io, Ffmpeg, Audio, NothingRecorded, Voice> kind;

    template <typename T>
    bool is() const { return std::holds_alternative<T>(kind); }
    template <typename T>
    const T& as() const { return std::get<T>(kind); }
};

template <typename T>
using Result = std::expected<T, EngineError>;
using Status = std::expected<void, EngineError>;

// The named helpers that build errors, each ready to be returned from a Result function.
std::unexpected<EngineError> config_error(std::string text);
std::unexpected<EngineError> io_error(std::string context, int error_number);
std::unexpected<EngineError> io_error(std::string context, OsError error);
std::unexpected<EngineError> ffmpeg_error(std::string context, std::string stderr_text);
std::unexpected<EngineError> audio_error(std::string text);
std::unexpected<EngineError> nothing_recorded();
std::unexpected<EngineError> voice_error(std::string text);

// The text form the user sees: "config: {}", "{}: {}", "ffmpeg failed while {}: {}",
// "audio: {}", "nothing recorded yet" or "voice: {}".
std::string format_engine_error(const EngineError& error);

}  // namespace vc
