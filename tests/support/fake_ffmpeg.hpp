// FakeFfmpeg: a stand-in "ffmpeg" script in a directory of its own, for VANTREL_FFMPEG, used
// only to force what the real ffmpeg cannot do on cue (have no encoders, die at once during
// the start, never write its segment list). Every run appends its arguments, joined by
// blanks, as one line of calls.log. An encoder test passes for the encoders listed as
// passing; a recorder run behaves as its encoder's rule says (or the "*" rule):
//   list       writes the segment list and then waits to be killed,
//   segment    writes a segment list that names one finished segment, then waits,
//   quit-lines writes the segment list, then "q" on standard error 20 times, 0.1 s apart,
//              then waits,
//   wait       waits to be killed without writing anything,
//   exit1      writes "cannot record" to standard error and exits with code 1.
// The kind of run named by set_hanging (an encoder test or a save's join) instead writes
// its pid to hung.pid and waits to be killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/environment.hpp"

namespace vc::test {

class FakeFfmpeg {
public:
    FakeFfmpeg();

    // The directory to put into VANTREL_FFMPEG.
    const std::filesystem::path& dir() const { return dir_.path(); }

    void set_passing(const std::vector<std::string>& encoders) const;
    // Rules as "encoder mode" pairs; "*" matches any encoder.
    void set_recording(const std::vector<std::pair<std::string, std::string>>& rules) const;
    // "probe" or "join": every such run hangs.
    void set_hanging(const std::string& run) const;
    // The pid of the run that hangs, once it has started (waiting at most `limit`).
    std::optional<pid_t> hung_pid(std::chrono::milliseconds limit) const;

    // One entry per run so far, in order.
    std::vector<std::string> calls() const;

private:
    TempDir dir_;
};

}  // namespace vc::test
