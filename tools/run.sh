#!/usr/bin/env bash
# Sets up and runs the downloader on the built-in demo release: installs the
# packages, builds, starts the demo servers on loopback, downloads and
# verifies the eight files in the terminal from the servers and the demo's
# seeders at once, opens the demo installer, and stops the servers and the
# swarm again. Extra arguments go to lanternfish (see --help);
# LF_DEMO_GUI=1 opens the window instead of the terminal front end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/install-deps.sh"
"$here/tools/build.sh"
build=${LF_BUILD_DIR:-$here/build}
state=$build/demo-servers
"$here/tools/demo/demo-servers.sh" start "$state"
trap '"$here/tools/demo/demo-servers.sh" stop "$state"' EXIT
export LANTERNFISH_DATA_HOME=${LANTERNFISH_DATA_HOME:-$build/demo-data}
export LANTERNFISH_OPEN_COMMAND=${LANTERNFISH_OPEN_COMMAND:-$here/tools/demo/demo-installer.sh}
# The demo swarm lives on loopback: the UDP server registers with the demo's
# rendezvous service, and the engine's connections, datagrams and LAN
# discovery stay on 127.0.0.1.
export LANTERNFISH_RENDEZVOUS_HOST=${LANTERNFISH_RENDEZVOUS_HOST:-127.0.0.1}
export LANTERNFISH_RENDEZVOUS_PORT=${LANTERNFISH_RENDEZVOUS_PORT:-8086}
export LANTERNFISH_LOCAL_ADDRESS=${LANTERNFISH_LOCAL_ADDRESS:-127.0.0.1}
mode=--headless
[ "${LF_DEMO_GUI:-0}" = 1 ] && mode=
"$build/app/lanternfish" $mode --no-port-mapping --save "$build/demo-download/qarrd160107" "$@"
