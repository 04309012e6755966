// Crash report: when the process dies of a fatal signal or an uncaught
// exception, a text report (reason, faulting address, backtrace) is written
// to a new file in the working directory named
// "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp" (local year, month, day,
// hour, minute, second, millisecond, a pseudo-random 0..99), replacing a
// file of that name. The process then ends as it would have.
#pragma once

#include <ctime>
#include <string>

namespace lfui {

// The report's file name for a local time, milliseconds and random value.
std::string CrashDumpName(const std::tm& local, int milliseconds, int random);

// Installs the handlers (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and
// std::terminate). Safe to call more than once.
void InstallCrashHandler();

}  // namespace lfui
