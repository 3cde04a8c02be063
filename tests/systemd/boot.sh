# shellcheck shell=bash
# Boots a Debian 12 root under its own systemd, as a container would, and
# drives it from outside. Sourced by the check scripts, which call:
#
#   boot_require_host            skips (exit 77) where this cannot work; in CI it fails
#   boot_make_root DIR DEB...    DIR/root: debootstrap minbase with systemd, dbus, python3-dbus,
#                                iproute2 and the Depends of the packages; kept while that list
#                                holds
#   boot_start ROOT              boots ROOT on an overlay whose upper layer (beside ROOT) is
#                                kept for the next boot_start and removed by boot_cleanup
#   guest CMD...                 runs CMD in the booted system (all of its namespaces)
#   boot_check UNIT FUNCTION     runs one check; a failure shows UNIT's journal
#   boot_poweroff                powers off and waits; boot_journal then reads the saved journal
#   boot_cleanup                 (an EXIT trap) kills what is left, removes the cgroup and overlay
set -euo pipefail

boot_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boot_mirror=${VEXMORA_BOOT_MIRROR:-http://deb.debian.org/debian}
boot_dir="" boot_cgroup="" boot_launcher="" boot_pid1="" boot_cursor=""
boot_failures=0

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

boot_cgroup2_mount() {
    findmnt -rn -t cgroup2 -o TARGET | head -n 1
}

boot_require_host() {
    local why=""
    if [ "$(id -u)" -ne 0 ]; then
        why="needs root: it mounts, pivots and creates namespaces"
    elif [ -z "$(boot_cgroup2_mount)" ]; then
        why="no cgroup2 file system is mounted on this host"
    fi
    [ -z "$why" ] && return 0
    [ "${CI:-}" = true ] && fail "$why"
    echo "SKIP: $why"
    exit 77
}

# The packages the .debs depend on, without versions or alternatives.
boot_depends_of() {
    local deb
    for deb in "$@"; do
        dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g'
    done | grep -v '^$' | sort -u
}

boot_make_root() {
    local cache=$1
    shift
    local packages
    packages=$( (printf '%s\n' systemd dbus python3-dbus iproute2 && boot_depends_of "$@") |
        sort -u | paste -sd, -)
    mkdir -p "$cache"
    exec {lock}>"$cache/lock"
    flock "$lock"
    if [ "$(cat "$cache/root.packages" 2>/dev/null)" = "$packages" ]; then
        echo "cached root: $cache/root ($packages)"
        exec {lock}>&-
        return 0
    fi
    echo "debootstrap bookworm into $cache/root: $packages"
    rm -rf "$cache/root" "$cache/root.new" "$cache/root.packages"
    nice -n 10 debootstrap --variant=minbase --include="$packages" bookworm "$cache/root.new" \
        "$boot_mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 30 "$cache/debootstrap.log" >&2; fail "debootstrap failed"; }
    rm -rf "$cache/root.new/var/cache/apt/archives/"*.deb "$cache/root.new/var/lib/apt/lists/"*
    # A persistent journal, read after power-off; no login prompt on a console nobody reads.
    mkdir -p "$cache/root.new/var/log/journal"
    ln -sf /dev/null "$cache/root.new/etc/systemd/system/console-getty.service"
    mv "$cache/root.new" "$cache/root"
    echo "$packages" >"$cache/root.packages"
    exec {lock}>&-
}

boot_start() {
    local root=$1 cgroup2 state
    cgroup2=$(boot_cgroup2_mount)
    boot_reap_stale "$(dirname "$root")" "$cgroup2"
    boot_dir=$(dirname "$root")/boot.$$
    mkdir -p "$boot_dir/upper" "$boot_dir/work" "$boot_dir/mnt"
    boot_cgroup=$cgroup2/vexmora-boot-$$
    mkdir -p "$boot_cgroup"
    # The launcher moves itself into the fresh cgroup, which becomes the root
    # of the guest's cgroup namespace.
    (
        echo "$BASHPID" >"$boot_cgroup/cgroup.procs"
        exec unshare --cgroup --pid --fork --mount --uts --ipc --net -- \
            "$boot_here/pid1.sh" "$root" "$boot_dir/upper" "$boot_dir/work" "$boot_dir/mnt" \
            vexmora-boot
    ) >>"$boot_dir/console.log" 2>&1 </dev/null &
    boot_launcher=$!
    boot_pid1=""
    for _ in $(seq 100); do
        boot_pid1=$(cat "/proc/$boot_launcher/task/$boot_launcher/children" 2>/dev/null || true)
        boot_pid1=${boot_pid1// /}
        [ -n "$boot_pid1" ] && break
        sleep 0.1
    done
    [ -n "$boot_pid1" ] || { cat "$boot_dir/console.log" >&2; fail "the launcher started no PID 1"; }
    for _ in $(seq 240); do
        state=$(guest systemctl is-system-running 2>/dev/null || true)
        case $state in
        running | degraded) break ;;
        esac
        kill -0 "$boot_pid1" 2>/dev/null || { cat "$boot_dir/console.log" >&2; fail "systemd ended"; }
        sleep 0.25
    done
    case $state in
    running) echo "booted: systemd is PID $boot_pid1 on this host" ;;
    degraded) guest systemctl --failed --no-pager >&2 || true; fail "booted degraded" ;;
    *) fail "not booted after 60 s: '$state'" ;;
    esac
}

