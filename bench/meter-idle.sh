#!/usr/bin/env bash
# The idle meter against vnStat's daemon, in one run: the real vexmora-meter
# (counting, at its default interval, on a private bus) and `vnstatd -n` with
# its default settings (its database in a scratch directory), both in a network
# namespace of their own whose one veth leads to a second namespace, so that
# nothing moves but what the script sends. After WARMUP seconds it reads each
# one's CPU time (/proc/PID/task/*/schedstat) and wake-ups (voluntary context
# switches of all threads) over SECONDS without traffic, then over SECONDS
# with one ping a second from the meter's namespace, ROUNDS times; then their
# private dirty memory (/proc/PID/smaps_rollup). As root.
#   bench/meter-idle.sh BUILD [bpf|socket-table] [SECONDS] [ROUNDS] [WARMUP]
#                              (default bpf, 180, 1, 30)
set -euo pipefail
build=$1 source=${2:-bpf} seconds=${3:-180} rounds=${4:-1} warmup=${5:-30}
repo=$(cd "$(dirname "$0")/.." && pwd)
state=$(sed -n 's/^VEXMORA_STATE_DIR:PATH=//p' "$build/CMakeCache.txt")
[ "$state" != /var/lib/lumivar ] || { echo "configure the build with a scratch state directory" >&2; exit 2; }
# shellcheck source=../tests/meter/netns_e2e_lib.sh
source "$repo/tests/meter/netns_e2e_lib.sh"
a=vxidle$$-a b=vxidle$$-b dev=vxidle$$a

cpu_ns() { # PID: nanoseconds on a CPU, all its threads
    cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }'
}
wakeups() { # PID: voluntary context switches, all its threads
    cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches:/ { sum += $2 } END { printf "%d", sum }'
}
private_dirty() { awk '/^Private_Dirty:/ { print $2 }' /proc/"$1"/smaps_rollup; }
resident() { awk '/^VmRSS:/ { print $2 }' /proc/"$1"/status; }
command -v vnstatd >/dev/null || { echo "vnstatd is missing (Debian: vnstat)" >&2; exit 2; }

add_netns "$a" "$b"
veth "$a" "$dev" 10.202.0.1 "$b" vxidle$$b 10.202.0.2
private_bus "$repo/tests/dbus/open-system-bus.conf"
mkdir -p "$work/vnstat"
fresh_state
start_meter "$a" "$build/meter/vexmora-meter" --attribution="$source" --interfaces="$dev"
meter=$meter_pid
printf 'DatabaseDir "%s"\n' "$work/vnstat" >"$work/vnstat.conf"
spawn "$work/vnstat.log" "$a" vnstatd -n --config "$work/vnstat.conf"
vnstat=$spawned
sleep "$warmup"
kill -0 "$meter" && grep -q "with $source" "$work/meter.log" || fail "the meter stopped or counts otherwise"
kill -0 "$vnstat" || fail "vnstatd stopped: $(cat "$work/vnstat.log")"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "CPU up to the end of the warm-up (start-up included): meter $(awk -v n="$(cpu_ns "$meter")" 'BEGIN { printf "%.1f", n / 1e6 }') ms"

measure() { # LABEL: one period of SECONDS
    local m0 v0 mw0 vw0 m1 v1 mw1 vw1
    m0=$(cpu_ns "$meter") v0=$(cpu_ns "$vnstat") mw0=$(wakeups "$meter") vw0=$(wakeups "$vnstat")
    sleep "$seconds"
    m1=$(cpu_ns "$meter") v1=$(cpu_ns "$vnstat") mw1=$(wakeups "$meter") vw1=$(wakeups "$vnstat")
    awk -v label="$1" -v s="$seconds" -v m=$((m1 - m0)) -v v=$((v1 - v0)) -v mw=$((mw1 - mw0)) \
        -v vw=$((vw1 - vw0)) -v l="$(cut -d' ' -f1 /proc/loadavg)" -v src="$source" \
        'BEGIN { printf "%s, %d s: CPU meter (%s) %.1f ms, vnstatd %.1f ms, ratio %.2f x; " \
                        "wake-ups a minute meter %.1f, vnstatd %.1f; load %s\n",
                 label, s, src, m / 1e6, v / 1e6, (v > 0 ? m / v : 0), mw * 60 / s, vw * 60 / s, l }'
}
for round in $(seq "$rounds"); do
    measure "round $round, idle"
    spawn /dev/null "$a" ping -q -i 1 10.202.0.2
    measure "round $round, one ping a second"
    kill "$spawned"
    sleep 60 # the meter asleep again before the next round
done
echo "private dirty: meter $(private_dirty "$meter") KiB, vnstatd $(private_dirty "$vnstat") KiB;" \
    "resident: meter $(resident "$meter") KiB, vnstatd $(resident "$vnstat") KiB"
