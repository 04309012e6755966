#include "app/AppPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "app/ReleaseTable.h"

namespace lfapp {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string Home() {
    std::string home = Env("HOME");
    return home.empty() ? std::string("/tmp") : home;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (!out.empty() && out.back() != '/') out += '/';
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    out += name;
    return out;
}

std::string ApplicationDataHome() {
    std::string dir = Env(kDataHomeEnvironment);
    if (!dir.empty()) return dir;
    dir = Env("XDG_DATA_HOME");
    if (!dir.empty()) return dir;
    return Home() + "/.local/share";
}

std::string DataFolder(std::string_view releaseId) {
    return JoinPath(ApplicationDataHome(),
                    "Orvane/Lanternfish/Lanternfish" + std::string(releaseId));
}

std::string TaskIniPath(std::string_view dataFolder, std::string_view releaseId) {
    return JoinPath(dataFolder, std::string(releaseId) + ".lfconf");
}

std::string LogBasePath(std::string_view dataFolder, std::string_view releaseId) {
    return JoinPath(dataFolder, releaseId);
}

std::string StatisticsConfigPath(std::string_view dataFolder) {
    return JoinPath(dataFolder, kStatisticsConfigName);
}

std::string InfoFolder(std::string_view dataFolder, std::string_view taskHash) {
    return JoinPath(dataFolder, std::string(taskHash) + "LFInfo") + "/";
}

std::string InfoFilePath(std::string_view infoFolder, std::string_view fileName) {
    return JoinPath(infoFolder, std::string(fileName) + ".lfinfo");
}

std::string TorrentPath(std::string_view dataFolder, std::string_view expectedMd5) {
    return JoinPath(dataFolder, expectedMd5);
}

std::string TorrentLocator(std::string_view torrentPath) {
    return "file://" + std::string(torrentPath);
}

std::string TargetPath(std::string_view saveFolder, std::string_view fileName) {
    return JoinPath(saveFolder, fileName);
}

std::string TempTargetPath(std::string_view saveFolder, std::string_view fileName) {
    return TargetPath(saveFolder, fileName) + kTempTargetSuffix;
}

std::string TaskLinkIniPath() {
    std::string cwd(4096, '\0');
    if (!getcwd(cwd.data(), cwd.size())) return "LanternfishTaskLink.ini";
    cwd.resize(cwd.find('\0'));
    return JoinPath(cwd, "LanternfishTaskLink.ini");
}

std::string UserDownloadFolder() {
    std::string dir = Env("XDG_DOWNLOAD_DIR");
    if (!dir.empty()) return dir;
    std::string home = Home();
    if (IsFolder(home + "/Downloads")) return home + "/Downloads";
    return home;
}

std::string DefaultSaveFolder() {
    return JoinPath(UserDownloadFolder(), kDownloadFolderName);
}

std::string UserTempFolder() {
    std::string dir = Env("TMPDIR");
    return dir.empty() ? std::string("/tmp") : dir;
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty()) return false;
    if (IsFolder(folder)) return true;
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return IsFolder(folder);
}

}  // namespace lfapp
