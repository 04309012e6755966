// The main window on the offscreen platform, driven by a scripted
// controller: start decision, buttons by status, the folder button, the
// list toggle, texts, timers and the close handling.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>

#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/PictureButton.h"
#include "app/ui/ScriptedController.h"
#include "app/ui/SkinListCtrl.h"
#include "tests/support/TestDirs.h"
#include "tests/ui/UiTestSupport.h"

using lfapp::DownloadStatus;
using lfui::CKvoLanternfishUIDlg;
using FakeController = lfui::ScriptedController;
using FakeState = lfui::ScriptedState;

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        lfuitest::App();
        CKvoLanternfishUIDlg::Settings() = lfui::DownloadSettings{};
    }

    // A window over the scripted state; Start() is left to the test.
    std::unique_ptr<CKvoLanternfishUIDlg> Make() {
        auto w = std::make_unique<CKvoLanternfishUIDlg>(std::make_unique<FakeController>(state));
        w->Hooks().chooseFolder = [this](const QString& title, const QString& start) {
            browserTitle = title;
            browserStart = start;
            return chosen;
        };
        w->Hooks().showInFileManager = [this](const QString& path, bool isFile) {
            shown.push_back({path, isFile});
        };
        w->Hooks().modalMessage = [this](const QString& text, const QString&) {
            modal.push_back(text);
        };
        w->Hooks().openUrl = [this](const QString& url) { opened.push_back(url); };
        w->Hooks().runCloseDialog = [this]() {
            ++closeDialogs;
            return closeDialogAnswer;
        };
        return w;
    }

    std::unique_ptr<CKvoLanternfishUIDlg> Started() {
        auto w = Make();
        EXPECT_TRUE(w->Start());
        w->show();
        return w;
    }

    static bool Visible(CKvoLanternfishUIDlg& w, int id) { return w.Button(id)->isVisible(); }
    static bool Enabled(CKvoLanternfishUIDlg& w, int id) { return w.Button(id)->isEnabled(); }

    void PollAs(CKvoLanternfishUIDlg& w, DownloadStatus status, bool lowSpace = false) {
        state.status = status;
        state.lowSpace = lowSpace;
        w.OnPoll();
    }

    FakeState state;
    QString chosen, browserTitle, browserStart;
    std::vector<std::pair<QString, bool>> shown;
    std::vector<QString> modal, opened;
    int closeDialogs = 0;
    int closeDialogAnswer = 0;
};

TEST_F(MainWindow, StartDecision) {
    {
        state.initialiseResult = 0;
        auto w = Started();
        EXPECT_EQ(w->size(), QSize(411, 307));
        EXPECT_EQ(w->windowTitle(), QString("Moonvale下载器"));
        EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
        EXPECT_TRUE(Visible(*w, lfui::kStartButton));
        EXPECT_FALSE(Visible(*w, lfui::kPauseButton));
        EXPECT_FALSE(Visible(*w, lfui::kContinueButton));
        EXPECT_FALSE(Visible(*w, lfui::kInstallButton));
        EXPECT_TRUE(Visible(*w, lfui::kModifyButton));
        EXPECT_FALSE(Visible(*w, lfui::kViewButton));
        EXPECT_TRUE(w->TimersRunning());
        EXPECT_EQ(w->DisplayedSaveFolder(), QString("/home/user/Downloads/qarrd160107"));
        EXPECT_EQ(state.destroyedCalls, 0);
    }
    {
        state = FakeState{};
        state.initialiseResult = 1;
        auto w = Started();
        EXPECT_TRUE(Visible(*w, lfui::kPauseButton));
        EXPECT_FALSE(Visible(*w, lfui::kStartButton));
        EXPECT_TRUE(w->TimersRunning());
    }
    {
        state = FakeState{};
        state.initialiseResult = -2;
        state.startFailure = "LFconf资源释放失败：无法写入 /data/dataupload.lfconf 或临时文件夹";
        auto w = Make();
        EXPECT_FALSE(w->Start());
        EXPECT_TRUE(w->Destroyed());
        // Not a silent end, and not a user's click: a box says what failed.
        EXPECT_FALSE(state.userExit);
        EXPECT_EQ(state.programExit, "启动失败");
        ASSERT_EQ(modal.size(), 1u);
        EXPECT_EQ(modal[0], QString::fromStdString(state.startFailure));
        EXPECT_EQ(w->StartExitCode(), 1);
        EXPECT_EQ(state.destroyedCalls, 1);
        EXPECT_FALSE(w->TimersRunning());
    }
    {
        state = FakeState{};
        modal.clear();
        state.expiry = {true, "此版本已停止下载", "https://example.invalid/new"};
        auto w = Make();
        EXPECT_FALSE(w->Start());
        ASSERT_EQ(modal.size(), 1u);
        EXPECT_EQ(modal[0], QString("此版本已停止下载"));
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0], QString("https://example.invalid/new"));
        EXPECT_EQ(state.programExit, "发布包已停用");
        EXPECT_EQ(w->StartExitCode(), 2);
        EXPECT_EQ(state.destroyedCalls, 1);
    }
}

