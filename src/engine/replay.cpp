#include "engine/replay.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <ctime>

#include "engine/directories.hpp"
#include "engine/ffmpeg.hpp"
#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/mp4_timeline.hpp"
#include "engine/ring_files.hpp"
#include "engine/ring_list.hpp"
#include "engine/ring_lock.hpp"
#include "engine/segment_watch.hpp"
#include "engine/utf8.hpp"
#include "engine/whole_file.hpp"

namespace vc {

namespace {

constexpr int max_name_suffix = 999;

bool exists_following_links(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

bool exists_itself(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

std::string concat_list_line(const std::filesystem::path& ring_dir, std::string_view name) {
    // A backslash is an ordinary file-name character here, so only the quote is escaped.
    const std::string path = path_text(ring_dir / std::filesystem::path(std::string(name)));
    std::string line = "file '";
    for (const char c : path) {
        if (c == '\'')
            line += "'\\''";
        else
            line += c;
    }
    line += "'\n";
    return line;
}

std::string concat_list_entry(const std::filesystem::path& ring_dir, const Segment& segment) {
    // A length no segment has (a list gone wrong) is left to the segment itself.
    constexpr double kLongestLength = 1e6;
    std::string entry = concat_list_line(ring_dir, segment.name);
    if (segment.duration > 0.0 && segment.duration < kLongestLength) {
        // Whatever the locale's decimal separator: the demuxer reads a point, as the ring's
        // list is read.
        char seconds[32];
        const auto written = std::to_chars(seconds, seconds + sizeof seconds, segment.duration,
                                           std::chars_format::fixed, 6);
        entry += "duration ";
        entry.append(seconds, written.ptr);
        entry += '\n';
    }
    return entry;
}

std::vector<std::string> track_metadata_args(const std::vector<std::string>& track_names) {
    std::vector<std::string> args;
    args.reserve(track_names.size() * 4);
    for (std::size_t i = 0; i < track_names.size(); ++i) {
        const std::string stream = format("-metadata:s:a:{}", i);
        args.push_back(stream);
        args.push_back("title=" + track_names[i]);
        args.push_back(stream);
        args.push_back("handler_name=" + track_names[i]);
    }
    return args;
}

std::string clip_time_text(std::time_t when) {
    // localtime_r need not look at TZ again; tzset makes a changed TZ count.
    ::tzset();
    std::tm local{};
    ::localtime_r(&when, &local);
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H-%M-%S", &local);
    return std::string(buffer, length);
}

Result<std::filesystem::path> free_clip_path(const std::filesystem::path& clips_dir, Origin origin,
                                             std::string_view time_text) {
    const std::string_view prefix = origin_prefix(origin);
    auto candidate = clips_dir / format("{} {}.mp4", prefix, time_text);
    if (!exists_following_links(candidate)) return candidate;
    for (int n = 1; n <= max_name_suffix; ++n) {
        candidate = clips_dir / format("{} {} ({}).mp4", prefix, time_text, n);
        if (!exists_following_links(candidate)) return candidate;
    }
    return config_error("could not find a free clip filename");
}

std::vector<std::string> join_args(const std::filesystem::path& concat_list,
                                   const std::vector<std::string>& track_names,
                                   const std::filesystem::path& clip) {
    std::vector<std::string> args{"-f", "concat", "-safe", "0", "-i", ffmpeg_file_arg(concat_list.native()),
                                  "-map", "0", "-c", "copy", "-movflags", "+faststart"};
    const auto metadata = track_metadata_args(track_names);
    args.insert(args.end(), metadata.begin(), metadata.end());
    args.push_back(ffmpeg_file_arg(clip.native()));
    return args;
}

namespace {

// A save whose join falls that far behind the recorder is given up rather than retried
// without end; each attempt reads the list afresh, so it joins the newest segments.
constexpr int kJoinAttempts = 3;

// One read of the list and one join. nullopt: the recorder came round to a chosen segment
// before the join had read it; nothing of this attempt is kept.
std::optional<Result<SaveOutcome>> join_newest(const std::filesystem::path& ring_dir,
                                               const std::filesystem::path& clips_dir, std::uint32_t replay_seconds,
                                               double newer_than, Origin origin,
                                               const std::vector<std::string>& track_names) {
    auto text = read_ring_list(ring_dir);
    if (!text) return std::unexpected(std::move(text.error()));
    const std::vector<Segment> segments = parse_ring_list(*text);
    if (segments.empty()) return nothing_recorded();

    const std::vector<Segment> chosen = choose_segments(segments, replay_seconds);
    const double newest_end = segments.back().end;
    if (newer_than >= newest_end) return NothingNew{};

    // The list is rewritten with each new segment, and the recorder comes round to a listed
    // name only some ten segments later: a join that starts now has that long to read them.
    SegmentWatch watch(ring_dir, chosen);

    // The concat demuxer resolves relative entries against the list's own directory, which
    // would double a relative ring directory: every entry is written absolute.
    std::error_code ignored;
    std::filesystem::path list_dir = std::filesystem::absolute(ring_dir, ignored);
    if (list_dir.empty()) list_dir = ring_dir;
    std::string list;
    for (const auto& segment : chosen) list += concat_list_entry(list_dir, segment);
    const auto list_path = ring_dir / kSaveListName;
    if (auto written = write_whole_file(list_path, list); !written)
        return io_error("writing concat list", std::move(written.error()));

    if (auto made = make_directories(clips_dir); !made)
        return io_error(format("creating {}", clips_dir), std::move(made.error()));

    auto clip = free_clip_path(clips_dir, origin, clip_time_text(std::time(nullptr)));
    if (!clip) return std::unexpected(std::move(clip.error()));

    // Whatever a failed join wrote (an empty or cut-short file on a full disk) is no clip.
    // Only a file this save made is removed: the name was free, but a dangling link there
    // counts as free too, and the link is not ours to remove.
    const bool clip_was_absent = !exists_itself(*clip);
    Command command = ffmpeg_command();
    command.append(join_args(list_path, track_names, *clip));
    leave_to_finish(command);
    // The join keeps its share of the ring's lock for as long as it runs: a start of the
    // program in the meantime waits for it before it empties the ring.
    const FileDescriptor lock = lock_ring_for_join(ring_dir);
    command.kept_descriptor = lock.get();
    watch.join_starts();
    auto joined = run_ffmpeg(std::move(command), "saving replay", Meanwhile{[&watch] { watch.catch_up(); }});
    // A join that read a segment the recorder was writing again holds another second than
    // the one chosen, or fails on a file cut short: either way it is done again. One that
    // had read every segment before the recorder came round keeps its clip, however long
    // it went on writing it. A segment cut short under the join (the recorder came round
    // while the join was in the middle of it, and its next read found the end) leaves the
    // rest of that second out: the clip's own timeline shows it.
    double duration_s = 0.0;
    for (const auto& segment : chosen) duration_s += segment.duration;
    bool overtaken = watch.overtaken();
    if (const auto tally = watch.tally(); tally.lost)
        VC_DEBUG("engine::clips", "the kernel's queue of the join's segment events overflowed: the file status judges",
                 log::field("events", tally.events), log::field("most_queued", tally.most_queued));
    if (joined && !overtaken) {
        const auto timeline = read_mp4_timeline(*clip);
        if (timeline && !holds_every_frame(*timeline, duration_s)) {
            VC_DEBUG("engine::clips", "the joined clip lacks frames of its segments");
            overtaken = true;
        }
    }
    if (overtaken || !joined) {
        if (clip_was_absent) ::unlink(clip->c_str());
        if (overtaken) return std::nullopt;
        return std::unexpected(std::move(joined.error()));
    }

    auto info = finish_clip(std::move(*clip), ClipMeta{duration_s, origin, std::nullopt});
    if (!info) return std::unexpected(std::move(info.error()));
    return SavedClip{std::move(*info), newest_end};
}

}  // namespace

Result<SaveOutcome> save_replay(const std::filesystem::path& ring_dir,
                                const std::filesystem::path& clips_dir, std::uint32_t replay_seconds,
                                double newer_than, Origin origin,
                                const std::vector<std::string>& track_names) {
    for (int attempt = 1;; ++attempt) {
        auto joined = join_newest(ring_dir, clips_dir, replay_seconds, newer_than, origin, track_names);
        if (joined) return std::move(*joined);
        if (attempt == kJoinAttempts)
            return io_error("saving replay",
                            OsError::with_message("the recording overwrote the segments before they were joined"));
        VC_DEBUG("engine::clips", "the recording overtook the join; joining the newest segments again");
    }
}

}  // namespace vc
