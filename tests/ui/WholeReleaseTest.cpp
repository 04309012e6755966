// The whole release through the window, as a user would do it: a small
// release served from loopback (nginx), Start pressed, the download runs on
// the window's own timers, Install pressed, the verification question
// answered Yes, every file verified, the installer opened and the window
// closed with the installer's exit record.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>

#include "app/DownloadController.h"
#include "app/ReleaseResources.h"
#include "app/ui/ControllerPort.h"
#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/PictureButton.h"
#include "tests/app/HeadlessFixture.h"
#include "tests/ui/UiTestSupport.h"

using lfapp::DownloadStatus;

namespace {

// Answers the next message box with `which` as soon as it is open.
void AnswerNextBox(QMessageBox::StandardButton which, bool* asked) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, which, asked] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            *asked = true;
            box->button(which)->click();
        }
    });
    timer->start();
}

template <typename Pred>
bool WaitFor(Pred done, int seconds) {
    for (int i = 0; i < seconds * 20 && !done(); ++i) QTest::qWait(50);
    return done();
}

TEST(WholeRelease, DownloadVerifyInstallThroughTheWindow) {
    lfuitest::App();
    lfapptest::HeadlessRelease release;
    release.Start(lfapptest::kSmallRelease, lfapptest::ResourceList("false", 0, ""));
    const std::string home = release.Dir() / "window";
    lftest::Run("mkdir -p '" + home + "/Downloads'");
    setenv("LANTERNFISH_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_DOWNLOAD_DIR", (home + "/Downloads").c_str(), 1);
    setenv("LANTERNFISH_OPEN_COMMAND", (release.Dir() / "installer.sh").c_str(), 1);
    std::string error;
    ASSERT_TRUE(lfapp::UseReleaseFolder(release.Dir() / "release", &error)) << error;

    lfapp::CDownloadController* real = nullptr;
    auto port = lfui::MakeControllerPort([&](lfapp::CDownloadController& c) {
        c.Settings().mapPort = false;
        real = &c;
    });
    auto w = std::make_unique<lfui::CKvoLanternfishUIDlg>(std::move(port));
    ASSERT_TRUE(w->Start());
    w->show();
    ASSERT_NE(real, nullptr);
    EXPECT_TRUE(w->Button(lfui::kStartButton)->isVisible());

    // Start: the window's timers drive the download to its end.
    w->Button(lfui::kStartButton)->click();
    EXPECT_TRUE(w->Button(lfui::kPauseButton)->isVisible());
    ASSERT_TRUE(WaitFor([&] { return real->Status() == DownloadStatus::Finished; }, 120))
        << lfapp::StatusName(real->Status());
    ASSERT_TRUE(WaitFor([&] { return w->Button(lfui::kInstallButton)->isVisible(); }, 5));

    // Install, "是否验证安装文件的正确性？" answered Yes: verification, then the
    // installer is opened and the window closes.
    bool asked = false;
    AnswerNextBox(QMessageBox::Yes, &asked);
    w->Button(lfui::kInstallButton)->click();
    EXPECT_TRUE(asked);
    ASSERT_TRUE(WaitFor([&] { return w->Destroyed(); }, 60)) << lfapp::StatusName(real->Status());
    EXPECT_TRUE(real->InstallerExit());
    EXPECT_FALSE(real->Repaired());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lfapptest::Md5OfFile(real->SaveFolder() + "/" + lfapptest::kReleaseFileNames[i]),
                  release.Md5(i))
            << i;
    }
    EXPECT_EQ(lftest::ReadFile(release.InstallerMarker()),
              real->SaveFolder() + "/" + lfapptest::kReleaseFileNames[0] + "\n");
    const std::string ini = lftest::ReadFile(real->TaskIniFile());
    EXPECT_NE(ini.find("LanternfishTaskIsComplete=COMPLETE"), std::string::npos) << ini;
    const std::string stats = release.Statistics();
    for (const char* code : {"11010000", "11060000", "11070000", "11100001", "11100004"}) {
        EXPECT_NE(stats.find(code), std::string::npos) << code;
    }
}

}  // namespace
