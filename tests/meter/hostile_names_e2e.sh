#!/usr/bin/env bash
# Programs whose names an unprivileged user chose, making real traffic: a
# process that renamed itself to an escape sequence, a copy of the
# interpreter saved as "(unattributed)", a copy saved as "python3" (no
# package installed it) running a script, a script whose file name holds an
# escape sequence, and more applications than the meter's --max-apps. The
# meter's rows and snapshots hold none of their control characters, no bytes
# of theirs in its own (unattributed) row, no script name for the copy, and
# the applications beyond the limit as (other); vexmoractl shows the service's
# snapshots as text, one row a line.
#   hostile_names_e2e.sh METER VEXMORAD VEXMORACTL STATE_DIR BUS_CONFIG
set -euo pipefail
meter=$1 service=$2 ctl=$3 state=$4 bus_config=$5
tag=vxh$$
a=$tag-a b=$tag-b work=$(mktemp -d)
# shellcheck source=netns_e2e_lib.sh
source "$(dirname "$0")/netns_e2e_lib.sh"
sql() { sqlite3 "$state/netflow.db" "$1"; }
python=$(readlink -f /usr/bin/python3) # the packaged interpreter
esc=$'\e'

for ns in "$a" "$b"; do
    ip netns add "$ns"
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
done
ip link add "${tag}a" netns "$a" type veth peer name "${tag}b" netns "$b"
ip -n "$a" addr add 10.204.0.1/24 dev "${tag}a"
ip -n "$b" addr add 10.204.0.2/24 dev "${tag}b"
ip -n "$a" link set "${tag}a" up
ip -n "$b" link set "${tag}b" up

export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
dbus-daemon --config-file="$bus_config" --address="$DBUS_SYSTEM_BUS_ADDRESS" --nofork 2>"$work/bus.log" &
pids+=($!)
eventually 15 test -S "$work/bus" || fail "no private bus"
"$service" >"$work/service.log" 2>&1 &
pids+=($!)

rm -rf "$state"
mkdir -p "$state"
printf '[Ostvane]\nNETFLOW_COUNT_STATUS=1\n' >"$state/setting.conf"
ip netns exec "$a" sh -c 'mount -t cgroup2 cgroup2 /sys/fs/cgroup && exec "$@"' sh \
    "$meter" --interval=0.2 --interfaces="${tag}a" --max-apps=4 >"$work/meter.log" 2>&1 &
meter_pid=$!
pids+=("$meter_pid")
eventually 15 grep -q "Counting the traffic" "$work/meter.log" || fail "the meter did not start"

# A sink in b that takes every connection's bytes.
ip netns exec "$b" "$python" -c '
import socket, threading
server = socket.create_server(("10.204.0.2", 9000))
def drain(conn):
    while conn.recv(65536):
        pass
while True:
    threading.Thread(target=drain, args=(server.accept()[0],), daemon=True).start()
' &
pids+=($!)
# Renames itself when NAME is set, sends 200 kB and stays a while so that
# samples see its connection.
cat >"$work/sender.py" <<'EOF'
import ctypes, os, socket, time
name = os.environ.get("NAME")
if name:
    ctypes.CDLL(None).prctl(15, name.encode())
with socket.create_connection(("10.204.0.2", 9000), timeout=20) as conn:
    conn.sendall(b"x" * 200_000)
    time.sleep(12)
EOF
mkdir "$work/bin"
cp "$python" "$work/bin/(unattributed)"
cp "$python" "$work/bin/python3"
cp "$work/sender.py" "$work/${esc}[2Jevil.py"
for i in 1 2 3 4; do cp "$work/sender.py" "$work/extra$i.py"; done
listening() { ip netns exec "$b" ss -Hltn | grep -q ':9000 '; }
eventually 15 listening || fail "the sink did not listen"
run() { ip netns exec "$a" env "$@" 2>>"$work/senders.log" & pids+=($!); }
run NAME="${esc}[2J${esc}[31mX" "$python" "$work/sender.py"
run "$work/bin/(unattributed)" "$work/sender.py"
run "$work/bin/python3" "$work/sender.py"
run "$python" "$work/${esc}[2Jevil.py"
sleep 1 # these four first: the limit takes the last ones
for i in 1 2 3 4; do run "$python" "$work/extra$i.py"; done
printf -v picture '\u241b'
eventually 20 grep -q "\"${picture}\[2J${picture}\[31mX\"" "$state/process_info" ||
    fail "the renamed process: $(cat "$state/process_info") $(cat "$work/senders.log")"
"$ctl" apps >"$work/apps"
"$ctl" processes >"$work/processes"
cp "$state/app_info" "$state/process_info" "$work/"
kill -TERM "$meter_pid"
wait "$meter_pid" || fail "the meter exited with $?"

rows=$(sql "SELECT pkgname || '=' || sent FROM app_data ORDER BY pkgname")
grep -q "^\[unattributed\]=2[0-9]\{5\}" <<<"$rows" || fail "no row for the copy called (unattributed): $rows"
[ "$(sql "SELECT COALESCE(SUM(sent), 0) FROM app_data WHERE pkgname = '(unattributed)'")" -lt 200000 ] ||
    fail "the copy's bytes in the meter's own row: $rows"
grep -q "^python3=2[0-9]\{5\}" <<<"$rows" || fail "the copy called python3 took its script's name: $rows"
grep -q "^${picture}\[2Jevil.py=" <<<"$rows" || fail "the script with an escape in its name: $rows"
grep -q "^(other)=[1-9]" <<<"$rows" || fail "no (other) beyond the limit: $rows"
[ "$(sql "SELECT COUNT(*) FROM app_data WHERE pkgname NOT IN ('(unattributed)', '(other)')")" -le 4 ] ||
    fail "more applications than the limit: $rows"
if LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' "$work/app_info" "$work/process_info" "$work/apps" \
    "$work/processes" || sql "SELECT pkgname FROM app_data" | LC_ALL=C grep -q $'[\x01-\x1f\x7f]' ||
    grep -q '\\u00[01]' "$work/app_info" "$work/process_info"; then
    fail "a control character came through: $rows"
fi
grep -q "${picture}\[2J${picture}\[31mX" "$work/processes" || fail "vexmoractl processes: $(cat "$work/processes")"
[ "$(grep -c '' "$work/apps")" = "$(($(jq length "$work/app_info") + 2))" ] ||
    fail "vexmoractl apps, not one row a line: $(cat "$work/apps")"
