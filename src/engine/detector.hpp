// LoudDetector: turns the per-tick level of one audio track into automatic clips. It learns
// an adaptive baseline (ignoring silence), and when the level stays `threshold_db` above it
// for `min_duration_ms` it sends LoudMoment and a delayed automatic Save, then holds off for
// `cooldown_s`. Pure arithmetic in 32-bit floats; lives on thread "audio-mixer", which calls
// update() once per 10 ms tick. Exists only when automatic clips are on.
#pragma once

#include <optional>

#include "engine/messages.hpp"
#include "engine/settings.hpp"

namespace vc {

class LoudDetector {
public:
    static constexpr float kTick = 0.01f;          // s
    static constexpr float kSilence = -50.0f;      // dB: below is silence
    static constexpr float kWarmUp = 2.0f;         // s of non-silent ticks
    static constexpr float kWarmUpTau = 0.5f;      // s
    static constexpr float kQuietCeiling = -35.0f; // dB: at or below is never loud
    static constexpr float kTau = 4.0f;            // s

    explicit LoudDetector(const AutoClip& settings, float dt = kTick) : settings_(settings), dt_(dt) {}

    // One tick's level in dB. On a trigger sends event::LoudMoment, then command::Save with
    // the post-roll as delay and origin auto; failed sends are ignored.
    void update(float level, const RecorderContext& context);

    std::optional<float> baseline() const { return baseline_; }
    float elapsed() const { return elapsed_; }
    float loud() const { return loud_; }
    float cooldown() const { return cooldown_; }

private:
    std::optional<float> baseline_;
    AutoClip settings_;
    float dt_;
    float elapsed_ = 0.0f;
    float loud_ = 0.0f;
    float cooldown_ = 0.0f;
};

}  // namespace vc
