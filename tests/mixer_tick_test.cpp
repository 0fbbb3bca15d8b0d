#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>

#include "engine/mixer_take.hpp"
#include "engine/mixer_tick.hpp"

namespace vc {
namespace {

std::deque<StereoPair> ramp(std::size_t n, float start = 0.0f) {
    std::deque<StereoPair> q;
    for (std::size_t i = 0; i < n; ++i) q.push_back({start + float(i), -(start + float(i))});
    return q;
}

TEST(MixerTick, PassThroughAt48k) {
    ResampleState state;
    TrackPace pace;
    auto queue = ramp(1000);
    Block block;
    take_pairs(queue, {}, state, pace, std::nullopt);
    fill_block(state, block);
    EXPECT_EQ(queue.size(), 520u);
    EXPECT_TRUE(state.pending.empty());
    for (std::size_t i = 0; i < kBlockFrames; ++i) ASSERT_EQ(block[i], (StereoPair{float(i), -float(i)}));
}

TEST(MixerTick, ShortQueuePadsWithSilence) {
    ResampleState state;
    TrackPace pace;
    auto queue = ramp(100, 1.0f);
    Block block;
    take_pairs(queue, {}, state, pace, std::nullopt);
    fill_block(state, block);
    EXPECT_EQ(block[99], (StereoPair{100.0f, -100.0f}));
    EXPECT_EQ(block[100], (StereoPair{}));
    EXPECT_EQ(block[479], (StereoPair{}));
}

TEST(MixerTick, BacklogEdge) {
    const struct {
        std::size_t queued, left, first;
    } cases[] = {
        {480 + 9600, 9600, 0},        // at the edge: nothing is cut
        {480 + 9601, 0, 9601},        // past it: only the newest 480 are kept
    };
    for (const auto& c : cases) {
        ResampleState state;
        TrackPace pace;
        auto queue = ramp(c.queued);
        Block block;
        take_pairs(queue, {}, state, pace, std::nullopt);
        fill_block(state, block);
        EXPECT_EQ(queue.size(), c.left) << c.queued;
        EXPECT_EQ(block[0].left, float(c.first)) << c.queued;
    }
}

TEST(MixerTick, EmptyQueueInResamplingModeResetsPosition) {
    ResampleState state{.ratio = 44100.0 / 48000.0, .pos = 0.5, .pending = {}};
    TrackPace pace;
    std::deque<StereoPair> queue;
    Block block;
    take_pairs(queue, {}, state, pace, std::nullopt);
    fill_block(state, block);
    EXPECT_TRUE(state.pending.empty());
    EXPECT_EQ(state.pos, 0.0);
    EXPECT_EQ(block_level(block), kSilenceDb);
}

// A 44.1 kHz device: 441 or 442 pairs per tick, 480 out, and a 1 kHz tone stays 1 kHz.
TEST(MixerTick, Resample44100KeepsFrequency) {
    ResampleState state{.ratio = 44100.0 / 48000.0, .pos = 0.0, .pending = {}};
    TrackPace pace;
    std::deque<StereoPair> queue;
    std::uint64_t produced = 0;
    std::size_t consumed_total = 0;
    double phase = 0.0;
    std::vector<float> out;
    const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    for (int tick = 0; tick < 100; ++tick) {
        for (int i = 0; i < 441; ++i) {
            const float v = float(std::sin(phase));
            phase += 2 * std::numbers::pi * 1000.0 / 44100.0;
            queue.push_back({v, v});
            ++produced;
        }
        const std::size_t before = queue.size();
        Block block;
        const auto due = start + tick * std::chrono::milliseconds(10);
        take_pairs(queue, {produced, due}, state, pace, TickTime{due, due});
        consumed_total += before - queue.size();
        fill_block(state, block);
        for (const auto& pair : block) out.push_back(pair.left);
    }
    EXPECT_EQ(out.size(), 48000u);
    // A tick's block is the device's 10 ms that had come a tick before: one tick's worth waits.
    EXPECT_NEAR(double(consumed_total), double(produced) - 441.0, 3.0);
    // Count rising zero crossings over the second half: 1 kHz gives 500 in 0.5 s.
    int crossings = 0;
    for (std::size_t i = 24001; i < out.size(); ++i)
        if (out[i - 1] < 0.0f && out[i] >= 0.0f) ++crossings;
    EXPECT_NEAR(crossings, 500, 2);
}

TEST(MixerTick, Resample96kTakesTwicePerTick) {
    ResampleState state{.ratio = 2.0, .pos = 0.0, .pending = {}};
    TrackPace pace;
    auto queue = ramp(5000);
    Block block;
    take_pairs(queue, {}, state, pace, std::nullopt);
    EXPECT_EQ(state.pending.size(), 960u);  // floor(2 * 479) + 2
    fill_block(state, block);
    EXPECT_EQ(block[1], (StereoPair{2.0f, -2.0f}));
    EXPECT_TRUE(state.pending.empty());
}

TEST(MixerTick, VolumeAndLevels) {
    Block block;
    block.fill({0.5f, 0.5f});
    apply_volume(block, 2.0f);
    EXPECT_EQ(block[0], (StereoPair{1.0f, 1.0f}));
    EXPECT_FLOAT_EQ(block_level(block), 0.0f);
    apply_volume(block, 2.0f);
    EXPECT_EQ(block[0].left, 2.0f);  // no clamping
    apply_volume(block, 0.0f);
    EXPECT_EQ(block_level(block), kSilenceDb);

    block.fill({0.001f, 0.001f});
    EXPECT_NEAR(block_level(block), -60.0f, 0.01f);
    block.fill({1.0f, -1.0f});
    EXPECT_EQ(block_level(block), kSilenceDb);
    block.fill({-1.0f, -1.0f});
    EXPECT_FLOAT_EQ(block_level(block), 0.0f);
}

TEST(MixerTick, InterleaveIsFrameMajor) {
    Block blocks[2];
    for (std::size_t i = 0; i < kBlockFrames; ++i) {
        blocks[0][i] = {1.0f, 2.0f};
        blocks[1][i] = {3.0f, 4.0f};
    }
    std::string bytes;
    interleave(blocks, bytes);
    ASSERT_EQ(bytes.size(), 3840u * 2);
    float first[8];
    std::memcpy(first, bytes.data(), sizeof first);
    EXPECT_EQ(std::vector<float>(first, first + 8), (std::vector<float>{1, 2, 3, 4, 1, 2, 3, 4}));
}

TEST(MixerTick, VoiceFeedCadence) {
    VoiceFeed feed;
    Block block;
    for (std::size_t i = 0; i < kBlockFrames; ++i) block[i] = {float(i % 3), float(i % 3)};
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_FALSE(feed.chunk_ready());
        feed.add(block);
    }
    ASSERT_TRUE(feed.chunk_ready());
    const auto chunk = feed.take_chunk();
    ASSERT_EQ(chunk.size(), kVoiceChunkSamples);
    EXPECT_FLOAT_EQ(chunk[0], 1.0f);  // (0 + 1 + 2) / 3
    EXPECT_FALSE(feed.chunk_ready());
}

}  // namespace
}  // namespace vc
