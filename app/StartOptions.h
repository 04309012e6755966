// The choices given on the command line, shared by the terminal front end
// and the window: both apply them to the controller right after its
// start-up in the same way.
#pragma once

#include <cstdint>
#include <string>

namespace lfapp {

class CDownloadController;

struct StartOptions {
    std::string saveFolder;      // empty: the remembered or default folder
    int32_t speedLimitKiB = -1;  // -1: leave as is; 0: no limit
    bool verify = true;          // answer to "verify before installing?" (terminal)
    bool install = true;         // launch the installer at the end (terminal)
    bool shutdown = false;       // shut the machine down when finished
    bool mapPort = true;         // UPnP port mapping at start-up
    bool quiet = false;          // no live progress, only changes and messages (terminal)
};

// Applies the save folder (to a download not yet begun), the speed limit and
// the shutdown choice after Initialise. A --save that cannot apply because an
// earlier download continues is answered with a message naming the folder
// in use.
void ApplyStartOptions(CDownloadController& controller, const StartOptions& options);

// An absolute form of a path given on the command line (relative to the
// working folder); "" stays "".
std::string AbsolutePath(const std::string& path);

}  // namespace lfapp
