#include "app/CopyLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/Translation.h"

namespace lfapp {

namespace {

pid_t ReadHolder(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    return static_cast<pid_t>(std::atol(text));
}

}  // namespace

std::string CCopyLock::Normalise(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(folder, ec);
    return ec ? folder : p.string();
}

CCopyLock::~CCopyLock() {
    Release();
}

void CCopyLock::Release() {
    if (m_fd >= 0) ::close(m_fd);  // closing drops the lock
    m_fd = -1;
    m_folder.clear();
}

CCopyLock::Result CCopyLock::Acquire(const std::string& folder, pid_t* holder) {
    if (holder != nullptr) *holder = 0;
    if (folder.empty()) return Result::Unavailable;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string normalised = Normalise(folder);
    if (m_fd >= 0 && normalised == m_folder) return Result::Held;
    const std::string path = normalised + "/" + kCopyLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Result::Unavailable;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        if (busy && holder != nullptr) *holder = ReadHolder(fd);
        ::close(fd);
        return busy ? Result::Busy : Result::Unavailable;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
        (void)written;  // the pid only makes the refusal message more helpful
    }
    Release();
    m_fd = fd;
    m_folder = normalised;
    return Result::Held;
}

std::string CopyLockRefusal(const std::string& folder, pid_t holder) {
    const std::string text =
        holder > 0
            ? translate("Message",
                        "另一个下载器正在使用目录 %1（进程 "
                        "%2），本次启动不做任何操作。请等它结束后再试。")
            : translate("Message",
                        "另一个下载器正在使用目录 %1，本次启动不做任何操作。请等它结束后再试。");
    return WithArguments(text, {folder, std::to_string(holder)});
}

}  // namespace lfapp
