#!/bin/busybox sh
# The first process of a test machine (kernel_vm.sh): loads the modules the
# tests need, mounts the host's / read-only over 9p with scratch file systems
# where programs write, chroots in and runs the job named on the kernel's
# command line (vx.job=PATH), then says how it ended and powers off.
/bin/busybox mkdir -p /proc /sys /dev /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

say() { echo "vexmora-vm: $*"; }
end() { # STATUS
    say "exit=$1"
    sync
    poweroff -f
}
argument() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" /proc/cmdline; }

for module in $(cat /modules); do
    modprobe "$module" || say "cannot load $module"
done
ip link set lo up

root=/newroot
mkdir -p $root /saved-dpkg
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot $root ||
    { say "cannot mount the host's root"; end 125; }
# dpkg's database names the programs' packages: kept across the scratch /var/lib.
mount --bind $root/var/lib/dpkg /saved-dpkg
# /tmp and /var/tmp keep the host's files in sight beneath the guest's own
# (a checkout or build may live there), each change in memory.
scratch_over_host() {
    local dir=$1 changes=/scratch/$2
    mkdir -p $changes
    mount -t tmpfs tmpfs $changes
    mkdir $changes/upper $changes/work
    mount -t overlay overlay -o "lowerdir=$root/$dir,upperdir=$changes/upper,workdir=$changes/work" \
        "$root/$dir"
}
scratch_over_host tmp tmp || { say "cannot make /tmp writable"; end 125; }
scratch_over_host var/tmp var-tmp || { say "cannot make /var/tmp writable"; end 125; }
for dir in run var/lib; do
    mount -t tmpfs tmpfs "$root/$dir"
done
mkdir -p $root/var/lib/dpkg
mount --move /saved-dpkg $root/var/lib/dpkg
mount -t proc proc $root/proc
mount -t sysfs sysfs $root/sys
mount -t devtmpfs devtmpfs $root/dev
ln -s /proc/self/fd $root/dev/fd
mkdir -p $root/dev/pts $root/dev/shm
mount -t devpts devpts $root/dev/pts
mount -t tmpfs tmpfs $root/dev/shm
mount -t tmpfs tmpfs $root/sys/fs/cgroup
mkdir $root/sys/fs/cgroup/unified
mount -t cgroup2 cgroup2 $root/sys/fs/cgroup/unified
mount -t bpf bpf $root/sys/fs/bpf
# The build folder writable, its files the host's: an overlay with its
# changes in memory.
build=$(argument vx.build)
if [ -n "$build" ]; then
    mkdir -p /overlay
    mount -t tmpfs tmpfs /overlay
    mkdir -p /overlay/upper /overlay/work
    mount -t overlay overlay -o "lowerdir=$root$build,upperdir=/overlay/upper,workdir=/overlay/work" \
        "$root$build" || { say "cannot make $build writable"; end 125; }
fi

job=$(argument vx.job)
say "kernel $(uname -r) up, running $job"
chroot $root /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash "$job"
end $?
