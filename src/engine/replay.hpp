// Replay saving: turns the newest segments of the recorder's ring into one MP4 clip. Reads
// "ring.csv", picks the newest segments that cover the replay length, writes the concat list
// "save.txt", picks a free clip name, lets ffmpeg join the segments without re-encoding and
// hands the clip to finish_clip. Runs on thread "engine", one save at a time; keeps no state
// between saves (the caller keeps newest_end for the next one).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/clips.hpp"
#include "engine/error.hpp"
#include "engine/ring_list.hpp"

namespace vc {

// "file '<ring_dir>/<name>'\n" with each single quote written as '\''.
std::string concat_list_line(const std::filesystem::path& ring_dir, std::string_view name);

// The segment's lines of the concat list: its file line, then "duration <seconds>\n" with
// its listed length. The join lays each next segment after the one before by that length;
// without it, by the segment's own, which runs past the listed length by up to an audio frame
// (the audio of a second ends after its last picture), and every join leaves that gap in
// both streams. A segment listed with no length (0), or with one no segment has, gets no
// duration line.
std::string concat_list_entry(const std::filesystem::path& ring_dir, const Segment& segment);

// "-metadata:s:a:i" "title=<name>" "-metadata:s:a:i" "handler_name=<name>" per track.
std::vector<std::string> track_metadata_args(const std::vector<std::string>& track_names);

// The local time as "%Y-%m-%d %H-%M-%S", following TZ.
std::string clip_time_text(std::time_t when);

// "<prefix> <time>.mp4", then "<prefix> <time> (n).mp4" for n = 1..999: the first name
// whose file status cannot be read. Config "could not find a free clip filename" otherwise.
[[nodiscard]] Result<std::filesystem::path> free_clip_path(const std::filesystem::path& clips_dir, Origin origin,
                                             std::string_view time_text);

// The join's ffmpeg arguments after the shared base options.
std::vector<std::string> join_args(const std::filesystem::path& concat_list,
                                   const std::vector<std::string>& track_names,
                                   const std::filesystem::path& clip);

struct SavedClip {
    ClipInfo clip;
    double newest_end = 0.0;  // pass back as newer_than at the next save
};
struct NothingNew {};

using SaveOutcome = std::variant<SavedClip, NothingNew>;

// newer_than is the previous save's newest_end, or -infinity for the first save of a
// recorder run; a list whose newest segment is not newer gives NothingNew and touches no file.
// When the recorder comes round to a chosen segment before the join has read it (a join far
// behind on a busy machine), that clip is dropped and the newest segments are joined again,
// up to three times in all.
[[nodiscard]] Result<SaveOutcome> save_replay(const std::filesystem::path& ring_dir,
                                const std::filesystem::path& clips_dir, std::uint32_t replay_seconds,
                                double newer_than, Origin origin,
                                const std::vector<std::string>& track_names);

}  // namespace vc