guest() {
    nsenter -t "$boot_pid1" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

# Copies a host file into the running guest.
boot_copy_in() {
    cp "$1" "/proc/$boot_pid1/root$2"
}

boot_running() {
    [ -n "$boot_pid1" ] && kill -0 "$boot_pid1" 2>/dev/null
}

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
    set +e
    (
        set -eE
        trap 'echo "FAIL: $check: \"$BASH_COMMAND\" exited with $?" >&2' ERR
        "$check"
    )
    status=$?
    set -e
    if [ $status -eq 0 ]; then
        echo "ok   $check"
        return 0
    fi
    echo "FAIL $check; the journal of $unit:"
    boot_journal -u "$unit" | tail -n 60 | sed 's/^/    /' || true
    boot_failures=$((boot_failures + 1))
}

boot_poweroff() {
    boot_cursor=$(guest journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
    # logind may go down before it answers; the empty cgroup is the proof.
    guest systemctl poweroff 2>/dev/null || true
    for _ in $(seq 360); do
        grep -q '^populated 0' "$boot_cgroup/cgroup.events" && break
        sleep 0.25
    done
    grep -q '^populated 0' "$boot_cgroup/cgroup.events" || fail "still running 90 s after poweroff"
    wait "$boot_launcher" || true
    boot_pid1="" boot_launcher=""
    boot_remove_cgroup
}

boot_remove_cgroup() {
    [ -n "$boot_cgroup" ] && [ -d "$boot_cgroup" ] || return 0
    find "$boot_cgroup" -depth -type d -exec rmdir {} +
}

boot_pid_alive() { # not a zombie either
    awk '$1 == "State:" { exit $2 == "Z" }' "/proc/$1/status" 2>/dev/null
}

# Boots left by a run that was killed before its cleanup (by a CTest time-out,
# say): their cgroups and upper layers carry the PID of the run.
boot_reap_stale() {
    local cache=$1 cgroup2=$2 path pid
    for path in "$cgroup2"/vexmora-boot-* "$cache"/boot.*; do
        [ -e "$path" ] || continue
        pid=${path##*[.-]}
        if [ "$pid" = $$ ] || boot_pid_alive "$pid"; then
            continue
        fi
        echo "removing $path, left by an ended run" >&2
        if [ -d "$path/init.scope" ] || [ -f "$path/cgroup.procs" ]; then
            # shellcheck disable=SC2038 # the files hold PIDs
            find "$path" -name cgroup.procs -exec cat {} + | xargs -r kill -KILL 2>/dev/null || true
            sleep 1
            find "$path" -depth -type d -exec rmdir {} + || true
        else
            rm -rf "$path"
        fi
    done
}

# Killing the guest's PID 1 kills everything in its PID namespace, and with
# the last process its mount namespace and the overlay go.
boot_cleanup() {
    if boot_running; then
        echo "killing the booted system" >&2
        kill -KILL "$boot_pid1" 2>/dev/null || true
    fi
    [ -z "$boot_launcher" ] || kill -KILL "$boot_launcher" 2>/dev/null || true
    if [ -n "$boot_cgroup" ] && [ -d "$boot_cgroup" ]; then
        for _ in $(seq 40); do
            grep -q '^populated 0' "$boot_cgroup/cgroup.events" && break
            sleep 0.25
        done
        boot_remove_cgroup || true
    fi
    [ -z "$boot_dir" ] || rm -rf "$boot_dir"
}
