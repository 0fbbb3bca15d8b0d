// Voice commands, as the rest of the engine sees them: the voice pack and the listening
// language (main thread, "audio-mixer"), and the listener thread "voice" that the audio
// mixer starts with its chunk queue and a trigger.
#pragma once

#include "engine/speech_gate.hpp"
#include "engine/voice_listener.hpp"
#include "engine/voice_pack.hpp"
