#!/usr/bin/env bash
# Downloads one file from proftpd (anonymous) on loopback with the engine
# (lf-get), aria2c and curl, in one run, and prints wall time, CPU seconds
# and peak RSS of each (median of RUNS runs). Run inside a private network
# namespace:
#   unshare --net -- sh -c 'ip link set lo up && bench/ftp/run_ftp_bench.sh [MiB] [RUNS]'
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
size_mib=${1:-200}
runs=${2:-3}
work=$(mktemp -d)
chmod 755 "$work"
trap 'kill $(cat "$work/proftpd.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/out"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/www/file.bin"
chmod -R a+rX "$work/www"
mktorrent -l 20 -a http://127.0.0.1:1/announce -o "$work/file.torrent" "$work/www/file.bin" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/proftpd.conf" <<CONF
ServerName "bench"
ServerType standalone
DefaultServer on
Port $port
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User nobody
Group nogroup
PidFile $work/proftpd.pid
ScoreboardFile $work/scoreboard
DelayTable none
WtmpLog off
UseReverseDNS off
AuthPAM off
RequireValidShell off
SystemLog $work/system.log
<Anonymous $work/www>
  User ftp
  Group nogroup
  UserAlias anonymous ftp
  RequireValidShell off
  <Limit WRITE>
    DenyAll
  </Limit>
</Anonymous>
CONF
proftpd -c "$work/proftpd.conf"
for _ in $(seq 50); do [ -s "$work/proftpd.pid" ] && break; sleep 0.1; done
url="ftp://127.0.0.1:$port/file.bin"
want=$(md5sum < "$work/www/file.bin" | cut -d' ' -f1)

measure() {  # name, command...
    local name=$1; shift
    local results=()
    for _ in $(seq "$runs"); do
        rm -f "$work"/out/*
        /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>&1
        got=$(md5sum < "$work/out/file.bin" | cut -d' ' -f1)
        [ "$got" = "$want" ] || { echo "$name: wrong bytes"; exit 1; }
        read -r wall user sys rss < "$work/time"
        results+=("$wall $(echo "$user + $sys" | bc) $rss")
    done
    printf '%s\n' "${results[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p" |
        awk -v n="$name" '{printf "%-28s wall %6.2f s  cpu %6.2f s  rss %7.1f MiB\n", n, $1, $2, $3/1024}'
}

echo "file: ${size_mib} MiB over FTP, median of $runs runs"
measure "lanternfish (8 conn)" "$build/tools/lf-get/lf-get" --torrent "$work/file.torrent" --connections 8 \
    "$work/out/file.bin" "$url"
measure "lanternfish (1 conn)" "$build/tools/lf-get/lf-get" --torrent "$work/file.torrent" --connections 1 \
    "$work/out/file.bin" "$url"
measure "aria2c -x8 -s8 -k1M" aria2c -x8 -s8 -k1M --file-allocation=none --allow-overwrite=true \
    -d "$work/out" -o file.bin "$url"
measure "curl -o" curl -s -o "$work/out/file.bin" "$url"
