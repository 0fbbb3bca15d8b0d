#include "support/steady_tone.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>
#include <stdexcept>


namespace vc::test {
namespace {

constexpr float kAmplitude = 0.5f;
constexpr float kNearZero = 0.01f;
constexpr std::size_t kHoleSamples = kToneRate / 1000;  // 1 ms
constexpr double kResidualLimit = 0.01;
constexpr std::size_t kApart = kToneRate / 200;         // 5 ms: one break, not several
constexpr std::size_t kEdgeSamples = kToneRate / 20;    // 50 ms

std::vector<float> read_floats(const std::filesystem::path& raw) {
    std::ifstream in(raw, std::ios::binary);
    std::vector<float> samples;
    float value;
    while (in.read(reinterpret_cast<char*>(&value), sizeof value)) samples.push_back(value);
    return samples;
}

}  // namespace

SteadyTone::SteadyTone() {
    Command command("pacat", {"--device=vsink", "--latency-msec=200", "--format=float32le",
                              "--rate=" + std::to_string(kToneRate), "--channels=2", "--raw"});
    command.stdin_mode = Stdio::pipe;
    command.stdout_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;
    auto spawned = Process::spawn(command);
    if (!spawned) throw std::runtime_error("cannot start pacat: " + format_os_error(spawned.error()));
    player_.emplace(std::move(*spawned));
    input_ = player_->take_stdin();
    feeder_ = std::thread(&SteadyTone::feed, this);
}

SteadyTone::~SteadyTone() {
    stop_.store(true);
    feeder_.join();
    input_.reset();
    player_->kill(SIGTERM);
    (void)player_->wait();
}

void SteadyTone::feed() {
    // One phase-continuous sine, 10 ms at a time; the player's buffer paces the writes.
    std::vector<float> chunk(2 * kToneRate / 100);
    std::uint64_t n = 0;
    const double step = 2.0 * std::numbers::pi * kToneHz / kToneRate;
    while (!stop_.load()) {
        for (std::size_t i = 0; i < chunk.size(); i += 2, ++n)
            chunk[i] = chunk[i + 1] = kAmplitude * static_cast<float>(std::sin(step * static_cast<double>(n % kToneRate)));
        if (!input_.write_all({reinterpret_cast<const char*>(chunk.data()), chunk.size() * sizeof(float)})) return;
    }
}

BlockTone::BlockTone(const std::filesystem::path& fifo, std::chrono::milliseconds block)
    : fifo_(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) {
    if (!fifo_) throw std::runtime_error("cannot open " + fifo.string() + ": " + std::strerror(errno));
    feeder_ = std::thread(&BlockTone::feed, this, block);
}

BlockTone::~BlockTone() {
    stop_.store(true);
    feeder_.join();
}

void BlockTone::feed(std::chrono::milliseconds block) {
    std::vector<float> samples(2 * static_cast<std::size_t>(kToneRate * block.count() / 1000));
    std::uint64_t n = 0;
    const double step = 2.0 * std::numbers::pi * kToneHz / kToneRate;
    auto due = std::chrono::steady_clock::now();
    while (!stop_.load()) {
        due += block;
        std::this_thread::sleep_until(due);
        for (std::size_t i = 0; i < samples.size(); i += 2, ++n)
            samples[i] = samples[i + 1] =
                kAmplitude * static_cast<float>(std::sin(step * static_cast<double>(n % kToneRate)));
        // Written whole, however long the source takes to read it; a source that stops
        // reading (suspended) is waited for only until the tone is stopped.
        std::string_view bytes{reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float)};
        while (!bytes.empty()) {
            const ssize_t written = ::write(fifo_.get(), bytes.data(), bytes.size());
            if (written > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(written));
            } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else {
                pollfd ready{fifo_.get(), POLLOUT, 0};
                (void)::poll(&ready, 1, 50);
                if (stop_.load()) return;
            }
        }
    }
}

