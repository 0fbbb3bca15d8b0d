// The logging facade the engine calls. Events carry a level, a target ("engine",
// "engine::audio", ...), a message and typed fields. The front end installs the one
// process-wide Logger (filter and line format); until then every event is dropped.
//
// VC_LOG(level, target, message, fields...) evaluates its message and fields only when the
// logger may show the event: each call site remembers the logger's answer for its level and
// target, so a rejected event costs one atomic load and a compare.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace vc::log {

// Ordered by verbosity, so a limit passes every level at or below it.
enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct DisplayValue {  // shown as its text, without quotes
    std::string text;
};
struct DebugValue {  // shown as an already formatted debug form
    std::string text;
};
using Value = std::variant<std::string, std::int64_t, std::uint64_t, double, bool, DisplayValue, DebugValue>;

struct Field {
    std::string_view name;
    Value value;
};

struct Event {
    Level level;
    std::string_view target;
    std::string_view message;
    std::span<const Field> fields;  // not counting the message
};

// What a logger says of a call site before any field is built.
enum class Interest : std::uint8_t { Never, Always, Sometimes };

class Logger {
public:
    virtual ~Logger() = default;
    // The most verbose level any event may be shown at: everything above is dropped at once.
    virtual Level max_level() const = 0;
    virtual Interest interest(Level level, std::string_view target) const = 0;
    // For Interest::Sometimes: the full decision, fields included.
    virtual bool enabled(const Event& event) const = 0;
    virtual void write(const Event& event) = 0;
};

// Installs the process-wide logger. The logger must live until the process ends: threads
// that are never joined may log at any time.
void install(Logger* logger);

class Callsite {
public:
    constexpr Callsite(Level level, std::string_view target) : level_(level), target_(target) {}

    bool interested() {
        const std::uint32_t state = state_.load(std::memory_order_acquire);
        if ((state >> 2) == generation_.load(std::memory_order_relaxed))
            return (state & 3) != static_cast<std::uint32_t>(Interest::Never);
        return recompute();
    }
    Interest cached_interest() const {
        return static_cast<Interest>(state_.load(std::memory_order_relaxed) & 3);
    }
    Level level() const { return level_; }
    std::string_view target() const { return target_; }

private:
    friend void install(Logger*);
    bool recompute();

    static inline std::atomic<std::uint32_t> generation_{1};
    Level level_;
    std::string_view target_;
    std::atomic<std::uint32_t> state_{0};  // generation << 2 | Interest
};

void emit(Callsite& site, std::string_view message, std::span<const Field> fields);

template <typename... Fields>
void emit(Callsite& site, std::string_view message, Fields&&... fields) {
    const Field list[] = {Field(std::forward<Fields>(fields))..., Field{}};
    emit(site, message, std::span<const Field>(list, sizeof...(Fields)));
}

// Typed field constructors.
template <typename T>
Field field(std::string_view name, T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, bool>) {
        return {name, value};
    } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
        return {name, static_cast<std::int64_t>(value)};
    } else if constexpr (std::is_integral_v<V>) {
        return {name, static_cast<std::uint64_t>(value)};
    } else if constexpr (std::is_floating_point_v<V>) {
        return {name, static_cast<double>(value)};
    } else {
        return {name, std::string(std::forward<T>(value))};
    }
}
inline Field display_field(std::string_view name, std::string text) {
    return {name, DisplayValue{std::move(text)}};
}
inline Field debug_field(std::string_view name, std::string debug_form) {
    return {name, DebugValue{std::move(debug_form)}};
}
// A list of texts in its debug form: ["a", "b"].
Field debug_list_field(std::string_view name, const std::vector<std::string>& items);

// The debug form of a text: double quotes around it, with \", \\, \t, \r, \n, \0 and
// \u{...} for other control, non-printable and grapheme-extending characters.
void append_debug_text(std::string& out, std::string_view text);

}  // namespace vc::log

#define VC_LOG(level, target, ...)                                            \
    do {                                                                      \
        static ::vc::log::Callsite vc_log_site_{(level), (target)};           \
        if (vc_log_site_.interested()) ::vc::log::emit(vc_log_site_, __VA_ARGS__); \
    } while (0)

#define VC_ERROR(target, ...) VC_LOG(::vc::log::Level::Error, target, __VA_ARGS__)
#define VC_WARN(target, ...) VC_LOG(::vc::log::Level::Warn, target, __VA_ARGS__)
#define VC_INFO(target, ...) VC_LOG(::vc::log::Level::Info, target, __VA_ARGS__)
#define VC_DEBUG(target, ...) VC_LOG(::vc::log::Level::Debug, target, __VA_ARGS__)
#define VC_TRACE(target, ...) VC_LOG(::vc::log::Level::Trace, target, __VA_ARGS__)
