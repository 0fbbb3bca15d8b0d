// The reader of the recorder ffmpeg's standard error: a detached thread per recorder ffmpeg.
// It logs every line as a WARN event on target "ffmpeg", keeps the last 20, and when the
// stream ends (or cannot be read, or brings a line that is not UTF-8) tells the engine
// "recorder stopped: ..." with those lines. It shares nothing with the recorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_descriptor.hpp"
#include "engine/messages.hpp"

namespace vc {

// Splits a byte stream into lines: every byte up to and including a line feed, or what is
// left at the end of the stream. One trailing "\n" is removed and, only then, one "\r".
class StderrLines {
public:
    static constexpr std::size_t kKept = 20;

    // Takes the next bytes. Returns false once a line that is not UTF-8 arrived: the reading
    // must end there (that line and anything after it are dropped).
    bool feed(std::string_view bytes, std::vector<std::string>& complete);
    // The end of the stream: the unfinished line, if any, counts as a line.
    std::optional<std::string> finish();

    // Remembers a logged line, dropping the oldest past 20.
    void keep(std::string line);
    // "recorder stopped: " and the kept lines, oldest first, joined by line feeds.
    std::string stopped_text() const;

private:
    std::string partial_;
    std::deque<std::string> kept_;
};

// The thread body: reads the pipe to its end and closes it.
void read_ffmpeg_stderr(RecorderContext context, FileDescriptor pipe, std::uint32_t pid);

}  // namespace vc
