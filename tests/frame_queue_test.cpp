#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "engine/audio_capture.hpp"

namespace vc {
namespace {

std::vector<StereoPair> drain(FrameQueue& queue) {
    auto locked = queue.lock();
    std::vector<StereoPair> pairs(locked.pairs().begin(), locked.pairs().end());
    locked.pairs().clear();
    return pairs;
}

struct ConversionCase {
    const char* what;
    double sample;  // the device value
    float expected;
};

template <typename Sample>
void check_conversions(SampleFormat format, CaptureCallback callback, std::initializer_list<ConversionCase> cases) {
    auto queue = std::make_shared<FrameQueue>();
    for (const auto& c : cases) {
        const Sample mono = static_cast<Sample>(c.sample);
        callback({queue, 1}, {format, &mono, 1});
        const auto pairs = drain(*queue);
        ASSERT_EQ(pairs.size(), 1u) << c.what;
        EXPECT_EQ(pairs[0], (StereoPair{c.expected, c.expected})) << sample_format_name(format) << " " << c.what;
    }
}

TEST(Capture, ExactConversions) {
    check_conversions<std::uint8_t>(SampleFormat::U8, capture_u8,
                                    {{"silence", 128, 0.0f}, {"lowest", 0, -1.0f}, {"highest", 255, 0.9921875f},
                                     {"one step", 129, 0.0078125f}});
    check_conversions<std::int16_t>(SampleFormat::I16, capture_i16,
                                    {{"silence", 0, 0.0f}, {"lowest", -32768, -1.0f},
                                     {"highest", 32767, 0.999969482421875f}, {"one step", 1, 0x1p-15f}});
    check_conversions<std::uint16_t>(SampleFormat::U16, capture_u16,
                                     {{"silence", 32768, 0.0f}, {"lowest", 0, -1.0f},
                                      {"highest", 65535, 0.999969482421875f}});
    // 2147483647 rounds to the float 2^31, so the top of I32 is exactly 1.0.
    check_conversions<std::int32_t>(SampleFormat::I32, capture_i32,
                                    {{"silence", 0, 0.0f}, {"lowest", -2147483648.0, -1.0f},
                                     {"highest", 2147483647.0, 1.0f}, {"one step", 1, 0x1p-31f},
                                     {"low bits rounded", 16777217, 0x1p-7f}});
    check_conversions<float>(SampleFormat::F32, capture_f32,
                             {{"silence", 0, 0.0f}, {"unchanged", 0.3, 0.3f}, {"beyond range", -2.5, -2.5f}});
}

TEST(Capture, ChannelMappingAndWholeFrames) {
    auto queue = std::make_shared<FrameQueue>();
    const std::int16_t six[] = {100, 200, 300, 400, 500, 600, -100, -200, 1, 2, 3, 4};
    capture_i16({queue, 6}, {SampleFormat::I16, six, 12});
    EXPECT_EQ(drain(*queue),
              (std::vector<StereoPair>{{100 * 0x1p-15f, 200 * 0x1p-15f}, {-100 * 0x1p-15f, -200 * 0x1p-15f}}));

    std::vector<float> samples(1001);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i);
    capture_f32({queue, 2}, {SampleFormat::F32, samples.data(), samples.size()});
    const auto pairs = drain(*queue);
    ASSERT_EQ(pairs.size(), 500u);  // the last, partial frame is dropped
    EXPECT_EQ(pairs.front(), (StereoPair{0.0f, 1.0f}));
    EXPECT_EQ(pairs.back(), (StereoPair{998.0f, 999.0f}));

    const float partial[] = {0.5f, 0.25f};
    capture_f32({queue, 3}, {SampleFormat::F32, partial, 2});
    EXPECT_TRUE(drain(*queue).empty());
}

TEST(Capture, MismatchedBlockAborts) {
    auto queue = std::make_shared<FrameQueue>();
    const std::int16_t sample = 0;
    EXPECT_DEATH(capture_f32({queue, 1}, {SampleFormat::I16, &sample, 1}), "host supplied incorrect sample type");
}

TEST(Capture, QueueKeepsTheNewestPairsAtItsCap) {
    auto queue = std::make_shared<FrameQueue>();
    std::vector<float> block(2 * 4800);
    for (int round = 0; round < 25; ++round) {  // 120000 pairs in all
        for (std::size_t i = 0; i < 4800; ++i)
            block[2 * i] = block[2 * i + 1] = static_cast<float>(round * 4800 + static_cast<int>(i));
        capture_f32({queue, 2}, {SampleFormat::F32, block.data(), block.size()});
    }
    const auto pairs = drain(*queue);
    ASSERT_EQ(pairs.size(), FrameQueue::kCapacity);
    EXPECT_EQ(pairs.front().left, 120000.0f - FrameQueue::kCapacity);
    EXPECT_EQ(pairs.back().left, 119999.0f);
}

}  // namespace
}  // namespace vc
