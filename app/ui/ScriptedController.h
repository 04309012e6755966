// A scripted controller: every value the window reads is a field the caller
// sets, and every command the window gives is counted. The window tests and
// the screenshot tool use it to put the window into any status.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app/ReleaseTable.h"
#include "app/Translation.h"
#include "app/ui/ControllerPort.h"

namespace lfui {

struct ScriptedState {
    int initialiseResult = 0;
    lfapp::ExpiryInfo expiry;
    lfapp::DownloadStatus status = lfapp::DownloadStatus::Ready;
    bool lowSpace = false;
    bool lowSpaceAfterMainAction = false;
    // Start refused (an unwritable save folder): the status stays as it is.
    bool refuseStart = false;
    std::string startFailure;
    std::string speed = "0 B/s";
    std::string size = "0 B/2.0 GB";
    std::string peers;
    std::array<std::string, 8> names{"setup.exe", "data.pak", "c1.cab", "c2.cab",
                                     "c3.cab",    "c4.cab",   "c5.cab", "c6.cab"};
    std::array<std::string, 8> statusTexts{};
    std::string repairSpeed = "1.0 MB/s";
    std::string installer;
    std::string saveFolder = "/home/user/Downloads/qarrd160107";
    uint32_t overall = 0, verify = 0, repair = 0;
    bool repaired = false;
    int closeChoice = -1;
    bool userExit = false;
    std::string programExit;  // reason given to MarkProgramExit

    // What the window did.
    int initialiseCalls = 0, mainActions = 0, polls = 0, ticks = 0, speedTexts = 0;
    int destroyedCalls = 0;
    std::vector<std::string> savedFolders;
    std::vector<int> speedLimits, autoShutdowns, p2ps, savedCloseChoices;
};

class ScriptedController : public IControllerPort {
public:
    explicit ScriptedController(ScriptedState& state) : s(state) {}

    int Initialise() override {
        ++s.initialiseCalls;
        return s.initialiseResult;
    }
    lfapp::ExpiryInfo CheckExpiry() override { return s.expiry; }
    void MainAction() override {
        ++s.mainActions;
        if (s.lowSpaceAfterMainAction) s.lowSpace = true;
        const bool notBegun =
            s.status == lfapp::DownloadStatus::Ready || s.status == lfapp::DownloadStatus::Back;
        if (notBegun && !s.lowSpace && !s.refuseStart) s.status = lfapp::DownloadStatus::Preparing;
    }
    lfapp::DownloadStatus Poll() override {
        ++s.polls;
        return s.status;
    }
    void Tick() override { ++s.ticks; }
    lfapp::DownloadStatus Status() override { return s.status; }
    bool LowSpace() override { return s.lowSpace; }
    std::string SpeedText() override {
        ++s.speedTexts;
        return s.speed;
    }
    std::string SizeText() override { return s.size; }
    std::string PeerText() override { return s.peers; }
    std::string FileName(int i) override { return s.names.at(i); }
    std::string FileStatusText(int i) override { return s.statusTexts.at(i); }
    std::string RepairSpeedText() override { return s.repairSpeed; }
    std::string InstallerPath() override { return s.installer; }
    std::string SaveFolder() override { return s.saveFolder; }
    std::string VersionLabel() override {
        return lfapp::translate("Status", lfapp::kGameVersionLabel);
    }
    uint32_t OverallProgress() override { return s.overall; }
    uint32_t VerifyProgress() override { return s.verify; }
    uint32_t RepairProgress() override { return s.repair; }
    bool Repaired() override { return s.repaired; }
    void SetSaveFolder(const std::string& path) override { s.savedFolders.push_back(path); }
    void SetSpeedLimit(int kbps) override { s.speedLimits.push_back(kbps); }
    void SetAutoShutdown(int flag) override { s.autoShutdowns.push_back(flag); }
    void SetP2P(int flag) override { s.p2ps.push_back(flag); }
    void SaveCloseChoice(int choice) override {
        s.savedCloseChoices.push_back(choice);
        s.closeChoice = choice;
    }
    int ReadCloseChoice() override { return s.closeChoice; }
    void MarkUserExit() override { s.userExit = true; }
    void MarkProgramExit(const std::string& reason) override { s.programExit = reason; }
    std::string StartFailure() override { return s.startFailure; }
    void ClearUserExit() override { s.userExit = false; }
    bool UserExit() override { return s.userExit; }
    void OnWindowDestroyed() override { ++s.destroyedCalls; }

private:
    ScriptedState& s;
};

}  // namespace lfui
