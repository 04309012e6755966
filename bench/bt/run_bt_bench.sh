#!/usr/bin/env bash
# BitTorrent downloads over loopback with the engine (lf-get), aria2c and
# libtorrent, in one run, from one private torrent (mktorrent -p -l 20) of
# MIB MiB (1024 by default) announced to opentracker on 127.0.0.1; prints
# wall time, CPU seconds (user + system) and peak RSS of each leecher,
# medians of RUNS runs (3 by default), the tools alternating run by run:
#   a. an aria2 seeder      -> aria2c, libtorrent, lf-get
#   b. a libtorrent seeder  -> aria2c, libtorrent, lf-get
#   c. four lf-get seeders  -> lf-get, aria2c
#   d. one lf-get seeder    -> aria2c, libtorrent
# Every peer has an address of its own from 127.0.0.2 up (the engine refuses
# peers at 127.0.0.1); each result is compared byte for byte with the
# seeded file. The script runs itself inside a private network namespace
# (unshare --net, lo up) when it is not in one already.
#   bench/bt/run_bt_bench.sh [MIB] [RUNS]
# PARTS="a b" runs some parts only; TOOLS="aria2c libtorrent" leaves lf-get
# out (the reference figures alone); C_LEECHERS="aria2c" runs part c with
# aria2c alone.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)

# shellcheck source=bench/bt/bench_lib.sh
source "$here/bench/bt/bench_lib.sh"
bench_enter_namespace "$@"

build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-1024}
runs=${2:-3}
parts=${PARTS:-a b c d}
tools=${TOOLS:-aria2c libtorrent lf-get}
lfget=$build/tools/lf-get/lf-get
ltclient=/work/shared/peers/lt_client.py
[[ -f $here/bench/bt/lt_client.py ]] && ltclient=$here/bench/bt/lt_client.py
if [[ " $tools " == *" lf-get "* && ! -x $lfget ]]; then
    echo "no $lfget: build the lf-get target first (or TOOLS='aria2c libtorrent')" >&2
    exit 1
fi
bench_setup "$size_mib" 20

seed_aria2() {  # ADDRESS
    aria2c "${aria2_common[@]}" --interface="$1" --listen-port="$(free_port)" --dir="$work/seed" \
        --seed-ratio=0.0 --bt-seed-unverified=true --check-integrity=false \
        "$work/file.torrent" > "$work/seed-aria2.log" 2>&1 &
    pids+=($!)
}
seed_libtorrent() {  # ADDRESS
    LT_ADDR=$1 /usr/bin/python3 "$ltclient" "$work/file.torrent" "$work/seed" "$(free_port)" seed \
        1000000 > "$work/seed-lt.log" 2>&1 &
    pids+=($!)
}
seed_lfget() {  # ADDRESS: seeds its own copy of the file
    local copy=$work/lfseed-$1
    mkdir -p "$copy"
    [[ -f $copy/file.bin ]] || cp "$work/seed/file.bin" "$copy/file.bin"
    "$lfget" --torrent "$work/file.torrent" --peers 50 --disguise off --bind "$1" \
        --listen "$(free_port)" --seed "$copy/file.bin" > "$work/seed-lfget-$1.log" 2>&1 &
    pids+=($!)
}


leech() {  # TOOL ADDRESS NAME
    case $1 in
        aria2c)
            once "$3" aria2c "${aria2_common[@]}" --interface="$2" --listen-port="$(free_port)" \
                --dir="$work/out" --seed-time=0 --file-allocation=none --allow-overwrite=true \
                "$work/file.torrent" ;;
        libtorrent)
            once "$3" env LT_ADDR="$2" /usr/bin/python3 "$ltclient" "$work/file.torrent" \
                "$work/out" "$(free_port)" download 900 ;;
        lf-get)
            once "$3" "$lfget" --torrent "$work/file.torrent" --peers 50 --disguise off \
                --bind "$2" --listen "$(free_port)" "$work/out/file.bin" ;;
    esac
}

# part TITLE "SEEDERS" "LEECHERS": seeders are "kind@address", leechers
# "tool@address"; leechers whose tool is not in TOOLS are left out.
part() {
    local title=$1 seeders=$2 leechers=$3 l active=()
    for l in $leechers; do
        [[ " $tools " == *" ${l%@*} "* ]] && active+=("$l")
    done
    if [[ $seeders == *lf-get@* && " $tools " != *" lf-get "* ]]; then
        echo "$title: left out (TOOLS without lf-get)"
        return 0
    fi
    [[ ${#active[@]} -gt 0 ]] || return 0
    start_seeders() {
        local s
        for s in $seeders; do "seed_$(echo "${s%@*}" | tr -d -)" "${s#*@}"; done
    }
    echo "$title: ${size_mib} MiB, median of $runs runs (alternating)"
    # Seeders first (lf-get seeders check their pieces, then announce as
    # complete), the leechers once the tracker counts all of them; the
    # leechers connect to the seeders, which accept.
    start_tracker
    start_seeders
    wait_seeders "$(echo "$seeders" | wc -w)"
    for _ in $(seq "$runs"); do
        for l in "${active[@]}"; do
            leech "${l%@*}" "${l#*@}" "  ${l%@*} from $title"
        done
    done
    stop_all
    for l in "${active[@]}"; do report "  ${l%@*} from $title"; done
}
# Part c's leechers: C_LEECHERS="aria2c" runs part c with aria2c alone.
c_leechers() {
    local t out=
    for t in ${C_LEECHERS:-lf-get aria2c}; do
        case $t in
            lf-get) out+=" lf-get@127.0.0.14" ;;
            aria2c) out+=" aria2c@127.0.0.15" ;;
        esac
    done
    echo "$out"
}

cat "$work/seed/file.bin" > /dev/null
echo "load before: $(uptime)"
for p in $parts; do
    case $p in
        a) part "an aria2 seeder" "aria2@127.0.0.2" \
               "aria2c@127.0.0.3 libtorrent@127.0.0.4 lf-get@127.0.0.5" ;;
        b) part "a libtorrent seeder" "libtorrent@127.0.0.6" \
               "aria2c@127.0.0.7 libtorrent@127.0.0.8 lf-get@127.0.0.9" ;;
        c) part "four lf-get seeders" \
               "lf-get@127.0.0.10 lf-get@127.0.0.11 lf-get@127.0.0.12 lf-get@127.0.0.13" \
               "$(c_leechers)" ;;
        d) part "one lf-get seeder" "lf-get@127.0.0.20" \
               "aria2c@127.0.0.21 libtorrent@127.0.0.22" ;;
    esac
done
echo "load after: $(uptime)"
