#!/usr/bin/env bash
# Sets up and runs the downloader.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/install-deps.sh"
"$here/tools/build.sh"
build=${LF_BUILD_DIR:-$here/build}
exec "$build/app/lanternfish" --version "$@"
