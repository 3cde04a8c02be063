#!/bin/bash
# Both units of the .deb under a booted systemd, installed as a user would,
# check by check below, over three boots; no unit may fail at a power-off.
#   vexmora_checks.sh CACHE_DIR DEB_DIR TCP_TRANSFER_SCRIPT
set -euo pipefail
# Pipes into grep read to the end (no -q): an early exit breaks the pipe, a failure under pipefail.
# shellcheck source=boot.sh
source "$(dirname "$0")/boot.sh"

cache=$1 debs=$2 transfer=$3
name=${VEXMORA_BUS_NAME:?the bus names come from the build}
meter_name=${VEXMORA_METER_BUS_NAME:?the bus names come from the build}
unit=vexmora.service meter_unit=vexmora-meter.service
state=/var/lib/lumivar
denied=org.freedesktop.DBus.Error.AccessDenied
admin_gid=""

call() { guest busctl --timeout=20 call "$name" "$VEXMORA_OBJECT_PATH" "$VEXMORA_INTERFACE" "$@"; }

meter_counting() { # GetCurrentHour answers "{}" while counting is off, the hour's row while on
    guest busctl --timeout=20 call "$meter_name" "$VEXMORA_METER_OBJECT_PATH" \
        "$VEXMORA_METER_INTERFACE" GetCurrentHour | grep '\\"time\\":' >/dev/null
}

property() { guest systemctl show -P "$2" "$1"; } # UNIT PROPERTY

expect() { [ "$3" = "$2" ] || fail "$1: expected '$2', got '$3'"; } # WHAT EXPECTED ACTUAL

eventually() { for _ in $(seq 80); do "$@" >/dev/null 2>&1 && return 0 || sleep 0.25; done; return 1; } # 20 s

check_install_starts_both() {
    local output
    boot_copy_in "$debs"/vexmora_*.deb /tmp/vexmora.deb
    output=$(guest dpkg -i /tmp/vexmora.deb 2>&1) || fail "dpkg -i: $output"
    expect "after dpkg -i, both units" "active active enabled enabled" "$( (guest systemctl \
        is-active "$unit" "$meter_unit" && guest systemctl is-enabled "$unit" "$meter_unit") |
        paste -sd ' ' -)"
    # The first installation switched counting on.
    expect getNetmonitorStatus "i 1" "$(call getNetmonitorStatus)"
    eventually meter_counting || fail "GetCurrentHour: no hour counted"
}

# UNIT CAPABILITIES: the main process's bounding, permitted and effective
# sets, nothing inheritable or ambient, no new privileges, a seccomp filter.
expect_confined() {
    local status entry field
    status=$(guest cat "/proc/$(property "$1" MainPID)/status")
    for entry in CapBnd:$2 CapPrm:$2 CapEff:$2 CapInh:0000000000000000 CapAmb:0000000000000000 \
        NoNewPrivs:1 Seccomp:2; do
        field=${entry%%:*}
        expect "$1: $field" "${entry#*:}" "$(awk -v f="$field:" '$1 == f { print $2 }' <<<"$status")"
    done
}

# In all of the namespaces of process PID, as root without capabilities (the
# meter's two let it read more, not write), tries to create a file in each
# directory and prints those that took it.
writable_paths() { # PID
    guest touch /tmp/vexmora-host-tmp
    guest nsenter -t "$1" -a setpriv --bounding-set=-all --inh-caps=-all -- sh -c '
        [ ! -e /tmp/vexmora-host-tmp ] || echo "the host /tmp"
        for dir in / /etc /usr/libexec /var/lib /var/lib/lumivar /var/log /run /run/dbus \
            /run/systemd /run/lock /tmp /var/tmp /dev/shm /dev/mqueue /root /home /srv /opt \
            /proc/sys /sys/fs/cgroup; do
            touch "$dir/.vexmora-probe" 2>/dev/null && rm -f "$dir/.vexmora-probe" && echo "$dir"
        done
        true' | paste -sd ' ' -
    guest rm -f /tmp/vexmora-host-tmp
}

