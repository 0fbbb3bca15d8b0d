#include "engine/error.hpp"

#include <cstring>

namespace vc {
namespace {

// strerror_r without setlocale: the C locale's English descriptions.
std::string describe_errno(int code) {
    char buffer[256];
    // GNU strerror_r returns the description, which may or may not live in the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text;
}

template <typename... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

}  // namespace

std::string format_os_error(const OsError& error) {
    if (!error.message.empty())
        return error.message;
    return describe_errno(error.code) + " (os error " + std::to_string(error.code) + ")";
}

std::unexpected<EngineError> config_error(std::string text) {
    return std::unexpected(EngineError{EngineError::Config{std::move(text)}});
}

std::unexpected<EngineError> io_error(std::string context, int error_number) {
    return io_error(std::move(context), OsError::from_errno(error_number));
}

std::unexpected<EngineError> io_error(std::string context, OsError error) {
    return std::unexpected(EngineError{EngineError::Io{std::move(context), std::move(error)}});
}

std::unexpected<EngineError> ffmpeg_error(std::string context, std::string stderr_text) {
    return std::unexpected(
        EngineError{EngineError::Ffmpeg{std::move(context), std::move(stderr_text)}});
}

std::unexpected<EngineError> audio_error(std::string text) {
    return std::unexpected(EngineError{EngineError::Audio{std::move(text)}});
}

std::unexpected<EngineError> nothing_recorded() {
    return std::unexpected(EngineError{EngineError::NothingRecorded{}});
}

std::unexpected<EngineError> voice_error(std::string text) {
    return std::unexpected(EngineError{EngineError::Voice{std::move(text)}});
}

std::string format_engine_error(const EngineError& error) {
    return std::visit(
        Overloaded{
            [](const EngineError::Config& e) { return "config: " + e.text; },
            [](const EngineError::Io& e) { return e.context + ": " + format_os_error(e.io_error); },
            [](const EngineError::Ffmpeg& e) {
                return "ffmpeg failed while " + e.context + ": " + e.stderr_text;
            },
            [](const EngineError::Audio& e) { return "audio: " + e.text; },
            [](const EngineError::NothingRecorded&) { return std::string("nothing recorded yet"); },
            [](const EngineError::Voice& e) { return "voice: " + e.text; },
        },
        error.kind);
}

}  // namespace vc
