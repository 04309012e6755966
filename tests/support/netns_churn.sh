#!/bin/sh
# Interface churn like the suite's lab tests make in the namespace they
# share: veth pairs whose near end carries a 198.18.x address for a while,
# bridges, named namespaces made and removed. For checking by hand that a
# test holds up beside them; run it in the same private namespace as the
# test (unshare --net), e.g.
#   unshare --net -- sh -c 'ip link set lo up; tests/support/netns_churn.sh & ctest -R X; kill $!'
# Refuses to run in a namespace with a default route (the host's).
set -u
if awk 'NR > 1 && $2 == "00000000" { found = 1 } END { exit !found }' /proc/net/route; then
    echo "netns_churn.sh: a default route is here; run it inside unshare --net" >&2
    exit 1
fi
tag=$$
i=0
trap 'ip link del lfcv$tag 2>/dev/null; ip link del lfcb$tag 2>/dev/null; ip netns del lfch$tag 2>/dev/null; exit 0' INT TERM
while :; do
    i=$((i + 1))
    ip netns add lfch$tag
    ip link add lfcv$tag type veth peer name lfcp$tag
    ip addr add 198.18.200.$((i % 250 + 1))/24 dev lfcv$tag
    ip link set lfcv$tag up
    ip link set lfcp$tag netns lfch$tag
    ip link add lfcb$tag type bridge && ip link set lfcb$tag up
    sleep "$(awk -v s=$i 'BEGIN { srand(s); printf "%.2f", 0.2 + rand() * 2.5 }')"
    ip link del lfcv$tag
    ip link del lfcb$tag
    ip netns del lfch$tag
    sleep "$(awk -v s=$i 'BEGIN { srand(s + 7); printf "%.2f", rand() * 3 }')"
done
