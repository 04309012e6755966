#!/usr/bin/env bash
# A real transfer between two engines behind NAT routers, over the UDP
# stream, next to the same transfer over TCP, at several loss rates.
#
# The lab (namespaces made here, inside a private network namespace of the
# script's own; nothing reaches the host network; addresses of 198.18.0.0/15
# only): home 0 (198.19.1.2) behind router 0 (198.18.1.2), home 1
# (198.19.2.2) behind router 1 (198.18.2.2), an internet host between them
# with lf-rendezvous and opentracker at 198.18.0.1. The routers masquerade
# and drop unsolicited packets on their WAN side. lf-get A seeds in home 0,
# lf-get B downloads in home 1 and is measured with GNU time (wall, CPU
# seconds user + system, peak RSS).
#   udp: B reaches A only through a hole-punched UDP stream.
#   tcp: router 0 forwards TCP port 6881 to A, and B is pointed at a
#        rendezvous address that never answers, so it never tries UDP.
#   utp: libtorrent on both sides, uTP only (bench/udp/lt_utp.py, run by
#        /usr/bin/python3), router 0 forwarding UDP port 6881 to the seeder.
# Loss: nft on the internet host drops LOSS % of all forwarded packets (both
# directions, TCP and UDP alike). udp and tcp alternate run by run; medians
# of RUNS runs. Every download is compared with the seeded file.
#   bench/udp/run_udp_lab_bench.sh [MIB] [RUNS]
# LOSSES="0 1 5 10" picks the loss rates; MODES="udp tcp utp" the transports;
# MIB_AT_LOSS="5:4 10:2" a smaller file at some loss rates (slow streams).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)

if [[ -z ${LF_UDP_BENCH_INSIDE:-} ]]; then
    # shellcheck disable=SC2016  # expanded by the inner shell
    exec unshare --net --mount -- env LF_UDP_BENCH_INSIDE=1 bash -c \
        'mount -t tmpfs none /run/netns 2>/dev/null || mkdir -p /run/netns; ip link set lo up && exec "$0" "$@"' \
        "$0" "$@"
fi

build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-64}
runs=${2:-3}
losses=${LOSSES:-0 1 5 10}
modes=${MODES:-udp tcp utp}
lfget=$build/tools/lf-get/lf-get
rendezvous=$build/tools/lf-rendezvous/lf-rendezvous
for p in "$lfget" "$rendezvous"; do
    [[ -x $p ]] || { echo "no $p: build lf-get and lf-rendezvous first" >&2; exit 1; }
done
work=$(mktemp -d)
chmod 755 "$work"
tag=b$$
inet=lfinet$tag
declare -a pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    for n in $inet lfrt1$tag lfrt2$tag lfhm1$tag lfhm2$tag; do
        for p in $(ip netns pids "$n" 2>/dev/null); do kill "$p" 2>/dev/null || true; done
        ip netns del "$n" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
ns() { local n=$1; shift; ip netns exec "$n" "$@"; }

# ---- the lab ----
ip netns add "$inet"
ns "$inet" ip link set lo up
ns "$inet" ip addr add 198.18.0.1/32 dev lo
ns "$inet" sysctl -qw net.ipv4.ip_forward=1
for i in 1 2; do
    rt=lfrt$i$tag hm=lfhm$i$tag
    ip netns add "$rt"
    ip netns add "$hm"
    ns "$rt" ip link set lo up
    ns "$hm" ip link set lo up
    ip link add wi$i$tag netns "$inet" type veth peer name wr$i$tag netns "$rt"
    ip link add lr$i$tag netns "$rt" type veth peer name lh$i$tag netns "$hm"
    ns "$inet" ip addr add 198.18.$i.1/24 dev wi$i$tag
    ns "$inet" ip link set wi$i$tag up
    ns "$rt" ip addr add 198.18.$i.2/24 dev wr$i$tag
    ns "$rt" ip link set wr$i$tag up
    ns "$rt" ip addr add 198.19.$i.1/24 dev lr$i$tag
    ns "$rt" ip link set lr$i$tag up
    ns "$hm" ip addr add 198.19.$i.2/24 dev lh$i$tag
    ns "$hm" ip link set lh$i$tag up
    ns "$rt" sysctl -qw net.ipv4.ip_forward=1
    ns "$rt" ip route add default via 198.18.$i.1
    ns "$hm" ip route add default via 198.19.$i.1
    ns "$rt" nft -f - <<EOF
