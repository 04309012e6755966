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

}  // namespace
