// Verification and repair: every target file is hashed with MD5 and compared
// with the release table; a file that fails is fetched again by its task and
// hashed again, up to five times.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "app/AppPaths.h"
#include "app/DownloadController.h"
#include "app/IniFile.h"
#include "app/TaskIni.h"
#include "engine/core/EngineApi.h"
#include "engine/log/LogApi.h"
#include "stats/DataUpload.h"

namespace lfapp {
using namespace lf;

namespace {

constexpr int kLogChannel = 34;
constexpr int kMaxRepairs = 5;
constexpr int kRecoverAttempts = 4;
// The file is read in large chunks; the progress still moves in 4096-byte
// block units as the front ends expect.
constexpr size_t kReadChunk = 1 << 20;
constexpr size_t kBlock = 4096;

const char kRepairGaveUp[] =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修"
    "复";

}  // namespace

uint32_t CDownloadController::VerifyProgress() const {
    std::array<uint64_t, kReleaseEntryCount> sizes{};
    for (int i = 0; i < kReleaseEntryCount; ++i) sizes[i] = m_table.entries[i].size;
    return lfapp::VerifyProgress(sizes, m_currentIndex, m_currentProgress);
}

void CDownloadController::Verify(bool installAfter) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    switch (Status()) {
        case DownloadStatus::CheckRecover:
            Message("部分文件错误，正在修复中...");
            return;
        case DownloadStatus::Md5Checking:
            Message("MD5计算工作中……请等待完成");
            return;
        case DownloadStatus::CheckFinished:
            LaunchInstaller(true);
            return;
        case DownloadStatus::Failed:
            if (m_progress == 10000) {
                Message(kRepairGaveUp);
                return;
            }
            break;
        case DownloadStatus::Finished: {
            SetStatus(DownloadStatus::Md5Checking);
            m_currentIndex = 0;
            m_currentProgress = 0;
            m_installAfter = installAfter;
            WriteBeginKeys(false);
            JoinVerification();  // an earlier thread has ended by now
            try {
                m_verifierRunning = true;
                m_verifier = std::thread([this] {
                    VerificationThread();
                    m_verifierRunning = false;
                });
            } catch (const std::exception&) {
                m_verifierRunning = false;
                Message("检查线程创建失败，请重试");
            }
            return;
        }
        default:
            break;
    }
    Message("请先将客户端下载完成，再点击检查按钮");
}

bool CDownloadController::CheckFile(int i, bool keepDigest) {
    m_currentIndex = i;
    m_currentProgress = 0;
    const ReleaseEntry& entry = m_table.entries[i];
    std::string path = TargetPath(SaveFolder(), entry.fileName);
    std::string digest;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
        uint64_t divisor = std::max<uint64_t>(1, static_cast<uint64_t>(st.st_size) / kBlock);
        std::vector<unsigned char> buffer(kReadChunk);
        uint64_t done = 0;
        bool ok = true;
        for (;;) {
            ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            if (got == 0) break;
            EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(got));
            done += static_cast<uint64_t>(got);
            uint64_t blocks = (done + kBlock - 1) / kBlock;
            m_currentProgress = static_cast<uint32_t>(blocks * 10000 / divisor);
            if (m_stopping) {
                ok = false;
                break;
            }
        }
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx, md, &length);
        EVP_MD_CTX_free(ctx);
        if (ok) {
            char hex[3];
            for (unsigned int k = 0; k < length; ++k) {
                std::snprintf(hex, sizeof hex, "%02x", md[k]);
                digest += hex;
            }
        }
    }
    if (fd >= 0) ::close(fd);

    if (digest != entry.md5) {
        m_repaired = true;
        m_currentIndex = i;
        m_currentProgress = 0;
        EngineLog::Printf(kLogChannel, "MD5不匹配：%s，Except：%s，Actural：%s",
                          entry.fileName.c_str(), entry.md5.c_str(), digest.c_str());
        if (keepDigest) {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            m_lastDigest = digest;
        }
        return false;
    }
    EngineLog::Printf(kLogChannel, "MD5匹配：%s，Except：%s，Actural：%s", entry.fileName.c_str(),
                      entry.md5.c_str(), digest.c_str());
    return true;
}

