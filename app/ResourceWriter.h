// Writes a resource of the release out to a file (the statistics
// configuration and the torrents the engine reads).
#pragma once

#include <string>
#include <string_view>

#include "app/ReleaseResources.h"

namespace lfapp {

// Writes resource (type, id) of the release to folder/name, creating the
// folder with its parents and replacing any file of that name: the bytes as
// they are or, with decode, Base64-decoded up to the first zero byte.
// When that fails it logs "Lanternfish UI : 释放文件(path=%s)第一次失败"
// (channel 7) and tries the user's temporary folder; when that fails too it
// logs "Lanternfish UI : 初始化失败，释放文件(path=%s)第二次失败" (channel 7).
// Returns 0 (written to folder), 1 (written to the temporary folder) or -1;
// *writtenPath receives the path belonging to the result ("" for -1).
int WriteResourceFile(const ReleaseResources& release, std::string_view type, int id,
                      const std::string& name, const std::string& folder, bool decode,
                      std::string* writtenPath);

}  // namespace lfapp
