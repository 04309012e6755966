// The system's limit on simultaneous outgoing connection attempts, and the
// engine's half-open limit derived from it.
#pragma once

namespace lf {

// Probes the system's limit L. This platform has no such limit to read:
// the answer is -1.
int ProbeHalfOpenLimit();
// The engine's limit for a probed L: min(32, L - 2) when L - 2 is positive,
// else 32.
int HalfOpenLimitFromProbe(int probed);

// The engine-wide half-open limit (default 32), set when the first task is
// created.
int EngineHalfOpenLimit();
void SetEngineHalfOpenLimit(int limit);

}  // namespace lf
