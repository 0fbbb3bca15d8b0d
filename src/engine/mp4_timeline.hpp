// The picture's timeline as a joined clip's own index gives it: how long each frame of its
// first video track stands, read from the MP4's "moov" box (its sample table), without
// reading the media itself (the join puts that box first, "+faststart"). A save holds it
// against the segments it chose: a segment that the recorder cut short under the join
// leaves a step in it (the segments after keep their places) or, for the last one, a clip
// shorter than its segments. Pure parsing apart from read_mp4_timeline; thread "engine".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace vc {

struct Mp4Timeline {
    // Frames in a row that stand equally long: `count` frames of `delta` each.
    struct Run {
        std::uint32_t count = 0;
        std::uint32_t delta = 0;
    };
    std::uint32_t timescale = 0;  // units a second
    std::vector<Run> runs;        // in decoding order
};

// The first video track's timeline from the bytes of a "moov" box's contents; nullopt when
// they hold no video track with a usable sample table.
std::optional<Mp4Timeline> parse_moov(std::string_view moov);

// The same, read from an MP4 file; nullopt when it has no "moov" box (or one too large to be
// a clip's index) or parse_moov finds nothing.
std::optional<Mp4Timeline> read_mp4_timeline(const std::filesystem::path& file);

// Whether the timeline holds every frame of `listed_seconds` of segments: no frame stands
// longer than one and a half frames (a step: frames missing where a segment was cut short),
// and all of them together last no less than the segments less one and a half frames (the
// last segment cut short). A frame is the length that most frames have.
bool holds_every_frame(const Mp4Timeline& timeline, double listed_seconds);

}  // namespace vc
