#include "engine/clips.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <set>

#include <nlohmann/json.hpp>

#include "engine/directories.hpp"
#include "engine/ffmpeg.hpp"
#include "engine/format.hpp"
#include "engine/log.hpp"
#include "engine/utf8.hpp"
#include "engine/whole_file.hpp"

namespace vc {

namespace {

struct OriginNames {
    Origin origin;
    std::string_view name;
    std::string_view prefix;
};

constexpr std::array<OriginNames, 4> origin_table{{
    {Origin::manual, "manual", "Clip"},
    {Origin::auto_, "auto", "Auto"},
    {Origin::voice, "voice", "Voice"},
    {Origin::edit, "edit", "Edit"},
}};

std::string json_string(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Reads the metadata as a stream of parser events so that a member given twice is seen:
// the DOM would silently keep the last one.
class MetaReader : public nlohmann::json_sax<nlohmann::json> {
public:
    // Set once the parse succeeded.
    std::optional<ClipMeta> result() const {
        if (shape_ == Shape::Object && (!has_duration_ || !has_origin_)) return std::nullopt;
        if (shape_ == Shape::Array && index_ != 3) return std::nullopt;
        if (shape_ == Shape::None) return std::nullopt;
        return meta_;
    }

    bool null() override { return scalar(Scalar::Null, {}, 0.0); }
    bool boolean(bool) override { return scalar(Scalar::Other, {}, 0.0); }
    bool number_integer(number_integer_t value) override {
        return scalar(Scalar::Number, {}, static_cast<double>(value));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return scalar(Scalar::Number, {}, static_cast<double>(value));
    }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(Scalar::Number, {}, value);
    }
    bool string(string_t& value) override { return scalar(Scalar::String, value, 0.0); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(Shape::Object); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Shape::Array); }
    bool end_array() override {
        if (depth_ == 1 && shape_ == Shape::Array && index_ != 3) return false;
        return close();
    }

    bool key(string_t& name) override {
        if (depth_ != 1) return true;  // inside a skipped member
        if (!seen_.insert(name).second) return false;
        if (name == "duration_s")
            member_ = Member::Duration;
        else if (name == "origin")
            member_ = Member::Origin;
        else if (name == "cloud_id")
            member_ = Member::CloudId;
        else
            member_ = Member::Other;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    enum class Shape { None, Object, Array };
    enum class Member { Duration, Origin, CloudId, Other };
    enum class Scalar { Null, Number, String, Other };

    bool open(Shape shape) {
        if (depth_ == 0) {
            shape_ = shape;
            depth_ = 1;
            return true;
        }
        // A container is only welcome as the value of a member we skip anyway.
        if (depth_ == 1 && !(shape_ == Shape::Object && member_ == Member::Other)) return false;
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    bool scalar(Scalar kind, const std::string& text, double number) {
        if (depth_ == 0) return false;
        if (depth_ > 1) return true;
        Member member = member_;
        if (shape_ == Shape::Array) {
            if (index_ >= 3) return false;
            member = std::array{Member::Duration, Member::Origin, Member::CloudId}[index_++];
        }
        switch (member) {
            case Member::Duration:
                if (kind != Scalar::Number) return false;
                meta_.duration_s = number;
                has_duration_ = true;
                return true;
            case Member::Origin: {
                if (kind != Scalar::String) return false;
                const auto origin = origin_from_name(text);
                if (!origin) return false;
                meta_.origin = *origin;
                has_origin_ = true;
                return true;
            }
            case Member::CloudId:
                if (kind == Scalar::Null) {
                    meta_.cloud_id.reset();
                    return true;
                }
                if (kind != Scalar::String) return false;
                meta_.cloud_id = text;
                return true;
            case Member::Other:
                return true;
        }
        return false;
    }

    Shape shape_ = Shape::None;
    int depth_ = 0;
    Member member_ = Member::Other;
    std::size_t index_ = 0;  // the next element of the array form
    std::set<std::string> seen_;
    ClipMeta meta_;
    bool has_duration_ = false;
    bool has_origin_ = false;
};

std::chrono::system_clock::time_point time_point_of(std::int64_t seconds, std::uint32_t nanoseconds) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

struct ClipStatus {
    std::uint64_t size = 0;
    std::chrono::system_clock::time_point created;
};

// Birth time where the file system keeps one, else the modification time.
Result<ClipStatus> clip_status(const std::filesystem::path& clip) {
    struct statx status {};
    if (::statx(AT_FDCWD, clip.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &status) == 0) {
        ClipStatus result{status.stx_size, {}};
        if ((status.stx_mask & STATX_BTIME) && status.stx_btime.tv_nsec < 1'000'000'000)
            result.created = time_point_of(status.stx_btime.tv_sec, status.stx_btime.tv_nsec);
        else if (status.stx_mtime.tv_nsec < 1'000'000'000)
            result.created = time_point_of(status.stx_mtime.tv_sec, status.stx_mtime.tv_nsec);
        return result;
    }
    if (errno != ENOSYS) return io_error(format("stat {}", clip), errno);
    struct stat fallback {};
    if (::stat(clip.c_str(), &fallback) != 0) return io_error(format("stat {}", clip), errno);
    ClipStatus result{static_cast<std::uint64_t>(fallback.st_size), {}};
    if (fallback.st_mtim.tv_nsec >= 0 && fallback.st_mtim.tv_nsec < 1'000'000'000)
        result.created = time_point_of(fallback.st_mtim.tv_sec,
                                       static_cast<std::uint32_t>(fallback.st_mtim.tv_nsec));
    return result;
}

}  // namespace

std::string_view origin_name(Origin origin) {
    return origin_table[static_cast<std::size_t>(origin)].name;
}

std::string_view origin_prefix(Origin origin) {
    return origin_table[static_cast<std::size_t>(origin)].prefix;
}

std::optional<Origin> origin_from_name(std::string_view name) {
    for (const auto& entry : origin_table)
        if (entry.name == name) return entry.origin;
    return std::nullopt;
}

std::filesystem::path clip_meta_path(const std::filesystem::path& clip) {
    auto path = clip;
    path.replace_extension("json");
    return path;
}

std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    // The shortest round-trip digits, laid out the way the file format wants them.
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    std::string out;
    std::size_t pos = 0;
    if (text[pos] == '-') {
        out += '-';
        ++pos;
    }
    const std::size_t e_pos = text.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e_pos; ++i)
        if (text[i] != '.') digits += text[i];
    int exponent = 0;
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= 0) {
            const auto whole = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= whole) {
                out += digits;
                out.append(whole - digits.size(), '0');
                out += ".0";
            } else {
                out += digits.substr(0, whole);
                out += '.';
                out += digits.substr(whole);
            }
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        }
        return out;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(exponent));
    return out;
}

