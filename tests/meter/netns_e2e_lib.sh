# The harness of the scripts that run the real meter between network
# namespaces. Sourced: a scratch directory in work; on exit the processes in
# pids end, the namespaces in namespaces go. `bash netns_e2e_lib.sh FUNCTION
# ARGUMENTS...` calls one function, for the scripts in other languages.

needs_root() { # skips (77) without root, fails under CI
    [ "$(id -u)" = 0 ] && return
    echo "needs root (network namespaces)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

add_netns() { # NAME...: without IPv6, whose neighbour discovery moves bytes at random
    local ns
    for ns in "$@"; do
        ip netns add "$ns"
        namespaces+=("$ns")
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
        ip -n "$ns" link set lo up
    done
}

mac_of() { ip -n "$1" -j link show dev "$2" | jq -r '.[0].address'; } # NETNS DEVICE

# A veth pair with /24 addresses, one frame per segment and permanent
# neighbours: its counters show the programs' segments and nothing else.
veth() { # NETNS DEVICE ADDRESS PEER-NETNS PEER-DEVICE PEER-ADDRESS
    ip link add "$2" netns "$1" type veth peer name "$5" netns "$4"
    ip -n "$1" addr add "$3/24" dev "$2"
    ip -n "$4" addr add "$6/24" dev "$5"
    ip -n "$1" link set "$2" gso_max_segs 1 up
    ip -n "$4" link set "$5" gso_max_segs 1 up
    ip -n "$1" neigh replace "$6" lladdr "$(mac_of "$4" "$5")" dev "$2" nud permanent
    ip -n "$4" neigh replace "$3" lladdr "$(mac_of "$1" "$2")" dev "$5" nud permanent
}

counters() { # NETNS DEVICE: the bytes it received and sent
    ip -n "$1" -j -s link show dev "$2" | jq -r '.[0].stats64 | "\(.rx.bytes) \(.tx.bytes)"'
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    "$@"
    exit
fi

work=$(mktemp -d) pids=() namespaces=()
cleanup() {
    local pid ns
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    cat "$work/meter.log" >&2 || true
    exit 1
}

# Seconds since boot: a wait that a step of the wall clock (which bash's
# SECONDS follows) neither cuts short nor stretches.
since_boot() { local up _; read -r up _ </proc/uptime; echo "${up%.*}"; }

eventually() { # SECONDS COMMAND...
    local until=$(($(since_boot) + $1))
    shift
    until "$@" 2>/dev/null; do [ "$(since_boot)" -lt "$until" ] || return 1; sleep 0.2; done
}

private_bus() { # CONFIG: a system bus of the test's own
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
    dbus-daemon --config-file="$1" --address="$DBUS_SYSTEM_BUS_ADDRESS" --nofork 2>"$work/bus.log" &
    pids+=($!)
    eventually 15 test -S "$work/bus" || fail "no private bus"
}

fresh_state() { # SETTING...: an empty state directory in state, counting on
    rm -rf "$state"
    mkdir -p "$state"
    printf '%s\n' '[Ostvane]' NETFLOW_COUNT_STATUS=1 "$@" >"$state/setting.conf"
}

# COMMAND in the background in NETNS's network only (`ip netns exec` also
# makes a mount namespace, which hides the cgroup2 mount and, in a chroot as in
# the kernel matrix, shows executables outside the meter's root); its output in
# OUTPUT, its pid in spawned, ended on exit.
spawn() { # OUTPUT NETNS COMMAND...
    nsenter --net="/run/netns/$2" "${@:3}" >"$1" 2>&1 &
    spawned=$!
    pids+=("$spawned")
}

# The meter (COMMAND: it or a wrapper that execs it), its pid in meter_pid once
# it counts (a slow machine takes a while to load its kernel programs).
start_meter() { # NETNS COMMAND...
    spawn "$work/meter.log" "$@"
    meter_pid=$spawned
    eventually 60 grep -q "Counting the traffic of" "$work/meter.log" || fail "the meter does not count"
}

stop_meter() { # SIGTERM writes everything and exits 0
    kill -TERM "$meter_pid"
    wait "$meter_pid" || fail "the meter exited with $?"
}

sql() { sqlite3 "$state/netflow.db" "$1"; }

ppm() { echo $((($1 > $2 ? $1 - $2 : $2 - $1) * 1000000 / ($2 > 0 ? $2 : 1))); } # ACTUAL EXPECTED