check_sandboxes() {
    local pid meter_pid ns
    pid=$(property "$unit" MainPID) meter_pid=$(property "$meter_unit" MainPID)
    expect_confined "$unit" 0000000000000000
    for ns in net mnt user ipc uts; do
        [ "$(guest readlink "/proc/$pid/ns/$ns")" != "$(guest readlink /proc/1/ns/$ns)" ] ||
            fail "vexmorad shares the $ns namespace of PID 1"
    done
    # CAP_DAC_READ_SEARCH (2), CAP_NET_ADMIN (12), CAP_SYS_PTRACE (19),
    # CAP_PERFMON (38) and CAP_BPF (39), in the host's network.
    expect_confined "$meter_unit" 000000c000081004
    expect "the meter's network namespace" "$(guest readlink /proc/1/ns/net)" \
        "$(guest readlink "/proc/$meter_pid/ns/net")"
    # Only the state directory and the unit's private /tmp and /var/tmp.
    expect "writable for vexmorad" "$state /tmp /var/tmp" "$(writable_paths "$pid")"
    expect "writable for the meter" "$state /tmp /var/tmp" "$(writable_paths "$meter_pid")"
}

# CALLER DEST PATH METHOD [ARG...]: "ok" when the call answers the caller
# (nobody, admin: nobody in vexmora-admin, root), else the error's name.
answer() {
    local as=() error
    [ "$1" = root ] || as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    [ "$1" != admin ] || as=(setpriv --reuid=nobody --regid=nogroup --groups="$admin_gid")
    error=$(guest "${as[@]}" dbus-send --system --print-reply --dest="$2" "${@:3}" 2>&1 >/dev/null) &&
        echo ok && return
    sed -n 's/^Error \([^:]*\):.*/\1/p' <<<"$error" | grep . || echo "$error"
}

# EXPECTED CALL...: each call (METHOD[,ARG...], of the service's interface
# unless METHOD names one) answers nobody, admin and root as EXPECTED says.
expect_answers() {
    local expected=$1 call args method
    shift
    for call in "$@"; do
        IFS=, read -ra args <<<"$call"
        method=${args[0]}
        [[ $method == *.* ]] || method=$VEXMORA_INTERFACE.$method
        expect "$call as nobody, admin, root" "$expected" "$(for caller in nobody admin root; do
            answer "$caller" "$name" "$VEXMORA_OBJECT_PATH" "$method" "${args[@]:1}"
        done | paste -sd ' ' -)"
    done
}

check_policy() {
    local caller method
    admin_gid=$(guest getent group vexmora-admin | cut -d: -f3)
    [ -n "$admin_gid" ] || fail "the package created no group vexmora-admin"
    expect_answers "ok ok ok" getNetmonitorStatus getNetmonitorAlarmStatus getNetmonitorThreshold \
        getEgressAlarmStatus getEgressThreshold getIngressAlarmStatus getIngressThreshold \
        getAllAppNetflow getAllProcessNetflow getRecentTop10,int32:7 getRecentData,int32:7 \
        org.freedesktop.DBus.Introspectable.Introspect org.freedesktop.DBus.Peer.Ping
    expect_answers "$denied ok ok" setNetmonitorStatus,int32:1 setNetmonitorAlarmStatus,int32:0 \
        setNetmonitorThreshold,int32:100,int32:7 setEgressAlarmStatus,int32:0 \
        setEgressThreshold,int32:200,int32:7 setIngressAlarmStatus,int32:0 \
        setIngressThreshold,int32:300,int32:7 getReportData
    expect_answers "$denied $denied $denied" notAMethod \
        "org.freedesktop.DBus.Properties.GetAll,string:$VEXMORA_INTERFACE"
    for method in GetCurrentHour GetRaisedAlarms; do
        expect "the meter's $method as nobody" ok "$(answer nobody "$meter_name" \
            "$VEXMORA_METER_OBJECT_PATH" "$VEXMORA_METER_INTERFACE.$method")"
    done
    for caller in nobody admin; do
        for claimed in "$name" "$meter_name"; do
            expect "$caller claiming $claimed" "$denied" "$(answer "$caller" org.freedesktop.DBus \
                /org/freedesktop/DBus org.freedesktop.DBus.RequestName string:"$claimed" uint32:4)"
        done
    done
    # The setters wrote the settings, readable outside the service.
    expect "setting.conf" "root 644" "$(guest stat -c '%U %a' "$state/setting.conf")"
}

