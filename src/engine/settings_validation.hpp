// Whether a Config may start a recording: the range and consistency rules that reading the
// settings file does not test. Called at every engine start, before anything is created.
#pragma once

#include "engine/error.hpp"
#include "engine/settings.hpp"

namespace vc {

// Nothing when every rule holds, else the first failing rule's message as a Config error.
Status validate_config(const Config& config);

}  // namespace vc
