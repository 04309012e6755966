#include "app/StatusTexts.h"

#include <cstdio>

#include "app/Translation.h"

namespace lfapp {

SpeedArea SpeedAreaText(DownloadStatus status, const std::string& controllerSpeed,
                        uint32_t repairProgress, const std::string& repairSpeed,
                        uint32_t repaintCount) {
    if (status == DownloadStatus::Md5Checking) return {translate("Status", "文件验证中..."), true};
    if (status == DownloadStatus::CheckRecover) {
        if (repairProgress == 0) return {translate("Status", "修复准备..."), true};
        if (repaintCount % 12 < 4) return {translate("Status", "修复中..."), true};
        return {repairSpeed, true};
    }
    return {controllerSpeed, false};
}

std::string ProgressLabel(DownloadStatus status) {
    if (status == DownloadStatus::Md5Checking || status == DownloadStatus::CheckFinished) {
        return translate("Status", "验证进度:");
    }
    if (status == DownloadStatus::CheckRecover) return translate("Status", "修复进度:");
    return translate("Status", "当前进度:");
}

std::string ProgressPercent(DownloadStatus status, uint32_t overall, uint32_t verify,
                            uint32_t repair) {
    uint32_t value = overall;
    if (status == DownloadStatus::Md5Checking || status == DownloadStatus::CheckFinished) {
        value = verify;
    } else if (status == DownloadStatus::CheckRecover) {
        if (repair == 0) return translate("Status", "准备中");
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
    if (status == DownloadStatus::CheckFinished)
        return repaired ? translate("Status", "√ 修复成功") : translate("Status", "√ 验证通过");
    if (status == DownloadStatus::Finished || status == DownloadStatus::Installing) {
        return translate("Status", "下载完成");
    }
    return "";
}

std::string StatusText(DownloadStatus status) {
    switch (status) {
        case DownloadStatus::Back:
            return translate("Status", "空间不足");
        case DownloadStatus::Ready:
            return translate("Status", "等待开始");
        case DownloadStatus::Preparing:
            return translate("Status", "准备下载");
        case DownloadStatus::Downloading:
            return translate("Status", "下载中");
        case DownloadStatus::Pause:
            return translate("Status", "已暂停");
        case DownloadStatus::Resume:
            return translate("Status", "继续下载");
        case DownloadStatus::Failed:
            return translate("Status", "下载失败");
        case DownloadStatus::Finished:
            return translate("Status", "下载完成");
        case DownloadStatus::Md5Checking:
            return translate("Status", "验证中");
        case DownloadStatus::CheckRecover:
            return translate("Status", "修复中");
        case DownloadStatus::CheckFinished:
            return translate("Status", "验证通过");
        case DownloadStatus::Installing:
            return translate("Status", "安装中");
        case DownloadStatus::Recover:
            return translate("Status", "恢复下载");
        case DownloadStatus::Reload:
            return translate("Status", "续传中");
        case DownloadStatus::Exited:
            return translate("Status", "已退出");
    }
    return "";
}

}  // namespace lfapp
