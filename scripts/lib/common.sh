# Shared by the scripts: where things are and how missing packages get installed.
# shellcheck shell=bash

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# clang (for the BPF target), llvm (llvm-strip), bpftool and libbpf build the
# kernel programs and their skeleton.
build_packages=(cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools libsqlite3-dev libcjson-dev help2man
                libdbus-1-dev clang llvm libbpf-dev bpftool libelf-dev zlib1g-dev)
run_packages=(dbus-daemon systemd libglib2.0-bin)
# dbus-system-bus-common brings dbus.socket, which the check of the unit resolves;
# debootstrap builds the root that the boot test (label systemd) boots.
# cockpit-ws, cockpit-bridge and chromium run the Cockpit page's browser test;
# qemu-system-x86, busybox-static, kmod, cpio and xz-utils boot Debian's
# kernels for the kernel matrix (label kernels); nftables gives the container
# test its address translation and per-container counters, podman and runc
# its container made by a runtime.
test_packages=(libgtest-dev sqlite3 jq tzdata util-linux valgrind dpkg-dev file passwd
               dbus-system-bus-common debootstrap mount python3 iproute2 procps nftables
               podman runc
               cockpit-ws cockpit-bridge chromium
               qemu-system-x86 busybox-static kmod cpio xz-utils)
# What `scripts/run --web` adds: Cockpit's web server and its bridge.
web_packages=(cockpit-ws cockpit-bridge)

# Installs those of the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q >&2
    # Another installation may hold dpkg's lock for a while: wait for it.
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" >&2
}

# The Cockpit page's build fetches PatternFly with npm. Debian's npm conflicts
# with a Node.js from elsewhere, so Debian's nodejs and npm come only where
# there is no npm at all.
ensure_npm() {
    command -v npm >/dev/null || ensure_packages nodejs npm
}

jobs() { nproc 2>/dev/null || echo 2; }
