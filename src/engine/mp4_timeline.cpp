#include "engine/mp4_timeline.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "engine/file_descriptor.hpp"

namespace vc {
namespace {

// A clip's index holds a few bytes a frame: even ten minutes at 240 fps stay far below this.
constexpr std::uint64_t kLargestIndex = 64u << 20;

std::uint32_t be32(std::string_view bytes, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

std::uint64_t be64(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint64_t>(be32(bytes, at)) << 32 | be32(bytes, at + 4);
}

// The first box of `type` among the boxes that fill `bytes`, its contents; nullopt when
// there is none, or when a box before it does not fit.
std::optional<std::string_view> child(std::string_view bytes, std::string_view type) {
    for (std::size_t at = 0; at + 8 <= bytes.size();) {
        std::uint64_t size = be32(bytes, at);
        std::size_t header = 8;
        if (size == 1) {
            if (at + 16 > bytes.size()) return std::nullopt;
            size = be64(bytes, at + 8);
            header = 16;
        } else if (size == 0) {
            size = bytes.size() - at;
        }
        if (size < header || size > bytes.size() - at) return std::nullopt;
        if (bytes.substr(at + 4, 4) == type) return bytes.substr(at + header, static_cast<std::size_t>(size) - header);
        at += static_cast<std::size_t>(size);
    }
    return std::nullopt;
}

std::optional<std::string_view> path(std::string_view bytes, std::initializer_list<std::string_view> types) {
    std::optional<std::string_view> box = bytes;
    for (const std::string_view type : types)
        if (box) box = child(*box, type);
    return box;
}

std::optional<Mp4Timeline> video_track(std::string_view trak) {
    const auto handler = path(trak, {"mdia", "hdlr"});
    if (!handler || handler->size() < 12 || handler->substr(8, 4) != "vide") return std::nullopt;
    const auto header = path(trak, {"mdia", "mdhd"});
    const auto stts = path(trak, {"mdia", "minf", "stbl", "stts"});
    if (!header || header->empty() || !stts || stts->size() < 8) return std::nullopt;
    const std::size_t timescale_at = (*header)[0] == 1 ? 20 : 12;
    if (header->size() < timescale_at + 4) return std::nullopt;

    Mp4Timeline timeline;
    timeline.timescale = be32(*header, timescale_at);
    const std::uint32_t entries = be32(*stts, 4);
    if (timeline.timescale == 0 || entries == 0 || (stts->size() - 8) / 8 < entries) return std::nullopt;
    timeline.runs.reserve(entries);
    for (std::uint32_t i = 0; i < entries; ++i) timeline.runs.push_back({be32(*stts, 8 + 8 * i), be32(*stts, 12 + 8 * i)});
    return timeline;
}

}  // namespace

std::optional<Mp4Timeline> parse_moov(std::string_view moov) {
    for (std::size_t at = 0; at + 8 <= moov.size();) {
        const auto trak = child(moov.substr(at), "trak");
        if (!trak) return std::nullopt;
        if (auto timeline = video_track(*trak)) return timeline;
        at = static_cast<std::size_t>(trak->data() + trak->size() - moov.data());
    }
    return std::nullopt;
}

std::optional<Mp4Timeline> read_mp4_timeline(const std::filesystem::path& file) {
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::array<char, 16> header;
    for (std::uint64_t at = 0;;) {
        const ssize_t got = ::pread(fd.get(), header.data(), header.size(), static_cast<off_t>(at));
        if (got < 8) return std::nullopt;
        const std::string_view bytes(header.data(), static_cast<std::size_t>(got));
        std::uint64_t size = be32(bytes, 0);
        std::uint64_t header_size = 8;
        if (size == 1) {
            if (got < 16) return std::nullopt;
            size = be64(bytes, 8);
            header_size = 16;
        }
        if (bytes.substr(4, 4) == "moov") {
            if (size == 0 || size < header_size || size - header_size > kLargestIndex) return std::nullopt;
            std::string moov(static_cast<std::size_t>(size - header_size), '\0');
            if (::pread(fd.get(), moov.data(), moov.size(), static_cast<off_t>(at + header_size)) !=
                static_cast<ssize_t>(moov.size()))
                return std::nullopt;
            return parse_moov(moov);
        }
        if (size < header_size) return std::nullopt;  // 0 (up to the end) or broken: no index after it
        at += size;
    }
}

bool holds_every_frame(const Mp4Timeline& timeline, double listed_seconds) {
    const auto most = std::max_element(timeline.runs.begin(), timeline.runs.end(),
                                       [](const auto& a, const auto& b) { return a.count < b.count; });
    if (most == timeline.runs.end() || most->delta == 0 || timeline.timescale == 0) return true;  // nothing to go by
    const std::uint64_t frame = most->delta;
    std::uint64_t total = 0;
    for (const Mp4Timeline::Run& run : timeline.runs) {
        if (2 * static_cast<std::uint64_t>(run.delta) > 3 * frame) return false;
        total += static_cast<std::uint64_t>(run.count) * run.delta;
    }
    const double scale = timeline.timescale;
    return static_cast<double>(total) / scale >= listed_seconds - 1.5 * static_cast<double>(frame) / scale;
}

}  // namespace vc
