// The application object of the desktop program: one copy per release,
// the crash report, the windowing library, the main window run until it is
// destroyed.
#pragma once

#include <functional>
#include <memory>

#include "app/ui/ControllerPort.h"

namespace lfui {

class CKvoLanternfishUIApp {
public:
    using ControllerFactory = std::function<std::unique_ptr<IControllerPort>()>;

    CKvoLanternfishUIApp(int& argc, char** argv, ControllerFactory makeController);

    // Start-up in order: single-instance check, crash handler, windowing
    // library, main window and its initialisation, then the event loop.
    // Returns the process exit code.
    int Run();

private:
    int& m_argc;
    char** m_argv;
    ControllerFactory m_makeController;
};

}  // namespace lfui
