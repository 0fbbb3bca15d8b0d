// Test helpers for the engine's messages: an audio track as a test names it, and the
// Message texts waiting on an event queue.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/messages.hpp"
#include "engine/settings.hpp"

namespace vc::test {

inline Track make_track(std::string name, TrackSource source, std::optional<std::string> device) {
    return Track{std::move(name), source, std::move(device)};
}

// Takes every waiting event and keeps the texts of the Message events, in order.
inline std::vector<std::string> take_message_texts(Receiver<EngineEvent>& events) {
    std::vector<std::string> texts;
    for (;;) {
        auto got = events.try_recv();
        if (got.index() != 0) return texts;
        if (auto* message = std::get_if<event::Message>(&std::get<0>(got))) texts.push_back(message->text);
    }
}

}  // namespace vc::test
