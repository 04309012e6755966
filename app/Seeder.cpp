#include "app/Seeder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/AppPaths.h"
#include "app/CopyLock.h"
#include "app/EarlyDigest.h"
#include "app/ReleaseResources.h"
#include "app/ReleaseTable.h"
#include "app/ResourceWriter.h"
#include "app/StartOptions.h"
#include "app/Translation.h"
#include "engine/core/EngineApi.h"
#include "engine/log/LogApi.h"

namespace lfapp {
using namespace lf;

namespace {

std::atomic<bool> g_stop{false};

void OnStop(int) {
    g_stop = true;
}

std::string MiB(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

std::string FileMd5(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    std::vector<unsigned char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &length);
    return ok ? HexDigest(md, length) : "";
}

int RunSeeder(const SeedOptions& options) {
    int argc = 1;
    char name[] = "lanternfish";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    InstallTranslations(LanguageFromEnvironment());
    std::optional<ReleaseTable> table = LoadReleaseTable();
    if (!table) {
        std::fprintf(stderr, "lanternfish: the release carries no release table\n");
        return 1;
    }
    const std::string folder = AbsolutePath(options.folder);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "lanternfish: --seed needs a folder: %s\n", folder.c_str());
        return 64;
    }
    // A download into the same folder would change the files being served.
    CCopyLock lock;
    pid_t holder = 0;
    if (lock.Acquire(folder, &holder) == CCopyLock::Result::Busy) {
        std::fprintf(stderr, "lanternfish: %s is in use by process %d\n", folder.c_str(),
                     static_cast<int>(holder));
        return 64;
    }

    // Only the release itself is served: every file complete and matching.
    Say(translate("Seeder", "做种前校验文件：") + folder);
    for (const ReleaseEntry& entry : table->entries) {
        const std::string path = TargetPath(folder, entry.fileName);
        struct stat fs {};
        if (::stat(path.c_str(), &fs) != 0 || static_cast<uint64_t>(fs.st_size) != entry.size) {
            Say(translate("Seeder", "文件缺失或大小不符，不做种：") + path);
            return 1;
        }
        const std::string digest = FileMd5(path);
        if (digest != entry.md5) {
            Say(translate("Seeder", "MD5不匹配，不做种：") + path);
            return 1;
        }
        Say("  " + entry.fileName + "  MD5 " + digest);
    }

    // The torrents and the tasks' resume data live in a folder of this run.
    std::string work =
        (std::filesystem::temp_directory_path() / "lanternfish-seed-XXXXXX").string();
    if (::mkdtemp(work.data()) == nullptr) {
        std::fprintf(stderr, "lanternfish: cannot make a temporary folder\n");
        return 64;
    }
    struct sigaction action {};
    action.sa_handler = &OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    OpenEngineLog();
    EngineLog::SetBasePath(JoinPath(work, "seed").c_str());
    if (options.listenPort > 0) SetListenPort(options.listenPort);
    SetHttpDisguise(1);
    EngineStartup(work.c_str());
    SetP2PEnabled(1);
    std::vector<std::unique_ptr<TaskDescription>> records;
    std::vector<TaskHandle> handles;
    int failed = 0;
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        const ReleaseEntry& entry = table->entries[i];
        std::string torrent;
        if (entry.torrentId == 0 ||
            WriteResourceFile(ActiveRelease(), kTorrentResourceType, entry.torrentId, entry.md5,
                              work, false, &torrent) < 0) {
            Say(translate("Seeder", "发布包不含此文件的种子，不做种：") + entry.fileName);
            ++failed;
            continue;
        }
        auto record = std::make_unique<TaskDescription>();
        std::memset(record.get(), 0, sizeof(TaskDescription));
        record->flags = kTaskFlagNoEffect | kTaskFlagTargetIsFile | kTaskFlagP2SP;
        record->sources = "";  // peers only: the files are here
        std::snprintf(record->targetPath, sizeof record->targetPath, "%s",
                      TargetPath(folder, entry.fileName).c_str());
        std::snprintf(record->infoFilePath, sizeof record->infoFilePath, "%s",
                      JoinPath(work, entry.fileName + ".lfinfo").c_str());
        std::snprintf(record->p2spLocator, sizeof record->p2spLocator, "%s",
                      TorrentLocator(torrent).c_str());
        if (CreateAndStartTask(record.get()) != 0) {
            Say(translate("Seeder", "无法开始做种：") + entry.fileName);
            ++failed;
            continue;
        }
        SetTaskConnectionLimits(record->handle, 0, 50);
        handles.push_back(record->handle);
        records.push_back(std::move(record));
    }
    if (failed == 0) Say(translate("Seeder", "正在做种，Ctrl-C 停止。"));

    auto figures = [&] {
        uint32_t peers = 0;
        uint64_t sent = 0;
        for (TaskHandle h : handles) {
            TaskInfoEx info{};
            if (QueryTaskEx(h, &info) == 0) {
                peers += info.connectedBtPeers;
                sent += info.uploadedBytes;
            }
        }
        return std::make_pair(peers, sent);
    };
    auto next = std::chrono::steady_clock::now();
    while (failed == 0 && !g_stop) {
        auto now = std::chrono::steady_clock::now();
        if (!options.quiet && now >= next) {
            next = now + std::chrono::seconds(5);
            auto [peers, sent] = figures();
            Say(translate("Seeder", "已连接对等端：") + std::to_string(peers) + "  " +
                translate("Seeder", "已上传：") + MiB(sent));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto [peers, sent] = figures();
    (void)peers;
    // The figure the test harnesses read: the payload sent to peers in bytes.
    Say(translate("Seeder", "本次上传字节数：") + std::to_string(sent));
    if (!handles.empty()) {
        std::vector<int32_t> results(handles.size());
        StopTasks(handles.data(), static_cast<uint32_t>(handles.size()), 0, results.data());
    }
    CloseEngineLog();
    EngineShutdown();
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return failed == 0 ? 0 : 1;
}

}  // namespace lfapp
