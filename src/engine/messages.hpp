// The engine's messages: commands into the engine thread, events out of it to the front
// end, and RecorderContext, the queue ends the recorder's own threads (the ffmpeg
// standard-error reader, the audio mixer, the loud-moment detector, the voice listener)
// receive. Audio and voice include this header instead of the engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include "engine/clips.hpp"
#include "engine/encoder.hpp"
#include "engine/queue.hpp"

namespace vc {

namespace command {
struct Save {
    std::chrono::nanoseconds delay{0};  // zero: save at once
    Origin origin = Origin::manual;
};
struct RecorderStopped {
    std::string text;  // "recorder stopped: " and ffmpeg's last standard-error lines
    std::uint32_t pid = 0;
};
struct Stop {};
}  // namespace command

using EngineCommand = std::variant<command::Save, command::RecorderStopped, command::Stop>;

namespace event {
struct EncoderChosen {
    Encoder encoder;
};
struct LoudMoment {};
struct HeardPhrase {
    std::string text;
};
struct ClipSaved {
    ClipInfo clip;
};
struct Message {
    std::string text;
};
struct Stopped {};
}  // namespace event

using EngineEvent = std::variant<event::EncoderChosen, event::LoudMoment, event::HeardPhrase,
                                 event::ClipSaved, event::Message, event::Stopped>;

// Copyable: every copy holds its own sender on each queue. A failed send means the other
// side is shutting down; senders ignore it.
struct RecorderContext {
    Sender<EngineCommand> commands;
    Sender<EngineEvent> events;
    std::chrono::seconds post_roll{0};  // the autoclip post-roll: the delay of automatic saves
};

}  // namespace vc
