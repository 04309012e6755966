// The settings and close dialogs on the offscreen platform.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "app/ui/ExitWndSetDlg.h"
#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/SettingsDlg.h"
#include "tests/ui/UiTestSupport.h"

using lfui::CExitWndSetDlg;
using lfui::CSettingsDlg;
using lfui::DownloadSettings;

namespace {

template <typename T>
T* Child(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

struct SettingsDialog {
    explicit SettingsDialog(DownloadSettings& settings) : dialog(settings) {
        dialog.show();
        limit = Child<QCheckBox>(dialog, "check1015");
        value = Child<QLineEdit>(dialog, "edit1022");
        shutdown = Child<QCheckBox>(dialog, "check1040");
        p2p = Child<QCheckBox>(dialog, "check1041");
        apply = Child<QPushButton>(dialog, "button1029");
        cancel = Child<QPushButton>(dialog, "button2");
    }
    CSettingsDlg dialog;
    QCheckBox* limit;
    QLineEdit* value;
    QCheckBox* shutdown;
    QCheckBox* p2p;
    QPushButton* apply;
    QPushButton* cancel;
};

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override { lfuitest::App(); }
};

TEST_F(Dialogs, SettingsOpenWithoutLimit) {
    DownloadSettings settings;
    SettingsDialog d(settings);
    EXPECT_EQ(d.dialog.windowTitle(), QString("下载设置"));
    EXPECT_FALSE(d.limit->isChecked());
    EXPECT_EQ(d.value->text(), QString("无限制"));
    EXPECT_FALSE(d.value->isEnabled());
    EXPECT_FALSE(d.p2p->isVisible());
    EXPECT_TRUE(d.p2p->isChecked());  // the P2P choice starts on
    // Checking the box shows 200; clearing it shows "无限制" again.
    QTest::mouseClick(d.limit, Qt::LeftButton);
    EXPECT_TRUE(d.value->isEnabled());
    EXPECT_EQ(d.value->text(), QString("200"));
    QTest::mouseClick(d.limit, Qt::LeftButton);
    EXPECT_EQ(d.value->text(), QString("无限制"));
    EXPECT_FALSE(d.value->isEnabled());
}

TEST_F(Dialogs, SettingsOpenWithRememberedValues) {
    DownloadSettings settings{500, 1, 0};
    SettingsDialog d(settings);
    EXPECT_TRUE(d.limit->isChecked());
    EXPECT_TRUE(d.value->isEnabled());
    EXPECT_EQ(d.value->text(), QString("500"));
    EXPECT_TRUE(d.shutdown->isChecked());
    EXPECT_FALSE(d.p2p->isChecked());
    // The up-down steps by one inside 10..30000.
    QTest::mouseClick(d.dialog.findChild<QToolButton*>("up1023"), Qt::LeftButton);
    EXPECT_EQ(d.value->text(), QString("501"));
    d.value->setText("30000");
    QTest::mouseClick(d.dialog.findChild<QToolButton*>("up1023"), Qt::LeftButton);
    EXPECT_EQ(d.value->text(), QString("30000"));
}

TEST_F(Dialogs, SettingsLimitRange) {
    struct Case {
        const char* text;
        int accepted;  // -1 refused
    };
    const Case cases[] = {{"9", -1},  {"30001", -1},    {"abc", -1},   {"", -1},
                          {"10", 10}, {"30000", 30000}, {" 200 ", 200}};
    for (const Case& c : cases) {
        lfuitest::MessageRecorder messages;
        DownloadSettings settings{100, 0, 1};
        SettingsDialog d(settings);
        QSignalSpy limit(&d.dialog, &CSettingsDlg::speedLimitChosen);
        QSignalSpy shutdown(&d.dialog, &CSettingsDlg::autoShutdownChosen);
        d.value->setText(QString::fromLatin1(c.text));
        QTest::mouseClick(d.apply, Qt::LeftButton);
        if (c.accepted < 0) {
            EXPECT_TRUE(messages.WaitFor(
                "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"))
                << c.text;
            EXPECT_EQ(messages.Messages().at(0).caption, "警告");
            EXPECT_EQ(limit.count(), 0) << c.text;
            EXPECT_EQ(shutdown.count(), 0) << c.text;
            EXPECT_TRUE(d.dialog.isVisible()) << c.text;
            EXPECT_EQ(settings.speedLimit, 100);
        } else {
            ASSERT_EQ(limit.count(), 1) << c.text;
            EXPECT_EQ(limit.at(0).at(0).toInt(), c.accepted);
            EXPECT_EQ(shutdown.count(), 1);
            EXPECT_EQ(d.dialog.result(), QDialog::Accepted);
        }
    }
}

TEST_F(Dialogs, SettingsClearingSendsZeroAndShutdownChoice) {
    DownloadSettings settings{800, 0, 1};
    SettingsDialog d(settings);
    QSignalSpy limit(&d.dialog, &CSettingsDlg::speedLimitChosen);
    QTest::mouseClick(d.limit, Qt::LeftButton);  // clear
    QTest::mouseClick(d.shutdown, Qt::LeftButton);
    QTest::mouseClick(d.apply, Qt::LeftButton);
    ASSERT_EQ(limit.count(), 1);
    EXPECT_EQ(limit.at(0).at(0).toInt(), 0);
    EXPECT_EQ(settings.speedLimit, 0);
    EXPECT_EQ(settings.autoShutdown, 1);
    EXPECT_EQ(settings.p2p, 1);
}

TEST_F(Dialogs, SettingsCancelChangesNothing) {
    DownloadSettings settings{800, 0, 1};
    SettingsDialog d(settings);
    QSignalSpy limit(&d.dialog, &CSettingsDlg::speedLimitChosen);
    QTest::mouseClick(d.limit, Qt::LeftButton);
    QTest::mouseClick(d.shutdown, Qt::LeftButton);
    QTest::mouseClick(d.cancel, Qt::LeftButton);
    EXPECT_EQ(limit.count(), 0);
    EXPECT_EQ(settings.speedLimit, 800);
    EXPECT_EQ(settings.autoShutdown, 0);
    EXPECT_EQ(d.dialog.result(), QDialog::Rejected);
}

TEST_F(Dialogs, CloseDialogChoices) {
    struct Case {
        bool quit;
        bool remember;
        int choice;
        int remembered;  // 0 = no notification
    };
    const Case cases[] = {
        {false, false, 1, 0}, {true, false, 2, 0}, {false, true, 1, 1}, {true, true, 2, 2}};
    for (const Case& c : cases) {
        CExitWndSetDlg dialog;
        QSignalSpy remembered(&dialog, &CExitWndSetDlg::closeChoiceRemembered);
        dialog.show();
        EXPECT_EQ(dialog.windowTitle(), QString("关闭"));
        auto* tray = Child<QRadioButton>(dialog, "radio1035");
        auto* quit = Child<QRadioButton>(dialog, "radio1036");
        EXPECT_TRUE(tray->isChecked());
        if (c.quit) QTest::mouseClick(quit, Qt::LeftButton, {}, QPoint(8, quit->height() / 2));
        if (c.remember) QTest::mouseClick(Child<QCheckBox>(dialog, "check1040"), Qt::LeftButton);
        QTest::mouseClick(Child<QPushButton>(dialog, "button1044"), Qt::LeftButton);
        EXPECT_EQ(dialog.Choice(), c.choice);
        if (c.remembered == 0) {
            EXPECT_EQ(remembered.count(), 0);
        } else {
            ASSERT_EQ(remembered.count(), 1);
            EXPECT_EQ(remembered.at(0).at(0).toInt(), c.remembered);
        }
    }
    // Dismissed another way: 0.
    CExitWndSetDlg dialog;
    dialog.show();
    dialog.reject();
    EXPECT_EQ(dialog.Choice(), 0);
}

}  // namespace
