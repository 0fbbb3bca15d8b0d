#include "engine/log.hpp"

#include "engine/escaped_text.hpp"

namespace vc::log {
namespace {

std::atomic<Logger*> installed{nullptr};

}  // namespace

void install(Logger* logger) {
    installed.store(logger, std::memory_order_release);
    Callsite::generation_.fetch_add(1, std::memory_order_acq_rel);
}

bool Callsite::recompute() {
    const std::uint32_t generation = generation_.load(std::memory_order_acquire);
    Logger* logger = installed.load(std::memory_order_acquire);
    Interest interest = Interest::Never;
    if (logger != nullptr && level_ <= logger->max_level()) interest = logger->interest(level_, target_);
    state_.store((generation << 2) | static_cast<std::uint32_t>(interest), std::memory_order_release);
    return interest != Interest::Never;
}

void emit(Callsite& site, std::string_view message, std::span<const Field> fields) {
    Logger* logger = installed.load(std::memory_order_acquire);
    if (logger == nullptr) return;
    const Event event{site.level(), site.target(), message, fields};
    if (site.cached_interest() == Interest::Sometimes && !logger->enabled(event)) return;
    logger->write(event);
}

Field debug_list_field(std::string_view name, const std::vector<std::string>& items) {
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ", ";
        append_debug_text(text, items[i]);
    }
    text += ']';
    return debug_field(name, std::move(text));
}

void append_debug_text(std::string& out, std::string_view text) { out += quote_escaped(text); }

}  // namespace vc::log
