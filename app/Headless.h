// The terminal front end: runs the download controller with the window's
// 100 ms and 1 s ticks, shows the progress on the terminal, answers the
// verification question from a flag and prints every message.
#pragma once

#include "app/StartOptions.h"

namespace lfapp {

using HeadlessOptions = StartOptions;

// Exit codes.
inline constexpr int kHeadlessOk = 0;
inline constexpr int kHeadlessFailed = 1;
inline constexpr int kHeadlessRetired = 2;
inline constexpr int kHeadlessInterrupted = 130;

int RunHeadless(const HeadlessOptions& options);

}  // namespace lfapp
