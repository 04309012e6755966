#!/usr/bin/env bash
# Starts and stops the servers of the built-in demo release on loopback:
#   http://127.0.0.1:8081/qarrd160107/...   the eight files (the release's source URLs)
#   http://127.0.0.1:8082/mirror/...        the same files, a mirror named by the resource list
#   https://127.0.0.1:8443/lanternfish/resources.xml   the resource list (self-signed certificate)
#   http://127.0.0.1:6969/announce, udp://127.0.0.1:6969   opentracker, the torrents' tracker
#   udp 127.0.0.1:8086                      lf-rendezvous, the UDP servers' rendezvous service
#   http://127.0.0.1:8083/launchersubmit/   the demo's statistics address (answers every
#                                           upload with an empty 200; not 8080, which is
#                                           the engine's listening port when no port is
#                                           chosen, as with --no-port-mapping)
#   127.0.0.2:6881, 127.0.0.3:6882          two seeders (lanternfish --seed) holding the release
#                                           (LF_DEMO_SEEDERS=N: N of them, 0 to 8, on .2, .3, ...)
#
# nginx answers each request at no more than LF_DEMO_RATE bytes per second
# (default 64k; "0" for no limit): on loopback an unthrottled server would
# finish before the first peer is connected, and the seeders' share of the
# download would not show.
#
#   tools/demo/demo-servers.sh start [STATE_DIR]
#   tools/demo/demo-servers.sh stop  [STATE_DIR]
#
# The files come from tools/make-release/make-demo.sh (deterministic, so they
# match the digests and torrents built into the program).
#
# Another release (a benchmark's, at another scale) is served the same way
# with LF_DEMO_RELEASE=DIR (a folder made by lf-make-release whose source URLs
# are http://127.0.0.1:8081/qarrd160107/ and whose torrents name the tracker
# above) and LF_DEMO_FILES=DIR (its eight files, made beforehand); the
# seeders then run with --release DIR. LF_DEMO_MIRROR=0 leaves the mirror out
# of the resource list, so that the files have one server.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
action=${1:-start}
state=${2:-${LF_DEMO_STATE:-$here/build/demo-servers}}
files=${LF_DEMO_FILES:-$here/build/demo-release-files}
release=${LF_DEMO_RELEASE:-}
state=$(realpath -m "$state")
files=$(realpath -m "$files")
release_args=()
if [ -n "$release" ]; then
    release=$(realpath -m "$release")
    release_args=(--release "$release")
fi

stop() {
    for name in seeder8 seeder7 seeder6 seeder5 seeder4 seeder3 seeder2 seeder1 rendezvous tracker; do
        [ -f "$state/$name.pid" ] || continue
        pid=$(cat "$state/$name.pid")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
        rm -f "$state/$name.pid"
    done
    if [ -f "$state/nginx.pid" ]; then
        kill "$(cat "$state/nginx.pid")" 2>/dev/null || true
        for _ in $(seq 50); do [ -f "$state/nginx.pid" ] || break; sleep 0.1; done
        rm -f "$state/nginx.pid"
    fi
}

if [ "$action" = stop ]; then stop; exit 0; fi
[ "$action" = start ] || { echo "usage: $0 start|stop [STATE_DIR]" >&2; exit 64; }

