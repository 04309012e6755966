#!/usr/bin/env bash
# Installs every Debian package listed in deps/debian-packages.txt.
# Skips apt when all of them are already installed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
mapfile -t pkgs < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$here/deps/debian-packages.txt" | grep -v '^$')

missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# Services in these packages must not start on install: the fixtures start
# every server themselves on loopback.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
    created_policy=1
fi
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ $created_policy -eq 1 ]; then $SUDO rm -f "$policy"; fi
