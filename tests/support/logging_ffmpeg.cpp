#include "support/logging_ffmpeg.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace vc::test {
namespace {

std::filesystem::path real_ffmpeg() {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/bin:/bin";
    while (true) {
        const auto colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        const std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / "ffmpeg";
        if (::access(candidate.c_str(), X_OK) == 0) return std::filesystem::absolute(candidate);
        if (colon == std::string::npos) break;
        rest.erase(0, colon + 1);
    }
    throw std::runtime_error("no ffmpeg on PATH");
}

// Shell-quotes a path for the script text.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

LoggingFfmpeg::LoggingFfmpeg() {
    // Arguments are separated by the unit separator, which no argument of ours contains,
    // so blanks and empty arguments survive.
    const std::string script = "#!/bin/sh\n"
                               "{ for arg in \"$@\"; do printf '%s\\037' \"$arg\"; done; printf '\\n'; } >> " +
                               quoted((dir_ / "calls.log").string()) + "\nexec " + quoted(real_ffmpeg().string()) +
                               " \"$@\"\n";
    const auto path = dir_.write("ffmpeg", script);
    ::chmod(path.c_str(), 0755);
}

std::vector<std::vector<std::string>> LoggingFfmpeg::calls() const {
    std::vector<std::vector<std::string>> calls;
    std::ifstream in(dir_ / "calls.log");
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> args;
        std::string::size_type start = 0;
        for (auto end = line.find('\037'); end != std::string::npos; end = line.find('\037', start)) {
            args.push_back(line.substr(start, end - start));
            start = end + 1;
        }
        calls.push_back(std::move(args));
    }
    return calls;
}

}  // namespace vc::test
