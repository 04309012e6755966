#!/usr/bin/env bash
# Ingest path (blocks in, SHA-1, written to disk) against its two ceilings,
# measured in the same run: SHA-1 speed (openssl speed -evp sha1, 16 KiB
# blocks) and writing to the same disk (dd, ending with fdatasync).
#
#   bench/store/run_ingest_bench.sh [folder] [MiB=1024] [piece KiB=1024]
#
# Needs a built tree (LF_BUILD_DIR or ./build).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${LF_BUILD_DIR:-$here/build}
folder=${1:-${TMPDIR:-/tmp}/lf-ingest-bench}
mib=${2:-1024}
piece=${3:-1024}
mkdir -p "$folder"
bench="$build/bench/store/store_ingest_bench"

# SHA-1 ceiling: bytes/s at 16384-byte blocks; CPU s/GB is its inverse.
sha=$(openssl speed -evp sha1 -bytes 16384 -seconds 3 2>/dev/null | awk '/^sha1|^SHA1/ {v=$NF} END {sub("k","",v); print v*1000}')
sha_mbs=$(awk -v b="$sha" 'BEGIN {printf "%.1f", b/1e6}')
sha_cpu=$(awk -v b="$sha" 'BEGIN {printf "%.3f", 1e9/b}')

# Disk ceiling: dd of the same size to the same folder, fdatasync at the end.
sync; rm -f "$folder/dd.bin"
dd_out=$( { /usr/bin/time -f "TIME %e %U %S" dd if=/dev/zero of="$folder/dd.bin" bs=1M count="$mib" conv=fdatasync status=none; } 2>&1 )
rm -f "$folder/dd.bin"
read -r _ dd_e dd_u dd_s <<<"$(grep TIME <<<"$dd_out")"
dd_mbs=$(awk -v e="$dd_e" -v m="$mib" 'BEGIN {printf "%.1f", m*1048576/1e6/e}')
dd_cpu=$(awk -v u="$dd_u" -v s="$dd_s" -v m="$mib" 'BEGIN {printf "%.3f", (u+s)/(m*1048576/1e9)}')

sync
ours=$("$bench" "$folder" "$mib" "$piece" 1)
our_mbs=$(awk '{print $6}' <<<"$ours")
our_cpu=$(awk '{print $8}' <<<"$ours")

slower=$(awk -v a="$sha_mbs" -v b="$dd_mbs" 'BEGIN {print (a<b)?a:b}')
pct=$(awk -v o="$our_mbs" -v s="$slower" 'BEGIN {printf "%.0f", 100*o/s}')
printf '%-34s %10s %12s\n' "path ($mib MiB, piece $piece KiB)" "MB/s" "CPU s/GB"
printf '%-34s %10s %12s\n' "openssl speed -evp sha1 (16 KiB)" "$sha_mbs" "$sha_cpu"
printf '%-34s %10s %12s\n' "dd bs=1M conv=fdatasync" "$dd_mbs" "$dd_cpu"
printf '%-34s %10s %12s\n' "piece map ingest (+fdatasync)" "$our_mbs" "$our_cpu"
echo "ingest reaches $pct % of the slower ceiling ($slower MB/s)"
