#!/usr/bin/env bash
# Sets up and runs the whole test suite: installs the Debian packages,
# builds, and runs ctest inside a private network namespace (only lo, up).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/install-deps.sh"
"$here/tools/build.sh"
build=${LF_BUILD_DIR:-$here/build}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
jobs=${LF_TEST_JOBS:-$(( $(nproc) * 2 ))}
exec $SUDO unshare --net -- sh -c "ip link set lo up && cd '$build' && ctest --output-on-failure --timeout 900 -j$jobs $*"
