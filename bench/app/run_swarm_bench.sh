#!/usr/bin/env bash
# Swarm growth: a release downloaded by lanternfish --headless (no
# verification, no installer) from one HTTP server, nginx at RATE per
# request, alone and with 1, 2 and 4 seeders (lanternfish --seed on 127.0.0.2
# and up), the seeder counts alternating run by run. Prints the medians of
# wall time, CPU seconds, peak RSS and the share of bytes from peers for each
# count, next to the server-only time, and the seeders' CPU seconds (each
# run also prints what each seeder uploaded), both over the download alone. The servers, tracker, rendezvous and
# seeders are tools/demo/demo-servers.sh's; the script makes its own network
# namespace (loopback only).
#
# SCALE 64 is the demo release built into the program (about 185 MiB, with
# the demo's mirror as a second server); any other scale makes the eight
# files with the release's names and sizes divided by SCALE (the demo's
# deterministic content) and a release of them with lf-make-release, served
# by the one server without a mirror (8: an eighth of the real size, about
# 1.55 GB).
#   bench/app/run_swarm_bench.sh [RUNS] [RATE] [SCALE]     (default: 3 64k 64)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${LF_BENCH_IN_NS:-0}" != 1 ]; then
    exec unshare --net -- env LF_BENCH_IN_NS=1 sh -c "ip link set lo up && exec '$0' $*"
fi
build=${LF_BUILD_DIR:-$here/build}
runs=${1:-3}
rate=${2:-64k}
scale=${3:-64}
counts=(${LF_BENCH_SEEDERS:-0 1 2 4})
work=$(mktemp -d ${LF_BENCH_TMP:+-p "$LF_BENCH_TMP"})
chmod 755 "$work"
state=$work/servers
trap '"$here/tools/demo/demo-servers.sh" stop "$state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export LANTERNFISH_RENDEZVOUS_HOST=127.0.0.1 LANTERNFISH_RENDEZVOUS_PORT=8086
export LANTERNFISH_LOCAL_ADDRESS=127.0.0.1 LANTERNFISH_OPEN_COMMAND=true LANGUAGE=en

release_args=()
if [ "$scale" != 64 ]; then
    names=(Qarrd_Setup2.1.0.40_20160106_1.exe Qarrd21040Data.zip Qarrd21040Data01.cab
           Qarrd21040Data02.cab Qarrd21040Data03.cab Qarrd21040Data04.cab Qarrd21040Data05.cab
           Qarrd21040Data06.cab)
    real=(4117776 439832310 1992294400 1992294400 1992294400 1992294400 1992294400 1992294400)
    files=$work/files
    mkdir -p "$files"
    paths=()
    for i in 0 1 2 3 4 5 6 7; do
        key=$(printf 'Lanternfish-dem%d' "$i" | od -An -tx1 | tr -d ' \n')
        openssl enc -aes-128-ctr -nosalt -K "$key" -iv 00000000000000000000000000000000 \
            -in /dev/zero 2>/dev/null | head -c "$((real[i] / scale))" > "$files/${names[$i]}" || true
        paths+=("$files/${names[$i]}")
    done
    "$build/tools/make-release/lf-make-release" --out "$work/release" \
        --base-url http://127.0.0.1:8081/qarrd160107/ \
        --list-url http://127.0.0.1:8081/lanternfish/resources.xml \
        --tracker http://127.0.0.1:6969/announce --tracker udp://127.0.0.1:6969/announce \
        --statistics-config "$here/tools/make-release/demo-dataupload.lfconf" \
        --piece-length 262144 "${paths[@]}" >/dev/null
    export LF_DEMO_FILES=$files LF_DEMO_RELEASE=$work/release LF_DEMO_MIRROR=0
    export LF_DEMO_READY_SECONDS=${LF_DEMO_READY_SECONDS:-600}
    release_args=(--release "$work/release")
fi
echo "release at 1/$scale, server at $rate per request, medians of $runs runs (alternating)" >&2

median() { sort -g | sed -n "$(( (runs + 1) / 2 ))p"; }
# The CPU seconds (user + system) the first N seeders have used so far.
seeders_cpu() {
    local total=0 k
    for k in $(seq 1 "$1"); do
        total=$(awk -v a="$total" -v hz="$(getconf CLK_TCK)" '{ print a + ($14 + $15) / hz }' \
            "/proc/$(cat "$state/seeder$k.pid")/stat")
    done
    echo "$total"
}
for r in $(seq 1 "$runs"); do
    for n in "${counts[@]}"; do
        LF_DEMO_RATE=$rate LF_DEMO_SEEDERS=$n "$here/tools/demo/demo-servers.sh" start "$state" >/dev/null
        rm -rf "$work/data" "$work/save"
        sync
        before=$(seeders_cpu "$n")
        LANTERNFISH_DATA_HOME=$work/data /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
            "$build/app/lanternfish" --headless --quiet --no-port-mapping --no-install --no-verify \
            "${release_args[@]}" --save "$work/save/qarrd160107" > "$work/out.log" 2>&1 ||
            { echo "failed with $n seeders" >&2; tail -20 "$work/out.log" >&2; exit 1; }
        seeders_cpu=$(awk -v a="$(seeders_cpu "$n")" -v b="$before" 'BEGIN { print a - b }')
        "$here/tools/demo/demo-servers.sh" stop "$state"
        # What each seeder uploaded (its summary when it stops).
        uploads=
        for k in $(seq 1 "$n"); do
            u=$(sed -n 's/.*Bytes uploaded this time: \([0-9]*\).*/\1/p' "$state/seeder$k.log" | tail -1)
            uploads="$uploads $(( ${u:-0} / 1048576 ))"
        done
        echo "$seeders_cpu" >> "$work/scpu-$n"
        read -r wall user sys rss < "$work/time"
        servers=$(sed -n 's/.*From servers: \([0-9]*\).*/\1/p' "$work/out.log" | tail -1)
        peers=$(sed -n 's/.*from peers: \([0-9]*\).*/\1/p' "$work/out.log" | tail -1)
        share=$(awk -v s="$servers" -v p="$peers" 'BEGIN { printf "%.1f", (s + p) ? 100 * p / (s + p) : 0 }')
        echo "$wall" >> "$work/wall-$n"
        awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }' >> "$work/cpu-$n"
        echo "$rss" >> "$work/rss-$n"
        echo "$share" >> "$work/share-$n"
        echo "run $r, $n seeders: ${wall} s, ${share} % from peers, seeders' CPU ${seeders_cpu} s," \
            "uploaded MiB:${uploads:- none}" >&2
    done
done
base=$(median < "$work/wall-${counts[0]}")
printf '%-8s %10s %10s %12s %12s %14s %10s\n' seeders "wall s" "CPU s" "peak RSS KiB" "from peers %" \
    "seeders' CPU s" "vs first"
for n in "${counts[@]}"; do
    wall=$(median < "$work/wall-$n")
    printf '%-8s %10s %10s %12s %12s %14s %10s\n' "$n" "$wall" "$(median < "$work/cpu-$n")" \
        "$(median < "$work/rss-$n")" "$(median < "$work/share-$n")" "$(median < "$work/scpu-$n")" \
        "$(awk -v w="$wall" -v b="$base" 'BEGIN { printf "%.2f", w / b }')"
done
