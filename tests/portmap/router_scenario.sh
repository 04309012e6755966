#!/bin/bash
# A home network in private namespaces, then the probe on the computer:
#   router namespace (this script's own): lan0 10.233.0.1/24, wan0 11.22.34.1/24
#     (a public-looking address: miniupnpd refuses private external addresses),
#     miniupnpd on lan0 unless MODE is "none";
#   computer namespace: lan0p 10.233.0.2/24, default route via the router, host
#     name "lanternfish-pc" resolving to 10.233.0.2.
# Nothing is linked to the host network. Run it as
#   unshare --net --mount --uts --pid --fork --kill-child --mount-proc -- bash router_scenario.sh ...
# so that every process it starts ends with it.
# Usage: router_scenario.sh MODE WORKDIR PROBE [PROBE ARGS...]
#   MODE: v2 (IGD v2), v1 (IGD v1), refuse (mappings denied), none (no router)
# Output: the probe's lines, then "=== RULES" and the router's nftables rules.
set -u
mode=$1 work=$2
shift 2
mp=""
computer=""
cleanup() {
    [ -n "$mp" ] && kill "$mp" 2>/dev/null
    [ -n "$computer" ] && kill "$computer" 2>/dev/null
    wait 2>/dev/null
}
trap cleanup EXIT
fail() { echo "SETUP FAILED: $*"; exit 1; }

ip link set lo up || fail "lo"
ip link add lan0 type veth peer name lan0p || fail "veth lan"
ip link add wan0 type veth peer name wan0p || fail "veth wan"
ip addr add 10.233.0.1/24 dev lan0
ip addr add 11.22.34.1/24 dev wan0
for d in lan0 wan0 wan0p; do ip link set "$d" up; done

# The computer's own network namespace holds the far end of lan0.
unshare --net -- sleep 100000 &
computer=$!
own=$(readlink /proc/self/ns/net)
for _ in $(seq 100); do
    other=$(readlink /proc/$computer/ns/net 2>/dev/null || true)
    [ -n "$other" ] && [ "$other" != "$own" ] && break
    sleep 0.05
done
ip link set lan0p netns "$computer" || fail "move lan0p"
nsenter -t "$computer" -n sh -c '
    ip link set lo up &&
    ip addr add 10.233.0.2/24 dev lan0p &&
    ip link set lan0p up &&
    ip route add default via 10.233.0.1' || fail "computer network"

# Host name of the computer (this mount and UTS namespace are private).
printf '127.0.0.1 localhost\n10.233.0.2 lanternfish-pc\n' > "$work/hosts"
mount --bind "$work/hosts" /etc/hosts || fail "hosts"
hostname lanternfish-pc || fail "hostname"

if [ "$mode" != none ]; then
    nft -f - <<'NFT' || fail "nft"
table inet filter {
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
NFT
    if [ "$mode" = refuse ]; then
        rules='deny 0-65535 0.0.0.0/0 0-65535'
    else
        rules='allow 1024-65535 10.233.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535'
    fi
    cat > "$work/miniupnpd.conf" <<CONF
ext_ifname=wan0
listening_ip=lan0
http_port=28702
enable_natpmp=no
enable_upnp=yes
secure_mode=yes
system_uptime=yes
friendly_name=Lanternfish Test Router
uuid=3a1d2c3b-0000-4000-8000-00000000a001
$rules
CONF
    v1=""
    [ "$mode" = v1 ] && v1="-1"
    miniupnpd $v1 -d -f "$work/miniupnpd.conf" -P "$work/miniupnpd.pid" > "$work/miniupnpd.log" 2>&1 &
    mp=$!
    up=""
    for _ in $(seq 100); do
        ss -ltn 'sport = :28702' | grep -q LISTEN && up=1 && break
        sleep 0.05
    done
    [ -n "$up" ] || { cat "$work/miniupnpd.log"; fail "miniupnpd"; }
fi

nsenter -t "$computer" -n -- "$@" | tee "$work/probe.out"
echo "EXIT ${PIPESTATUS[0]}"
echo "=== RULES"
nft list ruleset 2>/dev/null
# The router's own record of the mapping, asked by an independent client.
port=$(sed -n 's/^PORT //p' "$work/probe.out")
if [ "$mode" != none ] && [ -n "$port" ] && [ "$port" != 0 ]; then
    ver=2
    [ "$mode" = v1 ] && ver=1
    svc="urn:schemas-upnp-org:service:WANIPConnection:$ver"
    echo "=== ENTRY"
    nsenter -t "$computer" -n -- curl -s -m 10 -X POST "http://10.233.0.1:28702/ctl/IPConn" \
        -H 'Content-Type: text/xml; charset="utf-8"' \
        -H "SOAPAction: \"$svc#GetSpecificPortMappingEntry\"" \
        --data "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:GetSpecificPortMappingEntry xmlns:u=\"$svc\"><NewRemoteHost></NewRemoteHost><NewExternalPort>$port</NewExternalPort><NewProtocol>TCP</NewProtocol></u:GetSpecificPortMappingEntry></s:Body></s:Envelope>"
    echo
fi
exit 0
