#!/usr/bin/env bash
# The program's main job, the whole release downloaded and verified, against
# aria2c -j8 -x7 --check-integrity with the same MD5 digests, at one or more
# scales of the release in one go (the eight files with the release's names,
# their sizes divided by SCALE, deterministic content as the demo's):
#   64  the demo release (about 185 MiB)
#   8   an eighth of the real size (about 1.55 GB)
#   1   the real size (12.4 GB: run it by hand, it needs about 40 GB of disk)
# For each scale and run, in turn: lanternfish --headless downloading and
# verifying, aria2c, and lanternfish downloading without verifying (the
# download's own wall time). Prints the medians of wall time, CPU seconds and
# peak RSS, the ratios, and the demo's exit time (from the last log line to
# the end of the process). One nginx on loopback serves the files and the
# resource list; the script makes its own network namespace.
#   bench/app/run_release_bench.sh [RUNS] [SCALE...]     (default: 3 64 8)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${LF_BENCH_IN_NS:-0}" != 1 ]; then
    exec unshare --net -- env LF_BENCH_IN_NS=1 sh -c "ip link set lo up && exec '$0' $*"
fi
build=${LF_BUILD_DIR:-$here/build}
runs=${1:-3}
shift || true
scales=("$@")
[ ${#scales[@]} -gt 0 ] || scales=(64 8)
work=$(mktemp -d ${LF_BENCH_TMP:+-p "$LF_BENCH_TMP"})
chmod 755 "$work"
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
names=(Qarrd_Setup2.1.0.40_20160106_1.exe Qarrd21040Data.zip Qarrd21040Data01.cab
       Qarrd21040Data02.cab Qarrd21040Data03.cab Qarrd21040Data04.cab Qarrd21040Data05.cab
       Qarrd21040Data06.cab)
real=(4117776 439832310 1992294400 1992294400 1992294400 1992294400 1992294400 1992294400)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/www/qarrd160107" "$work/www/lanternfish" "$work/nginx"
cat > "$work/nginx.conf" <<CONF
daemon on; worker_processes 1; user root; pid $work/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 1024; }
http { access_log off; sendfile on; client_body_temp_path $work/nginx; proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx; uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$port; root $work/www; } }
CONF
nginx -c "$work/nginx.conf" -p "$work/"
base=http://127.0.0.1:$port
# The statistics go to the bench's own server, which answers at once (the
# demo's statistics address, 127.0.0.1:8083, is served by the demo servers
# only).
sed "s|http://127.0.0.1:8083/|$base/|" "$here/tools/make-release/demo-dataupload.lfconf" \
    > "$work/dataupload.lfconf"
# P2P on, no mirror: both programs take the same one server.
cat > "$work/www/lanternfish/resources.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<project><configs><expire-info><expired>false</expired><message></message><url></url></expire-info>
<p2p-switch>on</p2p-switch></configs><resources></resources></project>
XML

drop_caches() { sync; echo 1 > /proc/sys/vm/drop_caches 2>/dev/null || true; }
median() { sort -g | sed -n "$(( (runs + 1) / 2 ))p"; }
# timed NAME COMMAND...: one run, "wall cpu rss" appended to $work/NAME.
timed() {
    local name=$1
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/out.log" 2>&1 ||
        { echo "failed: $*" >&2; tail -20 "$work/out.log" >&2; exit 1; }
    read -r wall user sys rss < "$work/time"
    echo "$wall $(echo "$user + $sys" | bc) $rss" >> "$work/r-$name"
}
column() { awk -v c="$2" '{print $c}' "$work/r-$1" | median; }
report() {  # NAME LABEL
    printf '  %-44s wall %7.2f s  cpu %7.2f s  peak rss %7.1f MiB\n' "$2" \
        "$(column "$1" 1)" "$(column "$1" 2)" "$(echo "$(column "$1" 3) / 1024" | bc -l)"
}
# lanternfish RELEASE DATA SAVE ARGS...: the program on a release, as a
# command /usr/bin/time can run.
cat > "$work/lanternfish" <<SH
#!/bin/sh
release=\$1 data=\$2 save=\$3
shift 3
exec env LANTERNFISH_DATA_HOME="\$data" LANTERNFISH_OPEN_COMMAND=true LANTERNFISH_DEBUG=1 \\
    "$build/app/lanternfish" --headless --quiet --no-port-mapping --release "\$release" \\
    --save "\$save" --no-install "\$@"
