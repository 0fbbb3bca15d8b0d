#include "engine/capture_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/file_descriptor.hpp"
#include "engine/format.hpp"

namespace vc {
namespace {

// About 10 ms per read keeps blocks small for the mixer's 10 ms tick; the buffer is set
// explicitly because alsa-lib otherwise hands some plugins absurd sizes, and a short one
// overruns whenever the machine is busy (ffmpeg encoding on every core).
constexpr unsigned kPeriodMicros = 10'000;
constexpr unsigned kMinBufferMicros = 100'000;

// Longer than any period: a timeout means the device has stopped delivering.
constexpr int kPollTimeoutMillis = 500;

// After an error that is neither an overrun nor a vanished device, wait this long before
// trying again, so a persisting fault cannot spin the worker.
constexpr int kErrorPauseMillis = 20;

// How long to wait when a descriptor is ready but the device has nothing: a fraction of a
// period at first, so no sample waits noticeably longer; twice as long each time it still
// has nothing, up to two periods (well inside its buffer), so that a device that keeps its
// descriptor ready and never delivers (a suspended sound server's monitor) costs a few
// wake-ups a second, not hundreds.
constexpr int kIdlePauseMillis = 2;
constexpr int kLongestIdlePauseMillis = 20;

AlsaResult<void> configure(snd_pcm_t* pcm, const StreamConfig& config, snd_pcm_uframes_t& period,
                           snd_pcm_uframes_t& buffer) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    const auto check = [](const char* function, int err) -> AlsaResult<void> {
        if (err < 0) return std::unexpected(alsa_error_text(function, err));
        return {};
    };
    if (auto r = check("snd_pcm_hw_params_any", snd_pcm_hw_params_any(pcm, hw)); !r) return r;
    if (auto r = check("snd_pcm_hw_params_set_access",
                       snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED));
        !r)
        return r;
    if (auto r = check("snd_pcm_hw_params_set_format",
                       snd_pcm_hw_params_set_format(pcm, hw, alsa_capture_format(config.format)));
        !r)
        return r;
    if (auto r = check("snd_pcm_hw_params_set_channels", snd_pcm_hw_params_set_channels(pcm, hw, config.channels));
        !r)
        return r;
    if (auto r = check("snd_pcm_hw_params_set_rate", snd_pcm_hw_params_set_rate(pcm, hw, config.rate, 0)); !r)
        return r;
    // Sizes are wishes: a device that cannot meet them keeps what it can do.
    unsigned buffer_floor = kMinBufferMicros;
    int dir = 0;
    snd_pcm_hw_params_set_buffer_time_min(pcm, hw, &buffer_floor, &dir);
    unsigned period_micros = kPeriodMicros;
    dir = 0;
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_micros, &dir);
    unsigned buffer_micros = kMinBufferMicros;
    dir = 0;
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_micros, &dir);
    if (auto r = check("snd_pcm_hw_params", snd_pcm_hw_params(pcm, hw)); !r) return r;
    dir = 0;
    if (auto r = check("snd_pcm_hw_params_get_period_size", snd_pcm_hw_params_get_period_size(hw, &period, &dir));
        !r)
        return r;
    if (period == 0) period = 1;
    if (auto r = check("snd_pcm_hw_params_get_buffer_size", snd_pcm_hw_params_get_buffer_size(hw, &buffer)); !r)
        return r;
    buffer = std::max(buffer, period);

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (auto r = check("snd_pcm_sw_params_current", snd_pcm_sw_params_current(pcm, sw)); !r) return r;
    if (auto r = check("snd_pcm_sw_params_set_avail_min", snd_pcm_sw_params_set_avail_min(pcm, sw, period)); !r)
        return r;
    if (auto r = check("snd_pcm_sw_params", snd_pcm_sw_params(pcm, sw)); !r) return r;
    return check("snd_pcm_prepare", snd_pcm_prepare(pcm));
}

}  // namespace

struct CaptureStream::State {
    snd_pcm_t* pcm = nullptr;
    StreamConfig config;
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer_frames = 0;
    DataCallback on_data;
    ErrorCallback on_error;
    FileDescriptor wake_read;
    FileDescriptor wake_write;
    std::thread worker;

