# shellcheck shell=bash
# vexmora-meter.service under the booted systemd: installed counting, its
# sandbox, traffic between namespaces counted as the kernel counts it and
# attributed to its program, a restart of the bus survived, and a stop that
# writes the hour. Sourced by vexmora_checks.sh after its helpers (guest,
# expect, eventually, status_field, writable_paths, state).

meter_unit=vexmora-meter.service
meter_name=${VEXMORA_METER_BUS_NAME:?the bus names come from the build}
meter_dropin=/etc/systemd/system/$meter_unit.d/interfaces.conf
peer_ns=vexmora-peer
veth=vxm-host veth_address=10.231.0.1
peer_veth=vxm-peer peer_address=10.231.0.2
noted_counted=() noted_kernel=()

meter_property() {
    guest systemctl show -P "$1" "$meter_unit"
}

current_hour() {
    guest busctl --timeout=20 call "$meter_name" "$VEXMORA_METER_OBJECT_PATH" \
        "$VEXMORA_METER_INTERFACE" GetCurrentHour
}

# GetCurrentHour answers "{}" while counting is off, the hour's row while on.
meter_counting() {
    current_hour | grep -q '\\"time\\":'
}

meter_owns_its_name() { # PID
    [ "$(guest busctl status "$meter_name" | grep '^PID=')" = "PID=$1" ]
}

# "RECV SENT" summed over rows of netflow.db: the rows only grow, so the sum
# also holds traffic that the end of an hour or a day split in two.
summed_bytes() { # TABLE [PKGNAME]
    guest python3 -c 'import sqlite3, sys
db = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
where, args = ("WHERE pkgname = ?", sys.argv[3:]) if sys.argv[3:] else ("", [])
sql = f"SELECT ifnull(sum(recv), 0), ifnull(sum(sent), 0) FROM {sys.argv[2]} {where}"
print(*db.execute(sql, args).fetchone())' "$state/netflow.db" "$@"
}

counted_bytes() {
    summed_bytes hour_data
}

veth_bytes() {
    local counters=/sys/class/net/$veth/statistics
    guest cat "$counters/rx_bytes" "$counters/tx_bytes" | paste -sd ' ' -
}

note_totals() {
    read -ra noted_counted <<<"$(counted_bytes)"
    read -ra noted_kernel <<<"$(veth_bytes)"
}

# Since note_totals the hour rows gained what the kernel counted on the veth,
# and that holds the transfer of RECEIVED and SENT bytes.
expect_counted_as_kernel() { # RECEIVED SENT
    local counted kernel recv sent
    read -ra counted <<<"$(counted_bytes)"
    read -ra kernel <<<"$(veth_bytes)"
    recv=$((counted[0] - noted_counted[0])) sent=$((counted[1] - noted_counted[1]))
    expect "bytes added to hour_data (received sent), against the kernel's counters of $veth" \
        "$((kernel[0] - noted_kernel[0])) $((kernel[1] - noted_kernel[1]))" "$recv $sent"
    if [ "$recv" -lt "$1" ] || [ "$sent" -lt "$2" ]; then
        fail "the transfer of $1 and $2 bytes did not pass $veth: $recv $sent"
    fi
}

# A veth pair from the guest's network namespace to a new one. Without IPv6
# link-local addresses and with fixed neighbours (no ARP probes some seconds
# after a transfer), nothing moves on it but the transfers.
make_peer_namespace() {
    guest sh -euc '
        ip netns add "$1"
        ip link add "$2" address 02:00:00:00:00:01 type veth \
            peer name "$4" address 02:00:00:00:00:02 netns "$1"
        ip link set "$2" addrgenmode none
        ip -n "$1" link set "$4" addrgenmode none
        ip addr add "$3/30" dev "$2"
        ip -n "$1" addr add "$5/30" dev "$4"
        ip neigh add "$5" lladdr 02:00:00:00:00:02 dev "$2" nud permanent
        ip -n "$1" neigh add "$3" lladdr 02:00:00:00:00:01 dev "$4" nud permanent
        ip link set "$2" up
        ip -n "$1" link set "$4" up' sh "$peer_ns" "$veth" "$veth_address" "$peer_veth" \
        "$peer_address"
}

transfer() { # RECEIVED SENT [HOLD], as the guest sees them
    guest python3 /tmp/transfer.py serve "$veth_address" "$peer_ns" "$@"
}

# The attribution works in the sandbox: the server's connection, open across
# a sample, went to its script (owned by no package), not to the unattributed
# rest.
expect_attributed_to_transfer_py() { # RECEIVED SENT
    local bytes
    read -ra bytes <<<"$(summed_bytes app_data transfer.py)"
    if [ "${bytes[0]}" -lt "$1" ] || [ "${bytes[1]}" -lt "$2" ]; then
        fail "app_data of transfer.py: ${bytes[*]}, not the transfer of $1 and $2 bytes"
    fi
}