TEST_F(MainWindow, ButtonsFollowTheStatus) {
    auto w = Started();
    // Start from ready: pressing Start shows pause and hides start.
    QTest::mouseClick(w->Button(lfui::kStartButton), Qt::LeftButton);
    EXPECT_EQ(state.mainActions, 1);
    EXPECT_TRUE(Visible(*w, lfui::kPauseButton));
    EXPECT_FALSE(Visible(*w, lfui::kStartButton));

    PollAs(*w, DownloadStatus::Preparing);
    EXPECT_TRUE(Visible(*w, lfui::kPauseButton) && Enabled(*w, lfui::kPauseButton));
    EXPECT_FALSE(Enabled(*w, lfui::kModifyButton));

    PollAs(*w, DownloadStatus::Downloading);
    EXPECT_FALSE(Visible(*w, lfui::kModifyButton));
    EXPECT_TRUE(Visible(*w, lfui::kViewButton));
    QTest::mouseClick(w->Button(lfui::kPauseButton), Qt::LeftButton);
    EXPECT_EQ(state.mainActions, 2);

    PollAs(*w, DownloadStatus::Pause);
    EXPECT_FALSE(Visible(*w, lfui::kPauseButton));
    EXPECT_TRUE(Visible(*w, lfui::kContinueButton) && Enabled(*w, lfui::kContinueButton));
    // Low space in pause: continue shown but disabled; only the flag changed.
    PollAs(*w, DownloadStatus::Pause, true);
    EXPECT_TRUE(Visible(*w, lfui::kContinueButton));
    EXPECT_FALSE(Enabled(*w, lfui::kContinueButton));
    PollAs(*w, DownloadStatus::Pause, false);
    QTest::mouseClick(w->Button(lfui::kContinueButton), Qt::LeftButton);
    EXPECT_EQ(state.mainActions, 3);

    PollAs(*w, DownloadStatus::Resume);
    EXPECT_FALSE(Visible(*w, lfui::kContinueButton));
    EXPECT_TRUE(Visible(*w, lfui::kPauseButton));

    PollAs(*w, DownloadStatus::Finished);
    for (int id : {lfui::kStartButton, lfui::kPauseButton, lfui::kContinueButton}) {
        EXPECT_FALSE(Visible(*w, id)) << id;
    }
    EXPECT_TRUE(Visible(*w, lfui::kInstallButton) && Enabled(*w, lfui::kInstallButton));
    QTest::mouseClick(w->Button(lfui::kInstallButton), Qt::LeftButton);
    EXPECT_EQ(state.mainActions, 4);

    PollAs(*w, DownloadStatus::Md5Checking);
    EXPECT_TRUE(Visible(*w, lfui::kInstallButton));
    EXPECT_FALSE(Enabled(*w, lfui::kInstallButton));
    PollAs(*w, DownloadStatus::CheckFinished);
    EXPECT_TRUE(Enabled(*w, lfui::kInstallButton));
    PollAs(*w, DownloadStatus::Failed);
    EXPECT_FALSE(Enabled(*w, lfui::kInstallButton));
    EXPECT_TRUE(Visible(*w, lfui::kViewButton));
}

// A start the controller refused (an unwritable save folder: it stays in
// ready) keeps the start button, so the user can choose another folder.
TEST_F(MainWindow, RefusedStartKeepsTheStartButton) {
    state.refuseStart = true;
    auto w = Started();
    QTest::mouseClick(w->Button(lfui::kStartButton), Qt::LeftButton);
    EXPECT_EQ(state.mainActions, 1);
    EXPECT_TRUE(Visible(*w, lfui::kStartButton));
    EXPECT_FALSE(Visible(*w, lfui::kPauseButton));
    EXPECT_TRUE(Enabled(*w, lfui::kModifyButton));
}

