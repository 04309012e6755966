#include "app/ui/KvoLanternfishUIApp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <atomic>
#include <cstdio>

#include "app/ReleaseTable.h"
#include "app/ui/CrashReport.h"
#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/SingleInstance.h"
#include "engine/core/EngineApi.h"
#include "engine/log/LogApi.h"

namespace lfui {

namespace {

std::atomic<QWidget*> g_owner{nullptr};
int g_stopPipe[2] = {-1, -1};

// SIGTERM, SIGINT and SIGHUP (log-out, Ctrl-C) close the window the normal
// way, so the tasks stop and their resume data is kept.
void OnStopSignal(int) {
    const char byte = 1;
    ssize_t ignored = write(g_stopPipe[1], &byte, 1);
    (void)ignored;
}
std::atomic<bool> g_guiUp{false};

// Messages from any thread become non-blocking message boxes on the window
// thread.
void GuiMessageSink(void*, const std::string& text, const std::string& caption, uint32_t) {
    if (!g_guiUp.load()) {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
        return;
    }
    const QString qtext = QString::fromStdString(text);
    const QString qcaption = QString::fromStdString(caption);
    QMetaObject::invokeMethod(
        qApp,
        [qtext, qcaption] {
            auto* box = new QMessageBox(QMessageBox::NoIcon, qcaption, qtext, QMessageBox::Ok,
                                        g_owner.load());
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            box->show();
        },
        Qt::QueuedConnection);
}

}  // namespace

CKvoLanternfishUIApp::CKvoLanternfishUIApp(int& argc, char** argv, ControllerFactory makeController)
    : m_argc(argc), m_argv(argv), m_makeController(std::move(makeController)) {}

int CKvoLanternfishUIApp::Run() {
    // Stop signals are taken from the start: one that arrives before the
    // window runs closes it as soon as it does.
    if (g_stopPipe[0] < 0 && pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
    }

    // 1. One copy per release.
    const std::optional<lfapp::ReleaseTable> table = lfapp::LoadReleaseTable();
    if (!table) {
        std::fprintf(stderr, "lanternfish: the release carries no release table\n");
        return 1;
    }
    CSingleInstance instance(table->ReleaseId());
    const CSingleInstance::Outcome outcome = instance.Check(1000);
    if (outcome == CSingleInstance::Outcome::Answered) return 0;

    InstallCrashHandler();

    // 2. The windowing library.
    QApplication app(m_argc, m_argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Lanternfish"));

    // 3. The main window; its initialisation starts the controller.
    auto window = std::make_unique<CKvoLanternfishUIDlg>(m_makeController());
    g_owner = window.get();
    g_guiUp = true;
    lf::SetEngineMessageSink(&GuiMessageSink);
    QObject::connect(window.get(), &CKvoLanternfishUIDlg::windowDestroyed, &app,
                     &QApplication::quit, Qt::QueuedConnection);

    std::unique_ptr<QSocketNotifier> notifier;
    if (instance.ListenFd() >= 0) {
        notifier = std::make_unique<QSocketNotifier>(instance.ListenFd(), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, window.get(),
                         [&instance, w = window.get()] {
                             if (instance.Answer()) w->BringToFront();
                         });
    }

    // A stop signal that came early waits in the pipe for the event loop.
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (g_stopPipe[0] >= 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(g_stopPipe[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, window.get(),
                         [w = window.get()] {
                             char drain[16];
                             while (read(g_stopPipe[0], drain, sizeof drain) > 0) {
                             }
                             w->DestroyWindow();
                         });
    }

    int code = 0;
    if (window->Start()) {
        window->show();
        code = app.exec();
    }
    // 7. Shut down: no more message boxes on this window.
    notifier.reset();
    stopNotifier.reset();
    g_guiUp = false;
    g_owner = nullptr;
    window.reset();
    return code;
}

}  // namespace lfui