    ~State() {
        if (worker.joinable()) {
            const char byte = 1;
            while (::write(wake_write.get(), &byte, 1) < 0 && errno == EINTR) {
            }
            worker.join();
        }
        if (pcm != nullptr) {
            snd_pcm_drop(pcm);
            snd_pcm_close(pcm);
        }
    }

    // Waits up to `millis` for the wake-up pipe; true when the owner asked the worker to end.
    bool woken(int millis) const {
        pollfd fd{wake_read.get(), POLLIN, 0};
        int r;
        while ((r = ::poll(&fd, 1, millis)) < 0 && errno == EINTR) {
        }
        return r > 0;
    }

    enum class Next { Go, End };

    // Faults since the last delivered block. A device that only fails for a whole second
    // is gone for good (a sound server that went away answers every call with an error):
    // the stream ends rather than report the same fault fifty times a second for hours.
    int failures_in_a_row = 0;
    static constexpr int kFailuresUntilGone = 50;

    // An overrun drops what the device buffer could not hold: the next block says so.
    bool lost_audio = false;

    // The next pause of a device that is ready with nothing to read (kIdlePauseMillis).
    int idle_pause = kIdlePauseMillis;

    // The same fault again and again is reported once per streak.
    std::string last_reported;
    void report(const std::string& text) {
        if (text == last_reported) return;
        last_reported = text;
        on_error(text);
    }

    // Reports `err` and decides whether the stream can go on.
    Next recover(int err) {
        if (++failures_in_a_row > kFailuresUntilGone) err = -ENODEV;
        if (err == -ENODEV) {
            report("the device is no longer available");
            return Next::End;
        }
        if (err == -EPIPE) {
            report("buffer overrun: " + alsa_error_text("snd_pcm_readi", err));
            lost_audio = true;
            // A PCM that cannot be prepared again delivers nothing more (a sound server that
            // went away looks like this); retrying would only repeat the same two reports.
            if (int e = snd_pcm_prepare(pcm); e < 0) {
                report(alsa_error_text("snd_pcm_prepare", e));
                return Next::End;
            }
            if (int e = snd_pcm_start(pcm); e < 0) {
                report(alsa_error_text("snd_pcm_start", e));
                return woken(kErrorPauseMillis) ? Next::End : Next::Go;
            }
            return Next::Go;
        }
        report(alsa_error_text("snd_pcm_readi", err));
        return woken(kErrorPauseMillis) ? Next::End : Next::Go;
    }

