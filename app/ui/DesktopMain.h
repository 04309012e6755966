// Entry of the desktop program (the window); main() calls it when the
// program is not run headless. The release is already chosen
// (lfapp::ActiveRelease()).
#pragma once

#include <functional>
#include <memory>

#include "app/StartOptions.h"
#include "app/ui/ControllerPort.h"

namespace lfui {

// The window's controller with the options applied after its start-up
// (configure as for MakeControllerPort).
std::unique_ptr<IControllerPort> MakeDesktopController(
    const lfapp::StartOptions& options,
    const std::function<void(lfapp::CDownloadController&)>& configure = {});

// The options (--save, --limit, --shutdown) apply after the controller's
// start-up, as in the terminal front end.
int RunDesktop(int argc, char** argv, const lfapp::StartOptions& options);

}  // namespace lfui
