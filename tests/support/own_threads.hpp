// The threads of the calling process as /proc/self/task shows them: their names (what the
// code named them, "cpal_alsa_in", "voice") and what the kernel counts of each.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vc::test {

struct OwnThread {
    std::filesystem::path task;  // its /proc/self/task/<tid> directory
    std::string name;
};

// Every thread of this process that is still there.
std::vector<OwnThread> own_threads();

// How many of them bear `name`.
long threads_named(const std::string& name);

// A thread's context switches so far: all of them, or only those it asked for (it waited,
// slept), which a busy machine does not add to; 0 once it has gone.
enum class Switches { all, voluntary };
long long context_switches(const OwnThread& thread, Switches which = Switches::all);

}  // namespace vc::test
