#include "engine/ffmpeg.hpp"

#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include "engine/dirs.hpp"
#include "engine/unicode.hpp"
#include "engine/utf8.hpp"

namespace vc {
namespace {

std::string decimal(unsigned value) { return std::to_string(value); }

}  // namespace

std::vector<std::string> encoder_args(Encoder encoder, std::uint8_t quality, std::uint32_t gop) {
    const unsigned q = quality;
    const std::string Q = decimal(q);
    std::vector<std::string> args{"-c:v", std::string(encoder_name(encoder))};
    auto add = [&args](std::initializer_list<std::string> more) { args.insert(args.end(), more); };
    switch (encoder) {
    case Encoder::h264_nvenc:
        add({"-preset", "p4", "-tune", "ll", "-rc", "vbr", "-cq", Q, "-b:v", "0", "-bf", "0"});
        break;
    case Encoder::h264_amf:
        add({"-usage", "lowlatency", "-rc", "cqp", "-qp_i", Q, "-qp_p", Q});
        break;
    case Encoder::h264_qsv:
        add({"-preset", "faster", "-global_quality", Q});
        break;
    case Encoder::h264_videotoolbox:
        add({"-realtime", "1", "-q:v", decimal(2 * q > 100 ? 0 : 100 - 2 * q)});
        break;
    case Encoder::h264_vaapi:
        add({"-qp", Q});
        break;
    case Encoder::libx264:
        add({"-preset", "ultrafast", "-tune", "zerolatency", "-crf", Q, "-pix_fmt", "yuv420p"});
        break;
    case Encoder::libopenh264:
        add({"-rc_mode", "quality", "-qmin", decimal(q < 5 ? 0 : q - 5), "-qmax", decimal(std::min(q + 5, 51U)),
             "-pix_fmt", "yuv420p"});
        break;
    }
    add({"-g", std::to_string(gop)});
    return args;
}

std::filesystem::path ffmpeg_path() {
    if (const char* dir = std::getenv("VANTREL_FFMPEG")) return join_path(dir, "ffmpeg");
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && exe.has_parent_path()) {
        const std::filesystem::path beside = exe.parent_path() / "ffmpeg";
        if (std::filesystem::is_regular_file(beside, error)) return beside;
    }
    return "ffmpeg";
}

Command ffmpeg_command() {
    return Command(ffmpeg_path(), {"-hide_banner", "-loglevel", "error", "-y"});
}

std::string ffmpeg_file_arg(std::string path) {
    if (path.empty() || path.front() == '/') return path;
    const std::size_t colon = path.find(':');
    if (path.front() == '-' || (colon != std::string::npos && colon < path.find('/'))) path.insert(0, "./");
    return path;
}

Status run_ffmpeg(Command command, std::string_view context, const Meanwhile& meanwhile) {
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command), meanwhile);
    if (!output) return io_error("launching ffmpeg for " + std::string(context), output.error());
    if (!output->status.success()) {
        return ffmpeg_error(std::string(context),
                            std::string(trim_white_space(lossy_utf8(output->stderr_bytes))));
    }
    return {};
}

void kill_with_parent() { (void)::prctl(PR_SET_PDEATHSIG, SIGKILL); }

namespace {

// ffmpeg leaves SIGHUP as it finds it, and an ignored signal stays ignored across exec.
void ignore_hangup() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGHUP, &ignore, nullptr);
}

}  // namespace

void leave_to_finish(Command& command) {
    command.new_process_group = true;
    command.pre_exec = ignore_hangup;
}

}  // namespace vc
