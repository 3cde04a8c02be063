# shellcheck shell=bash
# Boots a Debian 12 root under its own systemd, as a container would, driven
# from outside: boot_make_root, boot_start, guest CMD (in all of the guest's
# namespaces), boot_check UNIT FUNCTION, boot_poweroff, boot_journal, and
# boot_cleanup as the EXIT trap.
set -euo pipefail

boot_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boot_dir="" boot_cgroup="" boot_launcher="" boot_pid1="" boot_cursor=""
boot_failures=0

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

boot_cgroup2_mount() { findmnt -rn -t cgroup2 -o TARGET | head -n 1; }

# Skips (exit 77) where this cannot work, except in CI, where it fails.
boot_require_host() {
    local why="needs root: it mounts, pivots and creates namespaces"
    [ "$(id -u)" -ne 0 ] || why="no cgroup2 file system is mounted on this host"
    [ "$(id -u)" -ne 0 ] || [ -z "$(boot_cgroup2_mount)" ] || return 0
    [ "${CI:-}" != true ] || fail "$why"
    echo "SKIP: $why"
    exit 77
}

# CACHE DEB...: CACHE/root, with systemd, dbus, python3, iproute2 and the
# Depends of the packages (without versions or alternatives).
boot_make_root() {
    local cache=$1 packages lock deb
    shift
    packages=$( (printf '%s\n' systemd dbus python3 iproute2 &&
        for deb in "$@"; do dpkg-deb -f "$deb" Depends | tr ',' '\n'; done) |
        sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v '^$' | sort -u | paste -sd, -)
    mkdir -p "$cache"
    exec {lock}>"$cache/lock"
    flock "$lock"
    if [ "$(cat "$cache/root.packages" 2>/dev/null)" != "$packages" ]; then
        echo "debootstrap bookworm into $cache/root: $packages"
        rm -rf "$cache/root" "$cache/root.new" "$cache/root.packages"
        nice -n 10 debootstrap --variant=minbase --include="$packages" bookworm "$cache/root.new" \
            "${VEXMORA_BOOT_MIRROR:-http://deb.debian.org/debian}" >"$cache/debootstrap.log" 2>&1 ||
            { tail -n 30 "$cache/debootstrap.log" >&2; fail "debootstrap failed"; }
        rm -rf "$cache/root.new/var/cache/apt/archives/"*.deb "$cache/root.new/var/lib/apt/lists/"*
        # A persistent journal, read after power-off; no login prompt on a console nobody reads.
        mkdir -p "$cache/root.new/var/log/journal"
        ln -sf /dev/null "$cache/root.new/etc/systemd/system/console-getty.service"
        mv "$cache/root.new" "$cache/root"
        echo "$packages" >"$cache/root.packages"
    fi
    exec {lock}>&-
}

