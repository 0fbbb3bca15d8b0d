#include "support/fake_voice_pack.hpp"

#include <fstream>
#include <sstream>

#include "engine/voice_phrases.hpp"

namespace vc::test {

FakeVoicePack::FakeVoicePack(const std::string& build, const std::string& language) {
    env_.set("VANTREL_VOICE_DIR", temp_.path().string());
    std::filesystem::create_directories(temp_ / "lib");
    std::filesystem::create_directories(model_dir(language) / "conf");
    if (!build.empty())
        std::filesystem::copy_file(std::filesystem::path(VANTREL_FAKE_VOSK_DIR) / (build + ".so"), library());
}

std::filesystem::path FakeVoicePack::model_dir(const std::string& language) const {
    return temp_.path() / "models" / language;
}

void FakeVoicePack::write_model_file(const std::string& name, const std::string& content,
                                     const std::string& language) const {
    std::ofstream(model_dir(language) / name, std::ios::binary) << content;
}

void FakeVoicePack::vocabulary(const std::vector<std::string>& words, const std::string& language) const {
    std::string text;
    for (const auto& word : words) text += word + "\n";
    write_model_file("vocabulary", text, language);
}

std::vector<std::string> FakeVoicePack::calls() const {
    std::ifstream in(temp_ / "lib/calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> FakeVoicePack::calls_starting(const std::string& prefix) const {
    std::vector<std::string> found;
    for (auto& line : calls())
        if (line.starts_with(prefix)) found.push_back(std::move(line));
    return found;
}

std::vector<std::string> full_vocabulary() {
    std::vector<std::string> words = {"clip", "that", "save", "guarda", "eso", "graba"};
    for (const auto word : ENGLISH_FILLERS) words.emplace_back(word);
    for (const auto word : SPANISH_FILLERS) words.emplace_back(word);
    return words;
}

}  // namespace vc::test
