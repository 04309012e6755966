#include "app/StatusTexts.h"

#include <cstdio>

namespace lfapp {

SpeedArea SpeedAreaText(DownloadStatus status, const std::string& controllerSpeed,
                        uint32_t repairProgress, const std::string& repairSpeed,
                        uint32_t repaintCount) {
    if (status == DownloadStatus::Md5Checking) return {"文件验证中...", true};
    if (status == DownloadStatus::CheckRecover) {
        if (repairProgress == 0) return {"修复准备...", true};
        if (repaintCount % 12 < 4) return {"修复中...", true};
        return {repairSpeed, true};
    }
    return {controllerSpeed, false};
}

std::string ProgressLabel(DownloadStatus status) {
    if (status == DownloadStatus::Md5Checking || status == DownloadStatus::CheckFinished) {
        return "验证进度:";
    }
    if (status == DownloadStatus::CheckRecover) return "修复进度:";
    return "当前进度:";
}

std::string ProgressPercent(DownloadStatus status, uint32_t overall, uint32_t verify,
                            uint32_t repair) {
    uint32_t value = overall;
    if (status == DownloadStatus::Md5Checking || status == DownloadStatus::CheckFinished) {
        value = verify;
    } else if (status == DownloadStatus::CheckRecover) {
        if (repair == 0) return "准备中";
        value = repair;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%3.2f%%", value / 100.0);
    return text;
}

bool ShowsFinalText(DownloadStatus status) {
    return status == DownloadStatus::Finished || status == DownloadStatus::CheckFinished ||
           status == DownloadStatus::Installing;
}

std::string FinalText(DownloadStatus status, bool repaired) {
    if (status == DownloadStatus::CheckFinished) return repaired ? "√ 修复成功" : "√ 验证通过";
    if (status == DownloadStatus::Finished || status == DownloadStatus::Installing) {
        return "下载完成";
    }
    return "";
}

}  // namespace lfapp
