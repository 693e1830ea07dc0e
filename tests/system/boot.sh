#!/bin/sh
# Boots systemd as PID 1 on a throwaway copy of this machine. Runs as PID 1 of fresh pid, mount,
# uts, ipc, net and cgroup namespaces (unshare --fork); every mount below is private to them and
# goes with them. Usage: boot.sh DEB..., each copied to /root/PACKAGE.deb inside.
set -eu

mount --make-rprivate /
# A copy-on-write view of / whose changes live in memory only.
mount -t tmpfs -o mode=0755 ampwarden-system /mnt
mkdir /mnt/upper /mnt/work /mnt/root
mount -t overlay overlay -o lowerdir=/,upperdir=/mnt/upper,workdir=/mnt/work /mnt/root
root=/mnt/root
for deb; do
    name=$(basename "$deb")
    cp "$deb" "$root/root/${name%%_*}.deb"
done

mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mount -t tmpfs -o mode=0755 cgroup "$root/sys/fs/cgroup"
mkdir "$root/sys/fs/cgroup/unified"
mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup/unified"

# A /dev of its own: the host's devtmpfs would give logind a seat with VTs and no active session.
mount -t tmpfs -o mode=0755 dev "$root/dev"
for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
mount -t tmpfs -o mode=0755 run "$root/run"
mount -t tmpfs -o mode=1777 tmp "$root/tmp"

mkdir "$root/.host"
cd "$root"
pivot_root . .host
umount -l /.host
rmdir /.host
export container=other
exec /lib/systemd/systemd --system --log-target=console
