#include "engine/encoder_probes.hpp"

#include "engine/format.hpp"

namespace vc {

std::vector<std::string> probe_args(Encoder encoder) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=black:s=256x256:r=30:d=0.1"};
    if (encoder == Encoder::h264_vaapi)
        args.insert(args.end(), {"-vaapi_device", "/dev/dri/renderD128", "-vf", "format=nv12,hwupload"});
    args.insert(args.end(), {"-frames:v", "1"});
    const auto codec = encoder_args(encoder, 23, 30);
    args.insert(args.end(), codec.begin(), codec.end());
    args.insert(args.end(), {"-f", "null", "-"});
    return args;
}

Status EncoderProbes::probe(Encoder encoder) {
    {
        std::lock_guard lock(mutex_);
        if (auto known = passed_.find(encoder); known != passed_.end()) {
            if (known->second) return {};
            return config_error(format("{} unavailable", encoder_name(encoder)));
        }
    }
    Command command = ffmpeg_command();
    command.append(probe_args(encoder));
    // A test that hangs (a driver that never answers) would be of no use once the program
    // has gone: it dies with the thread that waits for it.
    command.pre_exec = kill_with_parent;
    Status outcome = run_ffmpeg(std::move(command), encoder_name(encoder));
    std::lock_guard lock(mutex_);
    passed_[encoder] = outcome.has_value();
    return outcome;
}

}  // namespace vc
