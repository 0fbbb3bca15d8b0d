// A voice pack in a temporary directory, named by VANTREL_VOICE_DIR for the life of the
// object, whose "lib/libvosk.so" is a copy of one build of the test double of the speech
// library. The double logs its calls into "lib/calls.log".
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/environment.hpp"

namespace vc::test {

class FakeVoicePack {
public:
    // `build`: the file name of a double build without ".so" (fake_vosk, fake_vosk_no_...);
    // empty installs no library.
    explicit FakeVoicePack(const std::string& build = "fake_vosk", const std::string& language = "en");

    const std::filesystem::path& dir() const { return temp_.path(); }
    std::filesystem::path library() const { return temp_ / "lib/libvosk.so"; }
    std::filesystem::path model_dir(const std::string& language = "en") const;

    // Model files the double reads: "vocabulary", "script", "fail_model", "fail_recognizer".
    void write_model_file(const std::string& name, const std::string& content,
                          const std::string& language = "en") const;
    void vocabulary(const std::vector<std::string>& words, const std::string& language = "en") const;

    // The double's call log, one call per entry; an "unload" entry after dlclose.
    std::vector<std::string> calls() const;
    // The entries that begin with `prefix`.
    std::vector<std::string> calls_starting(const std::string& prefix) const;

private:
    TempDir temp_;
    ScopedEnv env_;
};

// Every word the default phrases and the filler lists need, for a model that knows them all.
std::vector<std::string> full_vocabulary();

}  // namespace vc::test
