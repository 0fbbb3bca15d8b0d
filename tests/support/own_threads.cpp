#include "support/own_threads.hpp"

#include <algorithm>
#include <fstream>

namespace vc::test {

std::vector<OwnThread> own_threads() {
    std::vector<OwnThread> threads;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
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

long long context_switches(const OwnThread& thread) {
    std::ifstream status(thread.task / "status");
    long long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos) total += std::stoll(line.substr(line.find(':') + 1));
    return total;
}

}  // namespace vc::test
