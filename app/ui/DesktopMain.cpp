#include "app/ui/DesktopMain.h"

#include "app/DownloadController.h"
#include "app/ui/KvoLanternfishUIApp.h"
#include "app/ui/KvoLanternfishUIDlg.h"

namespace lfui {

std::unique_ptr<IControllerPort> MakeDesktopController(
    const lfapp::StartOptions& options,
    const std::function<void(lfapp::CDownloadController&)>& configure) {
    // The settings dialog shows the choices the command line made.
    if (options.speedLimitKiB >= 0) {
        CKvoLanternfishUIDlg::Settings().speedLimit = options.speedLimitKiB;
    }
    CKvoLanternfishUIDlg::Settings().autoShutdown = options.shutdown ? 1 : 0;
    return MakeControllerPort(configure, [options](lfapp::CDownloadController& c) {
        lfapp::ApplyStartOptions(c, options);
    });
}

int RunDesktop(int argc, char** argv, const lfapp::StartOptions& options) {
    CKvoLanternfishUIApp app(argc, argv, [options] { return MakeDesktopController(options); });
    return app.Run();
}

}  // namespace lfui
