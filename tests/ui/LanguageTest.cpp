// The window's dialogs and message boxes in both languages on the offscreen
// platform: the program's texts and Qt's standard buttons follow the
// installed language, every text fits its control at the dialogs' fixed
// sizes, and the boxes carry the window's colours.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTranslator>

#include "app/DownloadController.h"
#include "app/Translation.h"
#include "app/ui/ExitWndSetDlg.h"
#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/MessageBox.h"
#include "app/ui/ScriptedController.h"
#include "app/ui/SettingsDlg.h"
#include "tests/ui/UiTestSupport.h"

namespace {

using lfapp::UiLanguage;

void UseLanguage(UiLanguage language) {
    for (QTranslator* t : lfuitest::App().findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
    ASSERT_TRUE(lfapp::InstallTranslations(language));
}

// Every visible text control is at least as wide as its text needs.
void ExpectTextsFit(QWidget& dialog) {
    dialog.show();
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w)) text = button->text();
        if (text.isEmpty()) continue;
        EXPECT_LE(w->sizeHint().width(), w->width())
            << text.toStdString() << " is clipped in " << dialog.objectName().toStdString();
    }
    if (auto* group = dialog.findChild<QGroupBox*>()) {
        EXPECT_LE(group->fontMetrics().horizontalAdvance(group->title()) + 16, group->width());
    }
    dialog.hide();
}

TEST(Language, DialogsAndBoxesFollowTheInstalledLanguage) {
    struct Case {
        UiLanguage language;
        const char* question;
        const char* yes;
        const char* no;
        const char* caption;
        const char* limit;
        const char* quit;
    };
    const Case cases[] = {
        {UiLanguage::Chinese, "是否验证安装文件的正确性？", "是(&Y)", "否(&N)", "Moonvale下载器",
         "下载速度限制:", "退出程序"},
        {UiLanguage::English, "Verify the installation files before installing?", "&Yes", "&No",
         "Moonvale Downloader", "Speed limit:", "Quit the program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        UseLanguage(c.language);
        std::unique_ptr<QMessageBox> box(lfui::NewMessageBox(nullptr, "是否验证安装文件的正确性？",
                                                             lfapp::kMessageCaption,
                                                             QMessageBox::Yes | QMessageBox::No));
        EXPECT_EQ(box->text().toStdString(), c.question);
        EXPECT_EQ(box->windowTitle().toStdString(), c.caption);
        EXPECT_EQ(box->button(QMessageBox::Yes)->text().toStdString(), c.yes);
        EXPECT_EQ(box->button(QMessageBox::No)->text().toStdString(), c.no);
        EXPECT_EQ(box->palette().color(QPalette::Window),
                  lfui::WindowPalette().color(QPalette::Window));

        lfui::DownloadSettings settings{0, 0, 1};
        lfui::CSettingsDlg settingsDialog(settings);
        EXPECT_EQ(settingsDialog.findChild<QCheckBox*>("check1015")->text().toStdString(), c.limit);
        ExpectTextsFit(settingsDialog);
        lfui::CExitWndSetDlg closeDialog;
        EXPECT_EQ(closeDialog.findChild<QRadioButton*>("radio1036")->text().toStdString(), c.quit);
        ExpectTextsFit(closeDialog);
    }
}

// The window's painted texts and the file list's status texts have room
// enough in both languages, in every status and at the widest values
// (100.00%, the fastest speeds, the longest size text of the release).
TEST(Language, WindowTextsFitTheirPlaces) {
    using lfapp::DownloadStatus;
    using S = DownloadStatus;
    struct Case {
        DownloadStatus status;
        uint32_t repair;
        bool repaired;
    };
    const Case cases[] = {{S::Back, 0, false},         {S::Ready, 0, false},
                          {S::Preparing, 0, false},    {S::Downloading, 0, false},
                          {S::Pause, 0, false},        {S::Failed, 0, false},
                          {S::Finished, 0, false},     {S::Md5Checking, 0, false},
                          {S::CheckRecover, 0, false}, {S::CheckRecover, 10000, false},
                          {S::CheckFinished, 0, true}, {S::CheckFinished, 0, false},
                          {S::Installing, 0, false},   {S::Reload, 0, false}};
    // Every per-file status text, at the widest percentage.
    const char* const fileTexts[] = {"待验证    ",   "√ 验证通过  ", "准备修复.. ",
                                     "√ 下载完成  ", "准备下载    ", "未开始    "};
    for (UiLanguage language : {UiLanguage::Chinese, UiLanguage::English}) {
        UseLanguage(language);
        SCOPED_TRACE(language == UiLanguage::English ? "English" : "Chinese");
        for (const Case& c : cases) {
            SCOPED_TRACE(lfapp::StatusName(c.status));
            lfui::ScriptedState state;
            state.initialiseResult = 1;
            state.status = c.status;
            state.speed = "1023.9 MB/s";
            state.size = "1023.9 MB/2.1 GB";  // the release is 2.1 GB
            state.peers = lfapp::translate("Status", "对等端") + " 9999 (100%)";
            state.repairSpeed = "1023.9 KB/s";
            state.overall = state.verify = 10000;
            state.repair = c.repair;
            state.repaired = c.repaired;
            for (std::string& text : state.statusTexts) text = "100.00%    ";
            lfui::CKvoLanternfishUIDlg window(std::make_unique<lfui::ScriptedController>(state));
            ASSERT_TRUE(window.Start());
            const QFontMetrics metrics(window.TextFont());
            // The repair area alternates between a text and the speed.
            for (int tick = 0; tick < 12; ++tick) {
                window.OnPoll();
                window.OnTick();
                for (const auto& t : window.PaintedTexts()) {
                    EXPECT_LE(metrics.horizontalAdvance(t.text), t.room.width())
                        << t.name << ": \"" << t.text.toStdString() << "\"";
                }
            }
            // Column 1 of the list: 128 pixels with a 10-pixel inset.
            std::vector<std::string> files;
            for (const char* text : fileTexts) files.push_back(lfapp::translate("Status", text));
            files.push_back(lfapp::translate("Status", "验证中：") + "100.00%  ");
            files.push_back(lfapp::translate("Status", "修复中：") + "100.00%  ");
            for (const std::string& text : files) {
                EXPECT_LE(metrics.horizontalAdvance(QString::fromStdString(text)) + 10, 128)
                    << "file list: \"" << text << "\"";
            }
        }
    }
}

}  // namespace
