#!/usr/bin/env bash
# Installs the Debian 12 packages Ampwarden builds, packages (debian/control's Build-Depends and the
# tools that build and check the packages), tests and demonstrates with (as root).
# Does nothing when they are all present already.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config git
  libsystemd-dev systemd dbus-user-session
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon dbus-bin python3 python3-dbus python3-dbusmock
  util-linux procps espeak-ng
  build-essential dpkg-dev debhelper devscripts equivs file help2man lintian
  polkitd
  clang libclang-rt-14-dev
  qemu-system-x86 acpica-tools busybox-static kmod strace make xz-utils
  debootstrap
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
