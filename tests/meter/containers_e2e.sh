#!/usr/bin/env bash
# Two containers built as their runtimes build them: each in a network
# namespace on a bridge of the host's, its processes in a pid and mount
# namespace of their own over the host's files read-only, in a cgroup named as
# Docker's (web1) and Podman's (db1) with the runtime's state file naming it;
# masquerade out of the counted interface. A third one, pod1, made by Podman
# itself on the same bridge. All download from a server beyond the counted
# interface, web1 talks to db1 over the bridge, the host downloads too. Each
# container's row against what the firewall counted for its address, the
# bridge's traffic in no row, (unattributed) a sliver, the names in
# `vexmoractl apps`.
#   containers_e2e.sh METER VEXMORAD VEXMORACTL STATE_DIR BUS_CONFIG
set -euo pipefail
# The test's own mount namespace (the runtimes' state directories on tmpfs);
# in a container, its cgroup, then its pid and mount namespaces and its root.
case ${1:-} in
    --enter) # CGROUP ROOT COMMAND...
        echo $$ >"$2/cgroup.procs"
        exec unshare --mount --pid --fork "$BASH" "$0" --root "${@:3}" ;;
    --root) # ROOT COMMAND...: the mounts stay in the container's namespace
        mount --rbind / "$2"
        mount -o remount,bind,ro "$2"
        mount -t proc proc "$2/proc"
        # The root swapped, not a chroot, as the runtimes do: the host's
        # tree is then out of reach, and the executable's path the container's.
        cd "$2"
        pivot_root . mnt
        umount -l /mnt
        exec "${@:3}" ;;
esac
if [ "$(id -u)" = 0 ] && [ -z "${VXC_OWN_MOUNTS:-}" ]; then
    VXC_OWN_MOUNTS=1 exec unshare --mount --propagation private "$BASH" "$0" "$@"
fi
meter=$1 service=$2 ctl=$3 state=$4 bus_config=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=netns_e2e_lib.sh
source "$here/netns_e2e_lib.sh"
needs_root
tag=vxc$$ cgroups=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
host=$tag-host outside=$tag-out up=$tag-up bridge=$tag-br server=10.213.0.2
names=(web1 db1 pod1) addresses=(10.213.1.2 10.213.1.3 10.213.1.4) downloads=(30 50 40) talk_bytes=3000000
random_id() { od -An -tx1 -N32 /dev/urandom | tr -d ' \n'; }
ids=("$(random_id)" "$(random_id)")
scopes=("$cgroups/system.slice/docker-${ids[0]}.scope" "$cgroups/machine.slice/libpod-${ids[1]}.scope")
state_dirs=(/var/lib/docker /var/lib/containers /run/containers /run/libpod)
made_dirs=() python=$(readlink -f /usr/bin/python3) containers=(0 1)
# Podman's own container where it is installed: as root, with the cgroupfs
# manager and runc (crun refuses a hybrid cgroup layout), resource limits
# that a host without CAP_SYS_RESOURCE can set, an image of the host's files.
podman=(podman --cgroup-manager cgroupfs --runtime runc --events-backend file)
if command -v podman >/dev/null; then
    containers+=(2)
elif [ "${CI:-}" = true ]; then
    fail "podman is missing"
else
    echo "podman is not installed: its container is left out"
