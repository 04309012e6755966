// The texts of the progress area as the window shows them, by status: the
// speed area, the progress label and percentage, and the final text. The
// terminal front end shows the same ones.
#pragma once

#include <cstdint>
#include <string>

#include "app/DownloadStatus.h"

namespace lfapp {

// What the speed area of the window shows.
struct SpeedArea {
    std::string text;
    bool accent = false;  // RGB(235,157,85) instead of RGB(248,222,197)
};
// repaintCount counts the speed-area repaints in checkrecover: "修复中..." on 4
// of every 12, the repair speed on the other 8.
SpeedArea SpeedAreaText(DownloadStatus status, const std::string& controllerSpeed,
                        uint32_t repairProgress, const std::string& repairSpeed,
                        uint32_t repaintCount);
// "验证进度:", "修复进度:" or "当前进度:".
std::string ProgressLabel(DownloadStatus status);
// The percentage: "%3.2f%%" of the value concerned; "准备中" in checkrecover
// while nothing was repaired yet.
std::string ProgressPercent(DownloadStatus status, uint32_t overall, uint32_t verify,
                            uint32_t repair);
// finished, checkfinished and installing show one centred text instead.
bool ShowsFinalText(DownloadStatus status);
std::string FinalText(DownloadStatus status, bool repaired);
// The status as the terminal front end names it ("下载中", "验证中", ...).
std::string StatusText(DownloadStatus status);

}  // namespace lfapp
