#!/usr/bin/env bash
# The four-source case (stalled_sources.py) in a private network namespace:
#   bench/http/run_stalled_bench.sh [MIB] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
exec unshare --net -- sh -c "ip link set lo up && python3 '$here/bench/http/stalled_sources.py' \
    --lf-get '$build/tools/lf-get/lf-get' --mib ${1:-128} --runs ${2:-3}"