# Boots ROOT on an overlay whose upper layer, beside ROOT, is kept for the
# next boot_start and removed by boot_cleanup.
boot_start() {
    local root=$1 cgroup2 state
    cgroup2=$(boot_cgroup2_mount)
    boot_reap_stale "$(dirname "$root")" "$cgroup2"
    boot_dir=$(dirname "$root")/boot.$$ boot_cgroup=$cgroup2/vexmora-boot-$$
    mkdir -p "$boot_dir/upper" "$boot_dir/work" "$boot_dir/mnt" "$boot_cgroup"
    # The launcher moves itself into the fresh cgroup, the root of the guest's cgroup namespace.
    (
        echo "$BASHPID" >"$boot_cgroup/cgroup.procs"
        exec unshare --cgroup --pid --fork --mount --uts --ipc --net -- "$boot_here/pid1.sh" \
            "$root" "$boot_dir/upper" "$boot_dir/work" "$boot_dir/mnt" vexmora-boot
    ) >>"$boot_dir/console.log" 2>&1 </dev/null &
    boot_launcher=$!
    for _ in $(seq 100); do
        boot_pid1=$(cat "/proc/$boot_launcher/task/$boot_launcher/children" 2>/dev/null || true)
        boot_pid1=${boot_pid1// /}
        [ -z "$boot_pid1" ] || break
        sleep 0.1
    done
    [ -n "$boot_pid1" ] || { cat "$boot_dir/console.log" >&2; fail "the launcher started no PID 1"; }
    for _ in $(seq 240); do
        state=$(guest systemctl is-system-running 2>/dev/null || true)
        [ "$state" != running ] && [ "$state" != degraded ] || break
        kill -0 "$boot_pid1" 2>/dev/null || { cat "$boot_dir/console.log" >&2; fail "systemd ended"; }
        sleep 0.25
    done
    [ "$state" != degraded ] || { guest systemctl --failed --no-pager >&2; fail "booted degraded"; }
    [ "$state" = running ] || fail "not booted after 60 s: '$state'"
    echo "booted: systemd is PID $boot_pid1 on this host"
}

guest() {
    nsenter -t "$boot_pid1" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

boot_copy_in() { cp "$1" "/proc/$boot_pid1/root$2"; }
boot_running() { [ -n "$boot_pid1" ] && kill -0 "$boot_pid1" 2>/dev/null; }

# The journal of the current boot, from the guest while it runs and from the
# saved journal files after power-off (only what the power-off logged).
boot_journal() {
    if boot_running; then
        guest journalctl --no-pager -q "$@"
    else
        journalctl --no-pager -q -D "$boot_dir/upper/var/log/journal" \
            --after-cursor="$boot_cursor" "$@"
    fi
}

boot_check() {
    local unit=$1 check=$2 status
    set +e # not in an if: that would switch errexit off in the check too
    (
        set -eE
        trap 'echo "FAIL: $check: \"$BASH_COMMAND\" exited with $?" >&2' ERR
        "$check"
    )
    status=$?
    set -e
    [ $status -ne 0 ] || { echo "ok   $check" && return 0; }
    echo "FAIL $check; the journal of $unit:"
    boot_journal -u "$unit" | tail -n 60 | sed 's/^/    /' || true
    boot_failures=$((boot_failures + 1))
}

boot_stopped() { grep -q '^populated 0' "$boot_cgroup/cgroup.events"; }

boot_poweroff() {
    boot_cursor=$(guest journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
    # logind may go down before it answers; the empty cgroup is the proof.
    guest systemctl poweroff 2>/dev/null || true
    for _ in $(seq 360); do boot_stopped && break || sleep 0.25; done
    boot_stopped || fail "still running 90 s after poweroff"
    wait "$boot_launcher" || true
    boot_pid1="" boot_launcher=""
    find "$boot_cgroup" -depth -type d -exec rmdir {} +
}

# Boots left by a run killed before its cleanup (a CTest time-out): their
# cgroups and upper layers carry the PID of a run that is gone (or a zombie).
boot_reap_stale() {
    local path pid
    for path in "$2"/vexmora-boot-* "$1"/boot.*; do
        pid=${path##*[.-]}
        [ -e "$path" ] && [ "$pid" != $$ ] || continue
        awk '$1 == "State:" { exit $2 == "Z" }' "/proc/$pid/status" 2>/dev/null && continue
        echo "removing $path, left by an ended run" >&2
        # shellcheck disable=SC2038 # the files hold PIDs
        [ ! -f "$path/cgroup.procs" ] ||
            find "$path" -name cgroup.procs -exec cat {} + | xargs -r kill -KILL 2>/dev/null || true
        sleep 1
        find "$path" -depth -type d -exec rmdir {} + 2>/dev/null || rm -rf "$path" || true
    done
}

# Killing the guest's PID 1 kills everything in its PID namespace, and with
# the last process its mount namespace and the overlay go.
boot_cleanup() {
    ! boot_running || kill -KILL "$boot_pid1" 2>/dev/null || true
    [ -z "$boot_launcher" ] || kill -KILL "$boot_launcher" 2>/dev/null || true
    if [ -n "$boot_cgroup" ] && [ -d "$boot_cgroup" ]; then
        for _ in $(seq 40); do boot_stopped && break || sleep 0.25; done
        find "$boot_cgroup" -depth -type d -exec rmdir {} + || true
    fi
    [ -z "$boot_dir" ] || rm -rf "$boot_dir"
}
