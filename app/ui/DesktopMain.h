// Entry of the desktop program (the window); main() calls it when the
// program is not run headless. The release is already chosen
// (lfapp::ActiveRelease()).
#pragma once

namespace lfui {

int RunDesktop(int argc, char** argv);

}  // namespace lfui
