#!/usr/bin/env bash
# Downloads one file from nginx on loopback with the engine (lf-get), aria2c
# and curl, in one run, and prints wall time, CPU seconds and peak RSS of
# each (median of RUNS runs). Run inside a private network namespace:
#   unshare --net -- sh -c 'ip link set lo up && bench/http/run_http_bench.sh [MiB] [RUNS]'
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-1024}
runs=${2:-3}
work=$(mktemp -d)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/out"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/www/file.bin"
mktorrent -l 20 -a http://127.0.0.1:1/announce -o "$work/file.torrent" "$work/www/file.bin" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx"
cat > "$work/nginx.conf" <<CONF
daemon on; worker_processes 1; user root; pid $work/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 1024; }
http { access_log off; client_body_temp_path $work/nginx; proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx; uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$port; root $work/www; } }
CONF
nginx -c "$work/nginx.conf" -p "$work/"
url="http://127.0.0.1:$port/file.bin"
want=$(md5sum < "$work/www/file.bin" | cut -d' ' -f1)

measure() {  # name, command...
    local name=$1; shift
    local results=()
    for _ in $(seq "$runs"); do
        rm -f "$work"/out/*
        sync; echo 1 > /proc/sys/vm/drop_caches 2>/dev/null || true
        /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>&1
        got=$(md5sum < "$work/out/file.bin" | cut -d' ' -f1)
        [ "$got" = "$want" ] || { echo "$name: wrong bytes"; exit 1; }
        read -r wall user sys rss < "$work/time"
        results+=("$wall $(echo "$user + $sys" | bc) $rss")
    done
    printf '%s\n' "${results[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p" |
        awk -v n="$name" '{printf "%-28s wall %6.2f s  cpu %6.2f s  rss %7.1f MiB\n", n, $1, $2, $3/1024}'
}

echo "file: ${size_mib} MiB, median of $runs runs"
measure "lanternfish (8 conn)" "$build/tools/lf-get/lf-get" --torrent "$work/file.torrent" --connections 8 \
    "$work/out/file.bin" "$url"
measure "aria2c -x16 -s16 -k1M" aria2c -x16 -s16 -k1M --file-allocation=none --allow-overwrite=true \
    -d "$work/out" -o file.bin "$url"
measure "curl -o" curl -s -o "$work/out/file.bin" "$url"
