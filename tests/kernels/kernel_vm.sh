#!/usr/bin/env bash
# Boots the newest Debian kernel package whose name matches PATTERN (an extended
# regular expression) under QEMU without KVM, the host's / read-only as root and
# the build folder writable in memory (vm_init.sh), and runs `CI=true ctest
# CTEST-ARGUMENTS` there (default `-L kernels -LE vm`). A kernel that cannot be
# fetched or booted, or a guest that does not say how its tests ended, fails.
#   kernel_vm.sh PATTERN BUILD-DIR [CTEST-ARGUMENTS...]
set -euo pipefail
pattern=$1
build=$(cd "$2" && pwd)
shift 2
ctest_arguments=("$@")
[ ${#ctest_arguments[@]} -gt 0 ] || ctest_arguments=(-L kernels -LE vm)
here=$(cd "$(dirname "$0")" && pwd)
# The modules the tests need, with what they depend on: the host's root over
# 9p, the build folder's overlay, veth pairs, the socket table's diagnostics.
modules=(virtio_pci 9pnet_virtio 9p overlay veth inet_diag tcp_diag udp_diag raw_diag)
# TCG is slow: the guest's tests get this long in all.
vm_seconds=${VEXMORA_VM_SECONDS:-1500}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

newest_package() {
    local name candidate
    while read -r name; do
        candidate=$(apt-cache policy "$name" | awk '$1 == "Candidate:" { print $2 }')
        if [ -n "$candidate" ] && [ "$candidate" != "(none)" ]; then
            echo "$name"
            return 0
        fi
    done < <(apt-cache pkgnames linux-image- | grep -E "^($pattern)\$" | sort -Vr)
    return 1
}

# fetch PACKAGE DIR: the package's files under DIR/tree, once.
fetch() {
    local package=$1 dir=$2
    [ -d "$dir/tree/boot" ] && return 0
    rm -rf "$dir"
    mkdir -p "$dir/download"
    (cd "$dir/download" && apt-get download -q "$package") >&2 || return 1
    dpkg-deb -x "$dir"/download/*.deb "$dir/tree" || return 1
    rm -rf "$dir/download"
}

# initramfs TREE VERSION OUTPUT: busybox, the init and the modules with
# their dependencies, uncompressed (busybox's modprobe reads plain files).
initramfs() {
    local tree=$1 version=$2 output=$3 stage
    stage=$(mktemp -d)
    mkdir -p "$stage/bin" "$stage/lib/modules/$version"
    cp /bin/busybox "$stage/bin/busybox"
    install -m 755 "$here/vm_init.sh" "$stage/init"
    printf '%s\n' "${modules[@]}" >"$stage/modules"
    [ -f "$tree/lib/modules/$version/modules.dep" ] || depmod -b "$tree" "$version"
    local module file target
    for module in "${modules[@]}"; do
        modprobe -d "$tree" -S "$version" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
    done | sort -u | while read -r file; do
        target=$stage/lib/modules/$version/${file#"$tree/lib/modules/$version/"}
        target=${target%.xz}
        mkdir -p "$(dirname "$target")"
        case $file in
            *.xz) xz -dc "$file" >"$target" ;;
            *) cp "$file" "$target" ;;
        esac
    done
    # What is built in: modprobe takes those as loaded.
    cp "$tree/lib/modules/$version"/modules.{builtin,builtin.modinfo,order} "$stage/lib/modules/$version/"
    depmod -b "$stage" "$version"
    (cd "$stage" && find . | cpio -o -H newc --quiet) | gzip -1 >"$output"
    rm -rf "$stage"
}

# apt's lists may be empty on a fresh machine whose packages were all there.
package=$(newest_package) ||
    { [ "$(id -u)" = 0 ] && apt-get update -q >&2 && package=$(newest_package); } ||
    fail "no package matching $pattern in apt's lists"
dir=$build/kernels/$package
fetch "$package" "$dir" || fail "cannot fetch $package"
kernel=$(ls "$dir"/tree/boot/vmlinuz-*)
version=${kernel##*/vmlinuz-}
initramfs "$dir/tree" "$version" "$dir/initrd.gz" || fail "cannot build the initramfs of $version"

job=$dir/job.sh
{
    echo "cd $(printf '%q' "$build")"
    printf 'CI=true ctest --test-dir %q --output-on-failure' "$build"
    printf ' %q' "${ctest_arguments[@]}"
    echo
    echo 'status=$?'
    # What the mixed loads measured on this kernel, kept in the console's log.
    printf 'grep -hE %q %q/Testing/Temporary/LastTest.log\n' \
        '^(long|short|udp|halfclose|server|unread|idle): veth|^named applications' "$build"
    echo 'exit $status'
} >"$job"

console=$dir/console.log
echo "booting $package ($version) under QEMU: ctest ${ctest_arguments[*]}"
started=$SECONDS
timeout "$vm_seconds" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 2048 \
    -nographic -nic none -no-reboot -kernel "$kernel" -initrd "$dir/initrd.gz" \
    -append "console=ttyS0 loglevel=4 panic=-1 tsc=reliable vx.job=$job vx.build=$build" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    </dev/null 2>&1 | tee "$console" || true
status=$(tr -d '\r' <"$console" | sed -n 's/.*vexmora-vm: exit=\([0-9]*\)$/\1/p' | tail -1)
echo "$package: the guest ran $((SECONDS - started)) s"
[ -n "$status" ] || fail "$version did not boot or did not finish within $vm_seconds s"
grep -q "vexmora-vm: kernel $version up" <(tr -d '\r' <"$console") || fail "the guest ran another kernel"
[ "$status" = 0 ] || fail "the tests failed on $version (status $status)"
echo "all tests passed on $version"