table ip lfnat {
  chain pre { type nat hook prerouting priority -100; policy accept; }
  chain post { type nat hook postrouting priority 100; policy accept;
    oifname "wr$i$tag" masquerade; }
  chain input { type filter hook input priority 0; policy drop;
    ct state established,related accept;
    iifname { "lo", "lr$i$tag" } accept; }
}
EOF
done

# Background programs start through ip netns exec directly (not the ns
# function), so that $! is the program itself and kill reaches it.
ip netns exec "$inet" "$rendezvous" --listen 198.18.0.1:82 > "$work/rendezvous.log" 2>&1 &
pids+=($!)

# ---- content and tracker ----
make_content() {  # MIB
    rm -rf "$work/a" "$work/b" "$work/tracker"
    mkdir -p "$work/a" "$work/b" "$work/tracker"
    head -c $(($1 * 1048576)) /dev/urandom > "$work/a/f.bin"
    mktorrent -p -l 18 -a "http://198.18.0.1:6969/announce" -o "$work/f.torrent.new" \
        "$work/a/f.bin" > /dev/null
    mv "$work/f.torrent.new" "$work/f.torrent"
    aria2c -S "$work/f.torrent" | awk '/^Info Hash/{print $3}' > "$work/tracker/whitelist"
    chmod 755 "$work/tracker"
    chmod 644 "$work/tracker/whitelist"
    want=$(sha1sum < "$work/a/f.bin")
}
tracker_pid=
start_tracker() {
    if [[ -n $tracker_pid ]]; then
        kill "$tracker_pid" 2>/dev/null || true
        wait "$tracker_pid" 2>/dev/null || true
    fi
    ip netns exec "$inet" opentracker -i 198.18.0.1 -p 6969 -P 6969 -d "$work/tracker" -w whitelist \
        -u nobody > "$work/opentracker.log" 2>&1 &
    tracker_pid=$!
    sleep 0.5
}

set_loss() {  # PERCENT
    ns "$inet" nft delete table ip lfloss 2>/dev/null || true
    [[ $1 -gt 0 ]] || return 0
    ns "$inet" nft -f - <<EOF
table ip lfloss {
  chain forward { type filter hook forward priority 0; policy accept;
    numgen random mod 100 < $1 drop; }
}
EOF
}
set_forward() {  # tcp|udp|off: router 0 forwards port 6881 of that protocol to A
    ns lfrt1$tag nft flush chain ip lfnat pre
    [[ $1 == off ]] || ns lfrt1$tag nft add rule ip lfnat pre iifname "wr1$tag" "$1" dport 6881 \
        dnat to 198.19.1.2:6881
    return 0
}

# One transfer: sets result to "wall cpu rss" or "fail" (run in this shell,
# not a subshell, so that the tracker's pid stays known).
transfer() {  # MODE
    local mode=$1 rz=198.18.0.1
    rm -rf "$work/b"
    mkdir -p "$work/b"
    start_tracker
    if [[ $mode == utp ]]; then
        set_forward udp
        utp_transfer
        return
    fi
    [[ $mode == tcp ]] && { set_forward tcp; rz=198.18.0.9; } || set_forward off
    # A seeding task that downloads nothing would end at the start timeout.
    ip netns exec lfhm1$tag env LANTERNFISH_RENDEZVOUS_HOST=198.18.0.1 \
        LANTERNFISH_RENDEZVOUS_PORT=82 LANTERNFISH_DEBUG=1 LANTERNFISH_START_TIMEOUT_SECONDS=86000 \
        "$lfget" --torrent "$work/f.torrent" --listen 6881 --seed \
        "$work/a/f.bin" > "$work/a.log" 2>&1 &
    local apid=$!
    for _ in $(seq 300); do grep -q "answered" "$work/a.log" && break; sleep 0.1; done
    sleep 1
    local t0 out
    if ns lfhm2$tag env LANTERNFISH_RENDEZVOUS_HOST=$rz LANTERNFISH_RENDEZVOUS_PORT=82 \
        LANTERNFISH_DEBUG=1 LANTERNFISH_START_TIMEOUT_SECONDS=600 \
        /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
        "$lfget" --torrent "$work/f.torrent" --listen 6882 "$work/b/f.bin" > "$work/b.log" 2>&1 &&
        [[ $(sha1sum < "$work/b/f.bin") == "$want" ]]; then
        out=$(awk '{printf "%s %.2f %d", $1, $2 + $3, $4}' "$work/time")
        if [[ $mode == udp ]]; then
            # One stream for the whole download: a second one means the
            # first was dropped.
            local streams
            streams=$(grep -c "connected over a UDP stream" "$work/b.log" || true)
            if [[ $streams == 0 ]]; then
                out="fail(no-udp)"
            elif [[ $streams != 1 ]]; then
                echo "  udp run needed $streams streams" >&2
            fi
        fi
    else
        out=fail
        cp "$work/b.log" "$work/../udp-bench-failed-$mode.log" 2>/dev/null || true
    fi
    kill "$apid" 2>/dev/null || true
    wait "$apid" 2>/dev/null || true
    result=$out
}

