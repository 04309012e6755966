#include "engine/core/InfoFile.h"

// Until the bencode model is linked in, info files are neither read nor
// written: values stay dirty and are written by a later save.
bool ReadInfoFile(const std::string& /*path*/, std::array<std::string, 4>* /*values*/) {
    return false;
}

bool WriteInfoFile(const std::string& /*path*/, const std::array<std::string, 4>& /*values*/) {
    return false;
}