SH
chmod +x "$work/lanternfish"
lanternfish=$work/lanternfish

for scale in "${scales[@]}"; do
    files=$work/files-$scale
    release=$work/release-$scale
    mkdir -p "$files"
    total=0
    paths=()
    for i in 0 1 2 3 4 5 6 7; do
        size=$((real[i] / scale))
        total=$((total + size))
        key=$(printf 'Lanternfish-dem%d' "$i" | od -An -tx1 | tr -d ' \n')
        openssl enc -aes-128-ctr -nosalt -K "$key" -iv 00000000000000000000000000000000 \
            -in /dev/zero 2>/dev/null | head -c "$size" > "$files/${names[$i]}" || true
        ln -sf "$files/${names[$i]}" "$work/www/qarrd160107/${names[$i]}"
        paths+=("$files/${names[$i]}")
    done
    "$build/tools/make-release/lf-make-release" --out "$release" --base-url "$base/qarrd160107/" \
        --list-url "$base/lanternfish/resources.xml" --tracker http://127.0.0.1:1/announce \
        --statistics-config "$work/dataupload.lfconf" \
        --piece-length 262144 "${paths[@]}" >/dev/null
    : > "$work/input"
    for i in 0 1 2 3 4 5 6 7; do
        md5=$(md5sum < "${paths[$i]}" | cut -d' ' -f1)
        printf '%s/qarrd160107/%s\n  checksum=md5=%s\n  out=%s\n' "$base" "${names[$i]}" "$md5" \
            "${names[$i]}" >> "$work/input"
    done
    echo "release at 1/$scale: $((total / 1048576)) MiB in 8 files, medians of $runs runs" \
        "(alternating, page cache dropped before each run)"
    : > "$work/r-lf"
    : > "$work/r-aria"
    : > "$work/r-lfdl"
    : > "$work/exit"
    for _ in $(seq "$runs"); do
        rm -rf "$work/data" "$work/save"
        drop_caches
        timed lf "$lanternfish" "$release" "$work/data" "$work/save" --verify
        grep -q "√ 验证通过" "$work/out.log" || { echo "verification did not pass" >&2; exit 1; }
        rm -rf "$work/data" "$work/save"

        mkdir -p "$work/aria"  # eight downloads making it at once can fail
        drop_caches
        timed aria aria2c -j8 -x7 --file-allocation=none --allow-overwrite=true --console-log-level=error \
            --summary-interval=0 --check-integrity=true -d "$work/aria" -i "$work/input"
        rm -rf "$work/aria"

        drop_caches
        timed lfdl "$lanternfish" "$release" "$work/data" "$work/save" --no-verify
        grep -q "下载状态改变为finished" "$work/out.log" || { echo "not finished" >&2; exit 1; }
        # Exit: the last log line to the end of the process, on a run of its
        # own with every line time-stamped as it arrives.
        rm -rf "$work/data" "$work/save"
        "$lanternfish" "$release" "$work/data" "$work/save" --no-verify 2>&1 |
            python3 -u -c '
import sys, time
last = None
for line in sys.stdin:
    if "退出" in line: last = time.time()
print(last or 0)' > "$work/exit-line"
        end=$(date +%s.%N)
        echo "($end - $(cat "$work/exit-line")) * 1000" | bc -l >> "$work/exit"
        rm -rf "$work/data" "$work/save"
    done
    report lf "lanternfish download+verify"
    report aria "aria2c -j8 -x7 --check-integrity"
    report lfdl "lanternfish download only"
    lw=$(column lf 1)
    aw=$(column aria 1)
    dw=$(column lfdl 1)
    printf '  wall: %.2f x aria2c; verification adds %.0f %% to the download; exit %.0f ms after the last line\n' \
        "$(echo "$lw / $aw" | bc -l)" "$(echo "($lw - $dw) * 100 / $dw" | bc -l)" \
        "$(sort -g "$work/exit" | sed -n "$(( (runs + 1) / 2 ))p")"
    rm -rf "$files" "$release"
done
