#include "support/own_threads.hpp"

#include <algorithm>
#include <fstream>

namespace vc::test {

std::vector<OwnThread> own_threads() {
    std::vector<OwnThread> threads;
    // Throws when /proc cannot be read: no thread at all would pass every check for none.
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) threads.push_back({entry.path(), std::move(name)});
    }
    return threads;
}

long threads_named(const std::string& name) {
    const auto threads = own_threads();
    return std::ranges::count(threads, name, &OwnThread::name);
}

long long context_switches(const OwnThread& thread, Switches which) {
    std::ifstream status(thread.task / "status");
    long long total = 0;
    const char* counted = which == Switches::all ? "ctxt_switches:" : "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);)
        if (line.find(counted) != std::string::npos) total += std::stoll(line.substr(line.find(':') + 1));
    return total;
}

}  // namespace vc::test