stop
mkdir -p "$state/www/qarrd160107" "$state/www/mirror" "$state/www/lanternfish" "$state/tmp"
[ -n "$release" ] || LF_DEMO_FILES_ONLY=1 "$here/tools/make-release/make-demo.sh" "$files" >/dev/null
for f in "$files"/*; do
    ln -sf "$f" "$state/www/qarrd160107/$(basename "$f")"
    ln -sf "$f" "$state/www/mirror/$(basename "$f")"
done

# Resource list: P2P on, one mirror on the second server for every file.
{
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<project>'
    echo '  <configs>'
    echo '    <expire-info><expired>false</expired><message></message><url></url></expire-info>'
    echo '    <p2p-switch>on</p2p-switch>'
    echo '  </configs>'
    echo '  <resources>'
    n=0
    for f in Qarrd_Setup2.1.0.40_20160106_1.exe Qarrd21040Data.zip Qarrd21040Data01.cab \
             Qarrd21040Data02.cab Qarrd21040Data03.cab Qarrd21040Data04.cab \
             Qarrd21040Data05.cab Qarrd21040Data06.cab; do
        n=$((n + 1))
        [ "${LF_DEMO_MIRROR:-1}" = 0 ] && continue
        echo "    <resource id=\"r$n\" task=\"http://127.0.0.1:8081/qarrd160107/$f\">"
        echo "      <cdn id=\"m$n\" name=\"mirror\" middle-dir=\"/mirror/\" file-name=\"$f\" open=\"1\"><ip>127.0.0.1:8082</ip></cdn>"
        echo '    </resource>'
    done
    echo '  </resources>'
    echo '</project>'
} > "$state/www/lanternfish/resources.xml"

if [ ! -f "$state/cert.pem" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=127.0.0.1 \
        -keyout "$state/key.pem" -out "$state/cert.pem" 2>/dev/null
fi

rate=${LF_DEMO_RATE:-64k}
# As root, nginx's workers would run as nobody and might not read the files.
user=
[ "$(id -u)" = 0 ] && user="user root;"
cat > "$state/nginx.conf" <<CONF
daemon on;
$user
pid $state/nginx.pid;
error_log $state/error.log;
worker_processes 1;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $state/tmp/body;
    proxy_temp_path $state/tmp/proxy;
    fastcgi_temp_path $state/tmp/fastcgi;
    uwsgi_temp_path $state/tmp/uwsgi;
    scgi_temp_path $state/tmp/scgi;
    types { text/xml xml; }
    default_type application/octet-stream;
    server { listen 127.0.0.1:8081; root $state/www; limit_rate $rate; }
    server { listen 127.0.0.1:8082; root $state/www; limit_rate $rate; }
    server { listen 127.0.0.1:8083; location / { return 200; } }
    server {
        listen 127.0.0.1:8443 ssl;
        ssl_certificate $state/cert.pem;
        ssl_certificate_key $state/key.pem;
        root $state/www;
    }
}
CONF
# Debian installs nginx into /usr/sbin, outside an ordinary user's PATH.
nginx=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx" -c "$state/nginx.conf" -p "$state/" -e "$state/error.log"
for _ in $(seq 50); do [ -f "$state/nginx.pid" ] && break; sleep 0.1; done

# The tracker: opentracker with the release's info hashes as its whitelist
# (Debian's build serves listed torrents only).
build=${LF_BUILD_DIR:-$here/build}
mkdir -p "$state/tracker"
"$here/tools/demo/info-hashes.py" "${release:-$here/release}/torrents/"*.torrent > "$state/tracker/whitelist"
chmod 0755 "$state/tracker"
chmod 0644 "$state/tracker/whitelist"
tracker_user=()
[ "$(id -u)" = 0 ] && tracker_user=(-u nobody)
opentracker -i 127.0.0.1 -p 6969 -P 6969 -d "$state/tracker" -w whitelist "${tracker_user[@]}" \
    > "$state/tracker.log" 2>&1 &
echo $! > "$state/tracker.pid"

# The rendezvous service of the engines' UDP servers.
"$build/tools/lf-rendezvous/lf-rendezvous" --listen 127.0.0.1:8086 > "$state/rendezvous.log" 2>&1 &
echo $! > "$state/rendezvous.pid"

# The seeders, each on its own loopback address (peers on 127.0.0.1 are
# refused) and with a folder of its own holding the release's files.
export LANTERNFISH_RENDEZVOUS_HOST=127.0.0.1 LANTERNFISH_RENDEZVOUS_PORT=8086
seeders=${LF_DEMO_SEEDERS:-2}
for n in $(seq 1 "$seeders"); do
    address=127.0.0.$((n + 1))
    dir=$state/seeder$n
    mkdir -p "$dir"
    for f in "$files"/*; do ln -f "$f" "$dir/" 2>/dev/null || cp -f "$f" "$dir/"; done
    LANTERNFISH_LOCAL_ADDRESS=$address LANTERNFISH_DATA_HOME=$state/seeder$n-data \
        "$build/app/lanternfish" "${release_args[@]}" --seed "$dir" --listen $((6880 + n)) \
        > "$state/seeder$n.log" 2>&1 &
    echo $! > "$state/seeder$n.pid"
done
# Ready once each has checked its files and started serving (a larger
# release takes longer: LF_DEMO_READY_SECONDS, default 30).
for n in $(seq 1 "$seeders"); do
    for _ in $(seq $((${LF_DEMO_READY_SECONDS:-30} * 10))); do
        grep -q -e "Ctrl-C" "$state/seeder$n.log" 2>/dev/null && break
        kill -0 "$(cat "$state/seeder$n.pid")" 2>/dev/null || { cat "$state/seeder$n.log" >&2; exit 1; }
        sleep 0.1
    done
done
echo "demo servers: http://127.0.0.1:8081/qarrd160107/ (mirror :8082), https://127.0.0.1:8443/lanternfish/resources.xml"
echo "demo swarm: tracker 127.0.0.1:6969, rendezvous 127.0.0.1:8086, seeders: $seeders (from 127.0.0.2:6881 on)"