MonitorRecorder::MonitorRecorder(Tool tool, std::filesystem::path raw, const std::string& source)
    : raw_(std::move(raw)) {
    std::vector<std::string> args;
    if (tool == Tool::parec) {
        args = {"-c", "exec parec --device=\"$1\" --latency-msec=200 --format=float32le --rate=48000 "
                      "--channels=1 --raw > \"$0\"",
                raw_.string(), source};
    } else {
        args = {"-c", "exec ffmpeg -hide_banner -loglevel error -y -f pulse -i \"$1\" -ac 1 -ar 48000 "
                      "-f f32le \"$0\"",
                raw_.string(), source};
    }
    Command command("/bin/sh", std::move(args));
    command.stdin_mode = Stdio::null_device;
    command.stderr_mode = Stdio::null_device;
    auto spawned = Process::spawn(command);
    if (!spawned) throw std::runtime_error("cannot start the monitor recorder: " + format_os_error(spawned.error()));
    recorder_.emplace(std::move(*spawned));
}

MonitorRecorder::~MonitorRecorder() { (void)finish(); }

std::vector<float> MonitorRecorder::finish() {
    if (recorder_) {
        recorder_->kill(SIGINT);
        (void)recorder_->wait();
        recorder_.reset();
    }
    return read_floats(raw_);
}

std::vector<float> decoded_mono(const std::filesystem::path& file) {
    Command command("ffmpeg", {"-v", "error", "-i", file.string(), "-map", "0:a:0", "-ac", "1", "-ar", "48000",
                               "-f", "f32le", "-"});
    command.stdin_mode = Stdio::null_device;
    auto output = Process::output(std::move(command));
    if (!output || !output->status.success()) return {};
    std::vector<float> samples(output->stdout_bytes.size() / sizeof(float));
    std::memcpy(samples.data(), output->stdout_bytes.data(), samples.size() * sizeof(float));
    return samples;
}

Breaks find_breaks(const std::vector<float>& samples) {
    Breaks breaks;
    std::size_t first = 0;
    while (first < samples.size() && std::abs(samples[first]) < kAmplitude / 2) ++first;
    std::size_t last = samples.size();
    while (last > first && std::abs(samples[last - 1]) < kAmplitude / 2) --last;
    if (last < first + 3 * kEdgeSamples) return breaks;
    first += kEdgeSamples;
    last -= kEdgeSamples;
    breaks.seconds = static_cast<double>(last - first) / kToneRate;
    const auto at = [&](std::size_t n) { return static_cast<double>(n - first) / kToneRate; };

    // Holes first; a splice must lie apart from every hole.
    std::vector<std::pair<std::size_t, std::size_t>> holes;
    for (std::size_t n = first; n < last;) {
        if (std::abs(samples[n]) >= kNearZero) {
            ++n;
            continue;
        }
        std::size_t end = n;
        while (end < last && std::abs(samples[end]) < kNearZero) ++end;
        if (end - n > kHoleSamples) {
            holes.emplace_back(n, end);
            breaks.holes.push_back(at(n));
        }
        n = end;
    }
    const double c = 2.0 * std::cos(2.0 * std::numbers::pi * kToneHz / kToneRate);
    std::size_t next_hole = 0;
    std::optional<std::size_t> last_splice;
    for (std::size_t n = first + 2; n < last; ++n) {
        while (next_hole < holes.size() && holes[next_hole].second + kApart < n) ++next_hole;
        if (next_hole < holes.size() && holes[next_hole].first <= n + kApart) continue;
        const double residual = samples[n] - c * samples[n - 1] + samples[n - 2];
        if (std::abs(residual) <= kResidualLimit) continue;
        if (!last_splice || n - *last_splice > kApart) breaks.splices.push_back(at(n));
        last_splice = n;
    }
    return breaks;
}

std::string describe(const Breaks& breaks) {
    std::string text = std::to_string(breaks.holes.size()) + " holes";
    char number[32];
    for (std::size_t i = 0; i < breaks.holes.size() && i < 8; ++i) {
        std::snprintf(number, sizeof number, " %.2f", breaks.holes[i]);
        text += number;
    }
    text += ", " + std::to_string(breaks.splices.size()) + " splices";
    for (std::size_t i = 0; i < breaks.splices.size() && i < 8; ++i) {
        std::snprintf(number, sizeof number, " %.2f", breaks.splices[i]);
        text += number;
    }
    std::snprintf(number, sizeof number, " in %.1f s", breaks.seconds);
    return text + number;
}

}  // namespace vc::test
