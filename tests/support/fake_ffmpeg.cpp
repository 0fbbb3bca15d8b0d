#include "support/fake_ffmpeg.hpp"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace vc::test {
namespace {

constexpr const char* kScript = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls.log"
encoder=""
list=""
previous=""
run=probe
for arg in "$@"; do
  [ "$previous" = "-c:v" ] && encoder=$arg
  [ "$previous" = "-segment_list" ] && list=$arg && run=recorder
  [ "$previous" = "-f" ] && [ "$arg" = "concat" ] && run=join
  previous=$arg
done
if grep -qx -- "$run" "$dir/hang" 2>/dev/null; then
  echo $$ > "$dir/hung.tmp" && mv "$dir/hung.tmp" "$dir/hung.pid"
  exec sleep 600
fi
if [ -z "$list" ]; then
  grep -qx -- "$encoder" "$dir/passing" 2>/dev/null && exit 0
  echo "Unknown encoder '$encoder'" >&2
  exit 1
fi
mode=$(awk -v e="$encoder" '$1 == e { print $2; found = 1; exit } $1 == "*" { fallback = $2 } END { if (!found) print fallback }' "$dir/recording" 2>/dev/null)
case "$mode" in
  list) : > "$list"; exec sleep 600 ;;
  segment) echo "seg_00000.ts,0.000000,1.000000" > "$list"; exec sleep 600 ;;
  quit-lines)
    : > "$list"
    i=0
    while [ $i -lt 20 ]; do echo q >&2; sleep 0.1; i=$((i + 1)); done
    exec sleep 600 ;;
  exit1) echo "cannot record" >&2; exit 1 ;;
  *) exec sleep 600 ;;
esac
)";

}  // namespace

FakeFfmpeg::FakeFfmpeg() {
    const auto script = dir_.write("ffmpeg", kScript);
    ::chmod(script.c_str(), 0755);
}

void FakeFfmpeg::set_passing(const std::vector<std::string>& encoders) const {
    std::string text;
    for (const auto& encoder : encoders) text += encoder + "\n";
    dir_.write("passing", text);
}

void FakeFfmpeg::set_recording(const std::vector<std::pair<std::string, std::string>>& rules) const {
    std::string text;
    for (const auto& [encoder, mode] : rules) text += encoder + " " + mode + "\n";
    dir_.write("recording", text);
}

void FakeFfmpeg::set_hanging(const std::string& run) const { dir_.write("hang", run + "\n"); }

std::optional<pid_t> FakeFfmpeg::hung_pid(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::ifstream in(dir_ / "hung.pid");
        pid_t pid = 0;
        if (in >> pid) return pid;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> FakeFfmpeg::calls() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ / "calls.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace vc::test
