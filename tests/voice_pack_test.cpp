#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/voice_pack.hpp"
#include "engine/vosk_library.hpp"
#include "support/environment.hpp"
#include "support/fake_voice_pack.hpp"

namespace vc {
namespace {

namespace fs = std::filesystem;
using test::FakeVoicePack;
using test::ScopedEnv;
using test::TempDir;

std::string voice_text(const EngineError& error) {
    return error.is<EngineError::Voice>() ? error.as<EngineError::Voice>().text : format_engine_error(error);
}

TEST(VoiceDir, FromTheEnvironmentTheDataDirectoryOrRelative) {
    {
        ScopedEnv env{{"VANTREL_VOICE_DIR", "/packs/voice"}};
        EXPECT_EQ(voice_dir(), fs::path("/packs/voice"));
    }
    {
        ScopedEnv env{{"VANTREL_VOICE_DIR", ""}};
        EXPECT_EQ(voice_dir(), fs::path(""));
        EXPECT_EQ(vosk_library_path(), fs::path("lib/libvosk.so"));
        EXPECT_EQ(vosk_model_path("en"), fs::path("models/en"));
    }
    {
        ScopedEnv env{{"VANTREL_VOICE_DIR", std::nullopt}, {"HOME", "/home/tester"},
                      {"XDG_DATA_HOME", std::nullopt}};
        EXPECT_EQ(voice_dir(), fs::path("/home/tester/.local/share/vantrelclips/voice"));
    }
}

TEST(VoicePackInstalled, NeedsARegularLibraryAndAConfDirectory) {
    TempDir dir;
    ScopedEnv env{{"VANTREL_VOICE_DIR", dir.path().string()}};
    EXPECT_FALSE(voice_pack_installed("en"));

    fs::create_directories(dir / "models/en/conf");
    fs::create_directories(dir / "lib/libvosk.so");  // a directory is not the library
    EXPECT_FALSE(voice_pack_installed("en"));

    fs::remove(dir / "lib/libvosk.so");
    dir.write("real/libvosk.so.0", "not even a library");
    fs::create_symlink(dir / "real/libvosk.so.0", dir / "lib/libvosk.so");
    EXPECT_TRUE(voice_pack_installed("en"));
    EXPECT_FALSE(voice_pack_installed("es"));

    dir.write("models/es/conf", "a file, not a directory");
    EXPECT_FALSE(voice_pack_installed("es"));

    fs::remove(dir / "real/libvosk.so.0");  // the link dangles now
    EXPECT_FALSE(voice_pack_installed("en"));
}

TEST(VoicePackInstalled, ANulByteIsNeverInstalled) {
    TempDir dir;
    ScopedEnv env{{"VANTREL_VOICE_DIR", dir.path().string()}};
    dir.write("lib/libvosk.so", "x");
    fs::create_directories(dir / "models/en/conf");
    ASSERT_TRUE(voice_pack_installed("en"));
    EXPECT_FALSE(voice_pack_installed(std::string("en\0/../en", 9)));
    const auto loaded = load_vosk(std::string("en\0x", 4));
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(voice_text(loaded.error()).starts_with("voice pack for 'en"));
}

struct LocaleCase {
    std::optional<std::string> language, lc_all, lc_messages, lang;
    const char* setting;
    const char* expected;
};

TEST(VoiceLanguage, FromTheSettingOrTheLocale) {
    const LocaleCase cases[] = {
        {"es_MX:en_US", {}, {}, {}, "auto", "es"},
        {{}, {}, {}, "es_ES.UTF-8", "auto", "es"},
        {{}, "C", {}, {}, "auto", "en"},
        {":es", {}, {}, {}, "auto", "en"},
        {"", {}, "ES", {}, "auto", "es"},
        {{}, {}, {}, {}, "auto", "en"},
        {{}, {}, {}, "\xC3\x89S_ES", "auto", "en"},  // "ÉS": lower-cased, it is not "es"
        {"\xff", {}, {}, "es", "auto", "es"},          // not UTF-8: LANGUAGE does not count
        {{}, {}, {}, "es@euro", "auto", "es"},
        {{}, {}, {}, "es_ES", "Auto", "Auto"},
        {{}, {}, {}, "es_ES", "", ""},
        {{}, {}, {}, "en_US", "es", "es"},
        {{}, {}, {}, "en_US", "de", "de"},
    };
    for (const auto& c : cases) {
        ScopedEnv env{{"LANGUAGE", c.language}, {"LC_ALL", c.lc_all}, {"LC_MESSAGES", c.lc_messages},
                      {"LANG", c.lang}};
        Voice voice;
        voice.language = c.setting;
        EXPECT_EQ(voice_language(voice), c.expected)
            << c.language.value_or("-") << " " << c.lang.value_or("-") << " " << c.setting;
    }
}

TEST(VoiceLanguage, LocaleListCutsTranslatesAndDropsRepeats) {
    ScopedEnv env{{"LANGUAGE", "pt_BR.UTF-8:pt_BR::de@euro"}, {"LC_ALL", "pt_BR"},
                  {"LC_MESSAGES", ""}, {"LANG", "fr_FR.ISO-8859-1"}};
    EXPECT_EQ(system_locales(), (std::vector<std::string>{"pt-BR", "", "de", "fr-FR"}));
}

TEST(LoadVosk, FailuresBeforeTheModelLoads) {
    {
        FakeVoicePack pack;
        fs::remove_all(pack.model_dir() / "conf");
        const auto loaded = load_vosk("en");
        ASSERT_FALSE(loaded);
        EXPECT_EQ(voice_text(loaded.error()),
                  "voice pack for 'en' is not installed (" + pack.dir().string() + "/lib/libvosk.so / " +
                      pack.dir().string() + "/models/en)");
        EXPECT_TRUE(pack.calls().empty());  // the library was never opened
    }
    {
        FakeVoicePack pack("");
        std::ofstream(pack.library()) << "this is no shared object\n";
        const auto loaded = load_vosk("en");
        ASSERT_FALSE(loaded);
        EXPECT_EQ(voice_text(loaded.error()), "loading " + pack.library().string() + ": dlopen failed");
    }
    {
        FakeVoicePack pack;
        pack.write_model_file("fail_model", "");
        const auto loaded = load_vosk("en");
        ASSERT_FALSE(loaded);
        EXPECT_EQ(voice_text(loaded.error()), "failed to load model " + pack.model_dir().string());
        EXPECT_EQ(pack.calls(), (std::vector<std::string>{"set_log_level -1",
                                                          "model_new " + pack.model_dir().string(), "unload"}));
    }
}

TEST(LoadVosk, MissingFunctionsUnloadTheLibrary) {
    {
        FakeVoicePack pack("fake_vosk_no_set_log_level");
        const auto loaded = load_vosk("en");
        ASSERT_FALSE(loaded);
        EXPECT_EQ(voice_text(loaded.error()), "libvosk missing symbol: dlsym failed");
        EXPECT_EQ(pack.calls(), (std::vector<std::string>{"unload"}));
    }
    {
        // The model already exists when the word lookup turns out missing: it is freed too.
        FakeVoicePack pack("fake_vosk_no_find_word");
        const auto loaded = load_vosk("en");
        ASSERT_FALSE(loaded);
        EXPECT_EQ(voice_text(loaded.error()), "libvosk missing symbol: dlsym failed");
        EXPECT_EQ(pack.calls(), (std::vector<std::string>{"set_log_level -1",
                                                          "model_new " + pack.model_dir().string(),
                                                          "model_free", "unload"}));
    }
}

TEST(LoadVosk, TheModelAnswersAndIsReleasedBeforeTheLibrary) {
    FakeVoicePack pack;
    pack.vocabulary({"clip", "that"});
    {
        auto model = load_vosk("en");
        ASSERT_TRUE(model) << voice_text(model.error());
        EXPECT_EQ(model->find_word("clip"), 0);
        EXPECT_EQ(model->find_word("that"), 1);
        EXPECT_LT(model->find_word("flip"), 0);
        VoskModel moved = std::move(*model);  // moving hands over, releasing nothing
        EXPECT_EQ(pack.calls_starting("model_free").size(), 0u);
    }
    EXPECT_EQ(pack.calls(), (std::vector<std::string>{"set_log_level -1", "model_new " + pack.model_dir().string(),
                                                      "find_word clip 0", "find_word that 1", "find_word flip -1",
                                                      "model_free", "unload"}));
}

TEST(LoadVosk, AMissingModelFreeIsPassedOver) {
    FakeVoicePack pack("fake_vosk_no_model_free");
    { ASSERT_TRUE(load_vosk("en")); }
    EXPECT_EQ(pack.calls().back(), "unload");
    EXPECT_TRUE(pack.calls_starting("model_free").empty());
}

TEST(LoadVosk, NonUtf8PathsAreShownLossily) {
    TempDir dir;
    ScopedEnv env{{"VANTREL_VOICE_DIR", (dir.path() / "caf\xe9").string()}};
    const auto loaded = load_vosk("en");
    ASSERT_FALSE(loaded);
    EXPECT_NE(voice_text(loaded.error()).find("caf\xEF\xBF\xBD/lib/libvosk.so"), std::string::npos);
}

// The real library, when the build has fetched it (npm package vosk@0.3.39).
TEST(RealLibvosk, LoadsAndRefusesAModelDirectoryWithoutAModel) {
    const fs::path real = VANTREL_LIBVOSK_CACHE;
    if (!fs::is_regular_file(real)) GTEST_SKIP() << "the real libvosk.so is not at " << real;
    TempDir dir;
    ScopedEnv env{{"VANTREL_VOICE_DIR", dir.path().string()}};
    fs::create_directories(dir / "lib");
    fs::copy_file(real, dir / "lib/libvosk.so");
    fs::create_directories(dir / "models/en/conf");
    const auto loaded = load_vosk("en");
    ASSERT_FALSE(loaded);
    EXPECT_EQ(voice_text(loaded.error()), "failed to load model " + (dir / "models/en").string());
}

TEST(Program, DoesNotLinkTheSpeechLibrary) {
    std::unique_ptr<FILE, decltype(&pclose)> out(popen("readelf -d '" VANTREL_BINARY "' 2>&1", "r"), pclose);
    ASSERT_TRUE(out);
    std::string text;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, out.get()) != nullptr) text += buffer;
    ASSERT_NE(text.find("(NEEDED)"), std::string::npos) << text;
    EXPECT_EQ(text.find("vosk"), std::string::npos) << text;
}

}  // namespace
}  // namespace vc
