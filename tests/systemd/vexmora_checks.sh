#!/bin/bash
# vexmora.service under a booted systemd: the .deb installed as a user would,
# then called, sandboxed, stopped, activated, cut off from its bus, and the
# bus policy's matrix on the real system bus; the meter's checks in between
# (meter_checks.sh); each boot ends in a power-off in which no unit may fail.
#   vexmora_checks.sh CACHE_DIR DEB_DIR PACKAGING_TESTS_DIR [BOOTS]
set -euo pipefail
# shellcheck source=boot.sh
source "$(dirname "$0")/boot.sh"

cache=$1 debs=$2 packaging_tests=$3 boots=${4:-3}
name=${VEXMORA_BUS_NAME:?the bus names come from the build}
unit=vexmora.service
state=/var/lib/lumivar

call() {
    guest busctl --timeout=20 call "$name" "$VEXMORA_OBJECT_PATH" "$VEXMORA_INTERFACE" "$@"
}

unit_property() {
    guest systemctl show -P "$1" "$unit"
}

expect() { # what expected actual
    [ "$3" = "$2" ] || fail "$1: expected '$2', got '$3'"
}

restarted_since() { # NRestarts before
    [ "$(unit_property NRestarts)" -gt "$1" ]
}

# Waits up to 20 s for a command to succeed.
eventually() {
    for _ in $(seq 80); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.25
    done
    "$@"
}

status_field() { # FIELD /proc/PID/status
    awk -v f="$1:" '$1 == f { print $2 }' <<<"$2"
}

# shellcheck source=meter_checks.sh
source "$(dirname "$0")/meter_checks.sh"

check_install_starts_it() {
    boot_copy_in "$debs"/vexmora_*.deb /tmp/vexmora.deb
    local output
    output=$(guest dpkg -i /tmp/vexmora.deb 2>&1) || fail "dpkg -i: $output"
    expect "after dpkg -i, $unit" active "$(guest systemctl is-active "$unit")"
    expect "after dpkg -i, $unit" enabled "$(guest systemctl is-enabled "$unit")"
    # The first installation switched counting on.
    expect getNetmonitorStatus "i 1" "$(call getNetmonitorStatus)"
}

check_setter_writes_settings() {
    expect setNetmonitorThreshold "i 0" "$(call setNetmonitorThreshold ii 100 7)"
    expect "the state directory" "directory root 755" "$(guest stat -c '%F %U %a' "$state")"
    expect "setting.conf" "regular file root 644" "$(guest stat -c '%F %U %a' "$state/setting.conf")"
    guest systemctl restart "$unit"
    expect "getNetmonitorThreshold after a restart" 's "{\"period\":7,\"size\":100}"' \
        "$(call getNetmonitorThreshold)"
}

check_sandbox() {
    local pid status field ns
    pid=$(unit_property MainPID)
    status=$(guest cat "/proc/$pid/status")
    for field in CapInh CapPrm CapEff CapBnd CapAmb; do
        expect "$field" 0000000000000000 "$(status_field "$field" "$status")"
    done
    expect NoNewPrivs 1 "$(status_field NoNewPrivs "$status")"
    expect "Seccomp (2: filter)" 2 "$(status_field Seccomp "$status")"
    for ns in net mnt user ipc uts; do
        [ "$(guest readlink "/proc/$pid/ns/$ns")" != "$(guest readlink /proc/1/ns/$ns)" ] ||
            fail "vexmorad shares the $ns namespace of PID 1"
    done
    expect "network interfaces" lo "$(guest awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }' \
        "/proc/$pid/net/dev")"
}