# In its sandbox the meter attributes a connection to another namespace to its
# program; a stop empties the snapshots and exits 0, not by the signal.
check_meter_attributes_and_stops() {
    guest sh -euc 'ip netns add peer
        ip link add vxm-host type veth peer name vxm-peer netns peer
        ip addr add 10.231.0.1/30 dev vxm-host && ip link set vxm-host up
        ip -n peer addr add 10.231.0.2/30 dev vxm-peer && ip -n peer link set vxm-peer up'
    boot_copy_in "$transfer" /tmp/tcp_transfer.py
    # In a unit: within the guest's cgroup tree, where the kernel programs are
    # attached (a process nsenter put in the guest stays in the host's cgroup).
    guest systemd-run --quiet --wait --collect python3 /tmp/tcp_transfer.py 10.231.0.1 peer 3000000 \
        1000000 2.5
    eventually guest grep -q '"app":"tcp_transfer.py"' "$state/app_info" ||
        fail "app_info: $(guest cat "$state/app_info")"
    guest systemctl stop "$meter_unit"
    expect "the meter's ExecMainCode (1: exited) and ExecMainStatus" "1 0" \
        "$(property "$meter_unit" ExecMainCode) $(property "$meter_unit" ExecMainStatus)"
    expect "app_info after the stop" "[]" "$(guest cat "$state/app_info")"
    guest systemctl start "$meter_unit"
}

# The meter's BPF links are attached (bpftool from outside: BPF objects are
# the kernel's, not a namespace's), and gone once the unit stopped.
meter_links() { # PID: the ids of the BPF links the process holds
    guest sh -c "grep -h '^link_id:' /proc/$1/fdinfo/*" | awk '{ print $2 }' | sort -u
}
holds_links() { [ -n "$(meter_links "$1")" ]; } # PID

check_kernel_programs() {
    local pid links id
    pid=$(property "$meter_unit" MainPID)
    eventually holds_links "$pid" || fail "the meter holds no BPF link"
    boot_journal -o cat -u "$meter_unit" | grep "Attributing the traffic to programs with bpf" >/dev/null ||
        fail "the meter does not count with bpf"
    links=$(meter_links "$pid")
    for id in $links; do
        bpftool link show id "$id" >/dev/null || fail "link $id is not attached"
    done
    [ "$(for id in $links; do bpftool link show id "$id" | head -1; done | grep -c ': cgroup ')" -eq 5 ] ||
        fail "the meter has not its five programs attached to the cgroup"
    guest systemctl stop "$meter_unit"
    for id in $links; do
        ! bpftool link show id "$id" >/dev/null 2>&1 || fail "link $id outlived the meter"
    done
    guest systemctl start "$meter_unit"
}

# A meter started by hand beside the unit's exits 1 saying how to stop the
# unit; one killed leaves no lock behind, so the unit's restart counts at once.
meter_back() { # RESTARTS BEFORE
    [ "$(property "$meter_unit" NRestarts) $(property "$meter_unit" ActiveState)" = "$(($1 + 1)) active" ]
}
check_one_meter_and_crash_restart() {
    local pid restarts status=0 output
    pid=$(property "$meter_unit" MainPID) restarts=$(property "$meter_unit" NRestarts)
    output=$(guest /usr/libexec/vexmora-meter 2>&1) || status=$?
    expect "a meter started by hand beside the unit's" "1 vexmora-meter: another meter (pid $pid)\
 already counts into $state; stop that one first: systemctl stop vexmora-meter" "$status $output"
    guest systemctl kill --kill-whom=main --signal=SIGKILL "$meter_unit"
    eventually meter_back "$restarts" || fail "after a SIGKILL, $meter_unit: NRestarts" \
        "$(property "$meter_unit" NRestarts) (before: $restarts), $(property "$meter_unit" ActiveState)"
    eventually meter_counting || fail "GetCurrentHour: no hour counted after the restart"
    expect "restarts after one crash" "$((restarts + 1))" "$(property "$meter_unit" NRestarts)"
}

restarted_since() { [ "$(property "$unit" NRestarts)" -gt "$1" ]; }

