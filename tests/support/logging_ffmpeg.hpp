// LoggingFfmpeg: a pass-through "ffmpeg" script in a directory of its own, for
// VANTREL_FFMPEG. Each run appends its exact argument list to calls.log and then execs the
// real ffmpeg found on PATH when the wrapper was made, so the process keeps its pid, its
// process group and its parent-death signal, and behaves as the real ffmpeg in every way.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/environment.hpp"

namespace vc::test {

class LoggingFfmpeg {
public:
    // Throws std::runtime_error when no ffmpeg is on PATH.
    LoggingFfmpeg();

    // The directory to put into VANTREL_FFMPEG.
    const std::filesystem::path& dir() const { return dir_.path(); }

    // One argument list per run so far, in the order the runs started.
    std::vector<std::vector<std::string>> calls() const;

private:
    TempDir dir_;
};

}  // namespace vc::test
