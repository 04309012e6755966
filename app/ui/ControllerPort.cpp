#include "app/ui/ControllerPort.h"

#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <stdexcept>

#include "app/DownloadController.h"
#include "app/ReleaseTable.h"
#include "app/ui/MessageBox.h"

namespace lfui {

namespace {

// The real controller behind the window.
class CControllerPort : public IControllerPort {
public:
    CControllerPort(const lfapp::ReleaseTable& table,
                    std::function<void(lfapp::CDownloadController&)> started)
        : m_controller(table), m_started(std::move(started)) {}

    void AttachWindow(QWidget* window) override {
        m_window = window;
        m_controller.SetWindow(window);
        lfapp::ControllerHooks hooks;
        hooks.askYesNo = [this](const std::string& text, const std::string& caption) {
            auto ask = [&] { return AskYesNo(m_window, text, caption); };
            if (m_window == nullptr || QThread::currentThread() == m_window->thread()) {
                return ask();
            }
            bool yes = false;
            QMetaObject::invokeMethod(
                m_window, [&] { yes = ask(); }, Qt::BlockingQueuedConnection);
            return yes;
        };
        // Both arrive from other threads or from inside a controller call:
        // posted to the window, like the notifications they stand for.
        hooks.verificationDone = [this] {
            if (m_window) {
                QMetaObject::invokeMethod(m_window, "OnVerificationDone", Qt::QueuedConnection);
            }
        };
        hooks.closeWindow = [this] {
            if (m_window)
                QMetaObject::invokeMethod(m_window, "DestroyWindow", Qt::QueuedConnection);
        };
        m_controller.SetHooks(std::move(hooks));
    }

    int Initialise() override {
        const int result = m_controller.Initialise();
        if (result >= 0 && m_started) m_started(m_controller);
        return result;
    }
    lfapp::ExpiryInfo CheckExpiry() override {
        return lfapp::CheckExpiry(m_controller.Release().listUrl);
    }
    void MainAction() override { m_controller.MainAction(); }
    lfapp::DownloadStatus Poll() override { return m_controller.Poll(); }
    void Tick() override { m_controller.Tick(); }
    lfapp::DownloadStatus Status() override { return m_controller.Status(); }
    bool LowSpace() override { return m_controller.LowSpace(); }
    std::string SpeedText() override { return m_controller.SpeedText(); }
    std::string SizeText() override { return m_controller.SizeText(); }
    std::string FileName(int i) override { return m_controller.FileName(i); }
    std::string FileStatusText(int i) override { return m_controller.FileStatusText(i); }
    std::string RepairSpeedText() override { return m_controller.RepairSpeedText(); }
    std::string InstallerPath() override { return m_controller.InstallerPath(); }
    std::string SaveFolder() override { return m_controller.SaveFolder(); }
    std::string VersionLabel() override { return m_controller.VersionLabel(); }
    std::string PeerText() override { return m_controller.PeerText(); }
    uint32_t OverallProgress() override { return m_controller.OverallProgress(); }
    uint32_t VerifyProgress() override { return m_controller.VerifyProgress(); }
    uint32_t RepairProgress() override { return m_controller.RepairProgress(); }
    bool Repaired() override { return m_controller.Repaired(); }
    void SetSaveFolder(const std::string& path) override { m_controller.SetSaveFolder(path); }
    void SetSpeedLimit(int kbps) override { m_controller.SetSpeedLimit(kbps); }
    void SetAutoShutdown(int flag) override { m_controller.SetAutoShutdown(flag != 0); }
    void SetP2P(int flag) override { m_controller.SetP2P(flag); }
    void SaveCloseChoice(int choice) override {
        m_controller.SaveCloseChoice(static_cast<uint32_t>(choice));
    }
    int ReadCloseChoice() override { return m_controller.ReadCloseChoice(); }
    void MarkUserExit() override { m_controller.MarkUserExit(); }
    void MarkProgramExit(const std::string& reason) override {
        m_controller.MarkProgramExit(reason);
    }
    std::string StartFailure() override { return m_controller.StartFailure(); }
    void ClearUserExit() override { m_controller.ClearUserExit(); }
    bool UserExit() override { return m_controller.UserExit(); }
    void OnWindowDestroyed() override { m_controller.OnWindowDestroyed(); }

    lfapp::CDownloadController& Controller() { return m_controller; }

private:
    lfapp::CDownloadController m_controller;
    std::function<void(lfapp::CDownloadController&)> m_started;
    QPointer<QWidget> m_window;
};

}  // namespace

std::unique_ptr<IControllerPort> MakeControllerPort(
    const std::function<void(lfapp::CDownloadController&)>& configure,
    std::function<void(lfapp::CDownloadController&)> started) {
    const std::optional<lfapp::ReleaseTable> table = lfapp::LoadReleaseTable();
    if (!table) throw std::runtime_error("the release carries no release table");
    auto port = std::make_unique<CControllerPort>(*table, std::move(started));
    if (configure) configure(port->Controller());
    return port;
}

}  // namespace lfui
