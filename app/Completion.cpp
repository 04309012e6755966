// Completion actions: launching the installer, the automatic shutdown and
// the record of why the program ended.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "app/AppPaths.h"
#include "app/DownloadController.h"
#include "engine/core/EngineApi.h"
#include "engine/log/LogApi.h"
#include "stats/DataUpload.h"

namespace lfapp {
using namespace lf;

namespace {

constexpr int kLogChannel = 34;

void Log(const char* text) {
    EngineLog::Write(kLogChannel, text);
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The argument vector of execvp for args (which must outlive it).
std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Starts argv in folder, detached from this process (it outlives us).
// Returns 0 when the program started, else the errno of the failed start.
int StartDetached(const std::vector<std::string>& args, const std::string& folder) {
    if (args.empty()) return ENOENT;
    std::vector<char*> argv = Argv(args);
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return errno;
    pid_t child = ::fork();
    if (child < 0) {
        int e = errno;
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        return e;
    }
    if (child == 0) {
        ::close(pipefd[0]);
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        int e = 0;
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) e = errno;
        if (e == 0) {
            ::execvp(argv[0], argv.data());
            e = errno;
        }
        ssize_t ignored = ::write(pipefd[1], &e, sizeof e);
        (void)ignored;
        ::_exit(127);
    }
    ::close(pipefd[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int e = 0;
    ssize_t got;
    while ((got = ::read(pipefd[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    ::close(pipefd[0]);
    return got == static_cast<ssize_t>(sizeof e) ? e : 0;
}

// Runs argv and waits for it; true when it exited with 0.
bool RunAndWait(const std::vector<std::string>& args) {
    if (args.empty()) return false;
    std::vector<char*> argv = Argv(args);
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::atomic<bool> g_exitRecorded{false};

}  // namespace

int OpenFailureCode(int error) {
    switch (error) {
        case ENOENT:
            return 2;
        case ENOTDIR:
            return 3;
        case EACCES:
        case EPERM:
            return 5;
        case ENOMEM:
            return 8;
        case ENOEXEC:
            return 11;
        case ETXTBSY:
            return 26;
        default:
            return 0;
    }
}

std::string LaunchFailureReason(bool verified, int code) {
    std::string text = "安装程序无法正常打开，原因：";
    text += verified ? "本次安装前通过了校验" : "本次安装前没有校验";
    switch (code) {
        case 2:
            text += "The specified file was not found.";
            break;
        case 3:
            text += "The specified path was not found.";
            break;
        case 5:
            text += "The operating system denied access to the specified file.";
            break;
        case 8:
            text += "There was not enough memory to complete the operation.";
            break;
        case 11:
            text += "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
            break;
        case 26:
            text += "A sharing violation occurred.";
            break;
        case 27:
            text += "The file name association is incomplete or invalid.";
            break;
        case 28:
            text += "The DDE transaction could not be completed because the request timed out.";
            break;
        case 29:
            text += "The DDE transaction failed.";
            break;
        case 30:
            text +=
                "The DDE transaction could not be completed because other DDE transactions were "
                "being processed.";
            break;
        case 31:
            text +=
                "There is no application associated with the given file name extension. This "
                "error will also be returned if you attempt to print a file that is not printable.";
            break;
        default:
            text += "Unknown open failed";
            break;
    }
    return text;
}

void CDownloadController::LaunchInstaller(bool verified) {
    std::unique_lock<std::recursive_mutex> guard(m_lock);
    DownloadStatus previous = Status();
    SetStatus(DownloadStatus::Installing);
    std::string path = InstallerPath();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Message(QT_TRANSLATE_NOOP("Message", "安装程序丢失"),
                QT_TRANSLATE_NOOP("Message", "安装失败"));
        ReportFileEvent("11600102", m_entrance.c_str(),
                        "用户点击安装按钮，但是找不到安装程序，安装失败");
        Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
        return;
    }
    // The shell's "open": the configured command, else the file itself when
    // it is executable, else xdg-open.
    std::vector<std::string> args = SplitWords(m_settings.openCommand);
    if (args.empty() && ::access(path.c_str(), X_OK) != 0) args.push_back("xdg-open");
    args.push_back(path);
    int error = StartDetached(args, m_saveFolder);
    SetStatus(previous);
    if (error != 0) {
        int code = OpenFailureCode(error);
        // A missing opener means no program is associated with the file.
        if (error == ENOENT && args.size() > 1) code = 31;
        std::string reason = LaunchFailureReason(verified, code);
        Message(QT_TRANSLATE_NOOP("Message", "安装程序无法正常打开"),
                QT_TRANSLATE_NOOP("Message", "安装失败"));
        Log(reason.c_str());
        try {
            ReportFileEvent("11600101", m_entrance.c_str(), reason.c_str());
        } catch (...) {
            EngineLog::Write(28, "DC failed");
        }
        return;
    }
    Log("开始安装] [用户点击安装按钮");
    m_installerExit = true;
    std::function<void()> close = m_hooks.closeWindow;
    guard.unlock();
    if (close) close();
}

void CDownloadController::StartShutdown() {
    // No privilege to adjust here: the configured command asks the system.
    std::vector<std::string> args = SplitWords(m_settings.shutdownCommand);
    args.push_back("一分钟后将自动关机");
    if (!RunAndWait(args)) Message(QT_TRANSLATE_NOOP("Message", "自动关机失败，请手动关机"));
}

void CDownloadController::MarkProgramExit(const std::string& reason) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_programExit = reason.empty() ? std::string("程序结束") : reason;
}

void CDownloadController::OnWindowDestroyed() {
    if (g_exitRecorded.exchange(true)) return;
    m_stopping = true;
    if (m_refused) {
        // Another copy owns the data folder: nothing of it is ours to write.
        StopDataUpload();
        EngineShutdown();
        return;
    }
    JoinVerification();
    StopEarlyDigest();
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_userExit) {
        Log("用户点击退出按钮");
        DownloadStatus s = Status();
        if (s != DownloadStatus::Finished && s != DownloadStatus::Back &&
            s != DownloadStatus::Ready) {
            SendStatistics("11040000", "");
        }
        Log("=====================退出=====================");
    } else if (m_installerExit) {
        Log("由于启动了安装程序，退出");
        Log("=====================退出=====================");
    } else if (!m_programExit.empty()) {
        Log((m_programExit + "，退出").c_str());
        Log("=====================退出=====================");
    } else {
        SendStatistics("11990501", "Unknow Exit, maybe crashed");
        Log("遭遇意外退出");
        SetStatus(DownloadStatus::Exited);
        Log("=====================已退出=====================");
    }
    StopDataUpload();
    CloseEngineLog();
    EngineShutdown();
}

}  // namespace lfapp
