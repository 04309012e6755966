// One copy per release: a later copy reaches the running one and ends, a
// frozen running copy is replaced after the answer wait, and two releases
// run side by side. Also the crash report of a dying process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>

#include "app/ui/CrashReport.h"
#include "app/ui/SingleInstance.h"
#include "tests/support/TestDirs.h"

using lfui::CSingleInstance;
using Outcome = CSingleInstance::Outcome;

namespace {

const char kRelease[] = "0123456789abcdef0123456789abcdef";

// A forked copy that takes the first place, reports on a pipe, then answers
// messages forever (until killed).
pid_t StartRunningCopy(const std::string& folder, const std::string& release) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        CSingleInstance instance(release, folder);
        const char outcome = instance.Check(1000) == Outcome::First ? 'F' : 'x';
        if (write(ready[1], &outcome, 1) != 1) _exit(3);
        close(ready[1]);
        for (;;) {
            instance.Answer();
            usleep(2000);
        }
    }
    close(ready[1]);
    char outcome = 0;
    const bool ok = read(ready[0], &outcome, 1) == 1 && outcome == 'F';
    close(ready[0]);
    if (!ok) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// "YYYY-MM-DD-hh-mm-ss-ms-rr.dmp": eight numbers (the milliseconds with two
// or three digits) joined by '-'.
bool IsDumpName(const std::string& name) {
    const std::string suffix = ".dmp";
    if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) {
        return false;
    }
    const std::string stem = name.substr(0, name.size() - suffix.size());
    const size_t widths[] = {4, 2, 2, 2, 2, 2, 0, 2};  // 0: two or three digits
    size_t at = 0;
    for (size_t part = 0; part < 8; ++part) {
        size_t end = stem.find('-', at);
        if (end == std::string::npos) end = stem.size();
        const size_t length = end - at;
        const bool widthOk =
            widths[part] == 0 ? (length == 2 || length == 3) : length == widths[part];
        if (!widthOk) return false;
        for (size_t i = at; i < end; ++i) {
            if (stem[i] < '0' || stem[i] > '9') return false;
        }
        if (part < 7 && end == stem.size()) return false;
        at = end + 1;
    }
    return at == stem.size() + 1;
}

void Reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(SingleInstance, LaterCopyReachesTheRunningOneAndEnds) {
    lftest::TempDir dir;
    const pid_t running = StartRunningCopy(dir.Path(), kRelease);
    ASSERT_GT(running, 0);
    {
        CSingleInstance later(kRelease, dir.Path());
        EXPECT_EQ(later.Check(1000), Outcome::Answered);
        EXPECT_EQ(later.ListenFd(), -1);
        int status = 0;
        EXPECT_EQ(waitpid(running, &status, WNOHANG), 0);  // still alive
    }
    // A different release runs beside it.
    {
        CSingleInstance other("fedcba9876543210fedcba9876543210", dir.Path());
        EXPECT_EQ(other.Check(1000), Outcome::First);
        EXPECT_GE(other.ListenFd(), 0);
    }
    Reap(running);
}

TEST(SingleInstance, FrozenRunningCopyIsReplaced) {
    lftest::TempDir dir;
    const pid_t running = StartRunningCopy(dir.Path(), kRelease);
    ASSERT_GT(running, 0);
    ASSERT_EQ(kill(running, SIGSTOP), 0);
    CSingleInstance later(kRelease, dir.Path());
    EXPECT_EQ(later.Check(1000), Outcome::Replaced);
    EXPECT_EQ(later.ReplacedPid(), running);
    int status = 0;
    ASSERT_EQ(waitpid(running, &status, 0), running);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    // The new copy now answers the next one.
    ASSERT_GE(later.ListenFd(), 0);
    std::atomic<bool> answered{false};
    std::thread answer([&] {
        for (int i = 0; i < 300 && !answered; ++i) {
            if (later.Answer()) answered = true;
            usleep(10000);
        }
    });
    CSingleInstance third(kRelease, dir.Path());
    EXPECT_EQ(third.Check(1000), Outcome::Answered);
    answer.join();
    EXPECT_TRUE(answered);
}