// Fetches file i again and hashes it once more. False when the thread must
// end (the recover calls failed, or the program is closing).
bool CDownloadController::RepairFile(int i, int* repairs) {
    const std::string& name = m_table.entries[i].fileName;
    SetStatus(DownloadStatus::CheckRecover);
    m_repairProgress = 0;
    m_repairSpeed = 0;
    m_reloadFailed = false;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        StopTask(m_handles[i], 0);
        // The file failed its digest, so the resume state that calls it
        // complete cannot be trusted (a file damaged without a change of its
        // time would be taken as complete again). Without it the task checks
        // every piece of the file and fetches the ones that fail.
        ::unlink(m_infoPaths[i].c_str());
        m_records[i]->callerWord = 0;
        int attempts = 0;
        int result = -1;
        while (attempts < kRecoverAttempts && result != 0 && !m_stopping) {
            ++attempts;
            result = RecoverTask(i, true);
        }
        if (result != 0) {
            Message("修复出错，请尝试重新启动下载器");
            return false;
        }
    }
    // Wait for the task: completion, an ending error, the program closing, or
    // no progress for the configured time.
    auto lastChange = std::chrono::steady_clock::now();
    uint32_t lastProgress = 0;
    for (;;) {
        for (uint32_t waited = 0; waited < m_settings.repairPollMs && !m_stopping; waited += 50) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (m_stopping) return false;
        TaskInfo info{};
        TaskHandle handle = Handle(i);
        if (handle == nullptr || QueryTask(handle, &info) != 0) break;
        if (info.progress >= 10000) break;
        m_repairProgress = info.progress;
        m_repairSpeed = info.speed > 0 ? static_cast<uint32_t>(info.speed) : 0;
        if (info.status != 0 && info.status != kTaskStatusComplete) {
            EngineLog::Printf(kLogChannel, "修复任务结束：%s，状态 %d", name.c_str(), info.status);
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (info.progress != lastProgress) {
            lastProgress = info.progress;
            lastChange = now;
        } else if (now - lastChange >= std::chrono::seconds(m_settings.repairStallSeconds)) {
            EngineLog::Printf(kLogChannel, "修复等待超时：%s", name.c_str());
            break;
        }
    }
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        RecordFinish(m_taskIni, i, TargetPath(m_saveFolder, name));
        m_records[i]->callerWord = 1;
    }
    SetStatus(DownloadStatus::Md5Checking);
    ++*repairs;
    return true;
}

void CDownloadController::VerificationThread() {
    m_repaired = false;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        const std::string& name = m_table.entries[i].fileName;
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            m_lastDigest.clear();
        }
        bool passed = CheckFile(i, true);
        if (m_stopping) return;
        if (!passed) {
            std::string digest;
            {
                std::lock_guard<std::recursive_mutex> guard(m_lock);
                digest = m_lastDigest;
            }
            std::string text = "MD5 unmatched (" + digest + ")";
            ReportFileEvent("11500201", name.c_str(), text.c_str());
        }
        int repairs = 0;
        while (!passed && repairs < kMaxRepairs) {
            if (!RepairFile(i, &repairs)) return;
            passed = CheckFile(i, false);
            if (m_stopping) return;
            if (passed) {
                std::string text = "修复次数：" + std::to_string(repairs);
                ReportFileEvent("11100003", name.c_str(), text.c_str());
            }
        }
        if (!passed) {
            Message(kRepairGaveUp);
            std::string text = "修复次数：" + std::to_string(repairs);
            ReportFileEvent("11990501", name.c_str(), text.c_str());
            SetStatus(DownloadStatus::Failed);
            return;
        }
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    EngineLog::Printf(kLogChannel, "MD5验证完成：%llu 字节，用时 %lld 毫秒",
                      static_cast<unsigned long long>(m_table.TotalSize()),
                      static_cast<long long>(ms));
    ReportEvent("11100004", "", 0);
    SetStatus(DownloadStatus::CheckFinished);
    if (m_installAfter) {
        std::function<void()> done;
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            done = m_hooks.verificationDone;
        }
        if (done) done();
    }
}

}  // namespace lfapp