# After a stop, the first call makes the bus start the unit again.
check_activation_after_stop() {
    guest systemctl stop "$unit"
    expect "getNetmonitorStatus, starting it" "i 1" "$(call getNetmonitorStatus)"
    expect "the name's owner" "PID=$(property "$unit" MainPID)" \
        "$(guest busctl status "$name" | grep '^PID=')"
}
owned_by() { [ "$(guest busctl status "$1" | grep '^PID=')" = "PID=$2" ]; } # NAME PID

# vexmorad exits 1 when it loses the bus and Restart= brings it back; the
# meter goes on in the same process and owns its name again.
check_bus_restart() {
    local restarts meter_pid
    restarts=$(property "$unit" NRestarts) meter_pid=$(property "$meter_unit" MainPID)
    guest systemctl restart dbus.service
    eventually restarted_since "$restarts" || fail "$unit was not restarted after the bus restarted"
    expect getNetmonitorStatus "i 1" "$(call getNetmonitorStatus)"
    eventually owned_by "$meter_name" "$meter_pid" || fail "$meter_name is not PID $meter_pid's again"
}

# dpkg --purge stops the unit and deletes the group, keeping the state; a new
# installation starts on it and keeps the administrator's counting off.
check_purge_and_reinstall() {
    local output settings
    expect "switching counting off" "i 0" "$(call setNetmonitorStatus i 0)"
    settings=$(guest cat "$state/setting.conf")
    output=$(guest dpkg --purge vexmora 2>&1) || fail "dpkg --purge: $output"
    expect "after dpkg --purge, $unit" inactive "$(guest systemctl is-active "$unit" || true)"
    ! guest getent group vexmora-admin || fail "the group vexmora-admin outlived the purge"
    guest test -f "$state/setting.conf" || fail "the purge removed $state/setting.conf"
    output=$(guest dpkg -i /tmp/vexmora.deb 2>&1) || fail "dpkg -i again: $output"
    expect "after a new dpkg -i, $unit" active "$(guest systemctl is-active "$unit")"
    expect "getNetmonitorStatus on the kept state" "i 0" "$(call getNetmonitorStatus)"
    expect "setting.conf after the reinstallation" "$settings" "$(guest cat "$state/setting.conf")"
    expect "switching counting on again" "i 0" "$(call setNetmonitorStatus i 1)"
}

check_enabled_at_boot() {
    expect "$unit, $meter_unit at boot" "active active" \
        "$(guest systemctl is-active "$unit" "$meter_unit" | paste -sd ' ' -)"
    eventually meter_counting || fail "GetCurrentHour: no hour counted"
}

# Nothing failed while the system went down, and both units stopped.
check_clean_poweroff() {
    local failed stopping
    failed=$(boot_journal -o cat | grep -E "Failed with result|Main process exited" || true)
    [ -z "$failed" ] || fail "at power-off: $failed"
    for stopping in "$unit" "$meter_unit"; do
        boot_journal -o cat -u "$stopping" | grep "Deactivated successfully" >/dev/null ||
            fail "$stopping did not stop at power-off"
    done
}

boot_require_host
trap boot_cleanup EXIT
# The page's package is left out: its Depends name vexmora, which no archive has.
boot_make_root "$cache" "$debs"/vexmora_*.deb
# Several boots: a unit that fails at power-off often fails only sometimes.
for boot in 1 2 3; do
    boot_start "$cache/root"
    if [ "$boot" -eq 1 ]; then
        boot_check "$unit" check_install_starts_both
        boot_check "$unit" check_sandboxes
        boot_check "$unit" check_policy
        boot_check "$meter_unit" check_meter_attributes_and_stops
        boot_check "$meter_unit" check_kernel_programs
        boot_check "$meter_unit" check_one_meter_and_crash_restart
        boot_check "$unit" check_activation_after_stop
        boot_check "$unit" check_bus_restart
        boot_check "$unit" check_purge_and_reinstall
    else
        boot_check "$unit" check_enabled_at_boot
    fi
    boot_poweroff
    boot_check "$unit" check_clean_poweroff
done
[ "$boot_failures" -eq 0 ] || fail "$boot_failures checks failed"
echo "all checks passed"
