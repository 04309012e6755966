#include "app/Headless.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "app/DownloadController.h"
#include "app/ReleaseTable.h"
#include "app/ResourceList.h"
#include "app/StatusTexts.h"
#include "engine/base/SafeText.h"
#include "engine/core/EngineApi.h"

namespace lfapp {
using namespace lf;

namespace {

std::mutex g_outputLock;
std::atomic<bool> g_interrupted{false};
bool g_liveBlock = false;  // a redrawn block is on the terminal
int g_liveLines = 0;

void OnSignal(int) {
    g_interrupted = true;
}

// Clears the live block so that ordinary lines do not mix with it.
void ClearLiveBlockLocked() {
    if (!g_liveBlock) return;
    for (int i = 0; i < g_liveLines; ++i) std::fputs("\033[1A\033[2K", stdout);
    std::fputs("\r", stdout);
    g_liveBlock = false;
    g_liveLines = 0;
}

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_outputLock);
    ClearLiveBlockLocked();
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Messages can carry text from the network (the resource list's notices):
// control characters never reach the terminal as they are.
void PrintMessage(void*, const std::string& text, const std::string& caption, uint32_t) {
    PrintLine("[" + lf::SafeText(caption) + "] " + lf::SafeLines(text));
}

std::string Bar(uint32_t progress, int width) {
    int filled = static_cast<int>(static_cast<uint64_t>(progress) * width / 10000);
    std::string bar = "[";
    for (int i = 0; i < width; ++i) bar += i < filled ? '#' : '-';
    return bar + "]";
}

class Terminal {
public:
    Terminal(CDownloadController& controller, bool quiet)
        : m_c(controller), m_tty(!quiet && ::isatty(STDOUT_FILENO)), m_quiet(quiet) {}

    // The progress line with the window's texts: bar, label and percentage,
    // speed area, size.
    std::string ProgressLine() {
        DownloadStatus s = m_c.Status();
        uint32_t progress = m_c.OverallProgress();
        if (s == DownloadStatus::Md5Checking || s == DownloadStatus::CheckFinished) {
            progress = m_c.VerifyProgress();
        } else if (s == DownloadStatus::CheckRecover) {
            progress = m_c.RepairProgress();
        }
        const std::string percent =
            ProgressPercent(s, m_c.OverallProgress(), m_c.VerifyProgress(), m_c.RepairProgress());
        const std::string speed = SpeedAreaText(s, m_c.SpeedText(), m_c.RepairProgress(),
                                                m_c.RepairSpeedText(), m_repaints++)
                                      .text;
        char text[256];
        std::snprintf(text, sizeof text, "%s %s %8s  %12s  %s  (%s)", Bar(progress, 30).c_str(),
                      ProgressLabel(s).c_str(), percent.c_str(), speed.c_str(),
                      m_c.SizeText().c_str(), StatusName(s));
        return text;
    }

    void Render(bool force) {
        std::string line = ProgressLine();
        std::array<std::string, kReleaseEntryCount> files;
        for (int i = 0; i < kReleaseEntryCount; ++i) files[i] = m_c.FileStatusText(i);
        if (m_tty) {
            std::lock_guard<std::mutex> guard(g_outputLock);
            ClearLiveBlockLocked();
            std::printf("%s\n", line.c_str());
            for (int i = 0; i < kReleaseEntryCount; ++i) {
                std::printf("  %-40s %s\n", m_c.FileName(i).c_str(), files[i].c_str());
            }
            g_liveBlock = true;
            g_liveLines = kReleaseEntryCount + 1;
            std::fflush(stdout);
            return;
        }
        // Not a terminal: the progress every few seconds, file texts on change.
        auto now = std::chrono::steady_clock::now();
        if (!m_quiet && (force || now - m_lastLine >= std::chrono::seconds(2))) {
            m_lastLine = now;
            PrintLine(line);
        }
        for (int i = 0; i < kReleaseEntryCount; ++i) {
            if (files[i] != m_files[i] && (force || !IsPercentOnly(files[i]))) {
                m_files[i] = files[i];
                PrintLine("  " + m_c.FileName(i) + "  " + files[i]);
            }
        }
    }

private:
    // Texts that change with every step of progress are only printed live.
    static bool IsPercentOnly(const std::string& text) {
        return !text.empty() && (text.back() == ' ') && text.find('%') != std::string::npos &&
               text.find("：") == std::string::npos;
    }

    CDownloadController& m_c;
    bool m_tty;
    bool m_quiet;
    uint32_t m_repaints = 0;
    std::chrono::steady_clock::time_point m_lastLine{};
    std::array<std::string, kReleaseEntryCount> m_files;
};

}  // namespace

int RunHeadless(const HeadlessOptions& options) {
    std::optional<ReleaseTable> table = LoadReleaseTable();
    if (!table) {
        std::fprintf(stderr, "lanternfish: the release carries no release table\n");
        return kHeadlessFailed;
    }
    SetEngineMessageSink(&PrintMessage);
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CDownloadController controller(*table);
    controller.Settings().mapPort = options.mapPort;
    std::atomic<bool> verificationDone{false};
    std::atomic<bool> closeRequested{false};
    ControllerHooks hooks;
    hooks.askYesNo = [&](const std::string& text, const std::string&) {
        PrintLine(text + (options.verify ? " 是" : " 否"));
        return options.verify;
    };
    hooks.verificationDone = [&] { verificationDone = true; };
    hooks.closeWindow = [&] { closeRequested = true; };
    hooks.refused = [](const std::string& text) {
        PrintLine("[" + std::string(kMessageCaption) + "] " + text);
    };
    controller.SetHooks(hooks);

    int started = controller.Initialise();
    if (started < 0) {
        controller.MarkUserExit();
        controller.OnWindowDestroyed();
        return kHeadlessFailed;
    }
    if (started == 0 && !table->listUrl.empty()) {
        ExpiryInfo expiry = CheckExpiry(table->listUrl);
        if (expiry.retired) {
            PrintLine("[" + std::string(kMessageCaption) + "] " + lf::SafeLines(expiry.message));
            if (!expiry.url.empty()) PrintLine(lf::SafeText(expiry.url));
            controller.MarkUserExit();
            controller.OnWindowDestroyed();
            return kHeadlessRetired;
        }
    }
    DownloadStatus status = controller.Status();
    if (!options.saveFolder.empty() &&
        (status == DownloadStatus::Ready || status == DownloadStatus::Back)) {
        controller.SetSaveFolder(options.saveFolder);
    }
    PrintLine(std::string(kGameVersionLabel) + "  保存位置: " + controller.SaveFolder());
    if (options.speedLimitKiB >= 0) controller.SetSpeedLimit(options.speedLimitKiB);
    controller.SetAutoShutdown(options.shutdown);

    Terminal terminal(controller, options.quiet);
    int exitCode = kHeadlessOk;
    bool begun = false;
    bool finishHandled = false;
    DownloadStatus lastStatus = controller.Status();
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        if (g_interrupted) {
            PrintLine("用户中断：暂停下载并退出，下次启动继续。");
            controller.MarkUserExit();
            DownloadStatus s = controller.Status();
            if (s == DownloadStatus::Downloading || s == DownloadStatus::Resume) {
                controller.MainAction();  // pause
            }
            exitCode = kHeadlessInterrupted;
            break;
        }
        status = controller.Poll();
        if (status != lastStatus) {
            lastStatus = status;
            terminal.Render(true);
            if (status == DownloadStatus::CheckFinished) {
                PrintLine(FinalText(status, controller.Repaired()));
            }
        }
        if (!begun && (status == DownloadStatus::Ready || status == DownloadStatus::Back)) {
            begun = true;
            controller.MainAction();
            if (controller.Status() == DownloadStatus::Ready ||
                controller.Status() == DownloadStatus::Back) {
                // Not enough space: the message says why.
                controller.MarkUserExit();
                exitCode = kHeadlessFailed;
                break;
            }
            continue;
        }
        if (status == DownloadStatus::Pause && !controller.LowSpace()) {
            controller.MainAction();  // a pause we did not ask for: continue
        }
        if (status == DownloadStatus::Pause && controller.LowSpace()) {
            controller.MarkUserExit();
            exitCode = kHeadlessFailed;
            break;
        }
        if (IsActiveStatus(status) && controller.AllTasksEnded()) {
            PrintLine("下载失败：所有下载任务都已出错停止，请稍后重试。");
            controller.MarkUserExit();
            exitCode = kHeadlessFailed;
            break;
        }
        if (status == DownloadStatus::Failed) {
            controller.MarkUserExit();
            exitCode = kHeadlessFailed;
            break;
        }
        if (status == DownloadStatus::Finished && !finishHandled) {
            finishHandled = true;
            if (options.install) {
                controller.MainAction();  // asks, verifies or launches
                if (!closeRequested && controller.Status() == DownloadStatus::Finished) {
                    controller.MarkUserExit();  // the launch failed; the message says why
                    exitCode = kHeadlessFailed;
                    break;
                }
            } else if (options.verify) {
                controller.Verify(false);
            } else {
                controller.MarkUserExit();
                break;
            }
        }
        if (status == DownloadStatus::CheckFinished && !options.install) {
            controller.MarkUserExit();
            break;
        }
        if (verificationDone.exchange(false)) {
            controller.MainAction();  // launches the installer
            if (!closeRequested && controller.Status() == DownloadStatus::CheckFinished) {
                controller.MarkUserExit();
                exitCode = kHeadlessFailed;
                break;
            }
        }
        if (closeRequested) break;
        if (status == DownloadStatus::Installing) {
            // The installer is missing: nothing more can happen.
            controller.MarkUserExit();
            exitCode = kHeadlessFailed;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= nextTick) {
            nextTick += std::chrono::seconds(1);
            if (nextTick < now) nextTick = now + std::chrono::seconds(1);
            if (status != DownloadStatus::Finished && status != DownloadStatus::CheckFinished) {
                controller.Tick();
            }
            terminal.Render(false);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    terminal.Render(true);
    PrintLine("本次下载字节数：" + std::to_string(controller.SessionBytes()));
    controller.OnWindowDestroyed();
    SetEngineMessageSink(nullptr);
    return exitCode;
}

}  // namespace lfapp
