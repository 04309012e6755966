#!/usr/bin/env bash
# Standard leechers reaching a seeder's listener: how long aria2c and
# libtorrent take for a small file (MIB MiB, 8 by default, so that the wall
# time is mostly the time until the first piece arrives) from
#   - an aria2 seeder (the reference),
#   - lf-get seeding with the HTTP disguise on (the application's setting):
#     its own connections out fail against standard peers, so everything
#     rides on the connection the leecher opens to its listener,
#   - and, with BEFORE=/path/to/another/lf-get, that binary the same way.
# Both leechers open with an encrypted handshake and retry in plain when it
# is refused. Medians of RUNS runs (5 by default) of wall time, CPU seconds
# and peak RSS of each leecher; seeders alternate run by run, each with a
# fresh tracker. Runs itself inside a private network namespace.
#   bench/bt/run_incoming_bench.sh [MIB] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
if ip -o link show | grep -qv ': lo:'; then
    if [[ -n ${LF_BT_BENCH_INSIDE:-} ]]; then
        echo "not in a private network namespace" >&2
        exit 1
    fi
    # shellcheck disable=SC2016  # expanded by the inner shell
    exec unshare --net -- env LF_BT_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' \
        "$0" "$@"
fi
ip link set lo up

build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-8}
runs=${2:-5}
lfget=$build/tools/lf-get/lf-get
before=${BEFORE:-}
ltpeer=$here/tests/support/lt_peer.py
[[ -x $lfget ]] || { echo "no $lfget: build the lf-get target first" >&2; exit 1; }
work=$(mktemp -d)
pids=()
stop_all() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
mkdir -p "$work/seed" "$work/out" "$work/tracker"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_listen() {  # ADDRESS PORT
    local _
    for _ in $(seq 300); do
        ss -ltnH "src $1:$2" | grep -q . && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:$2" >&2
    return 1
}

head -c $((size_mib * 1048576)) /dev/urandom > "$work/seed/file.bin"
tport=$(free_port)
mktorrent -p -l 18 -a "http://127.0.0.1:$tport/announce" -o "$work/file.torrent" \
    "$work/seed/file.bin" > /dev/null
hash=$(aria2c -S "$work/file.torrent" | awk '/^Info Hash/{print $3}')
echo "$hash" > "$work/tracker/whitelist.txt"
# shellcheck disable=SC2001
escaped=$(echo "$hash" | sed 's/../%&/g')

start_tracker() {
    opentracker -i 127.0.0.1 -p "$tport" -P "$tport" -d "$work/tracker" -w whitelist.txt \
        -u nobody > "$work/tracker.log" 2>&1 &
    pids+=($!)
    wait_listen 127.0.0.1 "$tport"
}
wait_seeder() {
    local _ n
    for _ in $(seq 1800); do
        n=$(curl -s "http://127.0.0.1:$tport/scrape?info_hash=$escaped" |
            grep -ao '8:completei[0-9]*e' | grep -o '[0-9]*' | tail -1 || true)
        [[ ${n:-0} -ge 1 ]] && return 0
        sleep 0.1
    done
    echo "the tracker never counted the seeder" >&2
    return 1
}

aria2_common=(--disable-ipv6=true --enable-dht=false --enable-dht6=false --bt-enable-lpd=false
              --enable-peer-exchange=false --summary-interval=0 --console-log-level=warn)
seed() {  # KIND
    case $1 in
        aria2)
            aria2c "${aria2_common[@]}" --interface=127.0.0.2 --listen-port="$(free_port)" \
                --dir="$work/seed" --seed-ratio=0.0 --bt-seed-unverified=true \
                --check-integrity=false "$work/file.torrent" > "$work/seed.log" 2>&1 & ;;
        lf-get|before)
            local bin=$lfget
            [[ $1 == before ]] && bin=$before
            "$bin" --torrent "$work/file.torrent" --peers 50 --disguise on --bind 127.0.0.2 \
                --listen "$(free_port)" --seed "$work/seed/file.bin" > "$work/seed.log" 2>&1 & ;;
    esac
    pids+=($!)
}

median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
declare -A results
once() {  # NAME COMMAND...
    local name=$1 pid
    shift
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" timeout 300 "$@" > "$work/leech.log" 2>&1 &
    pid=$!
    wait "$pid" || { echo "$name failed:"; tail -5 "$work/leech.log"; exit 1; }
    cmp -s "$work/seed/file.bin" "$work/out/file.bin" || { echo "$name: wrong bytes"; exit 1; }
    read -r wall user sys rss < "$work/time"
    results[$name]+="$wall $(echo "$user + $sys" | bc) $rss"$'\n'
}
report() {
    local name=$1 walls cpus rsss
    walls=$(printf '%s' "${results[$name]}" | awk 'NF {print $1}')
    cpus=$(printf '%s' "${results[$name]}" | awk 'NF {print $2}')
    rsss=$(printf '%s' "${results[$name]}" | awk 'NF {print $3}')
    # shellcheck disable=SC2086
    printf '%-34s wall %6.2f s (%s)  cpu %5.2f s  peak rss %6.1f MiB\n' "$name" \
        "$(median $walls)" "$(echo $walls | tr ' ' '/')" "$(median $cpus)" \
        "$(echo "$(median $rsss) / 1024" | bc -l)"
}
leech() {  # TOOL NAME
    case $1 in
        aria2c)
            once "$2" aria2c "${aria2_common[@]}" --interface=127.0.0.3 \
                --listen-port="$(free_port)" --dir="$work/out" --seed-time=0 \
                --file-allocation=none --allow-overwrite=true "$work/file.torrent" ;;
        libtorrent)
            once "$2" /usr/bin/python3 "$ltpeer" "$work/file.torrent" "$work/out" 127.0.0.4 \
                "$(free_port)" download 280 ;;
    esac
}

seeders="aria2 lf-get"
[[ -n $before ]] && seeders+=" before"
echo "${size_mib} MiB, median of $runs runs, seeders alternating: $seeders"
echo "load before: $(uptime)"
for _ in $(seq "$runs"); do
    for s in $seeders; do
        start_tracker
        seed "$s"
        wait_seeder
        for t in aria2c libtorrent; do leech "$t" "$t from $s"; done
        stop_all
    done
done
for s in $seeders; do
    for t in aria2c libtorrent; do report "$t from $s"; done
done
echo "load after: $(uptime)"