    void run() {
        const int count = snd_pcm_poll_descriptors_count(pcm);
        if (count < 0) {
            on_error(alsa_error_text("snd_pcm_poll_descriptors_count", count));
            return;
        }
        std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
        fds[0] = {wake_read.get(), POLLIN, 0};
        if (int err = snd_pcm_poll_descriptors(pcm, fds.data() + 1, static_cast<unsigned>(count)); err < 0) {
            on_error(alsa_error_text("snd_pcm_poll_descriptors", err));
            return;
        }
        // Room for the whole device buffer: what piled up while the worker was late is read
        // and handed over in one block, so that the mixer sees it come all at once.
        std::vector<unsigned char> buffer(static_cast<std::size_t>(snd_pcm_frames_to_bytes(pcm, buffer_frames)));
        for (;;) {
            for (auto& fd : fds) fd.revents = 0;
            const int ready = ::poll(fds.data(), fds.size(), kPollTimeoutMillis);
            if (ready < 0) {
                if (errno == EINTR) continue;
                on_error(vc::format("poll failed: {}", std::system_category().message(errno)));
                if (woken(kErrorPauseMillis)) return;
                continue;
            }
            if (fds[0].revents != 0) return;
            // On a timeout the PCM is asked anyway: some plugins (a sound server that went
            // away) stop signalling their descriptors and only report the fault when asked.
            if (ready > 0) {
                unsigned short revents = 0;
                if (int err = snd_pcm_poll_descriptors_revents(pcm, fds.data() + 1, static_cast<unsigned>(count),
                                                               &revents);
                    err < 0) {
                    if (recover(err) == Next::End) return;
                    continue;
                }
                if ((revents & (POLLIN | POLLERR)) == 0) {
                    // A plugin whose server went away (PulseAudio restarted) keeps its
                    // descriptor ready yet reports no event: only the state tells, and without
                    // this check the worker would spin on poll for ever.
                    const snd_pcm_state_t state = snd_pcm_state(pcm);
                    if (state == SND_PCM_STATE_XRUN) {
                        if (recover(-EPIPE) == Next::End) return;
                    } else if (state == SND_PCM_STATE_DISCONNECTED) {
                        if (recover(-ENODEV) == Next::End) return;
                    } else {
                        // Some plugins (pulse, while its stream starts or its source is
                        // suspended) keep the descriptor ready with nothing to read: pause
                        // instead of spinning.
                        if (woken(idle_pause)) return;
                        idle_pause = std::min(2 * idle_pause, kLongestIdlePauseMillis);
                    }
                    continue;
                }
            }
            // Everything the device holds, a period at a time, handed over as one block.
            snd_pcm_uframes_t got = 0;
            int fault = 0;
            while (got < buffer_frames) {
                const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
                if (avail <= 0) {
                    fault = static_cast<int>(avail);
                    break;
                }
                const auto frames = std::min({static_cast<snd_pcm_uframes_t>(avail), period, buffer_frames - got});
                const snd_pcm_sframes_t read =
                    snd_pcm_readi(pcm, buffer.data() + snd_pcm_frames_to_bytes(pcm, static_cast<snd_pcm_sframes_t>(got)),
                                  frames);
                if (read <= 0) {
                    fault = read == -EAGAIN ? 0 : static_cast<int>(read);
                    break;
                }
                got += static_cast<snd_pcm_uframes_t>(read);
            }
            if (got > 0) {
                failures_in_a_row = 0;
                idle_pause = kIdlePauseMillis;
                last_reported.clear();
                on_data({config.format, buffer.data(), static_cast<std::size_t>(got) * config.channels, lost_audio});
                lost_audio = false;
            }
            if (fault < 0 && recover(fault) == Next::End) return;
        }
    }
};

AlsaResult<CaptureStream> CaptureStream::open(const std::string& pcm_name, const StreamConfig& config,
                                              DataCallback on_data, ErrorCallback on_error) {
    auto state = std::make_unique<State>();
    state->config = config;
    state->on_data = std::move(on_data);
    state->on_error = std::move(on_error);
    if (int err = snd_pcm_open(&state->pcm, pcm_name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK); err < 0) {
        state->pcm = nullptr;
        return std::unexpected(alsa_error_text("snd_pcm_open", err));
    }
    if (auto configured = configure(state->pcm, config, state->period, state->buffer_frames); !configured)
        return std::unexpected(configured.error());
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return std::unexpected(vc::format("pipe failed: {}", std::system_category().message(errno)));
    state->wake_read.reset(pipe_ends[0]);
    state->wake_write.reset(pipe_ends[1]);
    return CaptureStream(std::move(state));
}

AlsaResult<void> CaptureStream::start() {
    if (int err = snd_pcm_start(state_->pcm); err < 0) return std::unexpected(alsa_error_text("snd_pcm_start", err));
    try {
        state_->worker = std::thread([state = state_.get()] { state->run(); });
        // Named from here, so the name is in place once start() returns.
        pthread_setname_np(state_->worker.native_handle(), "cpal_alsa_in");
    } catch (const std::system_error& error) {
        return std::unexpected(vc::format("could not start the capture thread: {}", error.what()));
    }
    return {};
}

CaptureStream::CaptureStream(std::unique_ptr<State> state) : state_(std::move(state)) {}
CaptureStream::CaptureStream(CaptureStream&&) noexcept = default;
CaptureStream& CaptureStream::operator=(CaptureStream&&) noexcept = default;
CaptureStream::~CaptureStream() = default;

}  // namespace vc
