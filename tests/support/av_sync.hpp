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
//  - SyncRig puts them together on a private Xvfb and PulseAudio server: a reference
//    recording by ffmpeg alone, and the offset in clips of a running engine; and, with a
//    steady tone instead (steady_tone.hpp), the breaks of the sound in a clip, in ffmpeg
//    alone and in a witness reader.
// Owned by one test or benchmark; each object stops what it started when it goes.
#pragma once

#include <atomic>
#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.hpp"
#include "support/environment.hpp"
#include "support/pulse_server.hpp"
#include "support/steady_tone.hpp"
#include "support/xvfb.hpp"

struct _XDisplay;

namespace vc::test {

using Clock = std::chrono::steady_clock;

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

// How far each sound edge lies behind its picture edge (seconds, positive: the sound comes
// late), for the edges that pair up (same direction, within 0.7 s: flashes must lie further
// apart), in the order of the picture's edges.
std::vector<double> paired_offsets(const MediaEdges& edges);

// The offsets of one recording, edge by edge.
struct EdgeOffsets {
    std::vector<double> each;
    double median() const;
    // "+51.2 (+50.1 +52.0 ...) ms"
    std::string text() const;
};

// Seconds of sound behind picture, edge by edge, or why there is no figure.
using Offset = std::expected<EdgeOffsets, std::string>;

class SyncRig {
public:
    // Throws std::runtime_error when the X server, the sound server or the devices fail.
    SyncRig();

    // ffmpeg alone records the screen and the sound server's monitor, both inputs stamped
    // with the wall clock and kept so (-copyts), while `flashes` flashes go by: the offset
    // this rig shows when nothing of ours is in the way.
    Offset reference(int flashes);

    // An engine recording the screen with one track, "vc_desk" (the flashes' sound), once
    // its ring has listed two seconds.
    std::expected<Engine, std::string> start_engine(std::uint32_t replay_seconds = 12);
    // Flashes three times on a running engine, saves the clip that holds them and measures it.
    Offset clip_offset(Engine& engine);

    // A steady tone for a whole clip of `replay_seconds`, recorded by a new engine, by ffmpeg
    // alone and by a witness reader of the same monitor, all at once; the breaks of each.
    struct ToneBreaks {
        Breaks clip, ffmpeg_alone, witness;
    };
    std::expected<ToneBreaks, std::string> tone_breaks(std::uint32_t replay_seconds);

    static constexpr int kFlashes = 3;

private:
    double newest_listed_end() const;
    // Saves a clip once the ring lists `seconds` since the engine started.
    std::expected<ClipInfo, std::string> save_when_listed(Engine& engine, double seconds);

    TempDir home_;
    XvfbServer xvfb_;
    ScopedEnv env_;
    PulseServer pulse_;
    std::optional<PacedTone> tone_;
    std::optional<RootFlash> flash_;
    EncoderProbes probes_;
    Clock::time_point engine_started_;
    int references_ = 0;
};

}  // namespace vc::test
