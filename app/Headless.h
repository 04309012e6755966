// The terminal front end: runs the download controller with the window's
// 100 ms and 1 s ticks, shows the progress on the terminal, answers the
// verification question from a flag and prints every message.
#pragma once

#include <cstdint>
#include <string>

namespace lfapp {

struct HeadlessOptions {
    std::string saveFolder;      // empty: the remembered or default folder
    int32_t speedLimitKiB = -1;  // -1: leave as is; 0: no limit
    bool verify = true;          // answer to "verify before installing?"
    bool install = true;         // launch the installer at the end
    bool shutdown = false;       // shut the machine down when finished
    bool mapPort = true;         // UPnP port mapping at start-up
    bool quiet = false;          // no live progress, only changes and messages
};

// Exit codes.
inline constexpr int kHeadlessOk = 0;
inline constexpr int kHeadlessFailed = 1;
inline constexpr int kHeadlessRetired = 2;
inline constexpr int kHeadlessInterrupted = 130;

int RunHeadless(const HeadlessOptions& options);

}  // namespace lfapp
