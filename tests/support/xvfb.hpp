// XvfbServer: a private, real X server for one test. It takes the first free display
// number from 90 up, waits until the server accepts clients, and stops it by its pid.
#pragma once

#include <optional>
#include <string>

#include "engine/process.hpp"

namespace vc::test {

class XvfbServer {
public:
    // Throws std::runtime_error when no server could be started.
    explicit XvfbServer(const std::string& screen = "1280x720x24");
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }

private:
    std::optional<Process> server_;
    std::string display_;
};

}  // namespace vc::test
