#include "app/StartOptions.h"

#include <unistd.h>

#include "app/DownloadController.h"
#include "app/ReleaseTable.h"
#include "app/Translation.h"
#include "engine/core/EngineApi.h"

namespace lfapp {

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    std::string cwd(4096, '\0');
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) return path;
    cwd.resize(cwd.find('\0'));
    std::string relative = path;
    while (relative.size() >= 2 && relative.compare(0, 2, "./") == 0) relative.erase(0, 2);
    if (relative == ".") relative.clear();
    if (relative.empty()) return cwd;
    return cwd + (cwd.back() == '/' ? "" : "/") + relative;
}

void ApplyStartOptions(CDownloadController& controller, const StartOptions& options) {
    if (!options.saveFolder.empty()) {
        const DownloadStatus status = controller.Status();
        const std::string folder = AbsolutePath(options.saveFolder);
        if (status == DownloadStatus::Ready || status == DownloadStatus::Back) {
            controller.SetSaveFolder(folder);
        } else if (folder != controller.SaveFolder()) {
            const std::string text = WithArguments(
                translate("Message", "继续上次的下载，保存位置仍为 %1（--save %2 只用于新的下载）"),
                {controller.SaveFolder(), folder});
            lf::ShowMessageAsync(controller.Window(), text.c_str(), kMessageCaption, 0);
        }
    }
    if (options.speedLimitKiB >= 0) controller.SetSpeedLimit(options.speedLimitKiB);
    controller.SetAutoShutdown(options.shutdown);
}

}  // namespace lfapp