std::string clip_meta_json(const ClipMeta& meta) {
    std::string out = "{\n  \"duration_s\": ";
    out += json_number(meta.duration_s);
    out += ",\n  \"origin\": ";
    out += json_string(std::string(origin_name(meta.origin)));
    out += ",\n  \"cloud_id\": ";
    out += meta.cloud_id ? json_string(*meta.cloud_id) : std::string("null");
    out += "\n}";
    return out;
}

std::optional<ClipMeta> parse_clip_meta(std::string_view text) {
    MetaReader reader;
    try {
        if (!nlohmann::json::sax_parse(text, &reader, nlohmann::json::input_format_t::json, true))
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return reader.result();
}

Status write_clip_meta(const std::filesystem::path& clip, const ClipMeta& meta) {
    // A cut-short file (a full disk) would read back as no metadata at best.
    if (auto written = write_whole_file(clip_meta_path(clip), clip_meta_json(meta), PartialFile::remove); !written)
        return io_error("writing clip metadata", std::move(written.error()));
    return {};
}

std::optional<ClipMeta> read_clip_meta(const std::filesystem::path& clip) {
    auto text = read_whole_file(clip_meta_path(clip));
    if (!text) return std::nullopt;
    return parse_clip_meta(*text);
}

std::filesystem::path thumbnail_path(const std::filesystem::path& clip) {
    std::filesystem::path directory = clip.parent_path();
    if (directory.empty()) directory = ".";
    auto path = directory / ".thumbs" / clip.stem();
    path.replace_extension("jpg");
    return path;
}

std::string thumbnail_seek(double duration_s) {
    const double seconds = std::floor(std::fmin(duration_s * 0.5, 3.0));
    return format("{}", static_cast<long long>(seconds));
}

std::vector<std::string> thumbnail_args(const std::filesystem::path& clip, double duration_s) {
    // The image writer reads its file name as a numbered pattern whenever it holds one ("%d"),
    // so a '%' in the clips directory could send the picture elsewhere. Doubling the '%'
    // does not help: a name without a number in it is taken literally, doubled '%' and all.
    // "-update" makes it write the one picture under the name as given.
    return {"-skip_frame", "nokey", "-ss", thumbnail_seek(duration_s), "-i", ffmpeg_file_arg(clip.native()),
            "-frames:v", "1", "-vf", "scale=480:-2", "-q:v", "4", "-update", "1",
            ffmpeg_file_arg(thumbnail_path(clip).native())};
}

namespace {

Status make_thumbnail(const std::filesystem::path& clip, double duration_s) {
    const auto directory = thumbnail_path(clip).parent_path();
    if (auto made = make_directories(directory); !made)
        return io_error(format("creating {}", directory), std::move(made.error()));
    Command command = ffmpeg_command();
    command.append(thumbnail_args(clip, duration_s));
    leave_to_finish(command);
    return run_ffmpeg(std::move(command), "thumbnail");
}

}  // namespace

Result<ClipInfo> finish_clip(std::filesystem::path clip, ClipMeta meta) {
    if (auto written = write_clip_meta(clip, meta); !written) return std::unexpected(std::move(written.error()));
    // A clip without a thumbnail is still a clip: the failure only goes to the log.
    if (auto thumbnail = make_thumbnail(clip, meta.duration_s); !thumbnail)
        VC_WARN("engine::clips",
                format("thumbnail failed for {}: {}", clip, format_engine_error(thumbnail.error())));
    auto status = clip_status(clip);
    if (!status) return std::unexpected(std::move(status.error()));
    ClipInfo info;
    info.thumbnail = thumbnail_path(clip);
    info.meta = read_clip_meta(clip);
    info.created = status->created;
    info.size = status->size;
    info.path = std::move(clip);
    return info;
}

}  // namespace vc
