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
# shellcheck source=bench/bt/bench_lib.sh
source "$here/bench/bt/bench_lib.sh"
bench_enter_namespace "$@"

build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-8}
runs=${2:-5}
lfget=$build/tools/lf-get/lf-get
before=${BEFORE:-}
ltpeer=$here/tests/support/lt_peer.py
[[ -x $lfget ]] || { echo "no $lfget: build the lf-get target first" >&2; exit 1; }
bench_setup "$size_mib" 18

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

leech_timeout=300
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
        wait_seeders 1
        for t in aria2c libtorrent; do leech "$t" "$t from $s"; done
        stop_all
    done
done
for s in $seeders; do
    for t in aria2c libtorrent; do report "$t from $s"; done
done
echo "load after: $(uptime)"
