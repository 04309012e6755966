// The window over the application's real download controller, with its data
// folder in a temporary folder: the start decision of a fresh download, the
// folder choice, the settings dialog's limit, and a remembered "退出程序"
// that makes the next close quit at once.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstdlib>

#include "app/DownloadController.h"
#include "app/ui/ControllerPort.h"
#include "app/ui/DesktopMain.h"
#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/PictureButton.h"
#include "app/ui/SkinListCtrl.h"
#include "tests/support/TestDirs.h"
#include "tests/ui/UiTestSupport.h"

using lfapp::DownloadStatus;
using lfui::CKvoLanternfishUIDlg;

namespace {

// Runs action on the next modal dialog as soon as it is open.
void OnNextModal(std::function<void(QWidget*)> action) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        }
    });
    timer->start();
}

template <typename T>
T* Child(QWidget* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
}

class RealController : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        lfuitest::App();
        home = new lftest::TempDir;
        const std::string downloads = *home / "Downloads";
        lftest::Run("mkdir -p '" + downloads + "' '" + (*home / "games") + "'");
        setenv("LANTERNFISH_DATA_HOME", (*home / "data").c_str(), 1);
        setenv("XDG_DOWNLOAD_DIR", downloads.c_str(), 1);
        // Nothing listens on these: the resource list and the statistics
        // server are simply unreachable.
        const std::string closed = "http://127.0.0.1:" + std::to_string(lftest::FreeTcpPort());
        setenv("LANTERNFISH_RESOURCE_LIST_URL", (closed + "/list.xml").c_str(), 1);
        setenv("LANTERNFISH_STATS_SERVER", (closed + "/").c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete home;
        home = nullptr;
    }

    std::unique_ptr<CKvoLanternfishUIDlg> Make() {
        auto port = lfui::MakeControllerPort([this](lfapp::CDownloadController& c) {
            c.Settings().mapPort = false;
            real = &c;
        });
        return std::make_unique<CKvoLanternfishUIDlg>(std::move(port));
    }

    static lftest::TempDir* home;
    lfapp::CDownloadController* real = nullptr;
};
lftest::TempDir* RealController::home = nullptr;

TEST_F(RealController, FreshStartFolderChoiceAndSpeedLimit) {
    auto w = Make();
    ASSERT_TRUE(w->Start());
    w->show();
    EXPECT_TRUE(w->Button(lfui::kStartButton)->isVisible());
    EXPECT_EQ(w->DisplayedSaveFolder().toStdString(), *home / "Downloads/qarrd160107");
    w->OnPoll();
    EXPECT_EQ(w->CachedStatus(), DownloadStatus::Ready);
    EXPECT_EQ(w->FileList()->rowCount(), 8);

    // The folder browser's choice goes to the controller.
    QString started;
    w->Hooks().chooseFolder = [&](const QString&, const QString& start) {
        started = start;
        return QString::fromStdString(*home / "games");
    };
    w->Button(lfui::kModifyButton)->click();
    EXPECT_EQ(started.toStdString(), *home / "Downloads");
    EXPECT_EQ(real->SaveFolder(), *home / "games/qarrd160107");
    EXPECT_EQ(w->DisplayedSaveFolder().toStdString(), *home / "games/qarrd160107");

    // The settings dialog: a limit of 10 KB/s reaches the controller.
    OnNextModal([](QWidget* dialog) {
        Child<QCheckBox>(dialog, "check1015")->click();
        Child<QLineEdit>(dialog, "edit1022")->setText("10");
        Child<QPushButton>(dialog, "button1029")->click();
    });
    w->Button(lfui::kSettingsButton)->click();
    QTest::qWait(50);  // the notifications are posted
    EXPECT_EQ(real->SpeedLimit(), 10);
    EXPECT_EQ(CKvoLanternfishUIDlg::Settings().speedLimit, 10);
    // Clearing it sends 0, the controller's no-limit value.
    OnNextModal([](QWidget* dialog) {
        Child<QCheckBox>(dialog, "check1015")->click();
        Child<QPushButton>(dialog, "button1029")->click();
    });
    w->Button(lfui::kSettingsButton)->click();
    QTest::qWait(50);
    EXPECT_EQ(CKvoLanternfishUIDlg::Settings().speedLimit, 0);
    EXPECT_TRUE(real->SpeedLimit() == 0 || real->SpeedLimit() == lfapp::kNoSpeedLimit)
        << real->SpeedLimit();
}

