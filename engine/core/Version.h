#pragma once

namespace lf {

// Version text of the engine, e.g. "0.1.0".
const char* EngineVersion();

}  // namespace lf