TEST(SingleInstance, ACopyThatEndedLeavesNothingBehind) {
    lftest::TempDir dir;
    {
        const pid_t running = StartRunningCopy(dir.Path(), kRelease);
        ASSERT_GT(running, 0);
        Reap(running);  // crashed: the socket name is still there
    }
    CSingleInstance next(kRelease, dir.Path());
    EXPECT_EQ(next.Check(1000), Outcome::First);
    EXPECT_EQ(next.ReplacedPid(), 0);
}

TEST(SingleInstance, OnlyThisProgramIsEverTerminated) {
    // A process listening on the name that is not this program is never
    // killed: the later copy starts beside it instead.
    lftest::TempDir dir;
    CSingleInstance holder(kRelease, dir.Path());
    ASSERT_EQ(holder.Check(1000), Outcome::First);
    // The holder is this very process (never answered here): it is not killed.
    CSingleInstance later(kRelease, dir.Path());
    EXPECT_EQ(later.Check(300), Outcome::Beside);
    EXPECT_EQ(later.ReplacedPid(), 0);
    EXPECT_FALSE(lfui::IsSameProgram(getpid()));
}

TEST(SingleInstance, MessageText) {
    lftest::TempDir dir;
    CSingleInstance first(kRelease, dir.Path());
    ASSERT_EQ(first.Check(1000), Outcome::First);
    std::string cwd;
    std::atomic<bool> answered{false};
    std::thread answer([&] {
        for (int i = 0; i < 300 && !answered; ++i) {
            if (first.Answer(&cwd)) answered = true;
            usleep(5000);
        }
    });
    CSingleInstance later(kRelease, dir.Path());
    EXPECT_EQ(later.Check(2000), Outcome::Answered);
    answer.join();
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(cwd, here);
}

TEST(CrashReport, NameCheck) {
    EXPECT_TRUE(IsDumpName("2026-12-10-07-05-09-07-03.dmp"));
    EXPECT_TRUE(IsDumpName("2026-12-10-07-05-09-345-99.dmp"));
    EXPECT_FALSE(IsDumpName("2026-12-10-07-05-09-07.dmp"));
    EXPECT_FALSE(IsDumpName("2026-12-10-07-05-09-07-03-1.dmp"));
    EXPECT_FALSE(IsDumpName("2026-12-10-07-05-09-07-03.txt"));
    EXPECT_FALSE(IsDumpName("2026-1a-10-07-05-09-07-03.dmp"));
}

TEST(CrashReport, FatalSignalWritesADatedReport) {
    lftest::TempDir dir;
    for (int sig : {SIGSEGV, SIGABRT}) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.Path().c_str()) != 0) _exit(3);
            lfui::InstallCrashHandler();
            raise(sig);
            _exit(4);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
    }
    int reports = 0;
    std::set<std::string> signals;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string file = entry.path().filename();
        EXPECT_TRUE(IsDumpName(file)) << file;
        const std::string text = lftest::ReadFile(entry.path());
        EXPECT_NE(text.find("backtrace:"), std::string::npos);
        const auto at = text.find("signal: ");
        ASSERT_NE(at, std::string::npos);
        signals.insert(text.substr(at + 8, text.find('\n', at) - at - 8));
        ++reports;
    }
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(signals, (std::set<std::string>{std::to_string(SIGSEGV), std::to_string(SIGABRT)}));
}

TEST(CrashReport, UncaughtExceptionWritesAReport) {
    lftest::TempDir dir;
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.Path().c_str()) != 0) _exit(3);
        lfui::InstallCrashHandler();
        // Thrown where nothing catches it (gtest would catch it on this thread).
        std::thread([] { throw std::runtime_error("boom in the window thread"); }).join();
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    int reports = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string text = lftest::ReadFile(entry.path());
        EXPECT_NE(text.find("boom in the window thread"), std::string::npos);
        ++reports;
    }
    EXPECT_EQ(reports, 1);
}

}  // namespace
