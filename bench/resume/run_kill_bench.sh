#!/usr/bin/env bash
# The kill loop (kill_loop.py) in a private network namespace:
#   bench/resume/run_kill_bench.sh [KILLS] [SEED]
# Extra settings through the environment: FILES, MIB, RATE, CONNECTIONS.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
kills=${1:-30}
seed=${2:-17}
exec unshare --net -- sh -c "ip link set lo up && python3 '$here/bench/resume/kill_loop.py' \
    --lf-get '$build/tools/lf-get/lf-get' --kills $kills --seed $seed \
    --files ${FILES:-8} --mib ${MIB:-48} --rate ${RATE:-128k} --connections ${CONNECTIONS:-4}"
