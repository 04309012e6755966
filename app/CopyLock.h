// One running copy per data folder and per save folder, for every process
// of the program (window and terminal front end alike).
//
// A copy holds an exclusive lock (flock) on "<folder>/.lanternfish.lock" for
// as long as it uses the folder; the file carries the holder's pid for the
// refusal message. The lock goes with the process, so a copy that was killed
// leaves nothing that blocks the next one. A second copy sees the lock
// before it touches any other file of the folder.
#pragma once

#include <sys/types.h>

#include <string>

namespace lfapp {

inline constexpr char kCopyLockName[] = ".lanternfish.lock";

class CCopyLock {
public:
    CCopyLock() = default;
    ~CCopyLock();
    CCopyLock(const CCopyLock&) = delete;
    CCopyLock& operator=(const CCopyLock&) = delete;

    enum class Result {
        Held,         // this process holds the lock (also when it held it already)
        Busy,         // another process holds it (*holder gets its pid, 0 when unknown)
        Unavailable,  // the folder or the lock file cannot be made: nothing to protect
                      // yet, and the caller's own use of the folder reports why
    };
    // Locks folder (created when missing). Locking another folder releases
    // the previous one.
    Result Acquire(const std::string& folder, pid_t* holder = nullptr);
    void Release();
    // The folder as the lock names it (absolute, symbolic links resolved).
    static std::string Normalise(std::string folder);
    bool Held() const { return m_fd >= 0; }
    const std::string& Folder() const { return m_folder; }

private:
    int m_fd = -1;
    std::string m_folder;
};

// The refusal text shown when another copy holds a folder.
std::string CopyLockRefusal(const std::string& folder, pid_t holder);

}  // namespace lfapp
