#include "engine/core/Version.h"

#include "lf_version.h"

const char* EngineVersion() {
    return LF_VERSION_TEXT;
}