TEST_F(MainWindow, StartWithLowSpaceKeepsTheStartButton) {
    state.lowSpaceAfterMainAction = true;
    auto w = Started();
    QTest::mouseClick(w->Button(lfui::kStartButton), Qt::LeftButton);
    EXPECT_TRUE(Visible(*w, lfui::kStartButton));
    EXPECT_FALSE(Visible(*w, lfui::kPauseButton));
    // back with low space: start disabled.
    PollAs(*w, DownloadStatus::Back, true);
    EXPECT_FALSE(Enabled(*w, lfui::kStartButton));
    PollAs(*w, DownloadStatus::Ready, false);  // ready changes nothing
    EXPECT_FALSE(Enabled(*w, lfui::kStartButton));
    PollAs(*w, DownloadStatus::Back, false);
    EXPECT_TRUE(Enabled(*w, lfui::kStartButton));
}

TEST_F(MainWindow, ResumedAtStartUpInFinishedShowsInstall) {
    state.initialiseResult = 1;
    state.status = DownloadStatus::Finished;
    state.overall = 10000;
    auto w = Started();
    w->OnPoll();
    EXPECT_TRUE(Visible(*w, lfui::kInstallButton));
    for (int id : {lfui::kStartButton, lfui::kPauseButton, lfui::kContinueButton}) {
        EXPECT_FALSE(Visible(*w, id)) << id;
    }
    w->OnTick();
    EXPECT_TRUE(w->FinalTextShown());
    EXPECT_EQ(w->FinalShown(), QString("下载完成"));
    // No tick to the controller in finished.
    EXPECT_EQ(state.ticks, 0);
    EXPECT_EQ(w->DownloadBarPercent(), 100);
}

TEST_F(MainWindow, FolderButtonChoosesTheSaveFolder) {
    auto w = Started();
    chosen = "/games";
    QTest::mouseClick(w->Button(lfui::kModifyButton), Qt::LeftButton);
    EXPECT_EQ(browserTitle, QString("请选择安装包存放目录:"));
    EXPECT_EQ(browserStart, QString("/home/user/Downloads"));
    EXPECT_EQ(w->DisplayedSaveFolder(), QString("/games/qarrd160107"));
    ASSERT_EQ(state.savedFolders.size(), 1u);
    EXPECT_EQ(state.savedFolders[0], "/games/qarrd160107");

    chosen = "/";
    QTest::mouseClick(w->Button(lfui::kModifyButton), Qt::LeftButton);
    EXPECT_EQ(browserStart, QString("/games"));
    EXPECT_EQ(w->DisplayedSaveFolder(), QString("/qarrd160107"));

    // Cancelled: nothing changes.
    chosen.clear();
    QTest::mouseClick(w->Button(lfui::kModifyButton), Qt::LeftButton);
    EXPECT_EQ(w->DisplayedSaveFolder(), QString("/qarrd160107"));
    EXPECT_EQ(state.savedFolders.size(), 2u);
}

TEST_F(MainWindow, FolderButtonShowsTheDownload) {
    lftest::TempDir dir;
    const std::string installer = dir / "setup.exe";
    lftest::WriteFile(installer, "MZ");
    state.saveFolder = dir.Path();
    state.installer = installer;
    state.initialiseResult = 1;
    lfuitest::MessageRecorder messages;
    auto w = Started();

    PollAs(*w, DownloadStatus::Finished);
    QTest::mouseClick(w->Button(lfui::kViewButton), Qt::LeftButton);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, QString::fromStdString(installer));
    EXPECT_TRUE(shown[0].second);

    // Installer gone: the folder itself.
    std::remove(installer.c_str());
    QTest::mouseClick(w->Button(lfui::kViewButton), Qt::LeftButton);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].first, QString::fromStdString(dir.Path()));
    EXPECT_FALSE(shown[1].second);

    PollAs(*w, DownloadStatus::Downloading);
    QTest::mouseClick(w->Button(lfui::kViewButton), Qt::LeftButton);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].first, QString::fromStdString(dir.Path()));

    // A folder that is not there is reported, not opened.
    state.saveFolder = dir / "missing";
    auto w2 = Started();
    PollAs(*w2, DownloadStatus::Downloading);
    QTest::mouseClick(w2->Button(lfui::kViewButton), Qt::LeftButton);
    EXPECT_EQ(shown.size(), 3u);
    EXPECT_TRUE(messages.WaitFor("下载位置不存在"));
    EXPECT_EQ(messages.Messages().back().caption, "Moonvale下载器");
}

