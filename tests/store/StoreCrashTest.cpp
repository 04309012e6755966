// Crash safety with real processes: a helper downloads through the piece map
// and is killed (SIGKILL, now and then SIGTERM) at random moments; each new
// run recovers from the resume file, cache file and the data on disk. The
// helper itself fails when a piece is reported present with wrong bytes on
// disk; this test checks what each kill cost and the finished files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <thread>

#include "tests/store/CrashContent.h"
#include "tests/support/TestDirs.h"

using namespace storetest;

namespace {

struct Progress {
    uint64_t known = ~0ull;
    uint64_t fed = 0;
    uint64_t done = 0;
};

Progress ReadProgress(const std::string& path) {
    Progress p;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return p;
    uint64_t v[3] = {~0ull, 0, 0};
    if (::pread(fd, v, sizeof v, 0) == static_cast<ssize_t>(sizeof v)) {
        p.known = v[0];
        p.fed = v[1];
        p.done = v[2];
    }
    ::close(fd);
    return p;
}

int WaitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(StoreCrash, KilledAtRandomMomentsRecoversAndFinishes) {
    lftest::TempDir top;
    const Content c = CrashContent();
    const uint64_t total = c.bytes.size();
    const uint64_t bound = kCrashCacheUnits * kCacheUnitBytes + 3ull * c.layout.pieceLength;
    std::mt19937 rng(4242);
    uint64_t worstLoss = 0;
    int kills = 0, terms = 0, finishedEarly = 0;
    // Downloads one after another (each in a folder of its own) until the
    // helper has been killed often enough; how far one run gets depends on
    // the machine's speed.
    for (int download = 0; download < 4 && kills < 30; ++download) {
        const std::string folder = top / std::to_string(download);
        ::mkdir(folder.c_str(), 0755);
        uint64_t base = 0;  // bytes known + fed by the last run that got past recovery
        const std::string progressPath = folder + "/progress";
        for (int run = 0; run < 60; ++run) {
            lftest::WriteFile(progressPath, std::string(8, '\xff') + std::string(16, '\0'));
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::execl(CRASH_HELPER, CRASH_HELPER, folder.c_str(), "300", nullptr);
                ::_exit(127);
            }
            // Random moment: every fourth run anywhere from its start (often
            // during recovery), the others somewhere in the download after it.
            if (run % 4 != 0) {
                for (int waited = 0; waited < 5000; waited += 2) {
                    if (ReadProgress(progressPath).known != ~0ull) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 150));
            bool term = run % 6 == 5;
            ::kill(pid, term ? SIGTERM : SIGKILL);
            int status = WaitExit(pid);
            if (WIFEXITED(status)) {
                int code = WEXITSTATUS(status);
                ASSERT_NE(code, 3) << "run " << run << ": a present piece had wrong bytes on disk";
                ASSERT_TRUE(code == 0 || code == 10) << "run " << run << " exited with " << code;
                if (code == 0) ++finishedEarly;
                if (code == 10) ++terms;
            } else {
                ++kills;
            }
            Progress p = ReadProgress(progressPath);
            if (std::getenv("STORE_CRASH_VERBOSE"))
                std::printf("run %d: known %lld fed %lld base %llu\n", run,
                            static_cast<long long>(p.known), static_cast<long long>(p.fed),
                            static_cast<unsigned long long>(base));
            if (p.known != ~0ull) {
                // What the previous run had, minus what this one recovered.
                if (run > 0 && base > p.known) {
                    uint64_t loss = base - p.known;
                    worstLoss = std::max(worstLoss, loss);
                    EXPECT_LE(loss, bound) << "run " << run;
                }
                base = std::min<uint64_t>(p.known + p.fed, total);
            }
            if (p.done) break;
        }
        // The last run finishes undisturbed.
        if (!ReadProgress(progressPath).done) {
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::execl(CRASH_HELPER, CRASH_HELPER, folder.c_str(), "0", nullptr);
                ::_exit(127);
            }
            int status = WaitExit(pid);
            ASSERT_TRUE(WIFEXITED(status));
            ASSERT_EQ(WEXITSTATUS(status), 0);
        }
        for (size_t f = 0; f < c.layout.files.size(); ++f) {
            std::string path = folder + "/data/" + c.layout.files[f].path;
            std::string got = lftest::ReadFile(path);
            std::string want = c.FileBytes(f);
            EXPECT_EQ(Digest("SHA1", got), Digest("SHA1", want)) << path;
            EXPECT_EQ(Digest("MD5", got), Digest("MD5", want)) << path;
            EXPECT_FALSE(lftest::FileExists(path + ".lftmp"));
        }
        EXPECT_FALSE(lftest::FileExists(folder + "/task.lfinfo"));
        EXPECT_FALSE(lftest::FileExists(folder + "/task.lfinfodf"));
    }
    std::printf("kills %d, stops %d, worst re-fetch %llu bytes (bound %llu)\n", kills, terms,
                static_cast<unsigned long long>(worstLoss), static_cast<unsigned long long>(bound));
    EXPECT_GE(kills, 20);
}
