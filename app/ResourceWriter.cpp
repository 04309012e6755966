#include "app/ResourceWriter.h"

#include "app/AppPaths.h"
#include "app/IniFile.h"
#include "common/Base64.h"
#include "engine/log/LogApi.h"

namespace lfapp {
using namespace lf;
namespace {

constexpr int kLogChannelUi = 7;

bool WriteTo(const std::string& folder, const std::string& name, const std::string& bytes,
             std::string* path) {
    *path = JoinPath(folder, name);
    return MakeFolders(folder) && WriteFileAtomically(*path, bytes);
}

}  // namespace

int WriteResourceFile(const ReleaseResources& release, std::string_view type, int id,
                      const std::string& name, const std::string& folder, bool decode,
                      std::string* writtenPath) {
    std::string path;
    const std::string* stored = release.Find(type, id);
    std::string bytes;
    if (stored) bytes = decode ? DecodeBase64Text(*stored) : *stored;
    if (stored && WriteTo(folder, name, bytes, &path)) {
        if (writtenPath) *writtenPath = path;
        return 0;
    }
    if (path.empty()) path = JoinPath(folder, name);
    EngineLog::Printf(kLogChannelUi, "Lanternfish UI : 释放文件(path=%s)第一次失败", path.c_str());
    if (stored && WriteTo(UserTempFolder(), name, bytes, &path)) {
        if (writtenPath) *writtenPath = path;
        return 1;
    }
    path = JoinPath(UserTempFolder(), name);
    EngineLog::Printf(kLogChannelUi, "Lanternfish UI : 初始化失败，释放文件(path=%s)第二次失败",
                      path.c_str());
    if (writtenPath) writtenPath->clear();
    return -1;
}

}  // namespace lfapp
