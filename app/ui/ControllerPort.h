// What the main window needs from the download controller. The window talks
// to the controller only through this interface; MakeControllerPort wraps
// the application's real controller, and tests can hand the window a
// scripted one to reach every status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/DownloadStatus.h"
#include "app/ResourceList.h"

class QWidget;

namespace lfapp {
class CDownloadController;
}

namespace lfui {

class IControllerPort {
public:
    virtual ~IControllerPort() = default;

    // The window the controller's questions and notifications go to.
    virtual void AttachWindow(QWidget* window) { (void)window; }

    // Start-up: -2 statistics configuration not written (quit), any other
    // negative value quit, 1 tasks resumed, 0 otherwise.
    virtual int Initialise() = 0;
    // Whether the release is retired (asked after Initialise returned 0).
    virtual lfapp::ExpiryInfo CheckExpiry() = 0;

    virtual void MainAction() = 0;
    virtual lfapp::DownloadStatus Poll() = 0;
    virtual void Tick() = 0;
    virtual lfapp::DownloadStatus Status() = 0;
    virtual bool LowSpace() = 0;

    // Texts. SpeedText has side effects in the controller (it moves the
    // status to downloading and paces the resource-list refresh), so the
    // window asks for it once per second.
    virtual std::string SpeedText() = 0;
    virtual std::string SizeText() = 0;
    virtual std::string FileName(int index) = 0;
    virtual std::string FileStatusText(int index) = 0;
    virtual std::string RepairSpeedText() = 0;
    virtual std::string InstallerPath() = 0;
    virtual std::string SaveFolder() = 0;
    virtual std::string VersionLabel() = 0;
    // The peers connected and the share of the bytes from peers ("" while
    // P2P brought nothing).
    virtual std::string PeerText() { return ""; }

    // Progress values 0..10000.
    virtual uint32_t OverallProgress() = 0;
    virtual uint32_t VerifyProgress() = 0;
    virtual uint32_t RepairProgress() = 0;
    // A file failed its first check in the current verification.
    virtual bool Repaired() = 0;

    virtual void SetSaveFolder(const std::string& path) = 0;
    virtual void SetSpeedLimit(int kiloBytesPerSecond) = 0;
    virtual void SetAutoShutdown(int flag) = 0;
    virtual void SetP2P(int flag) = 0;
    virtual void SaveCloseChoice(int choice) = 0;
    // -1 when the task INI does not exist, 0 when no choice is stored.
    virtual int ReadCloseChoice() = 0;
    virtual void MarkUserExit() = 0;
    // An exit the program decided (start refused, release retired).
    virtual void MarkProgramExit(const std::string& reason) { (void)reason; }
    // What a refused start-up failed on ("" when nothing is known).
    virtual std::string StartFailure() { return ""; }
    virtual void ClearUserExit() = 0;
    virtual bool UserExit() = 0;

    // The window is going away (after its timers stopped).
    virtual void OnWindowDestroyed() = 0;
};

// The application's controller for the release table of the active release;
// configure (when given) adjusts its settings before the window starts it;
// started (when given) runs after a start-up that did not refuse to start.
std::unique_ptr<IControllerPort> MakeControllerPort(
    const std::function<void(lfapp::CDownloadController&)>& configure = {},
    std::function<void(lfapp::CDownloadController&)> started = {});

}  // namespace lfui
