// The window's value rules: button arrangement per status, the texts of the
// progress area, the folder the browser produces, bar widths, and the crash
// report's file name.
#include <gtest/gtest.h>


#include "app/ui/CrashReport.h"
#include "app/ui/SingleInstance.h"
#include "app/ui/WindowRules.h"

using lfapp::DownloadStatus;
using lfui::ButtonChange;
using lfui::ButtonPlan;

namespace {

// 'V' shown, 'H' hidden, '-' unchanged; 'E' enabled, 'D' disabled, '-' unchanged.
std::string Describe(const ButtonChange& c) {
    std::string out;
    out += !c.visible ? '-' : (*c.visible ? 'V' : 'H');
    out += !c.enabled ? '-' : (*c.enabled ? 'E' : 'D');
    return out;
}

std::string Describe(const ButtonPlan& p) {
    return Describe(p.start) + " " + Describe(p.pause) + " " + Describe(p.resume) + " " +
           Describe(p.install) + " " + Describe(p.modify) + " " + Describe(p.view);
}

}  // namespace

TEST(ButtonArrangement, EveryStatusWithAndWithoutLowSpace) {
    struct Case {
        DownloadStatus status;
        bool lowSpace;
        const char* plan;  // start pause continue install modify view
    };
    const Case cases[] = {
        {DownloadStatus::Back, false, "-E -- -- -- -- --"},
        {DownloadStatus::Back, true, "-D -- -- -- -- --"},
        {DownloadStatus::Ready, false, "-- -- -- -- -- --"},
        {DownloadStatus::Ready, true, "-- -- -- -- -- --"},
        {DownloadStatus::Preparing, false, "H- VE -- -- -D --"},
        {DownloadStatus::Preparing, true, "H- VE -- -- -D --"},
        {DownloadStatus::Downloading, false, "-- VE H- -- H- V-"},
        {DownloadStatus::Downloading, true, "-- VD H- -- H- V-"},
        {DownloadStatus::Resume, false, "-- VE H- -- H- V-"},
        {DownloadStatus::Resume, true, "-- VD H- -- H- V-"},
        {DownloadStatus::Pause, false, "-- H- VE -- H- V-"},
        {DownloadStatus::Pause, true, "-- H- VD -- H- V-"},
        {DownloadStatus::Failed, false, "-D -D -D -D H- V-"},
        {DownloadStatus::Finished, false, "H- H- H- VE H- V-"},
        {DownloadStatus::CheckFinished, true, "H- H- H- VE H- V-"},
        {DownloadStatus::Md5Checking, false, "H- H- H- VD H- V-"},
        {DownloadStatus::CheckRecover, false, "H- H- H- VD H- V-"},
        {DownloadStatus::Recover, false, "-- -D -- -- -D --"},
        {DownloadStatus::Reload, true, "-- -D -- -- -D --"},
        {DownloadStatus::Installing, false, "-- -- -- -- -- --"},
        {DownloadStatus::Exited, false, "-- -- -- -- -- --"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Describe(lfui::ArrangeButtons(c.status, c.lowSpace)), c.plan)
            << lfapp::StatusName(c.status) << " lowSpace=" << c.lowSpace;
    }
}

TEST(ProgressTexts, SpeedLabelPercentAndFinalText) {
    using lfui::ProgressLabel;
    using lfui::ProgressPercent;
    using lfui::SpeedAreaText;
    // Downloading: the controller's speed and the overall progress.
    EXPECT_EQ(SpeedAreaText(DownloadStatus::Downloading, "1.5 MB/s", 0, "", 0).text, "1.5 MB/s");
    EXPECT_FALSE(SpeedAreaText(DownloadStatus::Downloading, "1.5 MB/s", 0, "", 0).accent);
    EXPECT_EQ(ProgressLabel(DownloadStatus::Downloading), "当前进度:");
    EXPECT_EQ(ProgressPercent(DownloadStatus::Downloading, 4321, 0, 0), "43.21%");
    EXPECT_EQ(ProgressPercent(DownloadStatus::Pause, 0, 0, 0), "0.00%");
    EXPECT_EQ(ProgressPercent(DownloadStatus::Pause, 10000, 0, 0), "100.00%");
    // Verification.
    EXPECT_EQ(SpeedAreaText(DownloadStatus::Md5Checking, "0 B/s", 0, "", 0).text, "文件验证中...");
    EXPECT_TRUE(SpeedAreaText(DownloadStatus::Md5Checking, "0 B/s", 0, "", 0).accent);
    EXPECT_EQ(ProgressLabel(DownloadStatus::Md5Checking), "验证进度:");
    EXPECT_EQ(ProgressLabel(DownloadStatus::CheckFinished), "验证进度:");
    EXPECT_EQ(ProgressPercent(DownloadStatus::Md5Checking, 10000, 1234, 0), "12.34%");
    // Repair: nothing repaired yet, then alternating text and speed.
    EXPECT_EQ(SpeedAreaText(DownloadStatus::CheckRecover, "", 0, "", 0).text, "修复准备...");
    EXPECT_EQ(ProgressPercent(DownloadStatus::CheckRecover, 10000, 5000, 0), "准备中");
    EXPECT_EQ(ProgressLabel(DownloadStatus::CheckRecover), "修复进度:");
    EXPECT_EQ(ProgressPercent(DownloadStatus::CheckRecover, 10000, 5000, 250), "2.50%");
    int repairing = 0, speeds = 0;
    for (uint32_t n = 0; n < 24; ++n) {
        const std::string t =
            SpeedAreaText(DownloadStatus::CheckRecover, "", 1, "2.0 MB/s", n).text;
        if (t == "修复中...") ++repairing;
        if (t == "2.0 MB/s") ++speeds;
    }
    EXPECT_EQ(repairing, 8);
    EXPECT_EQ(speeds, 16);
    // Final text.
    EXPECT_TRUE(lfui::ShowsFinalText(DownloadStatus::Finished));
    EXPECT_TRUE(lfui::ShowsFinalText(DownloadStatus::Installing));
    EXPECT_FALSE(lfui::ShowsFinalText(DownloadStatus::Md5Checking));
    EXPECT_EQ(lfui::FinalText(DownloadStatus::Finished, false), "下载完成");
    EXPECT_EQ(lfui::FinalText(DownloadStatus::Installing, true), "下载完成");
    EXPECT_EQ(lfui::FinalText(DownloadStatus::CheckFinished, false), "√ 验证通过");
    EXPECT_EQ(lfui::FinalText(DownloadStatus::CheckFinished, true), "√ 修复成功");
}