fi
cgroup_parents() { ls -d /sys/fs/cgroup/libpod_parent /sys/fs/cgroup/*/libpod_parent 2>/dev/null || true; }
parents_before=$(cgroup_parents)

remove_containers() {
    disown -a # the containers end by SIGKILL: no line for each
    local scope dir
    for scope in "${scopes[@]}"; do
        [ -d "$scope" ] && echo 1 >"$scope/cgroup.kill"
    done
    [ ${#containers[@]} = 2 ] || "${podman[@]}" rm -f -t 0 "${names[2]}" >/dev/null 2>&1 || true
    for dir in $(cgroup_parents); do
        grep -qxF "$dir" <<<"$parents_before" || eventually 10 find "$dir" -depth -type d -exec rmdir {} + ||
            echo "could not remove $dir" >&2
    done
    for dir in "${state_dirs[@]}"; do umount -R "$dir" 2>/dev/null || true; done
    for dir in "${made_dirs[@]}"; do eventually 10 rmdir "$dir" || echo "could not remove $dir" >&2; done
    cleanup
}
trap remove_containers EXIT

make_dir() { [ -d "$1" ] || { mkdir "$1" && made_dirs=("$1" "${made_dirs[@]}"); }; } # removed at exit

runtime_state() { # the files Docker and Podman keep their containers' names in
    local dir
    for dir in "${state_dirs[@]}"; do
        make_dir "$dir"
        mount -t tmpfs vxc "$dir"
    done
    mkdir -p "/var/lib/docker/containers/${ids[0]}" /var/lib/containers/storage/overlay-containers
    jq -n --arg id "${ids[0]}" --arg name "/${names[0]}" '{ID: $id, Name: $name}' \
        >"/var/lib/docker/containers/${ids[0]}/config.v2.json"
    jq -n --arg id "${ids[1]}" --arg name "${names[1]}" '[{id: $id, names: [$name]}]' \
        >/var/lib/containers/storage/overlay-containers/containers.json
}

# Container I's eth0 on the bridge, its port one frame per segment, the
# neighbours permanent as on the counted veth.
container_network() { # I
    local ns=$tag-c$1 port=$tag-p$1
    add_netns "$ns"
    ip link add eth0 netns "$ns" type veth peer name "$port" netns "$host"
    ip -n "$ns" addr add "${addresses[$1]}/24" dev eth0
    ip -n "$ns" link set eth0 gso_max_segs 1 up
    ip -n "$host" link set "$port" gso_max_segs 1 master "$bridge" up
    ip -n "$ns" neigh replace 10.213.1.1 lladdr "$(mac_of "$host" "$bridge")" dev eth0 nud permanent
    ip -n "$ns" route add default via 10.213.1.1
    ip -n "$host" neigh replace "${addresses[$1]}" lladdr "$(mac_of "$ns" eth0)" dev "$bridge" nud permanent
}

# Masquerade out of the counted interface; per container what the host
# forwarded for it there (IP bytes: the wire's are 14 more a packet).
firewall() {
    local i counters=() rules=()
    for i in "${containers[@]}"; do
        counters+=("counter c${i}_sent {}" "counter c${i}_recv {}")
        rules+=("ip saddr ${addresses[$i]} oifname \"$up\" counter name \"c${i}_sent\""
            "ip daddr ${addresses[$i]} iifname \"$up\" counter name \"c${i}_recv\"")
    done
    nsenter --net="/run/netns/$host" nft -f - <<EOF
table ip vxc {
    $(printf '%s\n' "${counters[@]}")
    chain forward {
        type filter hook forward priority 0; policy accept;
        $(printf '%s\n' "${rules[@]}")
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        ip saddr 10.213.1.0/24 oifname "$up" masquerade
    }
}
EOF
}
wire_bytes() { # COUNTER
    nsenter --net="/run/netns/$host" nft -j list counter ip vxc "$1" |
        jq '.nftables[1].counter | .bytes + 14 * .packets'
}

run_in() { # I OUTPUT COMMAND...: in container I
    make_dir "$(dirname "${scopes[$1]}")"
    make_dir "${scopes[$1]}"
    mkdir -p "$work/root"
    spawn "$2" "$tag-c$1" "$BASH" "$0" --enter "${scopes[$1]}" "$work/root" "${@:3}"
}

# The interpreter, its modules and libraries, traffic.py as /download.py, the
# package database that tells the interpreter is a packaged one.
host_files_image() {
    local stdlib libs
    stdlib=$("$python" -c 'import sysconfig; print(sysconfig.get_path("stdlib"))')
    libs=$(ldd "$python" "$stdlib"/lib-dynload/*.so | awk '$2 == "=>" { print $3 } $1 ~ /^\// && NF == 2 { print $1 }')
    # shellcheck disable=SC2046
    tar -chf "$work/image.tar" -C / --transform "s|^${here#/}/traffic.py\$|download.py|" \
        "${python#/}" "${stdlib#/}" $(sort -u <<<"$libs" | sed 's|^/||') "${here#/}/traffic.py" \
        var/lib/dpkg/status $(cd / && echo var/lib/dpkg/info/*.list)
    "${podman[@]}" import -q "$work/image.tar" localhost/vxc-host-files >/dev/null
}
pod_run() { # I OUTPUT ARGUMENTS...: in Podman's container
    spawn "$2" "$host" "${podman[@]}" run --rm --name "${names[$1]}" --network "ns:/run/netns/$tag-c$1" \
        --ulimit nofile=4096:4096 --ulimit nproc=4096:4096 localhost/vxc-host-files "$python" /download.py "${@:3}"
}

runtime_state
[ ${#containers[@]} = 2 ] || host_files_image
add_netns "$host" "$outside"
veth "$host" "$up" 10.213.0.1 "$outside" "$tag-o" "$server"
private_bus "$bus_config"
"$service" >"$work/service.log" 2>&1 &
pids+=($!)
fresh_state
read -r recv0 sent0 < <(counters "$host" "$up")
start_meter "$host" "$meter" --attribution=bpf --interval=0.5 --interfaces="$up"
# The containers' network comes after the meter started: it follows the routes.
ip -n "$host" link add "$bridge" address 02:00:0a:d5:01:01 type bridge
ip -n "$host" addr add 10.213.1.1/24 dev "$bridge"
ip -n "$host" link set "$bridge" up
ip netns exec "$host" sysctl -qw net.ipv4.ip_forward=1
for i in "${containers[@]}"; do container_network "$i"; done
ip -n "$tag-c0" neigh replace "${addresses[1]}" lladdr "$(mac_of "$tag-c1" eth0)" dev eth0 nud permanent
ip -n "$tag-c1" neigh replace "${addresses[0]}" lladdr "$(mac_of "$tag-c0" eth0)" dev eth0 nud permanent
firewall
ln -s "$here/traffic.py" "$work/download.py"
ln -s "$here/traffic.py" "$work/talk.py"


spawn "$work/server.out" "$outside" "$python" "$here/traffic.py" peer - "$server" - - - 0
run_in 1 "$work/talk1.out" "$python" "$work/talk.py" server "${addresses[1]}" "$talk_bytes"
eventually 30 grep -q listening "$work/server.out" || fail "the server did not start"
eventually 30 grep -q listening "$work/talk1.out" || fail "db1's end of the talk did not start"
run_in 0 "$work/talk0.out" "$python" "$work/talk.py" peer - - - - "${addresses[1]}" "$talk_bytes"
for i in 0 1; do run_in "$i" "$work/download$i.out" "$python" "$work/download.py" short "$server" "${downloads[$i]}"; done
[ ${#containers[@]} = 2 ] || pod_run 2 "$work/download2.out" short "$server" "${downloads[2]}"
spawn "$work/host.out" "$host" "$python" "$work/download.py" short "$server" 20
for out in talk0 talk1 "${containers[@]/#/download}" host; do
    eventually 120 grep -q done "$work/$out.out" || fail "$out did not finish: $(cat "$work/$out.out")"
done
sleep 1.5 # a last sample sees the programs' final counts
host_downloaded() { jq -e 'any(.[]; .app == "download.py" and .down >= 2000000)' "$state/app_info"; }
eventually 15 host_downloaded >/dev/null || fail "no snapshot after the downloads: $(cat "$state/app_info")"
"$ctl" apps >"$work/apps"
cp "$state/process_info" "$work/"
host_pids() { # I: its processes as the host sees them
    if [ "$1" = 2 ]; then "${podman[@]}" inspect --format '{{.State.Pid}}' "${names[2]}"; else cat "${scopes[$1]}/cgroup.procs"; fi
}
for i in "${containers[@]}"; do host_pids "$i" >"$work/pids$i"; done
read -r recv1 sent1 < <(counters "$host" "$up")
stop_meter

failures=()
echo "app_data rows (name, received, sent):"
sql "SELECT pkgname, SUM(recv), SUM(sent) FROM app_data GROUP BY pkgname ORDER BY pkgname" | sed 's/^/  /'
for i in "${containers[@]}"; do
    row=${names[$i]}/download.py
    expected_recv=$(wire_bytes "c${i}_recv") expected_sent=$(wire_bytes "c${i}_sent")
    read -r recv sent < <(sql "SELECT COALESCE(SUM(recv), 0) || ' ' || COALESCE(SUM(sent), 0)
        FROM app_data WHERE pkgname = '$row'")
    echo "$row: received $recv of $expected_recv ($(ppm "$recv" "$expected_recv") ppm apart)," \
        "sent $sent of $expected_sent ($(ppm "$sent" "$expected_sent") ppm apart)"
    [ "$(ppm "$recv" "$expected_recv")" -le 5000 ] && [ "$(ppm "$sent" "$expected_sent")" -le 5000 ] ||
        failures+=("$row is not what the host forwarded for it")
    grep -qF "$row" "$work/apps" || failures+=("vexmoractl apps does not show $row")
    pid=$(jq --arg app "$row" '.[] | select(.app == $app) | .pid' "$work/process_info" | head -n 1)
    grep -qx "${pid:--}" "$work/pids$i" || failures+=("process_info: $row not under its host pid: ${pid:-none}")
done
echo "vexmoractl apps:"
sed 's/^/  /' "$work/apps"
talked=$(sql "SELECT COALESCE(SUM(recv + sent), 0) FROM app_data WHERE pkgname LIKE '%talk.py'")
[ "$talked" = 0 ] || failures+=("the bridge's talk counted: $talked bytes")
host_bytes=$((recv1 - recv0 + sent1 - sent0))
[ "$(sql "SELECT SUM(recv) + SUM(sent) FROM hour_data")" = "$host_bytes" ] ||
    failures+=("the hour rows are not the counted interface's $host_bytes bytes")
[ "$(sql "SELECT SUM(recv) + SUM(sent) FROM app_data")" = "$host_bytes" ] ||
    failures+=("the application rows do not add up to the host's $host_bytes bytes")
unattributed=$(sql "SELECT COALESCE(SUM(recv + sent), 0) FROM app_data WHERE pkgname = '(unattributed)'")
echo "(unattributed): $unattributed of the host's $host_bytes bytes" \
    "($((unattributed * 1000000 / host_bytes)) ppm)"
[ "$unattributed" -le $((host_bytes / 200)) ] || failures+=("unattributed beyond 0.5 %")
[ ${#failures[@]} -eq 0 ] || fail "$(printf '%s; ' "${failures[@]}")"
echo "all checks passed"