TEST_F(MainWindow, ListToggleAndShape) {
    auto w = Started();
    EXPECT_TRUE(w->Collapsed());
    EXPECT_FALSE(w->FileList()->isVisible());
    // The collapsed shape: the key colour below the body is cut out, the
    // toggle tab stays.
    const QRegion region = w->CollapsedRegion();
    EXPECT_TRUE(region.contains(QPoint(200, 300)));
    EXPECT_FALSE(region.contains(QPoint(20, 300)));
    EXPECT_TRUE(region.contains(QPoint(20, 200)));
    EXPECT_FALSE(w->mask().isEmpty());

    QTest::mouseClick(w.get(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 290));
    EXPECT_FALSE(w->Collapsed());
    EXPECT_EQ(w->size(), QSize(411, 385));
    EXPECT_TRUE(w->FileList()->isVisible());
    EXPECT_EQ(w->FileList()->geometry().top(), 322);
    EXPECT_EQ(w->FileList()->geometry().bottom(), 384);
    EXPECT_TRUE(w->mask().isEmpty());
    EXPECT_EQ(w->FileList()->Name(0), QString("setup.exe"));

    // A click outside the toggle does nothing.
    QTest::mouseClick(w.get(), Qt::LeftButton, Qt::NoModifier, QPoint(100, 290));
    EXPECT_FALSE(w->Collapsed());
    QTest::mouseClick(w.get(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 290));
    EXPECT_TRUE(w->Collapsed());
    EXPECT_EQ(w->size(), QSize(411, 307));
    EXPECT_FALSE(w->FileList()->isVisible());
}

TEST_F(MainWindow, SkinOverrideFromTheWorkingDirectory) {
    // res/bg2.bmp replaces the collapsed background, and its key colour
    // shapes the window: here a tab on the left instead of the middle.
    lftest::TempDir dir;
    ASSERT_EQ(mkdir((dir / "res").c_str(), 0755), 0);
    QImage image(411, 307, QImage::Format_RGB32);
    image.fill(QColor(10, 20, 30));
    for (int y = 283; y < 307; ++y) {
        for (int x = 50; x < 411; ++x) image.setPixelColor(x, y, lfui::kKeyColour);
    }
    ASSERT_TRUE(image.save(QString::fromStdString(dir / "res/bg2.bmp"), "BMP"));
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    auto w = Started();
    const QImage shown = w->grab().toImage();
    EXPECT_EQ(chdir(previous), 0);
    EXPECT_TRUE(w->CollapsedRegion().contains(QPoint(20, 300)));
    EXPECT_FALSE(w->CollapsedRegion().contains(QPoint(200, 300)));
    EXPECT_EQ(shown.pixelColor(100, 120), QColor(10, 20, 30));
}

TEST_F(MainWindow, TicksRefreshTextsAndList) {
    state.initialiseResult = 1;
    state.status = DownloadStatus::Downloading;
    state.speed = "2.5 MB/s";
    state.overall = 4321;
    state.statusTexts[3] = "43.21%    ";
    auto w = Started();
    w->OnPoll();
    w->OnTick();
    EXPECT_EQ(state.ticks, 1);
    EXPECT_EQ(w->SpeedAreaShown(), QString("2.5 MB/s"));
    EXPECT_EQ(w->LabelShown(), QString("当前进度:"));
    EXPECT_EQ(w->PercentShown(), QString("43.21%"));
    EXPECT_EQ(w->FileList()->Status(3), QString("43.21%    "));
    EXPECT_EQ(w->DownloadBarPercent(), 43);

    // Repair that has not moved yet.
    state.status = DownloadStatus::CheckRecover;
    state.repair = 0;
    w->OnPoll();
    w->OnTick();
    EXPECT_EQ(w->PercentShown(), QString("准备中"));
    EXPECT_EQ(w->SpeedAreaShown(), QString("修复准备..."));
    EXPECT_EQ(w->LabelShown(), QString("修复进度:"));

    state.status = DownloadStatus::Md5Checking;
    state.verify = 5000;
    w->OnPoll();
    w->OnTick();
    EXPECT_EQ(w->SpeedAreaShown(), QString("文件验证中..."));
    EXPECT_EQ(w->PercentShown(), QString("50.00%"));
    EXPECT_EQ(w->VerifyBarPercent(), 50);

    state.status = DownloadStatus::CheckFinished;
    state.repaired = true;
    w->OnPoll();
    w->OnTick();
    EXPECT_EQ(w->FinalShown(), QString("√ 修复成功"));
    // The speed text is asked once per second (and once at start-up).
    EXPECT_EQ(state.speedTexts, 4);
}

