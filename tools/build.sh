#!/usr/bin/env bash
# Configures and builds into build/ (or $LF_BUILD_DIR), warnings as errors.
# Extra arguments go to cmake.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
launcher=()
# ccache, when installed, makes rebuilds in other checkouts of the tree cheap.
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Warnings are errors in the project's own builds (later arguments may turn
# that off again with -DLF_WERROR=OFF).
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${LF_BUILD_TYPE:-RelWithDebInfo} \
    -DLF_WERROR=ON "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
