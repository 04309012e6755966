// The language follows the locale; the English translation covers every
// text the sources mark, and the translators change the shown texts only.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <map>
#include <regex>
#include <string>

#include "app/StatusTexts.h"
#include "app/Translation.h"
#include "tests/support/TestDirs.h"

namespace {

using lfapp::UiLanguage;

TEST(UiLanguage, FollowsLanguageThenLcAllLcMessagesLang) {
    struct Case {
        std::map<std::string, std::string> env;
        UiLanguage expected;
    };
    const UiLanguage en = UiLanguage::English, zh = UiLanguage::Chinese;
    const Case cases[] = {
        {{}, zh},
        {{{"LANG", "C"}}, zh},
        {{{"LANG", "POSIX"}}, zh},
        {{{"LANG", "C.UTF-8"}}, zh},
        {{{"LANG", "en_US.UTF-8"}}, en},
        {{{"LANG", "en"}}, en},
        {{{"LANG", "en_GB@euro"}}, en},
        {{{"LANG", "zh_CN.UTF-8"}}, zh},
        {{{"LANG", "de_DE.UTF-8"}}, zh},
        {{{"LANG", "eng"}}, zh},  // not a language code of English
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "zh_CN.UTF-8"}}, zh},
        {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, en},
        {{{"LC_MESSAGES", "zh_CN.UTF-8"}, {"LC_ALL", "en_US.UTF-8"}}, en},
        {{{"LC_ALL", "C"}, {"LANG", "en_US.UTF-8"}}, zh},
        {{{"LC_ALL", ""}, {"LANG", "en_US.UTF-8"}}, en},  // empty counts as unset
        {{{"LANGUAGE", "en_GB:zh_CN"}, {"LANG", "zh_CN.UTF-8"}}, en},
        {{{"LANGUAGE", "zh_CN:en"}, {"LANG", "en_US.UTF-8"}}, zh},
        {{{"LANGUAGE", "fr:en"}, {"LANG", "fr_FR.UTF-8"}}, en},  // first one we have
        {{{"LANGUAGE", "fr:de"}, {"LANG", "en_US.UTF-8"}}, en},  // none we have: the locale
        {{{"LANGUAGE", ""}, {"LC_ALL", "en_US.UTF-8"}}, en},
    };
    for (const Case& c : cases) {
        std::string described;
        for (const auto& [k, v] : c.env) described += k + "=" + v + " ";
        const UiLanguage got = lfapp::LanguageFromEnvironment([&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        });
        EXPECT_EQ(got, c.expected) << described;
    }
}

// lupdate over the sources into a copy of the .ts: a text marked in the
// sources but missing from the file shows up as unfinished, as does one
// left untranslated in it.
TEST(EnglishTranslation, HasEveryMarkedTextTranslated) {
    lftest::TempDir dir;
    const std::string ts = dir / "lanternfish_en.ts";
    lftest::WriteFile(ts,
                      lftest::ReadFile(std::string(LF_SOURCE_DIR) + "/app/i18n/lanternfish_en.ts"));
    const std::string out = lftest::Capture(std::string(LF_LUPDATE) + " -I " + LF_SOURCE_DIR +
                                            " -locations none -no-obsolete " + LF_SOURCE_DIR +
                                            "/app -ts " + ts + " 2>&1");
    const std::string text = lftest::ReadFile(ts);
    ASSERT_NE(text.find("<TS version"), std::string::npos) << out;
    EXPECT_NE(text.find("sourcelanguage=\"zh_CN\""), std::string::npos);
    EXPECT_NE(text.find("language=\"en\""), std::string::npos);
    std::string unfinished;
    static const std::regex message(R"(<source>([^<]*)</source>\s*<translation type="unfinished")");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), message);
         it != std::sregex_iterator(); ++it) {
        unfinished += (*it)[1].str() + "\n";
    }
    EXPECT_EQ(unfinished, "") << "texts without an English translation (run the "
                                 "lf_update_translations target and translate them)\n"
                              << out;
    EXPECT_EQ(text.find("<translation></translation>"), std::string::npos);
}

TEST(EnglishTranslation, ReplacesTheShownTextsOnly) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    // Before installing: the texts as written.
    EXPECT_EQ(lfapp::StatusText(lfapp::DownloadStatus::Md5Checking), "验证中");
    ASSERT_TRUE(lfapp::InstallTranslations(UiLanguage::English));
    struct Case {
        std::string got, expected;
    };
    const Case cases[] = {
        {lfapp::StatusText(lfapp::DownloadStatus::Md5Checking), "Verifying"},
        {lfapp::ProgressLabel(lfapp::DownloadStatus::CheckRecover), "Repaired:"},
        {lfapp::FinalText(lfapp::DownloadStatus::CheckFinished, true), "√ Repaired"},
        {lfapp::TranslateKnown("Message", "网络错误"), "Network error"},
        // A text from elsewhere (the resource list) is shown as it came.
        {lfapp::TranslateKnown("Message", "这个版本已经停止下载"), "这个版本已经停止下载"},
        {lfapp::TranslateKnown("Status", "网络错误"), "网络错误"},  // wrong context
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

// A translation may put the markers in another order; each value goes to
// its own marker, and a marker the text lacks is skipped.
TEST(EnglishTranslation, ArgumentsFollowTheirMarkers) {
    EXPECT_EQ(lfapp::WithArguments("in %2 by %1", {"pid 7", "/games"}), "in /games by pid 7");
    EXPECT_EQ(lfapp::WithArguments("目录 %1", {"/games", "7"}), "目录 /games");
}

}  // namespace