# The meter counts only the veth: a drop-in as systemctl edit writes it.
count_only_the_veth() {
    local exec
    exec=$(meter_property ExecStart | sed -n 's/^{ path=\([^ ;]*\).*/\1/p')
    guest mkdir -p "$(dirname "$meter_dropin")"
    printf '[Service]\nExecStart=\nExecStart=%s --interfaces=%s\n' "$exec" "$veth" |
        guest tee "$meter_dropin" >/dev/null
    guest systemctl daemon-reload
}

# The meter writes the current hour when a sample falls into a new minute;
# this waits until that happened and enough of the minute is left.
wait_for_a_fresh_minute() {
    local second
    second=$((10#$(guest date +%S)))
    if [ "$second" -lt 4 ] || [ "$second" -ge 50 ]; then
        sleep $(((64 - second) % 60))
    fi
}

journal_cursor() {
    guest journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p'
}

check_meter_installed_and_counting() {
    expect "after dpkg -i, $meter_unit" enabled "$(guest systemctl is-enabled "$meter_unit")"
    expect "after dpkg -i, $meter_unit" active "$(guest systemctl is-active "$meter_unit")"
    eventually meter_counting || fail "GetCurrentHour: no hour counted"
}

check_meter_sandbox() {
    local pid status field
    pid=$(meter_property MainPID)
    status=$(guest cat "/proc/$pid/status")
    # CAP_DAC_READ_SEARCH (2) and CAP_SYS_PTRACE (19), which root holds.
    for field in CapBnd CapPrm CapEff; do
        expect "$field" 0000000000080004 "$(status_field "$field" "$status")"
    done
    expect CapInh 0000000000000000 "$(status_field CapInh "$status")"
    expect CapAmb 0000000000000000 "$(status_field CapAmb "$status")"
    expect NoNewPrivs 1 "$(status_field NoNewPrivs "$status")"
    expect "Seccomp (2: filter)" 2 "$(status_field Seccomp "$status")"
    expect "network namespace (PID 1's)" "$(guest readlink /proc/1/ns/net)" \
        "$(guest readlink "/proc/$pid/ns/net")"
}

check_meter_writable_paths() {
    expect "writable for vexmora-meter" "$state /tmp /var/tmp" \
        "$(writable_paths "$(meter_property MainPID)")"
}

check_meter_counts_namespace_traffic() {
    make_peer_namespace
    boot_copy_in "$boot_here/transfer.py" /tmp/transfer.py
    count_only_the_veth
    guest systemctl stop "$meter_unit"
    note_totals
    guest systemctl start "$meter_unit"
    # Answering on the bus, it has taken its baseline.
    eventually meter_counting || fail "GetCurrentHour: no hour counted"
    transfer 3000000 1000000 2.5
    guest systemctl restart "$meter_unit"
    expect_counted_as_kernel 3000000 1000000
    expect_attributed_to_transfer_py 3000000 1000000
}

# It loses the bus, keeps counting in the same process and joins again.
check_meter_survives_bus_restart() {
    local pid restarts
    pid=$(meter_property MainPID)
    restarts=$(meter_property NRestarts)
    guest systemctl restart dbus.service
    eventually meter_owns_its_name "$pid" || fail "$meter_name is not owned by PID $pid again"
    expect "MainPID of $meter_unit" "$pid" "$(meter_property MainPID)"
    expect "NRestarts of $meter_unit" "$restarts" "$(meter_property NRestarts)"
    meter_counting || fail "GetCurrentHour: no hour counted"
}

# Early in a minute the last row was written at its start: only the stop can
# write the transfer. Afterwards the meter runs as installed again.
check_meter_stop_flushes_hour() {
    local cursor
    wait_for_a_fresh_minute
    note_totals
    transfer 2000000 500000
    expect "hour_data before the stop" "${noted_counted[*]}" "$(counted_bytes)"
    cursor=$(journal_cursor)
    guest systemctl stop "$meter_unit"
    # Code 1 is an exit, not a signal: a SIGTERM death would count as clean too.
    expect "ExecMainCode ExecMainStatus" "1 0" \
        "$(meter_property ExecMainCode) $(meter_property ExecMainStatus)"
    guest journalctl -q -o cat -u "$meter_unit" --after-cursor="$cursor" |
        grep -q "Deactivated successfully" || fail "$meter_unit did not stop cleanly"
    expect_counted_as_kernel 2000000 500000
    guest rm -r "$(dirname "$meter_dropin")"
    guest systemctl daemon-reload
    guest systemctl start "$meter_unit"
}
