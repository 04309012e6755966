#!/usr/bin/env bash
# The whole program on the demo release (the eight files scaled down by 64,
# about 185 MiB), in one run so the ratios are fair:
#   1. verification alone: lanternfish --headless verifying a finished
#      download, against md5sum of the same eight files;
#   2. download plus verification: lanternfish --headless against
#      aria2c -j8 -x7 with --checksum=md5 for every file.
# Prints wall time, CPU seconds and peak RSS, medians of RUNS runs. It starts
# its own network namespace (loopback only) for the demo servers.
#   bench/app/run_release_bench.sh [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${LF_BENCH_IN_NS:-0}" != 1 ]; then
    exec unshare --net -- env LF_BENCH_IN_NS=1 sh -c "ip link set lo up && exec '$0' $*"
fi
build=${LF_BUILD_DIR:-$here/build}
runs=${1:-3}
work=$(mktemp -d)
chmod 755 "$work"
state=$work/servers
trap '"$here/tools/demo/demo-servers.sh" stop "$state"; rm -rf "$work"' EXIT
"$here/tools/demo/demo-servers.sh" start "$state" >/dev/null
files=$here/build/demo-release-files
names=(Qarrd_Setup2.1.0.40_20160106_1.exe Qarrd21040Data.zip Qarrd21040Data01.cab
       Qarrd21040Data02.cab Qarrd21040Data03.cab Qarrd21040Data04.cab Qarrd21040Data05.cab
       Qarrd21040Data06.cab)
total=$(cat "${names[@]/#/$files/}" | wc -c)

median() {  # name; lines "wall cpu rss" on stdin
    sort -n | sed -n "$(( (runs + 1) / 2 ))p" |
        awk -v n="$1" '{printf "%-40s wall %6.2f s  cpu %6.2f s  rss %7.1f MiB\n", n, $1, $2, $3/1024}'
}
timed() {  # command... ; appends "wall cpu rss" to $work/results
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/out.log" 2>&1 ||
        { echo "failed: $*" >&2; tail -20 "$work/out.log" >&2; exit 1; }
    read -r wall user sys rss < "$work/time"
    echo "$wall $(echo "$user + $sys" | bc) $rss" >> "$work/results"
}
drop_caches() { sync; echo 1 > /proc/sys/vm/drop_caches 2>/dev/null || true; }
lanternfish() {  # data, save, args...
    local data=$1 save=$2; shift 2
    env LANTERNFISH_DATA_HOME="$data" LANTERNFISH_OPEN_COMMAND=true LANTERNFISH_DEBUG=1 \
        "$build/app/lanternfish" --headless --quiet --no-port-mapping --save "$save" "$@"
}

echo "demo release: $((total / 1048576)) MiB in 8 files, median of $runs runs"

# 1. Verification (files in the page cache for both, as right after a download).
lanternfish "$work/vdata" "$work/vsave" --no-install --no-verify >/dev/null 2>&1
cat "$work"/vsave/* > /dev/null
: > "$work/results"
for _ in $(seq "$runs"); do
    timed md5sum "$work"/vsave/Qarrd*
done
median "md5sum (8 files)" < "$work/results"
: > "$work/results"
: > "$work/hash"
for _ in $(seq "$runs"); do
    timed env LANTERNFISH_DATA_HOME="$work/vdata" LANTERNFISH_DEBUG=1 \
        "$build/app/lanternfish" --headless --quiet --no-port-mapping --no-install --verify
    grep -q "√ 验证通过" "$work/out.log" || { echo "verification did not pass" >&2; exit 1; }
    sed -n 's/.*MD5验证完成：\([0-9]*\) 字节，用时 \([0-9]*\) 毫秒.*/\1 \2/p' "$work/out.log" >> "$work/hash"
done
median "lanternfish (whole program, verifying)" < "$work/results"
sort -k2 -n "$work/hash" | sed -n "$(( (runs + 1) / 2 ))p" |
    awk '{printf "%-40s %6.2f s  (%.0f MB/s)\n", "lanternfish verification thread", $2/1000, $1/1000/$2}'

# 2. Download and verification.
: > "$work/results"
for _ in $(seq "$runs"); do
    rm -rf "$work/data" "$work/save"; drop_caches
    timed env LANTERNFISH_DATA_HOME="$work/data" LANTERNFISH_OPEN_COMMAND=true \
        "$build/app/lanternfish" --headless --quiet --no-port-mapping --save "$work/save" \
        --no-install --verify
    grep -q "√ 验证通过" "$work/out.log" || { echo "verification did not pass" >&2; exit 1; }
done
median "lanternfish download+verify" < "$work/results"

: > "$work/input"
for i in 0 1 2 3 4 5 6 7; do
    md5=$(md5sum < "$files/${names[$i]}" | cut -d' ' -f1)
    printf 'http://127.0.0.1:8081/qarrd160107/%s\n  checksum=md5=%s\n  out=%s\n' \
        "${names[$i]}" "$md5" "${names[$i]}" >> "$work/input"
done
: > "$work/results"
for _ in $(seq "$runs"); do
    rm -rf "$work/aria"; drop_caches
    timed aria2c -j8 -x7 --file-allocation=none --allow-overwrite=true --check-integrity=true \
        -d "$work/aria" -i "$work/input"
done
median "aria2c -j8 -x7 --checksum=md5" < "$work/results"
