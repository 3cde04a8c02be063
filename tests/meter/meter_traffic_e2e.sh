#!/usr/bin/env bash
# Real traffic through a veth pair between two network namespaces, counted by
# the real meter into the real store: the hour rows hold exactly what the
# kernel's counters of the counted interface moved.
#   meter_traffic_e2e.sh METER STATE_DIR
set -euo pipefail
meter=$1 state=$2
tag=vxm$$
a=$tag-a b=$tag-b
meter_pid=""
cleanup() {
    [ -z "$meter_pid" ] || kill "$meter_pid" 2>/dev/null || true
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$a"
ip netns add "$b"
for ns in "$a" "$b"; do
    # No IPv6: the kernel's own neighbour discovery would move bytes at random.
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    ip -n "$ns" link set lo up
done
ip link add "${tag}a" netns "$a" type veth peer name "${tag}b" netns "$b"
ip -n "$a" addr add 10.201.0.1/24 dev "${tag}a"
ip -n "$b" addr add 10.201.0.2/24 dev "${tag}b"
ip -n "$a" link set "${tag}a" up
ip -n "$b" link set "${tag}b" up

counters() {
    ip netns exec "$a" awk -v name="${tag}a:" '$1 == name { print $2, $10 }' /proc/net/dev
}

rm -rf "$state"
mkdir -p "$state"
printf '[Ostvane]\nNETFLOW_COUNT_STATUS=1\n' >"$state/setting.conf"
read -r recv0 sent0 < <(counters)
ip netns exec "$a" "$meter" --interval=0.2 --interfaces="${tag}a" >"$state/meter.log" 2>&1 &
meter_pid=$!
until grep -q "Counting the traffic" "$state/meter.log"; do sleep 0.05; done

# 1 MB from a to b, then 3 MB back, over one connection.
ip netns exec "$b" /usr/bin/python3 -c '
import socket
s = socket.create_server(("10.201.0.2", 7070)); c, _ = s.accept()
while c.recv(65536): pass
c.sendall(b"x" * 3000000); c.close()' &
server=$!
sleep 0.5
ip netns exec "$a" /usr/bin/python3 -c '
import socket
c = socket.create_connection(("10.201.0.2", 7070)); c.sendall(b"y" * 1000000)
c.shutdown(socket.SHUT_WR)
while c.recv(65536): pass'
wait "$server"
sleep 1
read -r recv1 sent1 < <(counters)
kill -TERM "$meter_pid"
wait "$meter_pid"
meter_pid=""

stored=$(sqlite3 "$state/netflow.db" "SELECT SUM(recv) || ' ' || SUM(sent) FROM hour_data")
expected="$((recv1 - recv0)) $((sent1 - sent0))"
echo "kernel: $expected; hour rows: $stored"
[ "$stored" = "$expected" ] || { cat "$state/meter.log"; exit 1; }
[ "$((recv1 - recv0))" -gt 3000000 ] || { echo "the transfer did not happen"; exit 1; }
