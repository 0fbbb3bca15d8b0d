// Sound continuity, judged from what a recording plays. A steady 1 kHz tone is played, paced,
// into the PulseAudio null sink "vsink" with a deep playback buffer (a busy machine cannot
// starve the player), and every recording of the sink's monitor is searched for breaks:
//  - holes: runs of near-zero samples longer than 1 ms (silence put in for audio that was
//    missing);
//  - splices: breaks of the sine away from any hole (audio cut out or put in), found where
//    the residual x[n] - 2cos(w)x[n-1] + x[n-2], zero for a clean sine, passes 0.01.
// SteadyTone plays it (`pacat`, fed by a thread), BlockTone hands it to a source in blocks;
// MonitorRecorder records the monitor (or another source) with
// `parec` (the witness: a second reader of the same source, which tells a gap of the source
// from a recorder's) or with ffmpeg alone (the anchor). Each object stops what it started,
// by pid, when it goes; the PulseAudio server must outlive them.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/process.hpp"

namespace vc::test {

inline constexpr double kToneHz = 1000.0;
inline constexpr int kToneRate = 48000;

class SteadyTone {
public:
    // Throws std::runtime_error when pacat cannot be started.
    SteadyTone();
    ~SteadyTone();
    SteadyTone(const SteadyTone&) = delete;
    SteadyTone& operator=(const SteadyTone&) = delete;

private:
    void feed();

    std::optional<Process> player_;
    FileDescriptor input_;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

// A device that hands its sound over in blocks (a sound server with a long quantum, a
// network source): the steady tone written into a pipe source's FIFO (PulseServer::
// add_pipe_source) `block` at a time, each block once its last sample is due by the clock,
// the tone's phase running on from block to block.
class BlockTone {
public:
    // Throws std::runtime_error when the FIFO has no reader (the pipe source is not loaded).
    BlockTone(const std::filesystem::path& fifo, std::chrono::milliseconds block);
    ~BlockTone();
    BlockTone(const BlockTone&) = delete;
    BlockTone& operator=(const BlockTone&) = delete;

private:
    void feed(std::chrono::milliseconds block);

    FileDescriptor fifo_;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

class MonitorRecorder {
public:
    enum class Tool { parec, ffmpeg };
    // Records the sound server's `source` as 48 kHz mono floats into `raw`. Throws
    // std::runtime_error when the tool cannot be started.
    MonitorRecorder(Tool tool, std::filesystem::path raw, const std::string& source = "vsink.monitor");
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Ends the recording and gives its samples.
    std::vector<float> finish();

private:
    std::optional<Process> recorder_;
    std::filesystem::path raw_;
};

// The first audio stream of `file` decoded to 48 kHz mono floats; empty when ffmpeg fails.
std::vector<float> decoded_mono(const std::filesystem::path& file);

struct Breaks {
    std::vector<double> holes;    // start of each hole, seconds into the samples
    std::vector<double> splices;  // each splice
    double seconds = 0.0;         // of tone looked at
    std::size_t count() const { return holes.size() + splices.size(); }
};

// The breaks of the tone in `samples`, from its first sounding sample to its last (less
// 50 ms at both ends, where a recording starts or stops).
Breaks find_breaks(const std::vector<float>& samples);

// "3 holes at 1.02, 7.50 s ...; 1 splice at 4.00 s" for a message.
std::string describe(const Breaks& breaks);

}  // namespace vc::test
