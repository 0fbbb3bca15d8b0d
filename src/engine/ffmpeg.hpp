// ffmpeg: finding the executable, the options every run shares, short runs to their end,
// and the seven H.264 encoders the system can drive with their command-line options.
// Nothing here keeps state; any thread may call it. The long-running segment-ring recorder
// is spawned by the recorder itself (through Process), with kill_with_parent as its hook.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/encoder.hpp"
#include "engine/error.hpp"
#include "engine/process.hpp"

namespace vc {

// "-c:v", the encoder's name, its own options for `quality` (a CRF/QP-like number), and
// "-g" `gop`. Derived numbers saturate instead of wrapping.
std::vector<std::string> encoder_args(Encoder encoder, std::uint8_t quality, std::uint32_t gop);

// The executable: "ffmpeg" inside $VANTREL_FFMPEG when that is set (even empty, and without
// any check), else "ffmpeg" beside the running program when that is a regular file, else
// the bare "ffmpeg" for a PATH lookup. Looked up anew at every call.
std::filesystem::path ffmpeg_path();

// A new command for ffmpeg_path() with "-hide_banner" "-loglevel" "error" "-y"; streams,
// process group and hook are left for the caller.
Command ffmpeg_command();

// A file path (its bytes, or its text form where the command line wants text) as an ffmpeg
// argument. A relative path that begins with '-' or has a ':' before its first '/' would be
// read as an option or a protocol ("pipe:", "concat:", "http:"), so it gets "./" in front;
// the bytes themselves are never changed.
std::string ffmpeg_file_arg(std::string path);

// Runs a short ffmpeg command to its end with standard input from /dev/null and its output
// captured and dropped. A launch failure is Io "launching ffmpeg for {context}"; any end but
// exit status 0 is Ffmpeg {context, trimmed standard error}. Blocks without a time limit.
// The run keeps the process group and pre-exec hook the caller set (an encoder test stays in
// the program's group and dies with it; see leave_to_finish for a join or a thumbnail).
// `meanwhile` runs while ffmpeg does.
[[nodiscard]] Status run_ffmpeg(Command command, std::string_view context, const Meanwhile& meanwhile = {});

// A save's join and thumbnail are left to finish their file whatever ends the program, so
// that the user keeps the clip: in a process group of their own, out of reach of the
// terminal's Ctrl+C and hang-up (which go to its foreground group), ignoring a hang-up sent
// to them all the same, and without a parent-death signal.
void leave_to_finish(Command& command);

// Pre-exec hook of the recorder and of the encoder tests: the child gets SIGKILL when the
// thread that forked it ends. The outcome is not checked; it cannot make the spawn fail.
void kill_with_parent();

}  // namespace vc
