#include "engine/core/Version.h"

#include "lf_version.h"

namespace lf {

const char* EngineVersion() {
    return LF_VERSION_TEXT;
}

}  // namespace lf
