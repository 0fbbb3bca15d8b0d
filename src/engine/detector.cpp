#include "engine/detector.hpp"

#include <algorithm>

namespace vc {

void LoudDetector::update(float level, const RecorderContext& context) {
    cooldown_ = std::max(cooldown_ - dt_, 0.0f);
    if (level < kSilence) {
        loud_ = 0.0f;
        return;
    }
    const float before = elapsed_;
    elapsed_ = before + dt_;
    if (!baseline_) baseline_ = level;

    float tau = kTau;
    bool loud_tick = false;
    if (before < kWarmUp)
        tau = kWarmUpTau;
    else if (level <= kQuietCeiling || level <= *baseline_ + settings_.threshold_db)
        tau = kTau;
    else
        loud_tick = true;

    if (!loud_tick) {
        loud_ = 0.0f;
        baseline_ = (level - *baseline_) * (dt_ / (tau + dt_)) + *baseline_;
        return;
    }
    loud_ = dt_ + loud_;
    const float loud_ms = loud_ * 1000.0f;
    if (cooldown_ == 0.0f && loud_ms >= static_cast<float>(settings_.min_duration_ms)) {
        cooldown_ = static_cast<float>(settings_.cooldown_s);
        loud_ = 0.0f;
        auto events = context.events;
        auto commands = context.commands;
        events.send(event::LoudMoment{});
        commands.send(command::Save{context.post_roll, Origin::auto_});
    }
}

}  // namespace vc
