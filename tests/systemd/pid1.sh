#!/bin/bash
# PID 1 of the namespaces boot.sh made: mounts the guest's root (an overlay
# of the cached root) and the API file systems a container manager provides,
# pivots into it and becomes its systemd.
#   pid1.sh LOWER UPPER WORK MOUNTPOINT CONTAINER-NAME
set -euo pipefail

lower=$1 upper=$2 work=$3 new=$4 name=$5

mount -t overlay overlay -o "lowerdir=$lower,upperdir=$upper,workdir=$work" "$new"

mount -t proc -o nosuid,nodev,noexec proc "$new/proc"
mount --bind "$new/proc/sys" "$new/proc/sys"
mount -o remount,bind,ro "$new/proc/sys"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$new/sys"
mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 "$new/sys/fs/cgroup"

mount -t tmpfs -o mode=755,nosuid tmpfs "$new/dev"
for node in null zero full random urandom tty; do
    touch "$new/dev/$node"
    mount --bind "/dev/$node" "$new/dev/$node"
done
mkdir "$new/dev/pts" "$new/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$new/dev/pts"
ln -s pts/ptmx "$new/dev/ptmx"
ln -s /proc/self/fd "$new/dev/fd"

mount -t tmpfs -o mode=755,nosuid,nodev tmpfs "$new/run"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$new/tmp"

# pivot_root, not chroot: a chrooted process may not create the user
# namespaces that PrivateUsers= needs.
cd "$new"
pivot_root . .
umount -l .
exec env -i container="$name" /lib/systemd/systemd