TEST(ProgressBar, PercentAndFillWidth) {
    EXPECT_EQ(lfui::BarPercent(0), 0);
    EXPECT_EQ(lfui::BarPercent(99), 0);
    EXPECT_EQ(lfui::BarPercent(4321), 43);
    EXPECT_EQ(lfui::BarPercent(10000), 100);
    EXPECT_EQ(lfui::BarPercent(12000), 100);
    EXPECT_EQ(lfui::BarFillWidth(286, 0), 0);
    EXPECT_EQ(lfui::BarFillWidth(286, 1), 2);
    EXPECT_EQ(lfui::BarFillWidth(286, 43), 122);
    EXPECT_EQ(lfui::BarFillWidth(286, 100), 286);
    EXPECT_TRUE(lfui::ShowsVerifyBar(DownloadStatus::CheckRecover));
    EXPECT_FALSE(lfui::ShowsVerifyBar(DownloadStatus::Finished));
}

TEST(SaveFolder, ChosenFolderGetsTheDownloadFolderOnce) {
    struct Case {
        const char* chosen;
        const char* saveFolder;
    };
    const Case cases[] = {
        {"/games", "/games/qarrd160107"},
        {"/games/", "/games/qarrd160107"},
        {"/", "/qarrd160107"},
        {"/mnt/d/Games", "/mnt/d/Games/qarrd160107"},
    };
    for (const Case& c : cases) EXPECT_EQ(lfui::SaveFolderForChoice(c.chosen), c.saveFolder);

    EXPECT_EQ(lfui::BrowseStartFolder("/home/u/Downloads/qarrd160107"), "/home/u/Downloads");
    EXPECT_EQ(lfui::BrowseStartFolder("/qarrd160107"), "/");
    EXPECT_EQ(lfui::BrowseStartFolder("/data/other"), "/data/other");
    EXPECT_EQ(lfui::BrowseStartFolder(""), "");
}

TEST(SaveFolder, FolderButtonByStatus) {
    using lfui::FolderAction;
    EXPECT_EQ(lfui::FolderActionFor(DownloadStatus::Ready), FolderAction::Choose);
    EXPECT_EQ(lfui::FolderActionFor(DownloadStatus::Back), FolderAction::Choose);
    for (auto s : {DownloadStatus::Finished, DownloadStatus::Md5Checking,
                   DownloadStatus::CheckRecover, DownloadStatus::CheckFinished}) {
        EXPECT_EQ(lfui::FolderActionFor(s), FolderAction::ShowInstaller);
    }
    for (auto s : {DownloadStatus::Downloading, DownloadStatus::Pause, DownloadStatus::Failed,
                   DownloadStatus::Installing}) {
        EXPECT_EQ(lfui::FolderActionFor(s), FolderAction::ShowFolder);
    }
}

TEST(CrashReport, DatedName) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 10;
    t.tm_hour = 7;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(lfui::CrashDumpName(t, 7, 3), "2026-12-10-07-05-09-07-03.dmp");
    // Milliseconds keep all their digits.
    EXPECT_EQ(lfui::CrashDumpName(t, 345, 99), "2026-12-10-07-05-09-345-99.dmp");
}

TEST(InstanceMessage, Parse) {
    struct Case {
        std::string bytes;
        bool bring;
        const char* cwd;
    };
    const Case cases[] = {
        {"11025", true, ""},
        {std::string("11025\n/home/u\0junk", 18), true, "/home/u"},
        {std::string("11025\n/a b/c\0", 13), true, "/a b/c"},
        {"11025\n", true, ""},
        {"110250", false, ""},
        {"1102", false, ""},
        {"", false, ""},
        {std::string("\0"
                     "11025",
                     6),
         false, ""},
        {"11026\n/x", false, ""},
    };
    for (const Case& c : cases) {
        std::string cwd = "unchanged";
        EXPECT_EQ(lfui::ParseInstanceMessage(c.bytes, &cwd), c.bring) << c.bytes;
        if (c.bring) {
            EXPECT_EQ(cwd, c.cwd);
        }
    }
}
