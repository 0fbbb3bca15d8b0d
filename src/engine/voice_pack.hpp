// The voice pack: the directory that holds the speech-recognition library ("lib/libvosk.so")
// and one language model per language code ("models/<code>", marked by its "conf"
// directory), and the choice of the listening language. Nothing here keeps state: every
// call reads the environment and the file system afresh. Called from the main thread (the
// start-up summary), "audio-mixer" (the language of a new listener) and "voice".
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/settings.hpp"

namespace vc {

// VANTREL_VOICE_DIR when set (any value, even empty), else "voice" in the application's
// data directory, else the relative "voice".
std::filesystem::path voice_dir();

// <voice dir>/lib/libvosk.so and <voice dir>/models/<language>.
std::filesystem::path vosk_library_path();
std::filesystem::path vosk_model_path(std::string_view language);

// The library is a regular file (links followed) and the model directory holds "conf".
// A language or directory with a NUL byte inside is never installed: the path the system
// would hand on would be cut short at the NUL.
bool voice_pack_installed(std::string_view language);

// The system locale list from LANGUAGE (split at ':'), LC_ALL, LC_MESSAGES and LANG, each
// entry cut at the first '.' or '@', '_' turned into '-', without repeats.
std::vector<std::string> system_locales();

// The language setting, or for exactly "auto" "es" or "en" from the first system locale.
std::string voice_language(const Voice& voice);

}  // namespace vc
