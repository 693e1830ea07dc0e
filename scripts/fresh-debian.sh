#!/usr/bin/env bash
# Runs the README's set-up commands as a newcomer would meet them: as root, in a minimal Debian 12
# root (debootstrap --variant=minbase bookworm: nothing but root, no other user, no package
# beyond the essential ones) with this checkout's committed tree cloned into it. A missing
# install step or an assumption about the machine fails here instead of on a newcomer's machine.
#   scripts/fresh-debian.sh [demo] [test]      (both when none is named)
# The root lives in its own mount and pid namespaces while a command runs, so nothing it starts
# outlives it; it is removed at the end. Each command's whole output is kept in
# build/fresh-debian-<command>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

commands=("$@")
((${#commands[@]})) || commands=(demo test)
for command in "${commands[@]}"; do
  [[ $command == demo || $command == test ]] || { echo "fresh-debian.sh: demo or test, not '$command'" >&2; exit 2; }
done
if [[ $(id -u) -ne 0 ]]; then
  echo "fresh-debian.sh: run it as root (it makes and enters a root file system)" >&2
  exit 1
fi
for program in debootstrap git unshare pivot_root; do
  command -v "$program" >/dev/null || { echo "fresh-debian.sh: needs $program (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

# The Debian mirror this machine installs from, so the root reaches the same one.
mirror=$(apt-get indextargets --format '$(SITE) $(RELEASE)' | awk '$2 == "bookworm" { print $1; exit }')
[[ -n $mirror ]] || { echo "fresh-debian.sh: this machine's apt sources name no bookworm mirror" >&2; exit 1; }

mkdir -p build
root=$(mktemp -d /var/tmp/ampwarden-fresh-debian.XXXXXX)
chmod 755 "$root"  # apt downloads as its own user, _apt
trap 'rm -rf --one-file-system "$root"' EXIT

started=$SECONDS
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >build/fresh-debian-debootstrap.log 2>&1; then
  tail -n 20 build/fresh-debian-debootstrap.log >&2
  echo "fresh-debian.sh: debootstrap failed (build/fresh-debian-debootstrap.log)" >&2
  exit 1
fi
# How this network lets apt reach the mirror (proxies, index validity) belongs to the network,
# not to the machine's state, so the root gets the same.
grep -l '^Acquire' /etc/apt/apt.conf.d/* 2>/dev/null | xargs -r cp -t "$root/etc/apt/apt.conf.d/"
git clone --quiet "$PWD" "$root/root/ampwarden"
echo "fresh-debian.sh: a minimal Debian 12 root in $((SECONDS - started)) s, $(git rev-parse --short HEAD) cloned into /root/ampwarden"

# Runs one README command in the root, as root, with a clean environment. AMPWARDEN_IN_FRESH_ROOT
# keeps the test command from starting this check again inside.
run_in_root() {
  unshare --mount --propagation private --pid --fork -- /bin/sh -ec '
    root=$1; shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=0755 run "$root/run"
    mount -t tmpfs -o mode=1777 tmp "$root/tmp"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    # The real-kernel test'"'"'s downloaded kernel is a cache, not part of the machine.
    mkdir -p /var/cache/ampwarden-test "$root/var/cache/ampwarden-test"
    mount --bind /var/cache/ampwarden-test "$root/var/cache/ampwarden-test"
    # The root becomes the namespace'"'"'s own root, as on a machine: a chroot would leave the
    # host'"'"'s tree as the root that entering the namespaces (nsenter) finds.
    cd "$root"
    mkdir -p .host
    pivot_root . .host
    umount -l /.host
    rmdir /.host
    exec /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      AMPWARDEN_IN_FRESH_ROOT=1 /bin/bash -c "cd /root/ampwarden && $*"
  ' sh "$root" "$@"
}

for command in "${commands[@]}"; do
  log=build/fresh-debian-$command.log
  started=$SECONDS
  echo "fresh-debian.sh: bash scripts/$command.sh, in the fresh root ..."
  status=0
  run_in_root "bash scripts/$command.sh" >"$log" 2>&1 </dev/null || status=$?
  elapsed=$((SECONDS - started))
  if ((status)); then
    tail -n 80 "$log"
    echo "fresh-debian.sh: bash scripts/$command.sh failed in the fresh root (exit $status, ${elapsed} s); the whole output is $log" >&2
    exit 1
  fi
  tail -n 12 "$log" | sed 's/^/    /'
  echo "fresh-debian.sh: bash scripts/$command.sh passed in the fresh root in ${elapsed} s (output: $log)"
done
