#!/usr/bin/env bash
# Swarm growth: the demo release (1/64 of the real size, about 185 MiB)
# downloaded by lanternfish --headless (no verification, no installer) from
# the demo's servers, nginx at LF_DEMO_RATE per request, alone and with 1, 2
# and 4 seeders (lanternfish --seed on 127.0.0.2 and up), the seeder counts
# alternating run by run. Prints the medians of wall time, CPU seconds, peak
# RSS and the share of bytes from peers for each count, next to the
# server-only time. The servers and seeders are tools/demo/demo-servers.sh's;
# the script makes its own network namespace (loopback only).
#   bench/app/run_swarm_bench.sh [RUNS] [RATE]     (default: 3 64k)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${LF_BENCH_IN_NS:-0}" != 1 ]; then
    exec unshare --net -- env LF_BENCH_IN_NS=1 sh -c "ip link set lo up && exec '$0' $*"
fi
build=${LF_BUILD_DIR:-$here/build}
runs=${1:-3}
rate=${2:-64k}
counts=(0 1 2 4)
work=$(mktemp -d ${LF_BENCH_TMP:+-p "$LF_BENCH_TMP"})
chmod 755 "$work"
state=$work/servers
trap '"$here/tools/demo/demo-servers.sh" stop "$state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export LANTERNFISH_RENDEZVOUS_HOST=127.0.0.1 LANTERNFISH_RENDEZVOUS_PORT=8086
export LANTERNFISH_LOCAL_ADDRESS=127.0.0.1 LANTERNFISH_OPEN_COMMAND=true LANGUAGE=en

median() { sort -g | sed -n "$(( (runs + 1) / 2 ))p"; }
for r in $(seq 1 "$runs"); do
    for n in "${counts[@]}"; do
        LF_DEMO_RATE=$rate LF_DEMO_SEEDERS=$n "$here/tools/demo/demo-servers.sh" start "$state" >/dev/null
        rm -rf "$work/data" "$work/save"
        sync
        LANTERNFISH_DATA_HOME=$work/data /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
            "$build/app/lanternfish" --headless --quiet --no-port-mapping --no-install --no-verify \
            --save "$work/save/qarrd160107" > "$work/out.log" 2>&1 ||
            { echo "failed with $n seeders" >&2; tail -20 "$work/out.log" >&2; exit 1; }
        "$here/tools/demo/demo-servers.sh" stop "$state"
        read -r wall user sys rss < "$work/time"
        servers=$(sed -n 's/.*From servers: \([0-9]*\).*/\1/p' "$work/out.log" | tail -1)
        peers=$(sed -n 's/.*from peers: \([0-9]*\).*/\1/p' "$work/out.log" | tail -1)
        share=$(awk -v s="$servers" -v p="$peers" 'BEGIN { printf "%.1f", (s + p) ? 100 * p / (s + p) : 0 }')
        echo "$wall" >> "$work/wall-$n"
        awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }' >> "$work/cpu-$n"
        echo "$rss" >> "$work/rss-$n"
        echo "$share" >> "$work/share-$n"
        echo "run $r, $n seeders: ${wall} s, ${share} % from peers" >&2
    done
done
base=$(median < "$work/wall-0")
printf '%-8s %10s %10s %12s %12s %10s\n' seeders "wall s" "CPU s" "peak RSS KiB" "from peers %" "vs server"
for n in "${counts[@]}"; do
    wall=$(median < "$work/wall-$n")
    printf '%-8s %10s %10s %12s %12s %10s\n' "$n" "$wall" "$(median < "$work/cpu-$n")" \
        "$(median < "$work/rss-$n")" "$(median < "$work/share-$n")" \
        "$(awk -v w="$wall" -v b="$base" 'BEGIN { printf "%.2f", w / b }')"
done
