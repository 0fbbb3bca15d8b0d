#include "engine/vosk_library.hpp"

#include <dlfcn.h>

#include <string>

#include "engine/format.hpp"
#include "engine/utf8.hpp"
#include "engine/voice_pack.hpp"

namespace vc {
namespace {

// dlerror's text is pending until read; clear it so a null address is judged on its own.
Result<void*> lookup(void* library, const char* name) {
    ::dlerror();
    void* address = ::dlsym(library, name);
    if (address == nullptr) return voice_error("libvosk missing symbol: dlsym failed");
    return address;
}

template <typename Function>
Result<Function> lookup_function(void* library, const char* name) {
    auto address = lookup(library, name);
    if (!address) return std::unexpected(address.error());
    return reinterpret_cast<Function>(*address);
}

// The steps after the library opened; the caller unloads the library when they fail.
Result<VoskModel> load_model(void* library, const std::filesystem::path& model_path) {
    const std::string model_text = path_text(model_path);
    if (auto checked = check_no_nul(model_text); !checked) return std::unexpected(checked.error());

    auto set_log_level = lookup_function<vosk::SetLogLevel>(library, "vosk_set_log_level");
    if (!set_log_level) return std::unexpected(set_log_level.error());
    (*set_log_level)(-1);

    auto model_new = lookup_function<vosk::ModelNew>(library, "vosk_model_new");
    if (!model_new) return std::unexpected(model_new.error());
    void* model = (*model_new)(model_text.c_str());
    if (model == nullptr) return voice_error(vc::format("failed to load model {}", model_text));

    auto find_word = lookup_function<vosk::ModelFindWord>(library, "vosk_model_find_word");
    if (!find_word) {
        // The model exists by now; it must not outlive the library that made it.
        if (auto model_free = lookup_function<vosk::ModelFree>(library, "vosk_model_free"))
            (*model_free)(model);
        return std::unexpected(find_word.error());
    }
    return VoskModel(*find_word, library, model);
}

}  // namespace

Status check_no_nul(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return voice_error("string contains NUL");
    return {};
}

VoskModel& VoskModel::operator=(VoskModel&& other) noexcept {
    if (this != &other) {
        release();
        find_word_ = other.find_word_;
        library_ = std::exchange(other.library_, nullptr);
        model_ = std::exchange(other.model_, nullptr);
    }
    return *this;
}

Result<void*> VoskModel::symbol(const char* name) const { return lookup(library_, name); }

void VoskModel::release() {
    if (library_ == nullptr) return;
    if (auto model_free = lookup_function<vosk::ModelFree>(library_, "vosk_model_free"))
        (*model_free)(model_);
    ::dlclose(library_);
    library_ = nullptr;
    model_ = nullptr;
}

Result<VoskModel> load_vosk(std::string_view language) {
    const auto library_path = vosk_library_path();
    const auto model_path = vosk_model_path(language);
    if (!voice_pack_installed(language))
        return voice_error(vc::format("voice pack for '{}' is not installed ({} / {})", language,
                                      path_text(library_path), path_text(model_path)));

    ::dlerror();
    void* library = ::dlopen(library_path.c_str(), RTLD_LAZY);
    if (library == nullptr) {
        const bool reported = ::dlerror() != nullptr;
        return voice_error(vc::format("loading {}: {}", path_text(library_path),
                                      reported ? "dlopen failed"
                                               : "dlopen failed, but system did not report the error"));
    }
    auto model = load_model(library, model_path);
    if (!model) ::dlclose(library);
    return model;
}

}  // namespace vc
