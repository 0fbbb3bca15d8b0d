#include "support/log_recorder.hpp"

#include <variant>

namespace vc::test {
namespace {

std::string value_text(const log::Value& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>) return v;
            else if constexpr (std::is_same_v<V, log::DisplayValue> || std::is_same_v<V, log::DebugValue>) return v.text;
            else if constexpr (std::is_same_v<V, bool>) return v ? "true" : "false";
            else return std::to_string(v);
        },
        value);
}

}  // namespace

std::string RecordedEvent::field(const std::string& name) const {
    for (const auto& [key, value] : fields)
        if (key == name) return value;
    return "<no field " + name + ">";
}

LogRecorder::LogRecorder() { log::install(this); }

LogRecorder::~LogRecorder() { log::install(nullptr); }

std::vector<RecordedEvent> LogRecorder::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<RecordedEvent> LogRecorder::with_message(const std::string& message) const {
    std::vector<RecordedEvent> found;
    for (auto& event : events())
        if (event.message == message) found.push_back(std::move(event));
    return found;
}

void LogRecorder::write(const log::Event& event) {
    RecordedEvent recorded{event.level, std::string(event.target), std::string(event.message), {}};
    for (const auto& field : event.fields) recorded.fields.emplace_back(std::string(field.name), value_text(field.value));
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(recorded));
}

}  // namespace vc::test
