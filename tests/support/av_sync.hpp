// Audio/video alignment judged from what a clip shows and plays: a paced tone played into a
// PulseAudio null sink and a white root window, switched on and off together, and the edges
// of both found again in a recorded file. Container start times say nothing about whether a
// sound lines up with its picture; only the content does.
//  - PacedTone plays silence or a 1 kHz tone through ALSA (the pulse plugin, into the sink
//    whose monitor the recorder listens to), from a thread of its own, paced by the device
//    like a real sound source; each switch lands on the sample of its own moment.
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
#include <deque>
#include <expected>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <stop_token>
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

    // Switches the tone at the sample that plays a fixed time (kSwitchLead) after this call,
    // by where the device says it plays: each edge of the sound lies the same time after its
    // call, to the sample, whatever the device's periods.
    void set(bool on);

private:
    void play();

    void* pcm_ = nullptr;
    std::mutex mutex_;
    Clock::time_point started_;
    // What the device said of where it plays, lately: the sample it played less the samples
    // of the time since started_, one word per period written.
    std::deque<double> playing_;
    std::optional<std::pair<std::uint64_t, bool>> next_;  // the next switch: at which sample, to what
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

// Switches sound and picture on together, `count` times or until `stop` is asked for, each
// on for `on` and off for `off`.
void flash_and_beep(PacedTone& tone, RootFlash& flash, int count, Clock::duration on, Clock::duration off,
                    std::stop_token stop = {});

struct Edge {
    bool rising = false;
    double time = 0.0;  // seconds on the file's timeline
};

struct MediaEdges {
    std::vector<Edge> picture;
    std::vector<Edge> sound;
};

// The edges of a file's first video stream (mean luma across the middle), at the times of
// its frames, and of its first audio stream (RMS over 5 ms windows), with its samples laid
// end to end from the first one, as they play. A state counts only once it has held for 50 ms, so
// a late frame or a lost block does not split an edge. Empty lists when ffmpeg cannot read it.
MediaEdges find_edges(const std::filesystem::path& file);

// How far each sound edge lies behind its picture edge (seconds, positive: the sound comes
// late), for the edges that pair up (same direction, within 0.7 s: flashes must lie further
// apart), in the order of the picture's edges.
std::vector<double> paired_offsets(const MediaEdges& edges);

// The flashes' schedule: one every `period` seconds, each on for `on`; `cycle_edges` edges
// in a row fall at every phase of the frame grid once (0: too few flashes for that).
struct FlashSchedule {
    double period = 0.0;
    double on = 0.0;
    std::size_t cycle_edges = 0;
};

// The same, with each sound edge held against where its flash's picture lies on average. A
// picture edge shows in the first frame grabbed after its flash, up to a frame later; as the
// flashes move over the frame grid, that wait differs from flash to flash by up to a frame,
// which says nothing about the sound. So each picture edge's place is its flash's place on
// the schedule plus the mean wait over whole cycles of the grid there (a line through the
// first and the last cycle, so that a picture timeline that stretches still shows).
std::vector<double> scheduled_offsets(const MediaEdges& edges, FlashSchedule schedule);

// The offsets of one recording, edge by edge.
struct EdgeOffsets {
    std::vector<double> each;  // scheduled_offsets
    std::vector<double> raw;   // paired_offsets: each edge against its own frame
    double median() const;     // of `each`
    // "+51.2 (+50.1 +52.0 ...) ms; frame by frame (+45.0 +60.0 ...) ms"
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

    // An engine recording the screen at `fps` with one track, "vc_desk" (the flashes' sound)
    // unless another `device` is named (nullopt: ALSA's default, the sound server's default
    // source), once its ring has listed two seconds.
    std::expected<Engine, std::string> start_engine(std::uint32_t replay_seconds = 12, int fps = 60,
                                                    std::optional<std::string> device = "vc_desk");

    // A whole clip of `replay_seconds` from a running engine recording at `fps`, with a flash
    // and a tone every 2 s from its first second to its last, and ffmpeg alone recording the
    // same screen and sound at the same time, twice: from the sound server's monitor, which
    // ffmpeg stamps by the server's word of its latency, and from the ALSA device the engine
    // records, which it stamps by when its periods come. Each of them puts the sound a little
    // off the truth, by some 10 ms and more from run to run, and not by the same amount; the
    // truth lies between them. Each one's offsets, edge by edge, and the clip.
    struct WholeClip {
        EdgeOffsets clip, alone, alone_alsa;
        ClipInfo info;
        // Where ffmpeg alone puts the sound: between its two recordings' medians.
        double alone_median() const { return (alone.median() + alone_alsa.median()) / 2.0; }
    };
    std::expected<WholeClip, std::string> whole_clip(Engine& engine, std::uint32_t replay_seconds, int fps);

    // A steady tone for a whole clip of `replay_seconds`, recorded by a new engine, by ffmpeg
    // alone and by a witness reader of the same monitor, all at once; the breaks of each.
    struct ToneBreaks {
        Breaks clip, ffmpeg_alone, witness;
    };
    std::expected<ToneBreaks, std::string> tone_breaks(std::uint32_t replay_seconds);

    // The steady tone from a device that hands it over in blocks of `block` (BlockTone), the
    // sound server's default source, for a whole clip of `replay_seconds` recorded by a new
    // engine on the default device and by ffmpeg alone on that source at the same time; the
    // breaks of each (no witness: ffmpeg alone reads the source itself).
    struct BlockBreaks {
        Breaks clip, ffmpeg_alone;
    };
    std::expected<BlockBreaks, std::string> block_tone_breaks(std::chrono::milliseconds block,
                                                              std::uint32_t replay_seconds);

private:
    // ffmpeg alone recording the screen and the sound server's monitor (or, with `alsa`, the
    // ALSA device "vc_desk") into `file`, once it has begun to write it.
    std::expected<Process, std::string> start_alone(const std::filesystem::path& file, int fps, bool alsa = false);
    // Ends it as a user would (ffmpeg finishes its file on SIGINT).
    static void stop_alone(Process& ffmpeg);
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