TEST_F(MainWindow, TimersDriveTheControllerOnTheWindowThread) {
    auto w = Started();
    // Both timers run on their own: the event loop alone reaches the
    // controller (the limit only guards against a hang).
    QElapsedTimer waited;
    waited.start();
    while (!(state.polls >= 5 && state.ticks >= 1) && waited.elapsed() < 30000) QTest::qWait(20);
    EXPECT_GE(state.polls, 5);
    EXPECT_GE(state.ticks, 1);
    EXPECT_TRUE(w->TimersRunning());
}

TEST_F(MainWindow, CloseHandling) {
    {
        // No stored choice: the dialog asks; dismissed does nothing.
        auto w = Started();
        closeDialogAnswer = 0;
        QTest::mouseClick(w->Button(lfui::kCloseButton), Qt::LeftButton);
        EXPECT_EQ(closeDialogs, 1);
        EXPECT_FALSE(w->Destroyed());
        // Quit chosen.
        closeDialogAnswer = 2;
        QTest::mouseClick(w->Button(lfui::kCloseButton), Qt::LeftButton);
        EXPECT_TRUE(w->Destroyed());
        EXPECT_TRUE(state.userExit);
        EXPECT_EQ(state.destroyedCalls, 1);
        EXPECT_FALSE(w->TimersRunning());
    }
    {
        // A remembered quit: no dialog.
        state = FakeState{};
        state.closeChoice = 2;
        closeDialogs = 0;
        auto w = Started();
        QSignalSpy destroyed(w.get(), &CKvoLanternfishUIDlg::windowDestroyed);
        w->close();  // the window manager's close is the close button
        EXPECT_EQ(closeDialogs, 0);
        EXPECT_TRUE(w->Destroyed());
        EXPECT_EQ(destroyed.count(), 1);
    }
    {
        // A remembered tray choice: the window hides (or minimises when there
        // is no notification area) and the controller keeps running.
        state = FakeState{};
        state.closeChoice = 1;
        auto w = Started();
        QTest::mouseClick(w->Button(lfui::kCloseButton), Qt::LeftButton);
        EXPECT_FALSE(w->Destroyed());
        EXPECT_TRUE(w->InTray() || w->isMinimized());
        EXPECT_TRUE(w->TimersRunning());
        // Another copy started: back to the front.
        w->BringToFront();
        EXPECT_TRUE(w->isVisible());
        EXPECT_FALSE(w->isMinimized());
        // The cancel command with the user-exit flag set quits.
        state.userExit = true;
        w->OnCancelCommand();
        EXPECT_TRUE(w->Destroyed());
        EXPECT_EQ(state.destroyedCalls, 1);
    }
}

TEST_F(MainWindow, NotificationsReachTheController) {
    auto w = Started();
    w->OnSpeedLimit(300);
    EXPECT_EQ(CKvoLanternfishUIDlg::Settings().speedLimit, 300);
    CKvoLanternfishUIDlg::Settings().autoShutdown = 1;
    w->OnAutoShutdown();
    CKvoLanternfishUIDlg::Settings().p2p = 0;
    w->OnP2PSwitch();
    w->OnCloseChoice(2);
    w->OnVerificationDone();
    EXPECT_EQ(state.speedLimits, std::vector<int>{300});
    EXPECT_EQ(state.autoShutdowns, std::vector<int>{1});
    EXPECT_EQ(state.p2ps, std::vector<int>{0});
    EXPECT_EQ(state.savedCloseChoices, std::vector<int>{2});
    EXPECT_EQ(state.mainActions, 1);
}

TEST_F(MainWindow, EscapeAndEnterAreSwallowed) {
    auto w = Started();
    QTest::keyClick(w.get(), Qt::Key_Escape);
    QTest::keyClick(w.get(), Qt::Key_Return);
    EXPECT_FALSE(w->Destroyed());
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(closeDialogs, 0);
}

TEST_F(MainWindow, PictureButtonImages) {
    auto w = Started();
    lfui::CPictureButton* start = w->Button(lfui::kStartButton);
    EXPECT_EQ(start->size(), QSize(84, 30));
    EXPECT_EQ(start->pos(), QPoint(318, 244));
    const QImage normal = start->CurrentImage().toImage();
    start->setEnabled(false);
    const QImage disabled = start->CurrentImage().toImage();
    EXPECT_NE(normal, disabled);
    start->setEnabled(true);
    // Corners of the main buttons are cut out.
    EXPECT_FALSE(start->mask().contains(QPoint(0, 0)));
    EXPECT_TRUE(start->mask().contains(QPoint(40, 15)));
    EXPECT_EQ(w->Button(lfui::kCloseButton)->pos(), QPoint(374, 10));
    EXPECT_EQ(w->Button(lfui::kModifyButton)->pos(), QPoint(372, 203));
}

}  // namespace
