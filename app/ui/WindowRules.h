// The main window's rules that depend only on values: which buttons show in
// which status, the texts of the progress area, the save folder the folder
// browser produces, and the width of a progress fill.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/DownloadStatus.h"
#include "app/StatusTexts.h"

namespace lfui {

// Button ids of the main window.
enum ButtonId : int {
    kModifyButton = 1002,
    kStartButton = 1007,
    kMinimiseButton = 1010,
    kCloseButton = 1011,
    kSettingsButton = 1013,
    kInstallButton = 1041,
    kViewButton = 1042,
    kPauseButton = 1043,
    kContinueButton = 1044,
};

// One button's change: an empty field leaves that property as it is.
struct ButtonChange {
    std::optional<bool> visible;
    std::optional<bool> enabled;
};

// The arrangement for a status and low-space flag.
struct ButtonPlan {
    ButtonChange start, pause, resume, install, modify, view;
};
ButtonPlan ArrangeButtons(lfapp::DownloadStatus status, bool lowSpace);

// The texts of the progress area are the application's (the terminal front
// end shows the same ones).
using lfapp::FinalText;
using lfapp::ProgressLabel;
using lfapp::ProgressPercent;
using lfapp::ShowsFinalText;
using lfapp::SpeedArea;
using lfapp::SpeedAreaText;

// Statuses whose progress bar shows the verification fill.
bool ShowsVerifyBar(lfapp::DownloadStatus status);
// Percent (progress / 100, at most 100) a bar is drawn at.
int BarPercent(uint32_t progress);
// Width of a fill for a bar of barWidth pixels at percent.
int BarFillWidth(int barWidth, int percent);

// The download folder name appended to every chosen folder.
inline constexpr char kFolderName[] = "qarrd160107";
// Save folder for a folder chosen in the browser: chosen + "/" (unless it
// ends with one) + "qarrd160107".
std::string SaveFolderForChoice(const std::string& chosen);
// Folder the browser opens at: the displayed save folder without its last
// element when that element is "qarrd160107" (and without the separator
// before it); a root stays a root.
std::string BrowseStartFolder(const std::string& displayed);

// Folder-button behaviour by status.
enum class FolderAction { Choose, ShowInstaller, ShowFolder };
FolderAction FolderActionFor(lfapp::DownloadStatus status);

}  // namespace lfui
