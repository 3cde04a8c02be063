#!/usr/bin/env bash
# Runs vexmorad under callgrind on a private bus while vexmora-bench calls one
# kind of method in a loop. Counting starts after a warm-up (WARMUP calls,
# default 50), so the profile holds the loop alone; divide the totals by COUNT
# for one call. DAYS sets the day count of the recent kind; SERVICE_ENV is put
# before valgrind's command line (e.g. "env GLIBC_TUNABLES=...").
#
#   [WARMUP=N] [DAYS=D] bench/profile-service.sh BUILD_DIR [KIND] [COUNT] [OUTPUT]
#   KIND: getter, snapshot, setter, report, pending, recent, unknown or ping (see vexmora-bench)
set -euo pipefail
build=$(cd "${1:?build directory with VEXMORA_BENCH=ON}" && pwd)
kind=${2:-getter}
count=${3:-2000}
output=${4:-/tmp/callgrind.vexmorad.$kind}
here=$(cd "$(dirname "$0")" && pwd)
bench=$build/bench/vexmora-bench

"$bench" --prepare
{ read -r address; read -r bus_pid; } < <(dbus-daemon --fork --print-address=1 --print-pid=1 \
    --config-file="$here/../tests/dbus/open-system-bus.conf")
service_pid=
cleanup() {
    [[ -n $service_pid ]] && kill "$service_pid" 2>/dev/null || true
    kill "$bus_pid" 2>/dev/null || true
}
trap cleanup EXIT

mkdir -p "$(dirname "$output")"
rm -f "$output" "$output".*
DBUS_SYSTEM_BUS_ADDRESS=$address ${SERVICE_ENV:-} valgrind --tool=callgrind --callgrind-out-file="$output" \
    "$build/service/vexmorad" 2>"$output.log" &
service_pid=$!

days=(--days "${DAYS:-30}")
"$bench" --attach "$address" --loop "$kind" --count "${WARMUP:-50}" "${days[@]}"
callgrind_control -z "$service_pid" >/dev/null
"$bench" --attach "$address" --loop "$kind" --count "$count" "${days[@]}"
callgrind_control -d "$service_pid" >/dev/null
kill "$service_pid"
wait "$service_pid" 2>/dev/null || true
service_pid=
echo "profile of $count $kind calls: $(ls "$output".* | head -1)"
