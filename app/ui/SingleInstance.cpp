#include "app/ui/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace lfui {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) return std::string();
    return buffer;
}

std::string ExePath(const std::string& procEntry) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(procEntry.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    buffer[n] = '\0';
    return buffer;
}

}  // namespace

bool IsSameProgram(pid_t pid) {
    if (pid <= 0 || pid == getpid()) return false;
    const std::string self = ExePath("/proc/self/exe");
    const std::string other = ExePath("/proc/" + std::to_string(pid) + "/exe");
    return !self.empty() && self == other;
}

std::string CSingleInstance::DefaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return runtime;
    return "/tmp";
}

CSingleInstance::CSingleInstance(std::string releaseId, std::string folder)
    : m_releaseId(std::move(releaseId)) {
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    m_lockPath = folder + "/" + m_releaseId + ".lock";
    m_socketPath = folder + "/Lanternfish_Only_Mapping_" + m_releaseId;
}

CSingleInstance::~CSingleInstance() {
    if (m_listen >= 0) {
        close(m_listen);
        // Only the lock holder owns the socket name.
        if (m_lock >= 0) unlink(m_socketPath.c_str());
    }
    if (m_lock >= 0) close(m_lock);
}

bool CSingleInstance::TryLock() {
    if (m_lock < 0) {
        m_lock = open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_lock < 0) return false;
    }
    if (flock(m_lock, LOCK_EX | LOCK_NB) == 0) return true;
    return false;
}

bool CSingleInstance::Listen() {
    sockaddr_un address;
    if (!FillAddress(m_socketPath, &address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    // A name left by a copy that ended without cleaning up.
    unlink(m_socketPath.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0) {
        close(fd);
        return false;
    }
    chmod(m_socketPath.c_str(), 0600);
    m_listen = fd;
    return true;
}

CSingleInstance::Outcome CSingleInstance::Check(int answerWaitMs) {
    if (TryLock()) {
        Listen();  // without a channel this copy still runs; later copies start beside it
        return Outcome::First;
    }
    if (m_lock < 0) return Outcome::Beside;  // the lock file cannot be made
    const Outcome outcome = AskRunningCopy(answerWaitMs);
    if (outcome != Outcome::Replaced) {
        if (outcome == Outcome::Beside || outcome == Outcome::Answered) {
            close(m_lock);
            m_lock = -1;
        }
        return outcome;
    }
    // The hung copy was terminated: take its lock (released when it is gone).
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!TryLock()) {
        if (Clock::now() >= deadline) {
            close(m_lock);
            m_lock = -1;
            return Outcome::Beside;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Listen();
    return Outcome::Replaced;
}

CSingleInstance::Outcome CSingleInstance::AskRunningCopy(int answerWaitMs) {
    sockaddr_un address;
    if (!FillAddress(m_socketPath, &address)) return Outcome::Beside;
    const auto deadline = Clock::now() + std::chrono::milliseconds(answerWaitMs);
    int fd = -1;
    // The running copy may hold the lock a moment before it listens.
    for (;;) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return Outcome::Beside;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
        close(fd);
        fd = -1;
        if (MillisecondsLeft(deadline) == 0) return Outcome::Beside;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) peer.pid = 0;

    const std::string message = std::string(kBringToFrontMessage) + "\n" + CurrentDirectory();
    const std::string framed = message + std::string(1, '\0');
    bool answered = false;
    if (send(fd, framed.data(), framed.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(framed.size())) {
        pollfd p{fd, POLLIN, 0};
        const int wait = std::max(MillisecondsLeft(deadline), 0);
        if (poll(&p, 1, wait) == 1) {
            char reply = 0;
            answered = recv(fd, &reply, 1, 0) == 1 && reply == '1';
        }
    }
    close(fd);
    if (answered) return Outcome::Answered;
    // Hung: end the copy that listens there, but only when it is this program.
    if (peer.pid > 0 && IsSameProgram(peer.pid) && kill(peer.pid, SIGKILL) == 0) {
        m_replaced = peer.pid;
        return Outcome::Replaced;
    }
    return Outcome::Beside;
}

bool ParseInstanceMessage(std::string_view bytes, std::string* cwd) {
    const size_t end = bytes.find('\0');
    if (end != std::string_view::npos) bytes = bytes.substr(0, end);
    const std::string_view head = kBringToFrontMessage;
    if (bytes.substr(0, head.size()) != head) return false;
    if (bytes.size() > head.size() && bytes[head.size()] != '\n') return false;
    if (cwd != nullptr) {
        *cwd = bytes.size() > head.size() ? std::string(bytes.substr(head.size() + 1)) : "";
    }
    return true;
}

bool CSingleInstance::Answer(std::string* cwd) {
    if (m_listen < 0) return false;
    const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(5000);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MillisecondsLeft(deadline)) != 1) break;
        char buffer[512];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.find('\0') != std::string::npos || text.size() > 8192) break;
    }
    std::string directory;
    const bool bring = ParseInstanceMessage(text, &directory);
    if (bring) {
        const char reply = '1';
        send(fd, &reply, 1, MSG_NOSIGNAL);
        if (cwd != nullptr) *cwd = directory;
    }
    close(fd);
    return bring;
}

}  // namespace lfui
