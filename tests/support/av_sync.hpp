// Audio/video alignment judged from what a clip shows and plays: a paced tone played into a
// PulseAudio null sink and a white root window, switched on and off together, and the edges
// of both found again in a recorded file. Container start times say nothing about whether a
// sound lines up with its picture; only the content does.
//  - PacedTone plays 10 ms periods of silence or of a 1 kHz tone through ALSA (the pulse
//    plugin, into the sink whose monitor the recorder listens to), from a thread of its own,
//    paced by the device like a real sound source.
//  - RootFlash turns the root window of an X display white or black through its own Xlib
//    connection, synchronously.
//  - find_edges decodes a file with ffmpeg's own demuxing and returns the debounced on/off
//    edges of its picture brightness and of its first audio stream's loudness, both on the
//    file's timeline.
// Owned by one test; each object stops what it started when it goes.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct _XDisplay;

namespace vc::test {

class PacedTone {
public:
    // Opens ALSA playback device `pcm` and starts playing silence. Throws std::runtime_error
    // when the device cannot be opened.
    explicit PacedTone(const std::string& pcm);
    ~PacedTone();
    PacedTone(const PacedTone&) = delete;
    PacedTone& operator=(const PacedTone&) = delete;

    void set(bool on) { on_.store(on); }

private:
    void play();

    void* pcm_ = nullptr;
    std::atomic<bool> on_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class RootFlash {
public:
    // Throws std::runtime_error when the display cannot be opened.
    explicit RootFlash(const std::string& display);
    ~RootFlash();
    RootFlash(const RootFlash&) = delete;
    RootFlash& operator=(const RootFlash&) = delete;

    // Returns once the server has done it.
    void set(bool white);

private:
    _XDisplay* display_ = nullptr;
};

// Switches sound and picture on together, `count` times, each on for `on` and off for `off`.
void flash_and_beep(PacedTone& tone, RootFlash& flash, int count, std::chrono::milliseconds on,
                    std::chrono::milliseconds off);

struct Edge {
    bool rising = false;
    double time = 0.0;  // seconds on the file's timeline
};

struct MediaEdges {
    std::vector<Edge> picture;
    std::vector<Edge> sound;
};

// The edges of a file's first video stream (mean luma across the middle) and of its first
// audio stream (RMS over 5 ms windows). A state counts only once it has held for 50 ms, so
// a late frame or a lost block does not split an edge. Empty lists when ffmpeg cannot read it.
MediaEdges find_edges(const std::filesystem::path& file);

// The offset of sound behind picture (seconds, positive: the sound comes late), the median
// over the edges that pair up (same direction, within 0.7 s: flashes must lie further apart); nullopt when fewer than
// `min_pairs` do.
std::optional<double> sound_behind_picture(const MediaEdges& edges, std::size_t min_pairs);

}  // namespace vc::test
