// The ring list, "ring.csv": the recorder's ffmpeg lists its newest segments there, one
// "name,start,end" line each. A save reads it to choose the segments it joins. Nothing here
// keeps state; any thread may call it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"

namespace vc {

// One entry of "ring.csv".
struct Segment {
    std::string name;
    double duration = 0.0;  // end - start, or 0 when that is not above 0
    double end = 0.0;

    bool operator==(const Segment&) const = default;
};

// A decimal number as the ring list writes it: sign, digits with an optional point and
// fraction, optional exponent; inf, infinity and nan in any case. Anything else (blanks,
// hex, a bare exponent) gives nullopt.
std::optional<double> parse_decimal(std::string_view text);

// "name,start,end[,ignored...]"; nullopt for a line that does not parse.
std::optional<Segment> parse_segment_line(std::string_view line);

// Every line of the list that parses, in line order (a CR before the LF is dropped).
std::vector<Segment> parse_ring_list(std::string_view text);

// The newest segments whose durations add up to at least `replay_seconds` (all of them when
// they never do), oldest first.
std::vector<Segment> choose_segments(const std::vector<Segment>& segments, std::uint32_t replay_seconds);

// The list's text from the ring directory. The recorder may not have listed its first
// segment yet: a missing list is waited for about half a second, then NothingRecorded.
[[nodiscard]] Result<std::string> read_ring_list(const std::filesystem::path& ring_dir);

}  // namespace vc
