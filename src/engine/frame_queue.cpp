#include "engine/frame_queue.hpp"

namespace vc {
namespace {

template <typename Sample>
void push_converted(FrameQueue& queue, std::span<const Sample> samples, std::size_t channels, ArrivalTime arrived,
                    bool after_loss) {
    queue.push_frames(samples, channels, [](Sample x) { return sample_to_float(x); }, arrived, after_loss);
}

}  // namespace

void push_frames_f32(FrameQueue& queue, std::span<const float> samples, std::size_t channels, ArrivalTime arrived,
                     bool after_loss) {
    push_converted(queue, samples, channels, arrived, after_loss);
}
void push_frames_u8(FrameQueue& queue, std::span<const std::uint8_t> samples, std::size_t channels, ArrivalTime arrived,
                     bool after_loss) {
    push_converted(queue, samples, channels, arrived, after_loss);
}
void push_frames_i16(FrameQueue& queue, std::span<const std::int16_t> samples, std::size_t channels, ArrivalTime arrived,
                     bool after_loss) {
    push_converted(queue, samples, channels, arrived, after_loss);
}
void push_frames_u16(FrameQueue& queue, std::span<const std::uint16_t> samples, std::size_t channels, ArrivalTime arrived,
                     bool after_loss) {
    push_converted(queue, samples, channels, arrived, after_loss);
}
void push_frames_i32(FrameQueue& queue, std::span<const std::int32_t> samples, std::size_t channels, ArrivalTime arrived,
                     bool after_loss) {
    push_converted(queue, samples, channels, arrived, after_loss);
}

}  // namespace vc
