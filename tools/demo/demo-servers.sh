#!/usr/bin/env bash
# Starts and stops the servers of the built-in demo release on loopback:
#   http://127.0.0.1:8081/qarrd160107/...   the eight files (the release's source URLs)
#   http://127.0.0.1:8082/mirror/...        the same files, a mirror named by the resource list
#   https://127.0.0.1:8443/lanternfish/resources.xml   the resource list (self-signed certificate)
#
#   tools/demo/demo-servers.sh start [STATE_DIR]
#   tools/demo/demo-servers.sh stop  [STATE_DIR]
#
# The files come from tools/make-release/make-demo.sh (deterministic, so they
# match the digests and torrents built into the program).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
action=${1:-start}
state=${2:-${LF_DEMO_STATE:-$here/build/demo-servers}}
files=${LF_DEMO_FILES:-$here/build/demo-release-files}
state=$(realpath -m "$state")
files=$(realpath -m "$files")

stop() {
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
LF_DEMO_FILES_ONLY=1 "$here/tools/make-release/make-demo.sh" "$files" >/dev/null
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
    server { listen 127.0.0.1:8081; root $state/www; }
    server { listen 127.0.0.1:8082; root $state/www; }
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
echo "demo servers: http://127.0.0.1:8081/qarrd160107/ (mirror :8082), https://127.0.0.1:8443/lanternfish/resources.xml"
