// A clip's timeline as a player or an editor lays it out: the packet times of its first video
// and first audio stream (ffprobe), and every step between two packets held against the
// stream's own step (one frame; one AAC frame of 1024 samples). A gap where two segments
// meet shows as one long step; an overlap as a short one.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace vc::test {

struct StreamSteps {
    std::size_t packets = 0;
    double step = 0.0;                 // the stream's own step, seconds
    std::vector<double> off;           // where a step is off by more than 1 ms: its start
    double worst = 0.0;                // the largest |step - own step|, seconds
    double length = 0.0;               // first packet to the end of the last, seconds
};

struct ClipTimeline {
    StreamSteps video, audio;
    // "video 1800 packets over 30.000 s, 0 steps off (worst 0.00 ms); audio ..."
    std::string text() const;
};

// `fps`: the recording's frame rate; `sound`: whether the clip has an audio stream (without,
// the audio timeline stays empty). An error (why) when ffprobe cannot read the file or finds
// no packet of a stream it should have: a timeline with nothing in it shows no step off.
std::expected<ClipTimeline, std::string> clip_timeline(const std::filesystem::path& clip, int fps, bool sound = true);

}  // namespace vc::test
