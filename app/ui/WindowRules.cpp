#include "app/ui/WindowRules.h"

#include <cstdio>

namespace lfui {

using lfapp::DownloadStatus;

ButtonPlan ArrangeButtons(DownloadStatus status, bool lowSpace) {
    ButtonPlan plan;
    switch (status) {
        case DownloadStatus::Back:
            plan.start.enabled = !lowSpace;
            break;
        case DownloadStatus::Preparing:
            plan.pause = {true, true};
            plan.start.visible = false;
            plan.modify.enabled = false;
            break;
        case DownloadStatus::Downloading:
        case DownloadStatus::Resume:
            plan.resume.visible = false;
            plan.pause = {true, !lowSpace};
            plan.modify.visible = false;
            plan.view.visible = true;
            break;
        case DownloadStatus::Pause:
            plan.pause.visible = false;
            plan.resume = {true, !lowSpace};
            plan.modify.visible = false;
            plan.view.visible = true;
            break;
        case DownloadStatus::Failed:
            plan.pause.enabled = false;
            plan.resume.enabled = false;
            plan.install.enabled = false;
            plan.start.enabled = false;
            plan.modify.visible = false;
            plan.view.visible = true;
            break;
        case DownloadStatus::Finished:
        case DownloadStatus::CheckFinished:
        case DownloadStatus::Md5Checking:
        case DownloadStatus::CheckRecover: {
            const bool installEnabled =
                status == DownloadStatus::Finished || status == DownloadStatus::CheckFinished;
            plan.start.visible = false;
            plan.pause.visible = false;
            plan.resume.visible = false;
            plan.install = {true, installEnabled};
            plan.modify.visible = false;
            plan.view.visible = true;
            break;
        }
        case DownloadStatus::Recover:
        case DownloadStatus::Reload:
            plan.pause.enabled = false;
            plan.modify.enabled = false;
            break;
        case DownloadStatus::Ready:
        case DownloadStatus::Installing:
        case DownloadStatus::Exited:
            break;
    }
    return plan;
}

bool ShowsVerifyBar(DownloadStatus status) {
    return status == DownloadStatus::Md5Checking || status == DownloadStatus::CheckRecover ||
           status == DownloadStatus::CheckFinished || status == DownloadStatus::Installing;
}

int BarPercent(uint32_t progress) {
    const uint32_t percent = progress / 100;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

int BarFillWidth(int barWidth, int percent) {
    if (percent <= 0) return 0;
    if (percent > 100) percent = 100;
    return barWidth * percent / 100;
}

std::string SaveFolderForChoice(const std::string& chosen) {
    std::string folder = chosen;
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder + kFolderName;
}

std::string BrowseStartFolder(const std::string& displayed) {
    const std::string suffix = kFolderName;
    if (displayed.size() < suffix.size() ||
        displayed.compare(displayed.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return displayed;
    }
    std::string folder = displayed.substr(0, displayed.size() - suffix.size());
    // Drop the separator before the name, but keep a root as "/".
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

FolderAction FolderActionFor(DownloadStatus status) {
    switch (status) {
        case DownloadStatus::Back:
        case DownloadStatus::Ready:
            return FolderAction::Choose;
        case DownloadStatus::Finished:
        case DownloadStatus::Md5Checking:
        case DownloadStatus::CheckRecover:
        case DownloadStatus::CheckFinished:
            return FolderAction::ShowInstaller;
        default:
            return FolderAction::ShowFolder;
    }
}

}  // namespace lfui
