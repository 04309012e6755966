#!/usr/bin/env bash
# Idle CPU of the engine's UDP server thread ("UDPServer"). The core starts
# its UDP service (tests/net/udp_server_driver) against lf-rendezvous on
# loopback; once registered it is left idle, and the CPU time of the thread
# (and of the whole driver) over SECONDS is read from /proc/PID/task/TID/stat.
# Beside it, as a reference, an idle aria2c (--enable-rpc, nothing queued)
# is measured the same way (whole process). Runs alternate; medians are
# printed. Everything runs in a network namespace of its own (loopback
# only).
#
# Usage: bench/udp-server/run_idle_cpu.sh [BUILD_DIR] [SECONDS] [RUNS]
# (defaults: build, 30, 3). Needs unshare (root or user namespaces).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
seconds=${2:-30}
runs=${3:-3}
if [ -z "${LF_BENCH_IN_NS:-}" ]; then
    exec unshare --net -- env LF_BENCH_IN_NS=1 "$0" "$build" "$seconds" "$runs"
fi
ip link set lo up
driver=$build/tests/net/udp_server_driver
rendezvous=$build/tools/lf-rendezvous/lf-rendezvous
for p in "$driver" "$rendezvous"; do
    [ -x "$p" ] || { echo "missing $p (build udp_server_driver and lf-rendezvous)" >&2; exit 1; }
done
tck=$(getconf CLK_TCK)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

# utime + stime in clock ticks of /proc/.../stat (fields after the name).
ticks() { sed 's/^.*) //' "$1" | awk '{print $12 + $13}'; }
thread_stat() {
    local pid=$1 name=$2 t
    for t in /proc/"$pid"/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = "$name" ] && { echo "$t/stat"; return; }
    done
}
# Percent of one core: ticks over seconds.
percent() { awk -v d="$1" -v s="$seconds" -v h="$tck" 'BEGIN{printf "%.3f", 100 * d / h / s}'; }
median() { sort -g | awk '{a[NR]=$1} END{print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

"$rendezvous" --listen 127.0.0.1:8200 >"$work/rendezvous.log" 2>&1 &
sleep 0.5
ours_thread=() ours_process=() ours_rss=() aria=() aria_rss=()
for run in $(seq 1 "$runs"); do
    # Ours: registered, then idle.
    LANTERNFISH_RENDEZVOUS_HOST=127.0.0.1 LANTERNFISH_RENDEZVOUS_PORT=8200 \
        "$driver" >"$work/driver.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do grep -q '^public ' "$work/driver.log" && break; sleep 0.1; done
    grep -q '^public ' "$work/driver.log" || { echo "driver did not register" >&2; exit 1; }
    sleep 1
    stat=$(thread_stat "$pid" UDPServer)
    t0=$(ticks "$stat"); p0=$(ticks /proc/"$pid"/stat)
    sleep "$seconds"
    t1=$(ticks "$stat"); p1=$(ticks /proc/"$pid"/stat)
    ours_rss+=("$(awk '/VmHWM/{print $2}' /proc/"$pid"/status)")
    kill "$pid"; wait "$pid" 2>/dev/null || true
    ours_thread+=("$(percent $((t1 - t0)))")
    ours_process+=("$(percent $((p1 - p0)))")

    # Reference: aria2c idle.
    aria2c --enable-rpc --rpc-listen-port=6800 --rpc-listen-all=false --enable-dht=false \
        --dir="$work" --quiet >/dev/null 2>&1 &
    pid=$!
    sleep 2
    a0=$(ticks /proc/"$pid"/stat)
    sleep "$seconds"
    a1=$(ticks /proc/"$pid"/stat)
    aria_rss+=("$(awk '/VmHWM/{print $2}' /proc/"$pid"/status)")
    kill "$pid"; wait "$pid" 2>/dev/null || true
    aria+=("$(percent $((a1 - a0)))")
    echo "run $run: UDPServer thread ${ours_thread[-1]} %, driver ${ours_process[-1]} %, aria2c ${aria[-1]} %"
done
echo "idle ${seconds} s, median of $runs runs (percent of one core; peak RSS KiB):"
echo "  UDPServer thread   $(printf '%s\n' "${ours_thread[@]}" | median) %"
echo "  udp_server_driver  $(printf '%s\n' "${ours_process[@]}" | median) %  rss $(printf '%s\n' "${ours_rss[@]}" | median)"
echo "  aria2c (idle rpc)  $(printf '%s\n' "${aria[@]}" | median) %  rss $(printf '%s\n' "${aria_rss[@]}" | median)"
