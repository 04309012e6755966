#include "app/Headless.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloadController.h"
#include "app/ReleaseTable.h"
#include "app/ResourceList.h"
#include "app/StatusTexts.h"
#include "app/TerminalText.h"
#include "app/Translation.h"
#include "engine/base/SafeText.h"
#include "engine/core/EngineApi.h"

namespace lfapp {
using namespace lf;

namespace {

std::mutex g_outputLock;
std::atomic<bool> g_interrupted{false};
bool g_liveBlock = false;       // a redrawn block is on the terminal
std::vector<int> g_liveWidths;  // display width of each of its lines

void OnSignal(int) {
    g_interrupted = true;
}

// A resized terminal: the live block is redrawn at once at the new width.
std::atomic<bool> g_resized{false};
void OnResize(int) {
    g_resized = true;
}

// The terminal's width in columns (80 when it cannot be asked). Asked at
// every redraw, so the block follows a resized terminal.
int TerminalColumns() {
    struct winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// Moves the cursor to the first row of the live block: up over every row its
// lines take at the present width (a reflowing terminal such as tmux splits
// lines printed at a wider width), to column 0. Tells whether a block was
// there. A move clipped at the top of the screen lands on row 0.
bool ReturnOverLiveBlockLocked() {
    if (!g_liveBlock) return false;
    const int columns = TerminalColumns();
    int rows = 0;
    for (int width : g_liveWidths) rows += std::max(1, (width + columns - 1) / columns);
    if (rows > 0) std::printf("\033[%dA", rows);
    std::fputc('\r', stdout);
    g_liveBlock = false;
    g_liveWidths.clear();
    return true;
}

// Writes lines in place of the live block: each row is erased just before
// it is written, and what is left of the old block below is erased after
// the last one. The screen is never erased from its top-left corner: there
// "erase to the end of the screen" clears the whole screen, which tmux
// first copies into its history, and a block redrawn at the top of the
// screen (where a move up after a shrink is clipped) would leave a copy
// there at every redraw.
void WriteLinesLocked(const std::vector<std::string>& lines) {
    const bool over = ReturnOverLiveBlockLocked();
    for (const std::string& line : lines) {
        if (over) std::fputs("\033[2K", stdout);
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
    }
    // The cursor is below a written line, so not in the top-left corner.
    if (over) std::fputs("\033[J", stdout);
}

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_outputLock);
    WriteLinesLocked({line});
    std::fflush(stdout);
}

// Messages can carry text from the network (the resource list's notices):
// control characters never reach the terminal as they are.
void PrintMessage(void*, const std::string& text, const std::string& caption, uint32_t) {
    PrintLine("[" + lf::SafeText(TranslateKnown("Message", caption)) + "] " +
              lf::SafeLines(TranslateKnown("Message", text)));
}

std::string RemainingText(uint32_t seconds) {
    if (seconds == 0) return "--";
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%uh%02um", seconds / 3600, seconds / 60 % 60);
    } else if (seconds >= 60) {
        std::snprintf(text, sizeof text, "%um%02us", seconds / 60, seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%us", seconds);
    }
    return text;
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
    std::string ProgressLine(int barWidth = 30) {
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
        // Remaining time (the tasks' estimate) and connections while the
        // download runs, as aria2's summary line has them.
        std::string running;
        if (IsActiveStatus(s) || s == DownloadStatus::Downloading) {
            running = "  ETA " + RemainingText(m_c.RemainingSeconds()) + "  CN " +
                      std::to_string(m_c.Connections()) + PeerPart();
        }
        char text[512];
        std::snprintf(text, sizeof text, "%s %s %8s  %12s  %s%s  (%s)",
                      Bar(progress, barWidth).c_str(), ProgressLabel(s).c_str(), percent.c_str(),
                      speed.c_str(), m_c.SizeText().c_str(), running.c_str(),
                      StatusText(s).c_str());
        return text;
    }

    // The peers part of the running figures ("" while P2P brought nothing).
    std::string PeerPart() {
        const std::string text = m_c.PeerText();
        return text.empty() ? text : "  " + text;
    }

    void Render(bool force) {
        std::array<std::string, kReleaseEntryCount> files;
        for (int i = 0; i < kReleaseEntryCount; ++i) files[i] = m_c.FileStatusText(i);
        if (m_tty) {
            // Every line fits the terminal (one column spare), so no line
            // wraps and each redraw replaces the last exactly.
            const int columns = TerminalColumns();
            const int fit = std::max(1, columns - 1);
            std::string line = ProgressLine(30);
            const int width = DisplayWidth(line);
            if (width > fit) line = ProgressLine(std::max(5, 30 - (width - fit)));
            std::vector<std::string> block = {FitToColumns(line, fit)};
            for (int i = 0; i < kReleaseEntryCount; ++i) {
                char row[512];
                std::snprintf(row, sizeof row, "  %-40s %s", m_c.FileName(i).c_str(),
                              files[i].c_str());
                block.push_back(FitToColumns(row, fit));
            }
            std::lock_guard<std::mutex> guard(g_outputLock);
            WriteLinesLocked(block);
            for (const std::string& l : block) g_liveWidths.push_back(DisplayWidth(l));
            g_liveBlock = true;
            std::fflush(stdout);
            return;
        }
        std::string line = ProgressLine();
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
        return !text.empty() && text.find('%') != std::string::npos &&
               text.find_first_not_of("0123456789.% ") == std::string::npos;
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
    // Qt's translators need an application object; the terminal runs no
    // event loop of its own.
    int argc = 1;
    char name[] = "lanternfish";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    InstallTranslations(LanguageFromEnvironment());
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
    struct sigaction resize {};
    resize.sa_handler = &OnResize;
    sigemptyset(&resize.sa_mask);
    resize.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &resize, nullptr);

    CDownloadController controller(*table);
    controller.Settings().mapPort = options.mapPort;
    // Told not to verify: no early digest either.
    controller.SetEarlyDigest(options.verify);
    std::atomic<bool> verificationDone{false};
    std::atomic<bool> closeRequested{false};
    ControllerHooks hooks;
    hooks.askYesNo = [&](const std::string& text, const std::string&) {
        PrintLine(TranslateKnown("Message", text) + " " +
                  (options.verify ? translate("Terminal", "是") : translate("Terminal", "否")));
        return options.verify;
    };
    hooks.verificationDone = [&] { verificationDone = true; };
    hooks.closeWindow = [&] { closeRequested = true; };
    hooks.refused = [](const std::string& text) {
        PrintLine("[" + translate("Message", kMessageCaption) + "] " + text);
    };
    controller.SetHooks(hooks);

    int started = controller.Initialise();
    if (started < 0) {
        std::fprintf(stderr, "lanternfish: %s\n", controller.StartFailure().c_str());
        controller.MarkProgramExit("启动失败");
        controller.OnWindowDestroyed();
        return kHeadlessFailed;
    }
    if (started == 0 && !table->listUrl.empty()) {
        ExpiryInfo expiry = CheckExpiry(table->listUrl);
        if (expiry.retired) {
            PrintLine("[" + translate("Message", kMessageCaption) + "] " +
                      lf::SafeLines(expiry.message));
            if (!expiry.url.empty()) PrintLine(lf::SafeText(expiry.url));
            controller.MarkProgramExit("发布包已停用");
            controller.OnWindowDestroyed();
            return kHeadlessRetired;
        }
    }
    ApplyStartOptions(controller, options);
    DownloadStatus status = controller.Status();
    PrintLine(controller.VersionLabel() + "  " + translate("Status", "保存位置:") + " " +
              controller.SaveFolder());

    Terminal terminal(controller, options.quiet);
    int exitCode = kHeadlessOk;
    bool begun = false;
    bool finishHandled = false;
    DownloadStatus lastStatus = controller.Status();
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        if (g_interrupted) {
            PrintLine(translate("Terminal", "用户中断：暂停下载并退出，下次启动继续。"));
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
                // Refused (no space, an unwritable folder): the message says why.
                controller.MarkProgramExit("下载无法开始");
                exitCode = kHeadlessFailed;
                break;
            }
            continue;
        }
        if (status == DownloadStatus::Pause && controller.GaveUp()) {
            PrintLine(translate("Terminal", "下载失败：所有下载任务都已出错停止，请稍后重试。"));
            controller.MarkProgramExit("所有下载任务都已出错停止");
            exitCode = kHeadlessFailed;
            break;
        }
        if (status == DownloadStatus::Pause && !controller.LowSpace()) {
            controller.MainAction();  // a pause we did not ask for: continue
        }
        if (status == DownloadStatus::Pause && controller.LowSpace()) {
            controller.MarkProgramExit("磁盘空间不足");
            exitCode = kHeadlessFailed;
            break;
        }
        if (status == DownloadStatus::Failed) {
            controller.MarkProgramExit("下载失败");
            exitCode = kHeadlessFailed;
            break;
        }
        if (status == DownloadStatus::Finished && !finishHandled) {
            finishHandled = true;
            if (options.install) {
                controller.MainAction();  // asks, verifies or launches
                if (!closeRequested && controller.Status() == DownloadStatus::Finished) {
                    controller.MarkProgramExit("安装程序无法正常打开");
                    exitCode = kHeadlessFailed;
                    break;
                }
            } else if (options.verify) {
                controller.Verify(false);
            } else {
                controller.MarkUserExit();  // --no-install: the user's choice to quit
                break;
            }
        }
        if (status == DownloadStatus::CheckFinished && !options.install) {
            controller.MarkUserExit();  // --no-install
            break;
        }
        if (verificationDone.exchange(false)) {
            controller.MainAction();  // launches the installer
            if (!closeRequested && controller.Status() == DownloadStatus::CheckFinished) {
                controller.MarkProgramExit("安装程序无法正常打开");
                exitCode = kHeadlessFailed;
                break;
            }
        }
        if (closeRequested) break;
        if (status == DownloadStatus::Installing) {
            // The installer is missing: nothing more can happen.
            controller.MarkProgramExit("安装程序丢失");
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
        } else if (g_resized.exchange(false)) {
            terminal.Render(false);
        }
        // Short steps: a status move (the download finished, the verification
        // done) is acted on within a few milliseconds.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    terminal.Render(true);
    PrintLine(translate("Terminal", "本次下载字节数：") +
              std::to_string(controller.SessionBytes()));
    uint64_t servers = 0, peers = 0;
    controller.SourceBytes(&servers, &peers);
    PrintLine(translate("Terminal", "来自服务器：") + std::to_string(servers) + "  " +
              translate("Terminal", "来自对等端：") + std::to_string(peers) + "  " +
              translate("Terminal", "上传给对等端：") + std::to_string(controller.UploadedBytes()));
    controller.OnWindowDestroyed();
    SetEngineMessageSink(nullptr);
    return exitCode;
}

}  // namespace lfapp
