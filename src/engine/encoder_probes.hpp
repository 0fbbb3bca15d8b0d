// EncoderProbes: what the one-frame test encodes of the "auto" candidates found, kept for a
// whole run of the program, so that each encoder is tested at most once however often the
// engine starts again (a screen switch restarts it). The front end owns the one instance of
// a run and lends it to every engine start; a test makes a fresh one. Any thread may probe.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/error.hpp"
#include "engine/ffmpeg.hpp"

namespace vc {

class EncoderProbes {
public:
    // The test encode of `encoder`, run only the first time it is asked about; later calls
    // give the remembered outcome ("{} unavailable" for a failed one) without running ffmpeg.
    [[nodiscard]] Status probe(Encoder encoder);

private:
    // Held for one look-up or one store, never while ffmpeg runs: two callers at once could
    // test the same encoder twice, and the later store wins.
    std::mutex mutex_;
    std::map<Encoder, bool> passed_;
};

// The encoder test's arguments after ffmpeg_command's base options.
std::vector<std::string> probe_args(Encoder encoder);

}  // namespace vc
