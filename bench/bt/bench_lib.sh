# Shared by the BitTorrent benchmarks (sourced, not run): a private network
# namespace, a work folder with one random file and its private torrent, an
# opentracker on 127.0.0.1 that serves only that torrent, and the timing of
# leecher runs (medians of wall time, CPU seconds and peak RSS).

# Only lo may exist: otherwise start the script again in a namespace of its
# own. Call as: bench_enter_namespace "$@"
bench_enter_namespace() {
    if ip -o link show | grep -qv ': lo:'; then
        if [[ -n ${LF_BT_BENCH_INSIDE:-} ]]; then
            echo "not in a private network namespace" >&2
            exit 1
        fi
        # shellcheck disable=SC2016  # expanded by the inner shell
        exec unshare --net -- env LF_BT_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' \
            "$0" "$@"
    fi
    ip link set lo up
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_listen() {  # ADDRESS PORT
    local _
    for _ in $(seq 300); do
        ss -ltnH "src $1:$2" | grep -q . && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:$2" >&2
    return 1
}

# bench_setup MIB PIECE_LOG2: $work (removed at exit with every process in
# $pids), $work/seed/file.bin of MIB MiB, $work/file.torrent announcing to
# the tracker's port $tport, its info hash $hash and $escaped for scrapes.
bench_setup() {
    work=$(mktemp -d)
    pids=()
    trap 'stop_all; rm -rf "$work"' EXIT
    mkdir -p "$work/seed" "$work/out" "$work/tracker"
    head -c $(($1 * 1048576)) /dev/urandom > "$work/seed/file.bin"
    tport=$(free_port)
    mktorrent -p -l "$2" -a "http://127.0.0.1:$tport/announce" -o "$work/file.torrent" \
        "$work/seed/file.bin" > /dev/null
    hash=$(aria2c -S "$work/file.torrent" | awk '/^Info Hash/{print $3}')
    echo "$hash" > "$work/tracker/whitelist.txt"
    # shellcheck disable=SC2001
    escaped=$(echo "$hash" | sed 's/../%&/g')
}
stop_all() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    pids=()
}

# A fresh tracker for each part, so that no peer of an earlier part is listed.
start_tracker() {
    opentracker -i 127.0.0.1 -p "$tport" -P "$tport" -d "$work/tracker" -w whitelist.txt \
        -u nobody > "$work/tracker.log" 2>&1 &
    pids+=($!)
    wait_listen 127.0.0.1 "$tport"
}
# Waits (up to 3 minutes: lf-get seeders check their pieces first) until
# the tracker counts N seeders.
wait_seeders() {
    local _ n
    for _ in $(seq 1800); do
        n=$(curl -s "http://127.0.0.1:$tport/scrape?info_hash=$escaped" |
            grep -ao '8:completei[0-9]*e' | grep -o '[0-9]*' | tail -1 || true)
        [[ ${n:-0} -ge $1 ]] && return 0
        sleep 0.1
    done
    echo "the tracker never counted $1 seeders" >&2
    return 1
}

# shellcheck disable=SC2034  # used by the scripts that source this file
aria2_common=(--disable-ipv6=true --enable-dht=false --enable-dht6=false --bt-enable-lpd=false
              --enable-peer-exchange=false --summary-interval=0 --console-log-level=warn)

median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

# once NAME COMMAND...: one leecher run (at most $leech_timeout seconds) into
# an empty out folder; compares the result with the seeded file and appends
# "wall cpu rss" to NAME's results. Tools alternate run by run, so that
# drift of the shared machine hits all of them.
declare -A results
leech_timeout=900
once() {
    local name=$1 pid
    shift
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" timeout "$leech_timeout" "$@" \
        > "$work/leech.log" 2>&1 &
    pid=$!
    wait "$pid" || { echo "$name failed:"; tail -5 "$work/leech.log"; exit 1; }
    cmp -s "$work/seed/file.bin" "$work/out/file.bin" || { echo "$name: wrong bytes"; exit 1; }
    local wall user sys rss
    read -r wall user sys rss < "$work/time"
    results[$name]+="$wall $(echo "$user + $sys" | bc) $rss"$'\n'
}
# report NAME: the medians of NAME's runs, and the walls of every run.
report() {
    local name=$1 walls cpus rsss
    walls=$(printf '%s' "${results[$name]}" | awk 'NF {print $1}')
    cpus=$(printf '%s' "${results[$name]}" | awk 'NF {print $2}')
    rsss=$(printf '%s' "${results[$name]}" | awk 'NF {print $3}')
    # shellcheck disable=SC2086
    printf '%-40s wall %7.2f s (%s)  cpu %6.2f s  peak rss %7.1f MiB\n' "$name" \
        "$(median $walls)" "$(echo $walls | tr ' ' '/')" "$(median $cpus)" \
        "$(echo "$(median $rsss) / 1024" | bc -l)"
}
