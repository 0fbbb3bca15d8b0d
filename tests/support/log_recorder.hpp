// A logger for tests that keeps every event instead of printing it. Installed for the life
// of the object; events from every thread are kept, in the order they were written.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/log.hpp"

namespace vc::test {

struct RecordedEvent {
    log::Level level;
    std::string target;
    std::string message;
    // name=value pairs; a text value as it is, a debug or display value as its text.
    std::vector<std::pair<std::string, std::string>> fields;

    std::string field(const std::string& name) const;
};

class LogRecorder final : public log::Logger {
public:
    LogRecorder();
    ~LogRecorder() override;
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<RecordedEvent> events() const;
    // The events with this message.
    std::vector<RecordedEvent> with_message(const std::string& message) const;

    log::Level max_level() const override { return log::Level::Trace; }
    log::Interest interest(log::Level, std::string_view) const override { return log::Interest::Always; }
    bool enabled(const log::Event&) const override { return true; }
    void write(const log::Event& event) override;

private:
    mutable std::mutex mutex_;
    std::vector<RecordedEvent> events_;
};

}  // namespace vc::test
