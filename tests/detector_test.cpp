#include <gtest/gtest.h>

#include <vector>

#include "engine/detector.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;

// A run of equal levels, one per 10 ms tick.
struct Run {
    int ticks;
    float level;
};

struct DetectorCase {
    const char* what;
    std::vector<Run> series;
    std::vector<int> triggers;  // 1-based tick numbers
    std::uint32_t min_duration_ms = 250;
    std::uint32_t cooldown_s = 20;
    float threshold_db = 18.0f;
};

struct Outcome {
    std::vector<int> triggers;
    LoudDetector detector;
};

// Feeds the series and checks that every trigger sent LoudMoment and a delayed automatic Save.
Outcome run(const DetectorCase& c) {
    AutoClip settings;
    settings.enabled = true;
    settings.min_duration_ms = c.min_duration_ms;
    settings.cooldown_s = c.cooldown_s;
    settings.threshold_db = c.threshold_db;
    auto [commands, command_rx] = make_queue<EngineCommand>();
    auto [events, event_rx] = make_queue<EngineEvent>();
    const RecorderContext context{commands, events, 5s};
    Outcome outcome{{}, LoudDetector(settings)};
    int tick = 0;
    for (const Run& r : c.series) {
        for (int i = 0; i < r.ticks; ++i) {
            outcome.detector.update(r.level, context);
            ++tick;
            auto event = event_rx.try_recv();
            if (event.index() != 0) continue;
            EXPECT_TRUE(std::holds_alternative<event::LoudMoment>(std::get<0>(event)));
            auto command = command_rx.try_recv();
            EXPECT_EQ(command.index(), 0u);
            if (command.index() != 0) continue;
            const auto* save = std::get_if<command::Save>(&std::get<0>(command));
            EXPECT_TRUE(save);
            if (!save) continue;
            EXPECT_EQ(save->delay, 5s);
            EXPECT_EQ(save->origin, Origin::auto_);
            outcome.triggers.push_back(tick);
        }
    }
    EXPECT_EQ(std::get<RecvError>(command_rx.try_recv()), RecvError::Empty);
    return outcome;
}

TEST(LoudDetector, TriggerTicks) {
    const DetectorCase cases[] = {
        {"warm-up then 25 loud ticks", {{201, -20}, {25, 0}}, {226}},
        {"24 loud ticks are not enough", {{201, -20}, {24, 0}}, {}},
        {"the 201st non-silent tick is still warm-up", {{200, -20}, {25, 0}}, {}},
        {"one more loud tick after it", {{200, -20}, {26, 0}}, {226}},
        {"silence does not count towards the warm-up", {{100, -90}, {201, -20}, {25, 0}}, {326}},
        {"loud during the warm-up never triggers", {{201, 0}}, {}},
        {"minimum 0", {{201, -20}, {3, 0}}, {202}, 0},
        {"minimum 10", {{201, -20}, {3, 0}}, {202}, 10},
        {"minimum 100", {{201, -20}, {20, 0}}, {212}, 100},
        {"minimum 1000", {{201, -20}, {120, 0}}, {302}, 1000},
        {"cooldown 1 takes 101 ticks", {{201, -20}, {102, 0}}, {202, 303}, 10, 1},
        {"cooldown 20 takes 2000 ticks", {{201, -20}, {2001, 0}}, {202, 2202}, 10, 20},
        {"cooldown 0 retriggers every minimum", {{201, -20}, {75, 0}}, {226, 251, 276}, 250, 0},
        {"cooldown runs down in silence", {{201, -20}, {1, 0}, {100, -90}, {1, 0}}, {202, 303}, 10, 1},
        {"a quiet tick restarts the loud time", {{201, -30}, {24, -11}, {1, -13}, {24, -11}}, {}},
        {"then 25 loud ticks again", {{201, -30}, {24, -11}, {1, -13}, {25, -11}}, {251}},
        {"exactly baseline + threshold is quiet", {{201, -30}, {100, -12}}, {}},
        {"steady -40 never triggers", {{1000, -40}}, {}},
        {"silence never triggers", {{1000, -90}}, {}},
        {"-35 is under the quiet ceiling", {{201, -50}, {50, -35}}, {}, 10, 20, 10},
        {"just above -35 is loud", {{201, -50}, {1, -34.5}}, {202}, 10, 20, 10},
        {"-50 is not silence", {{201, -50}, {1, -34.5}}, {202}, 10, 20, 10},
        {"just under -50 is silence", {{201, -50.01f}, {1, -34.5}}, {}, 10, 20, 10},
        {"silence between loud ticks restarts the loud time", {{201, -20}, {20, 0}, {1, -90}, {20, 0}}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c).triggers, c.triggers) << c.what;
}

TEST(LoudDetector, Baseline) {
    const auto steady = run({"steady", {{1000, -40}}, {}});
    EXPECT_EQ(steady.detector.baseline(), -40.0f);

    const auto silent = run({"silent", {{500, -90}}, {}});
    EXPECT_FALSE(silent.detector.baseline());
    EXPECT_EQ(silent.detector.elapsed(), 0.0f);

    // One warm-up step from -20 towards 0 with the weight 0.01 / 0.51, in single precision.
    const auto warm = run({"warm-up step", {{200, -20}, {1, 0}}, {}});
    const float weight = 0.01f / (0.5f + 0.01f);
    EXPECT_EQ(warm.detector.baseline(), (0.0f - -20.0f) * weight + -20.0f);

    // After the warm-up a quiet tick moves it with 0.01 / 4.01; a loud tick leaves it.
    const auto late = run({"late step", {{201, -20}, {1, -10}, {5, 0}}, {}});
    const float late_weight = 0.01f / (4.0f + 0.01f);
    EXPECT_EQ(late.detector.baseline(), (-10.0f - -20.0f) * late_weight + -20.0f);
    EXPECT_FLOAT_EQ(late.detector.loud(), 0.05f);
}

}  // namespace
}  // namespace vc
