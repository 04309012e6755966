#!/usr/bin/env bash
# Makes the demo release: the eight files of the release with their real
# names and sizes divided by 64, filled with deterministic pseudo-random bytes
# (AES-128-CTR keystream, one key per file), then builds release/ from them
# with lf-make-release. The same run always gives the same bytes, digests and
# torrents, so only release/ is committed and the files are made again when
# needed (servers and seeders in tests and demos).
#
#   tools/make-release/make-demo.sh [FILES_DIR] [RELEASE_DIR]
#     FILES_DIR    where the eight files go (default: build/demo-release-files)
#     RELEASE_DIR  release folder to write (default: release/)
#   LF_MAKE_RELEASE  path of lf-make-release (default: build/tools/make-release/lf-make-release)
#   LF_DEMO_FILES_ONLY=1  only make the files
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
files=${1:-$here/build/demo-release-files}
release=${2:-$here/release}
tool=${LF_MAKE_RELEASE:-$here/build/tools/make-release/lf-make-release}

names=(Qarrd_Setup2.1.0.40_20160106_1.exe Qarrd21040Data.zip
       Qarrd21040Data01.cab Qarrd21040Data02.cab Qarrd21040Data03.cab
       Qarrd21040Data04.cab Qarrd21040Data05.cab Qarrd21040Data06.cab)
sizes=($((4117776 / 64)) $((439832310 / 64))
       $((1992294400 / 64)) $((1992294400 / 64)) $((1992294400 / 64))
       $((1992294400 / 64)) $((1992294400 / 64)) $((1992294400 / 64)))

mkdir -p "$files"
paths=()
for i in 0 1 2 3 4 5 6 7; do
    path=$files/${names[$i]}
    paths+=("$path")
    if [ -f "$path" ] && [ "$(stat -c %s "$path")" = "${sizes[$i]}" ]; then continue; fi
    # Key: "Lanternfish-dem" followed by the entry digit, as hex.
    key=$(printf 'Lanternfish-dem%d' "$i" | od -An -tx1 | tr -d ' \n')
    openssl enc -aes-128-ctr -nosalt -K "$key" -iv 00000000000000000000000000000000 \
        -in /dev/zero 2>/dev/null | head -c "${sizes[$i]}" > "$path.part" || true
    [ "$(stat -c %s "$path.part")" = "${sizes[$i]}" ] || { echo "short file $path" >&2; exit 1; }
    mv "$path.part" "$path"
done
[ "${LF_DEMO_FILES_ONLY:-0}" = 1 ] && exit 0

"$tool" --out "$release" \
    --base-url http://127.0.0.1:8081/qarrd160107/ \
    --list-url https://127.0.0.1:8443/lanternfish/resources.xml \
    --tracker http://127.0.0.1:6969/announce \
    --tracker udp://127.0.0.1:6969/announce \
    --statistics-config "$here/tools/make-release/demo-dataupload.lfconf" \
    --piece-length 262144 \
    "${paths[@]}"
