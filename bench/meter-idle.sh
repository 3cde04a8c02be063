#!/usr/bin/env bash
# The idle meter against vnStat's daemon: the real vexmora-meter (counting, at
# its default interval, on a private bus) and `vnstatd -n` with its default
# settings (its database in a scratch directory), both in this network
# namespace with no traffic of their own. After WARMUP seconds it reads each
# one's CPU time from /proc/PID/task/*/schedstat, ROUNDS times over SECONDS
# each, then their private dirty memory from /proc/PID/smaps_rollup. As root.
#   bench/meter-idle.sh BUILD [bpf|socket-table] [SECONDS] [ROUNDS] [WARMUP]
#                              (default bpf, 180, 1, 30)
set -euo pipefail
build=$1 source=${2:-bpf} seconds=${3:-180} rounds=${4:-1} warmup=${5:-30}
repo=$(cd "$(dirname "$0")/.." && pwd)
state=$(sed -n 's/^VEXMORA_STATE_DIR:PATH=//p' "$build/CMakeCache.txt")
[ "$state" != /var/lib/lumivar ] || { echo "configure the build with a scratch state directory" >&2; exit 2; }
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cpu_ns() { # PID: nanoseconds on a CPU, all its threads
    cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }'
}
private_dirty() { awk '/^Private_Dirty:/ { print $2 }' /proc/"$1"/smaps_rollup; }
resident() { awk '/^VmRSS:/ { print $2 }' /proc/"$1"/status; }

export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
dbus-daemon --config-file="$repo/tests/dbus/open-system-bus.conf" --address="$DBUS_SYSTEM_BUS_ADDRESS" \
    --nofork 2>"$work/bus.log" &
pids+=($!)
mkdir -p "$state" "$work/vnstat"
printf '[Ostvane]\nNETFLOW_COUNT_STATUS=1\n' >"$state/setting.conf"
"$build/meter/vexmora-meter" --attribution="$source" >"$work/meter.log" 2>&1 &
meter=$!
pids+=("$meter")
printf 'DatabaseDir "%s"\n' "$work/vnstat" >"$work/vnstat.conf"
vnstatd -n --config "$work/vnstat.conf" >"$work/vnstat.log" 2>&1 &
vnstat=$!
pids+=("$vnstat")
sleep "$warmup"
kill -0 "$meter" || { cat "$work/meter.log" >&2; exit 1; }
grep -q "with $source" "$work/meter.log" || { cat "$work/meter.log" >&2; exit 1; }
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
    m0=$(cpu_ns "$meter") v0=$(cpu_ns "$vnstat")
    sleep "$seconds"
    m1=$(cpu_ns "$meter") v1=$(cpu_ns "$vnstat")
    awk -v r="$round" -v s="$seconds" -v m=$((m1 - m0)) -v v=$((v1 - v0)) -v l="$(cut -d' ' -f1 /proc/loadavg)" \
        'BEGIN { printf "round %d, %d s: meter (%s) %.1f ms, vnstatd %.1f ms, ratio %.2f x; load %s\n",
                 r, s, "'"$source"'", m / 1e6, v / 1e6, (v > 0 ? m / v : 0), l }'
done
echo "private dirty: meter $(private_dirty "$meter") KiB, vnstatd $(private_dirty "$vnstat") KiB;" \
    "resident: meter $(resident "$meter") KiB, vnstatd $(resident "$vnstat") KiB"
