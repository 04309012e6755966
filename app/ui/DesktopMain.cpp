#include "app/ui/DesktopMain.h"

#include "app/ui/ControllerPort.h"
#include "app/ui/KvoLanternfishUIApp.h"

namespace lfui {

int RunDesktop(int argc, char** argv) {
    CKvoLanternfishUIApp app(argc, argv, [] { return MakeControllerPort(); });
    return app.Run();
}

}  // namespace lfui
