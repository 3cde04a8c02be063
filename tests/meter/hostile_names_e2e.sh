#!/usr/bin/env bash
# Programs named by an unprivileged user, making real traffic: a process
# renamed to an escape sequence, copies of the interpreter saved as
# "(unattributed)" and as "python3" (no package's) running a script, a script
# whose file name holds an escape sequence, more applications than --max-apps.
# No control character in rows, snapshots or vexmoractl's lines; none of their
# bytes in the meter's own row; no script name for the copy; (other) beyond
# the limit.
#   hostile_names_e2e.sh METER VEXMORAD VEXMORACTL STATE_DIR BUS_CONFIG
set -euo pipefail
meter=$1 service=$2 ctl=$3 state=$4 bus_config=$5
# shellcheck source=netns_e2e_lib.sh
source "$(dirname "$0")/netns_e2e_lib.sh"
a=vxh$$-a b=vxh$$-b
python=$(readlink -f /usr/bin/python3) # the packaged interpreter
esc=$'\e'

add_netns "$a" "$b"
veth "$a" vxh$$a 10.204.0.1 "$b" vxh$$b 10.204.0.2
private_bus "$bus_config"
"$service" >"$work/service.log" 2>&1 &
pids+=($!)
fresh_state
start_meter "$a" "$meter" --interval=0.2 --interfaces=vxh$$a --max-apps=4

# A sink in b; each sender in a (traffic.py under other names, renamed when
# NAME is set) sends it 200 kB and stays, so that samples see it.
spawn "$work/sink" "$b" "$python" "$(dirname "$0")/traffic.py" peer 10.204.0.2 - - - - 0
cp "$(dirname "$0")/traffic.py" "$work/sender.py"
mkdir "$work/bin"
cp "$python" "$work/bin/(unattributed)"
cp "$python" "$work/bin/python3"
cp "$work/sender.py" "$work/${esc}[2Jevil.py"
for i in 1 2 3 4; do cp "$work/sender.py" "$work/extra$i.py"; done
eventually 15 grep -q listening "$work/sink" || fail "the sink did not listen"
run() { spawn "$work/sender-$RANDOM" "$a" env "$@" long 10.204.0.2 200000; } # [NAME=...] INTERPRETER SCRIPT
run NAME="${esc}[2J${esc}[31mX" "$python" "$work/sender.py"
run "$work/bin/(unattributed)" "$work/sender.py"
run "$work/bin/python3" "$work/sender.py"
run "$python" "$work/${esc}[2Jevil.py"
sleep 1 # these four first: the limit takes the last ones
for i in 1 2 3 4; do run "$python" "$work/extra$i.py"; done
printf -v picture '\u241b'
eventually 20 grep -q "\"${picture}\[2J${picture}\[31mX\"" "$state/process_info" ||
    fail "the renamed process: $(cat "$state/process_info" "$work"/sender-*)"
"$ctl" apps >"$work/apps"
"$ctl" processes >"$work/processes"
cp "$state/app_info" "$state/process_info" "$work/"
stop_meter

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
