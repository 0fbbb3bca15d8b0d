#include "support/clip_timeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/process.hpp"

namespace vc::test {
namespace {

constexpr double kTolerance = 0.001;
constexpr double kAacFrame = 1024.0 / 48000.0;

std::expected<std::vector<double>, std::string> packet_times(const std::filesystem::path& clip, const char* stream) {
    Command command("ffprobe", {"-v", "error", "-select_streams", stream, "-show_entries", "packet=pts_time", "-of",
                                "csv=p=0", clip.string()});
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output) return std::unexpected("cannot run ffprobe: " + format_os_error(output.error()));
    if (!output->status.success())
        return std::unexpected("ffprobe " + clip.string() + ": " + output->status.text() + ": " + output->stderr_bytes);
    std::vector<double> times;
    const std::string& text = output->stdout_bytes;
    for (std::size_t start = 0; start < text.size();) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!line.empty() && line != "N/A") times.push_back(std::strtod(line.c_str(), nullptr));
        start = end + 1;
    }
    if (times.empty()) return std::unexpected(std::string("no packet of stream ") + stream + " in " + clip.string());
    // Packets are stored in decoding order; the timeline is their presentation order.
    std::sort(times.begin(), times.end());
    return times;
}

StreamSteps steps_of(const std::vector<double>& times, double step) {
    StreamSteps steps;
    steps.packets = times.size();
    steps.step = step;
    if (times.empty()) return steps;
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double off = std::abs(times[i] - times[i - 1] - step);
        steps.worst = std::max(steps.worst, off);
        if (off > kTolerance) steps.off.push_back(times[i - 1]);
    }
    steps.length = times.back() + step - times.front();
    return steps;
}

std::string describe(const char* name, const StreamSteps& steps) {
    char text[160];
    std::snprintf(text, sizeof text, "%s %zu packets over %.3f s, %zu steps off (worst %.2f ms)", name, steps.packets,
                  steps.length, steps.off.size(), steps.worst * 1e3);
    std::string out = text;
    for (std::size_t i = 0; i < steps.off.size() && i < 6; ++i) {
        std::snprintf(text, sizeof text, "%s%.3f", i == 0 ? " at " : " ", steps.off[i]);
        out += text;
    }
    return out;
}

}  // namespace

std::string ClipTimeline::text() const { return describe("video", video) + "; " + describe("audio", audio); }

std::expected<ClipTimeline, std::string> clip_timeline(const std::filesystem::path& clip, int fps, bool sound) {
    const auto video = packet_times(clip, "v:0");
    if (!video) return std::unexpected(video.error());
    ClipTimeline timeline{steps_of(*video, 1.0 / fps), {}};
    if (!sound) return timeline;
    const auto audio = packet_times(clip, "a:0");
    if (!audio) return std::unexpected(audio.error());
    timeline.audio = steps_of(*audio, kAacFrame);
    return timeline;
}

}  // namespace vc::test