# libtorrent over uTP alone: router 0 forwards UDP 6881 to the seeder.
utp_transfer() {
    local lt=$here/bench/udp/lt_utp.py out
    ip netns exec lfhm1$tag /usr/bin/python3 "$lt" "$work/f.torrent" "$work/a" 6881 seed \
        > "$work/a.log" 2>&1 &
    local apid=$!
    sleep 3
    if ns lfhm2$tag /usr/bin/time -f "%e %U %S %M" -o "$work/time" /usr/bin/python3 "$lt" \
        "$work/f.torrent" "$work/b" 6882 download 900 > "$work/b.log" 2>&1 &&
        [[ $(sha1sum < "$work/b/f.bin") == "$want" ]]; then
        out=$(awk '{printf "%s %.2f %d", $1, $2 + $3, $4}' "$work/time")
    else
        out=fail
    fi
    kill "$apid" 2>/dev/null || true
    wait "$apid" 2>/dev/null || true
    result=$out
}

median() { sort -n | awk '{a[NR]=$1} END {if (NR == 0) print "-"; else print a[int((NR + 1) / 2)]}'; }

printf "%-5s %-4s %5s %8s %10s %8s %8s\n" loss mode MiB wall_s "MiB/s" cpu_s rss_MiB
for loss in $losses; do
    mib=$size_mib
    for pair in ${MIB_AT_LOSS:-}; do [[ ${pair%%:*} == "$loss" ]] && mib=${pair##*:}; done
    make_content "$mib"
    set_loss "$loss"
    declare -A walls=() cpus=() rsss=() fails=()
    for r in $(seq "$runs"); do
        order=$modes
        (( r % 2 == 0 )) && order=$(echo "$modes" | tr ' ' '\n' | tac | tr '\n' ' ')
        for m in $order; do
            transfer "$m"
            res=$result
            echo "  loss $loss run $r $m: $res" >&2
            if [[ $res == fail* ]]; then fails[$m]=$((${fails[$m]:-0} + 1)); continue; fi
            read -r w c k <<< "$res"
            walls[$m]+="$w "
            cpus[$m]+="$c "
            rsss[$m]+="$k "
        done
    done
    for m in $modes; do
        # (grep finds nothing when every run of the mode failed)
        w=$(echo "${walls[$m]:-}" | tr ' ' '\n' | { grep . || true; } | median)
        c=$(echo "${cpus[$m]:-}" | tr ' ' '\n' | { grep . || true; } | median)
        k=$(echo "${rsss[$m]:-}" | tr ' ' '\n' | { grep . || true; } | median)
        rate=-
        [[ $w != - ]] && rate=$(awk -v m="$mib" -v w="$w" 'BEGIN {printf "%.2f", m / w}')
        [[ $k != - ]] && k=$((k / 1024))
        printf "%-5s %-4s %5s %8s %10s %8s %8s%s\n" "$loss%" "$m" "$mib" "$w" "$rate" "$c" "$k" \
            "$([[ -n ${fails[$m]:-} ]] && echo "  (${fails[$m]} failed)")"
    done
    unset walls cpus rsss fails
done
