#include "engine/ffmpeg_stderr.hpp"

#include "engine/log.hpp"
#include "engine/utf8.hpp"

namespace vc {
namespace {

// Returns false when the line is not UTF-8.
bool take_line(std::string line, std::vector<std::string>& complete) {
    if (!is_valid_utf8(line)) return false;
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    complete.push_back(std::move(line));
    return true;
}

}  // namespace

bool StderrLines::feed(std::string_view bytes, std::vector<std::string>& complete) {
    while (!bytes.empty()) {
        const std::size_t newline = bytes.find('\n');
        if (newline == std::string_view::npos) {
            partial_.append(bytes);
            return true;
        }
        partial_.append(bytes.substr(0, newline + 1));
        bytes.remove_prefix(newline + 1);
        std::string line;
        line.swap(partial_);
        if (!take_line(std::move(line), complete)) return false;
    }
    return true;
}

std::optional<std::string> StderrLines::finish() {
    if (partial_.empty()) return std::nullopt;
    std::vector<std::string> last;
    std::string line;
    line.swap(partial_);
    if (!take_line(std::move(line), last)) return std::nullopt;
    return std::move(last.front());
}

void StderrLines::keep(std::string line) {
    if (kept_.size() == kKept) kept_.pop_front();
    kept_.push_back(std::move(line));
}

std::string StderrLines::stopped_text() const {
    std::string text = "recorder stopped: ";
    for (std::size_t i = 0; i < kept_.size(); ++i) {
        if (i > 0) text += '\n';
        text += kept_[i];
    }
    return text;
}

void read_ffmpeg_stderr(RecorderContext context, FileDescriptor pipe, std::uint32_t pid) {
    StderrLines lines;
    std::vector<std::string> complete;
    const auto log_and_keep = [&](std::string line) {
        VC_WARN("ffmpeg", line);
        lines.keep(std::move(line));
    };
    char buffer[8192];
    for (;;) {
        const auto read = pipe.read_some(buffer, sizeof buffer);
        if (!read) break;  // a read error: the unfinished line is dropped
        const std::size_t n = *read;
        if (n == 0) {
            if (auto last = lines.finish()) log_and_keep(std::move(*last));
            break;
        }
        complete.clear();
        const bool go_on = lines.feed(std::string_view(buffer, n), complete);
        for (auto& line : complete) log_and_keep(std::move(line));
        if (!go_on) break;
    }
    pipe.reset();
    context.commands.send(command::RecorderStopped{lines.stopped_text(), pid});
}

}  // namespace vc
