#!/usr/bin/env bash
# HTTP downloads from nginx on loopback with the engine (lf-get), aria2c and
# curl, in one run; prints wall time, CPU seconds (user + system) and peak
# RSS of each, medians of RUNS runs:
#   1. one file of MIB MiB (1024 by default): lf-get with 8 server
#      connections, aria2c -x16 -s16 -k1M, curl -o;
#   2. the release's eight files at an eighth of their sizes (~1.55 GB in
#      all), all at once: lf-get with 7 connections per task (one task per
#      file, each with its torrent), aria2c -j8 -x7 -s7.
# Every engine download checks each piece by SHA-1; every result is compared
# byte for byte with the served file. Run inside a private network namespace:
#   unshare --net -- sh -c 'ip link set lo up && bench/http/run_http_bench.sh [MIB] [RUNS]'
# PARTS=single or PARTS=eight runs one part only.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-1024}
runs=${2:-3}
parts=${PARTS:-single eight}
lfget=$build/tools/lf-get/lf-get
work=$(mktemp -d)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/out" "$work/nginx"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon on; worker_processes 1; user root; pid $work/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 1024; }
http { access_log off; client_body_temp_path $work/nginx; proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx; uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$port; root $work/www; } }
CONF
nginx -c "$work/nginx.conf" -p "$work/"
base="http://127.0.0.1:$port"

median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

# once NAME FILES COMMAND...: one run into an empty out folder; compares
# FILES (names in www/ and out/) with the served ones and appends
# "wall cpu rss" to the results of NAME. The callers alternate the tools run
# by run, so that drift of the shared machine hits all of them.
declare -A results
once() {
    local name=$1 files=$2
    shift 2
    rm -rf "$work/out" && mkdir -p "$work/out"
    sync
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" ||
        { echo "$name failed:"; tail -5 "$work/stderr"; exit 1; }
    for f in $files; do
        cmp -s "$work/www/$f" "$work/out/$f" || { echo "$name: wrong bytes in $f"; exit 1; }
    done
    read -r wall user sys rss < "$work/time"
    results[$name]+="$wall $(echo "$user + $sys" | bc) $rss"$'\n'
}
report() {
    local name=$1 walls cpus rsss
    walls=$(printf '%s' "${results[$name]}" | awk 'NF {print $1}')
    cpus=$(printf '%s' "${results[$name]}" | awk 'NF {print $2}')
    rsss=$(printf '%s' "${results[$name]}" | awk 'NF {print $3}')
    # shellcheck disable=SC2086
    printf '%-38s wall %6.2f s  cpu %6.2f s  peak rss %7.1f MiB\n' "$name" \
        "$(median $walls)" "$(median $cpus)" "$(echo "$(median $rsss) / 1024" | bc -l)"
}

if [[ " $parts " == *" single "* ]]; then
    head -c $((size_mib * 1048576)) /dev/urandom > "$work/www/file.bin"
    mktorrent -l 20 -a http://127.0.0.1:1/announce -o "$work/file.torrent" "$work/www/file.bin" >/dev/null
    cat "$work/www/file.bin" > /dev/null
    echo "one file of ${size_mib} MiB, median of $runs runs (alternating)"
    for _ in $(seq "$runs"); do
        once "lanternfish, 8 connections" file.bin \
            "$lfget" --torrent "$work/file.torrent" --connections 8 "$work/out/file.bin" "$base/file.bin"
        once "aria2c -x16 -s16 -k1M" file.bin \
            aria2c -x16 -s16 -k1M --file-allocation=none --allow-overwrite=true -q \
            -d "$work/out" -o file.bin "$base/file.bin"
        once "curl -o" file.bin curl -s -o "$work/out/file.bin" "$base/file.bin"
    done
    report "lanternfish, 8 connections"
    report "aria2c -x16 -s16 -k1M"
    report "curl -o"
    rm -f "$work/www/file.bin"
fi

if [[ " $parts " == *" eight "* ]]; then
    # The release: an installer, a data archive and six cabinet volumes.
    names=(Qarrd_Setup2.1.0.40_20160106_1.exe Qarrd21040Data.zip Qarrd21040Data01.cab
           Qarrd21040Data02.cab Qarrd21040Data03.cab Qarrd21040Data04.cab Qarrd21040Data05.cab
           Qarrd21040Data06.cab)
    sizes=(4117776 439832310 1992294400 1992294400 1992294400 1992294400 1992294400 1992294400)
    : > "$work/batch.txt"
    : > "$work/aria2.txt"
    total=0
    for k in "${!names[@]}"; do
        n=${names[$k]}
        s=$((sizes[k] / 8))
        total=$((total + s))
        head -c "$s" /dev/urandom > "$work/www/$n"
        mktorrent -l 20 -a http://127.0.0.1:1/announce -o "$work/$n.torrent" "$work/www/$n" >/dev/null
        echo "$work/out/$n $work/$n.torrent $base/$n" >> "$work/batch.txt"
        printf '%s\n  out=%s\n' "$base/$n" "$n" >> "$work/aria2.txt"
    done
    cat "$work"/www/* > /dev/null
    echo "eight files at once, $(echo "$total / 1000000" | bc) MB in all, median of $runs runs (alternating)"
    for _ in $(seq "$runs"); do
        once "lanternfish, 8 tasks x 7 connections" "${names[*]}" \
            "$lfget" --connections 7 --batch "$work/batch.txt"
        once "aria2c -j8 -x7 -s7 -k1M" "${names[*]}" \
            aria2c -j8 -x7 -s7 -k1M --file-allocation=none --allow-overwrite=true -q \
            -d "$work/out" -i "$work/aria2.txt"
    done
    report "lanternfish, 8 tasks x 7 connections"
    report "aria2c -j8 -x7 -s7 -k1M"
fi
