// The terminal program speaks the user's language: English when the locale
// is English, the program's Chinese texts for every other locale (C
// included). One download of the small release per locale, verified and not
// installed; each status the run passes through is checked by one of its
// texts.
#include <gtest/gtest.h>

#include "tests/app/HeadlessFixture.h"

namespace lfapptest {
namespace {

struct Texts {
    const char* ready;          // file status before data arrives
    const char* preparing;      // status in the progress line
    const char* finished;       // status in the progress line
    const char* md5Label;       // progress label once verified
    const char* checkfinished;  // status, and the final text
    const char* verified;
    const char* header;  // version label and save label
    const char* bytes;   // the closing line
};

// md5checking passes too quickly on this release to be seen for sure.
const Texts kChinese = {"未开始    ",
                        "(准备下载)",
                        "(下载完成)",
                        "验证进度:",
                        "(验证通过)",
                        "√ 验证通过",
                        "游戏版本: 2.1.0.40  保存位置: ",
                        "本次下载字节数："};
const Texts kEnglish = {"Not started    ",
                        "(Preparing)",
                        "(Download complete)",
                        "Verified:",
                        "(Verified)",
                        "√ Verified",
                        "Version 2.1.0.40  Save to: ",
                        "Bytes downloaded this time: "};

std::vector<const char*> All(const Texts& t) {
    return {t.ready,         t.preparing, t.finished, t.md5Label,
            t.checkfinished, t.verified,  t.header,   t.bytes};
}

TEST(HeadlessLanguageTest, TextsFollowTheLocale) {
    HeadlessRelease release;
    release.Start(kSmallRelease, "");
    release.SetQuiet(false);
    struct Case {
        const char* lang;
        const Texts& shown;
        const Texts& other;
    };
    const Case cases[] = {
        {"en_US.UTF-8", kEnglish, kChinese},
        {"zh_CN.UTF-8", kChinese, kEnglish},
        {"C", kChinese, kEnglish},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lang);
        release.Forget();
        release.SetEnvironment(
            {std::string("LANG=") + c.lang, "LANGUAGE=", "LC_ALL=", "LC_MESSAGES="});
        RunResult run = release.Run({"--no-install"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(release.AllTargetsMatch());
        for (const char* text : All(c.shown)) {
            EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
        }
        for (const char* text : {c.other.preparing, c.other.finished, c.other.md5Label,
                                 c.other.checkfinished, c.other.bytes}) {
            EXPECT_EQ(run.output.find(text), std::string::npos) << text << "\n" << run.output;
        }
    }
}

}  // namespace
}  // namespace lfapptest