// The window started as `lanternfish --save DIR --limit 5000 --shutdown`
// shows and uses that folder, and its settings dialog starts from the limit.
TEST_F(RealController, CommandLineOptionsReachTheWindow) {
    lfapp::StartOptions options;
    options.saveFolder = *home / "cli/qarrd160107";
    options.speedLimitKiB = 5000;
    options.shutdown = true;
    auto port = lfui::MakeDesktopController(options, [this](lfapp::CDownloadController& c) {
        c.Settings().mapPort = false;
        real = &c;
    });
    auto w = std::make_unique<CKvoLanternfishUIDlg>(std::move(port));
    ASSERT_TRUE(w->Start());
    EXPECT_EQ(w->DisplayedSaveFolder().toStdString(), options.saveFolder);
    EXPECT_EQ(real->SaveFolder(), options.saveFolder);
    EXPECT_EQ(real->SpeedLimit(), 5000);
    EXPECT_EQ(CKvoLanternfishUIDlg::Settings().speedLimit, 5000);
    EXPECT_EQ(CKvoLanternfishUIDlg::Settings().autoShutdown, 1);
    w->DestroyWindow();
    CKvoLanternfishUIDlg::Settings() = lfui::DownloadSettings{};
}

TEST_F(RealController, RememberedQuitClosesAtOnce) {
    {
        auto w = Make();
        ASSERT_TRUE(w->Start());
        w->show();
        OnNextModal([](QWidget* dialog) {
            Child<QRadioButton>(dialog, "radio1036")->click();
            Child<QCheckBox>(dialog, "check1040")->click();
            Child<QPushButton>(dialog, "button1044")->click();
        });
        w->Button(lfui::kCloseButton)->click();
        EXPECT_TRUE(w->Destroyed());
        const std::string ini = lftest::ReadFile(real->TaskIniFile());
        EXPECT_NE(ini.find("LanternfishCloseSelection=2"), std::string::npos) << ini;
    }
    {
        auto w = Make();
        ASSERT_TRUE(w->Start());
        w->show();
        // A fresh download still: only the close choice is stored.
        EXPECT_TRUE(w->Button(lfui::kStartButton)->isVisible());
        int dialogs = 0;
        w->Hooks().runCloseDialog = [&] {
            ++dialogs;
            return 0;
        };
        w->Button(lfui::kCloseButton)->click();
        EXPECT_EQ(dialogs, 0);
        EXPECT_TRUE(w->Destroyed());
        EXPECT_TRUE(real->UserExit());
    }
}

TEST_F(RealController, InstallerLaunchClosesTheWindow) {
    // The installer is "opened" by a command that succeeds at once.
    setenv("LANTERNFISH_OPEN_COMMAND", "/bin/true", 1);
    auto w = Make();
    unsetenv("LANTERNFISH_OPEN_COMMAND");
    ASSERT_TRUE(w->Start());
    w->show();
    const std::string folder = *home / "games/qarrd160107";
    lftest::Run("mkdir -p '" + folder + "'");
    real->SetSaveFolder(folder);
    lftest::WriteFile(folder + "/" + real->Release().Entrance(), "installer");
    real->LaunchInstaller(false);
    // The controller asks the window to close; it does so from its own loop.
    for (int i = 0; i < 500 && !w->Destroyed(); ++i) QTest::qWait(10);
    EXPECT_TRUE(w->Destroyed());
    EXPECT_TRUE(real->InstallerExit());
    EXPECT_FALSE(w->TimersRunning());
}

}  // namespace
