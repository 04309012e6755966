#!/usr/bin/env bash
# Sets up and runs the whole test suite: installs the Debian packages,
# builds, and runs ctest inside a private network namespace (only lo, up).
# Then builds the thread-heavy tests (ctest label "threads") with
# ThreadSanitizer and runs them the same way.
# Extra arguments go to ctest (e.g. -R engine_api).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/install-deps.sh"
"$here/tools/build.sh"
build=${LF_BUILD_DIR:-$here/build}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
jobs=${LF_TEST_JOBS:-$(( $(nproc) * 2 ))}
isolated() { $SUDO unshare --net -- sh -c "ip link set lo up && $1"; }

# The extra arguments, quoted for the inner shell (a -R pattern may hold '|').
extra=""
if [ $# -gt 0 ]; then extra=$(printf ' %q' "$@"); fi
isolated "cd '$build' && ctest --output-on-failure --timeout 900 -j$jobs$extra"

if [ "${LF_SKIP_TSAN:-0}" != "1" ]; then
    tsan=${LF_TSAN_BUILD_DIR:-$here/build-tsan}
    cmake -S "$here" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLF_TSAN=ON -DLF_WERROR=ON \
        -DLF_BENCH=OFF -DLF_GUI=OFF >/dev/null
    targets=$(cd "$tsan" && ctest -N -L threads | sed -n 's/^ *Test *#[0-9]*: *//p')
    # shellcheck disable=SC2086
    cmake --build "$tsan" -j"$(nproc)" --target $targets
    isolated "cd '$tsan' && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --timeout 900 -j$jobs -L threads"
fi
