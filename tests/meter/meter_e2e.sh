#!/usr/bin/env bash
# Real traffic through a veth pair between two network namespaces, counted by
# the real meter into the real store: the hour rows hold exactly what the
# kernel's counters of the counted interface moved; a named program's TCP
# payload is its application's, within 0.1 %, in app_data and both snapshots;
# the application rows add up to the hour rows.
#   meter_e2e.sh METER STATE_DIR
set -euo pipefail
meter=$1 state=$2
tag=vxm$$
a=$tag-a b=$tag-b
work=$(mktemp -d)
meter_pid="" client_pid=""
cleanup() {
    for pid in $client_pid $meter_pid; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    cat "$state/meter.log" >&2
    exit 1
}

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
sql() { sqlite3 "$state/netflow.db" "$1"; }
within_a_thousandth() { # value expected
    [ "$1" -ge "$2" ] && [ "$(($1 - $2))" -le "$(($2 / 1000))" ]
}

rm -rf "$state"
mkdir -p "$state"
printf '[Ostvane]\nNETFLOW_COUNT_STATUS=1\n' >"$state/setting.conf"
read -r recv0 sent0 < <(counters)
ip netns exec "$a" "$meter" --interval=0.2 --interfaces="${tag}a" >"$state/meter.log" 2>&1 &
meter_pid=$!
until grep -q "Counting the traffic" "$state/meter.log"; do sleep 0.05; done

# The server in b takes 1 MB and answers with 3 MB. The named client in a
# keeps its connection open across samples (one whose whole life falls
# between two samples cannot be told whose it was) and its process until the
# test ends, so that the snapshots show it.
ip netns exec "$b" /usr/bin/python3 -c '
import socket
s = socket.create_server(("10.201.0.2", 7070)); c, _ = s.accept()
while c.recv(65536): pass
c.sendall(b"x" * 3000000); c.close()' &
server=$!
client=$work/vxm-e2e-client
cat >"$client" <<'PY'
#!/usr/bin/python3
import socket, sys, time
c = socket.create_connection(("10.201.0.2", 7070)); c.sendall(b"y" * 1000000)
time.sleep(1)
c.shutdown(socket.SHUT_WR)
while c.recv(65536): pass
c.close()
print("done", flush=True)
time.sleep(60)
PY
chmod +x "$client"
sleep 0.5
ip netns exec "$a" "$client" >"$work/client.out" &
client_pid=$!
wait "$server"
until grep -q done "$work/client.out"; do sleep 0.05; done
sleep 6 # a snapshot after the transfer

app=$(jq -c '.[] | select(.app == "vxm-e2e-client")' "$state/app_info")
process=$(jq -c ".[] | select(.pid == $client_pid)" "$state/process_info")
[ -n "$app" ] || fail "app_info lacks the client: $(cat "$state/app_info")"
[ -n "$process" ] || fail "process_info lacks the client: $(cat "$state/process_info")"
within_a_thousandth "$(jq .down <<<"$app")" 3000000 || fail "app_info: $app"
within_a_thousandth "$(jq .up <<<"$app")" 1000000 || fail "app_info: $app"
[ "$(jq -r '.name + " " + .app' <<<"$process")" = "vxm-e2e-client vxm-e2e-client" ] ||
    fail "process_info: $process"

kill "$client_pid"
wait "$client_pid" 2>/dev/null || true
client_pid=""
read -r recv1 sent1 < <(counters)
kill -TERM "$meter_pid"
wait "$meter_pid"
meter_pid=""

hours=$(sql "SELECT SUM(recv) || ' ' || SUM(sent) FROM hour_data")
[ "$hours" = "$((recv1 - recv0)) $((sent1 - sent0))" ] ||
    fail "kernel: $((recv1 - recv0)) $((sent1 - sent0)); hour rows: $hours"
[ "$(sql "SELECT SUM(recv) || ' ' || SUM(sent) FROM app_data")" = "$hours" ] ||
    fail "the application rows do not add up to the hours: $(sql "SELECT * FROM app_data")"
read -r recv sent < <(sql "SELECT recv || ' ' || sent FROM app_data WHERE pkgname = 'vxm-e2e-client'")
within_a_thousandth "$recv" 3000000 && within_a_thousandth "$sent" 1000000 ||
    fail "app_data of the client: $recv $sent"
[ "$(cat "$state/app_info" "$state/process_info")" = "[][]" ] || fail "snapshots after the stop"
echo "hour rows: $hours; the client's row: $recv $sent"