# In all of the namespaces of process PID, as root without capabilities (the
# meter's two let it read more, not write), tries to create a file in each
# directory and prints those that took it.
writable_paths() { # PID
    local pid=$1 writable
    guest touch /tmp/vexmora-host-tmp
    writable=$(guest nsenter -t "$pid" -a setpriv --bounding-set=-all --inh-caps=-all -- sh -c '
        [ ! -e /tmp/vexmora-host-tmp ] || echo "the host /tmp"
        for dir in / /etc /usr /usr/libexec /var /var/lib /var/lib/dbus /var/lib/lumivar \
            /var/log /var/cache /run /run/dbus /run/systemd /run/lock /run/user /tmp /var/tmp \
            /dev /dev/shm /dev/mqueue /root /home /srv /opt /mnt /media /proc/sys /sys \
            /sys/fs/cgroup; do
            touch "$dir/.vexmora-probe" 2>/dev/null && rm -f "$dir/.vexmora-probe" && echo "$dir"
        done
        true' | paste -sd ' ' -)
    guest rm -f /tmp/vexmora-host-tmp
    echo "$writable"
}

# Only the state directory and the unit's private /tmp and /var/tmp.
check_writable_paths() {
    expect "writable for vexmorad" "$state /tmp /var/tmp" \
        "$(writable_paths "$(unit_property MainPID)")"
}

check_activation_after_stop() {
    guest systemctl stop "$unit"
    expect "after stop, $unit" inactive "$(guest systemctl is-active "$unit" || true)"
    expect "getNetmonitorStatus, activating it" "i 1" "$(call getNetmonitorStatus)"
    expect "after the call, $unit" active "$(guest systemctl is-active "$unit")"
    expect "the name's owner" "PID=$(unit_property MainPID)" \
        "$(guest busctl status "$name" | grep '^PID=')"
}

# vexmorad exits 1 when it loses the bus; Restart= brings it back once the
# bus is back.
check_restart_after_bus_loss() {
    local pid restarts
    pid=$(unit_property MainPID)
    restarts=$(unit_property NRestarts)
    guest systemctl restart dbus.service
    eventually restarted_since "$restarts" ||
        fail "$unit was not restarted after the bus restarted"
    eventually guest systemctl is-active --quiet "$unit"
    [ "$(unit_property MainPID)" != "$pid" ] || fail "vexmorad is still PID $pid"
    expect getNetmonitorStatus "i 1" "$(call getNetmonitorStatus)"
}

# bus_caller.py as nobody, as a member of vexmora-admin and as root, on a
# service with a fresh state directory: its first call activates it.
check_policy_matrix() {
    local admin_gid column caller output
    guest systemctl stop "$unit"
    guest rm -rf "$state"
    admin_gid=$(guest getent group vexmora-admin | cut -d: -f3)
    [ -n "$admin_gid" ] || fail "the package created no group vexmora-admin"
    for caller in nobody admin root; do
        local as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        column=3
        case $caller in
        admin) as=(setpriv --reuid=nobody --regid=nogroup --groups="$admin_gid") column=2 ;;
        root) as=() column=2 ;;
        esac
        output=$(guest "${as[@]}" python3 - unix:path=/run/dbus/system_bus_socket calls \
            "$VEXMORA_BUS_NAME" "$VEXMORA_OBJECT_PATH" "$VEXMORA_INTERFACE" \
            <"$packaging_tests/bus_caller.py" | tail -n +2)
        diff -u <(awk -F'|' -v c=$column '!/^#/ && NF == 3 {
                gsub(/^ +| +$/, "", $1); gsub(/^ +| +$/, "", $c); print $1 " " $c }' \
            "$packaging_tests/policy-matrix.txt") <(echo "$output") ||
            fail "as $caller the calls answer other than policy-matrix.txt says (- expected, + got)"
        [ "$caller" = root ] && continue
        output=$(guest "${as[@]}" python3 - unix:path=/run/dbus/system_bus_socket claim \
            "$VEXMORA_BUS_NAME" "$VEXMORA_OBJECT_PATH" "$VEXMORA_INTERFACE" \
            <"$packaging_tests/bus_caller.py" | tail -n +2)
        expect "$caller claiming the name" "claim error org.freedesktop.DBus.Error.AccessDenied" \
            "$output"
    done
}

# dpkg --purge stops the unit and deletes the group but keeps the state; a new
# installation starts it again on that state, and leaves counting off where
# the administrator switched it off.
check_purge_and_reinstall() {
    local output
    expect "switching counting off" "i 0" "$(call setNetmonitorStatus i 0)"
    output=$(guest dpkg --purge vexmora 2>&1) || fail "dpkg --purge: $output"
    expect "after dpkg --purge, $unit" inactive "$(guest systemctl is-active "$unit" || true)"
    if guest getent group vexmora-admin; then
        fail "the group vexmora-admin outlived the purge"
    fi
    guest test -f "$state/setting.conf" || fail "the purge removed $state/setting.conf"
    output=$(guest dpkg -i /tmp/vexmora.deb 2>&1) || fail "dpkg -i again: $output"
    expect "after a new dpkg -i, $unit" active "$(guest systemctl is-active "$unit")"
    expect "getNetmonitorStatus on the kept state" "i 0" "$(call getNetmonitorStatus)"
    expect "switching counting on again" "i 0" "$(call setNetmonitorStatus i 1)"
}

# The policy matrix left the switch on: the settings outlive the reboot.
check_enabled_at_boot() {
    expect "$unit at boot" active "$(guest systemctl is-active "$unit")"
    expect getNetmonitorStatus "i 1" "$(call getNetmonitorStatus)"
    expect "$meter_unit at boot" active "$(guest systemctl is-active "$meter_unit")"
    eventually meter_counting || fail "GetCurrentHour: no hour counted"
}

# No unit may fail while the system goes down (after boot_poweroff) and both
# units stop: vexmorad before its bus, the meter whenever.
check_clean_poweroff() {
    local failed stopping
    failed=$(boot_journal -o cat | grep -E "Failed with result|Main process exited" || true)
    [ -z "$failed" ] || fail "at power-off: $failed"
    for stopping in "$unit" "$meter_unit"; do
        boot_journal -o cat -u "$stopping" | grep -q "Deactivated successfully" ||
            fail "$stopping did not stop at power-off"
    done
}

boot_require_host
trap boot_cleanup EXIT
boot_make_root "$cache" "$debs"/*.deb
for boot in $(seq "$boots"); do
    boot_start "$cache/root"
    if [ "$boot" -eq 1 ]; then
        boot_check "$unit" check_install_starts_it
        boot_check "$meter_unit" check_meter_installed_and_counting
        boot_check "$unit" check_setter_writes_settings
        boot_check "$unit" check_sandbox
        boot_check "$unit" check_writable_paths
        boot_check "$meter_unit" check_meter_sandbox
        boot_check "$meter_unit" check_meter_writable_paths
        boot_check "$meter_unit" check_meter_counts_namespace_traffic
        boot_check "$meter_unit" check_meter_survives_bus_restart
        boot_check "$meter_unit" check_meter_stop_flushes_hour
        boot_check "$unit" check_activation_after_stop
        boot_check "$unit" check_restart_after_bus_loss
        boot_check "$unit" check_policy_matrix
        boot_check "$unit" check_purge_and_reinstall
    else
        boot_check "$unit" check_enabled_at_boot
    fi
    boot_poweroff
    boot_check "$unit" check_clean_poweroff
done
[ "$boot_failures" -eq 0 ] || fail "$boot_failures checks failed"
echo "all checks passed in $boots boots"
