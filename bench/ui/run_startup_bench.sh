#!/usr/bin/env bash
# Start-up of the desktop program on the offscreen platform, in a private
# network namespace and temporary folders:
#  1. first start: from exec until the window answers a second copy (the
#     window is up and its event loop runs), median of RUNS starts;
#  2. a second start while one runs (hand-over to the running copy and
#     exit), measured with hyperfine.
#   bench/ui/run_startup_bench.sh [RUNS]       (default 10; run as root)
set -euo pipefail
if [ -z "${LF_BENCH_IN_NETNS:-}" ]; then
    exec unshare --net -- env LF_BENCH_IN_NETNS=1 sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
command -v hyperfine >/dev/null || { echo "run_startup_bench: hyperfine is missing (./tools/install-deps.sh installs it)" >&2; exit 1; }
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
program=$build/app/lanternfish
runs=${1:-10}
work=$(mktemp -d)
first=
# Whatever happens (a failed step, Ctrl-C), no copy of the program stays.
cleanup() {
    if [ -n "$first" ]; then kill "$first" 2>/dev/null || true; wait "$first" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Waits (at most 30 s) until the running copy has made its channel.
wait_for_window() {
    for _ in $(seq 1 15000); do
        ls "$work/rt" 2>/dev/null | grep -q Lanternfish_Only_Mapping_ && return 0
        kill -0 "$first" 2>/dev/null || { echo "run_startup_bench: $program ended at start-up" >&2; return 1; }
        sleep 0.002
    done
    echo "run_startup_bench: $program did not come up within 30 s" >&2
    return 1
}
mkdir -p "$work/data" "$work/rt" "$work/dl"
chmod 700 "$work/rt"
export LANTERNFISH_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/rt XDG_DOWNLOAD_DIR=$work/dl
export QT_QPA_PLATFORM=offscreen
export LANTERNFISH_RESOURCE_LIST_URL=http://127.0.0.1:9/list.xml LANTERNFISH_STATS_SERVER=http://127.0.0.1:9/
cd "$work"

now() { date +%s%N; }
times=()
for _ in $(seq 1 "$runs"); do
    rm -rf "$work/data"/* "$work/rt"/*
    start=$(now)
    "$program" >/dev/null 2>&1 &
    first=$!
    wait_for_window
    "$program" >/dev/null 2>&1   # answered once the window's event loop runs
    times+=($(( ($(now) - start) / 1000000 )))
    kill "$first"; wait "$first" 2>/dev/null || true
    first=
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
median=$(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p")
echo "first start until the window answers: median ${median} ms over $runs runs (all: $(echo $sorted))"

rm -rf "$work/data"/* "$work/rt"/*
"$program" >/dev/null 2>&1 &
first=$!
wait_for_window
sleep 1
hyperfine --warmup 2 --runs "$runs" --style basic "$program" 2>&1 | sed -n '1,4p'
# (the EXIT trap stops the running copy)
