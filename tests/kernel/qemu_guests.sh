#!/usr/bin/env bash
# Boots throw-away QEMU guests on Debian's own 6.12 kernel, runs the project's programs there
# (init.sh) and checks what they printed:
# - "laptop": the kernel backend on the kernel's own drivers: battery and fujitsu-laptop bound
#   to the ACPI table laptop.asl (charge_control_end_threshold), then test_power, built here
#   from the kernel's source (charge_behaviour). QEMU's emulated Apple SMC is present, but the
#   machine says it is no Apple, so the ports must never be asked for.
# - "apple": Apple's DMI and QEMU's emulated SMC, for the port backend.
# The kernel, its modules and the built test_power are kept in $AMPWARDEN_TEST_CACHE
# (/var/cache/ampwarden-test). Exits 77 (skipped) where QEMU or the kernel cannot be had.
# Usage: qemu_guests.sh BIN_DIR
set -uo pipefail
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
cache=${AMPWARDEN_TEST_CACHE:-/var/cache/ampwarden-test}
skip() { echo "skipped: $*"; exit 77; }
[[ $(id -u) == 0 ]] || skip "needs root"
for tool in qemu-system-x86_64 iasl busybox depmod strace make; do
    command -v $tool >/dev/null || skip "no $tool (scripts/install-deps.sh installs it)"
done

# The newest Debian 6.12 apt knows of, else the one in the cache.
pick() {
    source=$(apt-cache policy linux-source-6.12 2>/dev/null |
        sed -n 's/ *Candidate: \([0-9.]*-.*\)/\1/p')
    abi=${source%%-*}+deb12
    [[ -n $source ]] || abi=$(ls "$cache" 2>/dev/null | sed -n 's/^linux-\(.*+deb12\)$/\1/p')
    kernel=$cache/linux-$abi
}
pick
[[ -e $kernel/vmlinuz ]] || { apt-get update -qq; pick; }  # the lists may name one long gone
[[ $abi == 6.12.* ]] || skip "apt knows no linux-source-6.12 and none is cached"

# Debian's kernel unpacked, never installed; test_power (which Debian does not build) built
# against its headers. Only what the guests need is kept.
prepare() {
    local work=$kernel.work headers=root/usr/src/linux-headers-$abi-amd64
    rm -rf "$work" "$cache"/linux-* && mkdir -p "$work/keep/modules" && cd "$work" || return
    apt-get download -q "linux-image-$abi-amd64-unsigned" "linux-headers-$abi-amd64" \
        "linux-headers-$abi-common" "linux-kbuild-$abi" "linux-source-6.12=$source" || return 77
    for deb in linux-image-* linux-headers-* linux-kbuild-*; do dpkg-deb -x "$deb" root; done
    dpkg-deb --fsys-tarfile linux-source-*.deb | tar -xO ./usr/src/linux-source-6.12.tar.xz |
        tar -xJ --strip-components=4 linux-source-6.12/drivers/power/supply/test_power.c
    sed -i 's|include /usr/src/|include ../|' "$headers/Makefile"
    echo 'obj-m := test_power.o' >Kbuild
    # No BTF for it: that needs pahole, and loading the module does not.
    make -s -C "$headers" M="$work" CONFIG_DEBUG_INFO_BTF_MODULES= modules || return
    depmod -b root "$abi-amd64" || return
    for path in $(modprobe -d root -S "$abi-amd64" --show-depends fujitsu-laptop | cut -d\  -f2); do
        name=$(basename "$path" .ko.xz)  # in the order they load
        xz -dc "$path" >"keep/modules/$name.ko" && echo "$name" >>keep/modules/order || return
    done
    cp test_power.ko keep/modules/ && cp root/boot/vmlinuz-* keep/vmlinuz &&
        mv keep "$kernel" && cd / && rm -rf "$work"
}
if [[ ! -e $kernel/vmlinuz ]]; then
    (prepare)
    case $? in 0) ;; 77) skip "the kernel packages cannot be downloaded" ;; *) exit 1 ;; esac
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" && cp -r "$kernel/modules" "$root/" && cp /bin/busybox "$root/bin/" &&
    install -m 755 "$here/init.sh" "$root/init" || exit 1
programs=("$bin/ampwarden-smc" "$bin/ampwarden-test-smc-port-keys" "$(command -v strace)")
cp "${programs[@]}" "$root/bin/" || exit 1
for library in $(ldd "${programs[@]}" | grep -o '/[^ ]*\.so[^ ]*' | sort -u); do
    cp -L --parents "$library" "$root"
done
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$work/initrd" &&
    iasl -vr -p "$work/laptop" "$here/laptop.asl" >/dev/null || exit 1

osk0='A made-up key for the test guest' osk1='; of exactly sixty-four letters.'
boot() {  # NAME QEMU-OPTION...: the guest's console, with init.sh's run NAME, in $work/NAME
    local name=$1
    shift
    timeout 300 qemu-system-x86_64 -nographic -no-reboot -nic none -m 512 \
        -kernel "$kernel/vmlinuz" -initrd "$work/initrd" \
        -append "console=ttyS0 panic=-1 quiet ampw=$name" \
        -device isa-applesmc,osk="$osk0$osk1" "$@" </dev/null 2>&1 | tr -d '\r' >"$work/$name"
    echo "${PIPESTATUS[0]}" >"$work/$name.code"
}
boot laptop -acpitable file="$work/laptop.aml" &
boot apple -smbios type=1,manufacturer="Apple Inc.",product=MacBookPro11,,1 &
wait
for guest in laptop apple; do
    echo "--- $guest guest"
    grep -v '^\[' "$work/$guest"
done
for guest in laptop apple; do  # QEMU itself refused to start (a guest that hangs is killed: 124)
    [[ $(cat "$work/$guest.code") != 1 ]] || grep -q '^@' "$work/$guest" ||
        skip "QEMU cannot run here"
done

failed=0
check() {  # GUEST WHAT REGEX: some line of the guest's output is REGEX
    if grep -qxE -- "$3" "$work/$1"; then
        echo "ok    $1: $2"
    else
        echo "FAIL  $1: $2"
        failed=1
    fi
}
check laptop 'the guest ran to its end' '@done'
check laptop 'probe and read: kernel usable, not one ioperm/iopl' '@probe: code 0 port calls 0'
check laptop 'probe: the end threshold found' 'kernel: usable'
check laptop 'probe: auto takes the kernel' 'AMPWARDEN_SMC_BACKEND=auto picks: kernel'
check laptop 'probe: port-io passed over, no Apple' 'port-io: not usable: not an Apple machine.*'
check laptop 'BCLM 60 reaches the driver' '@write BCLM 3c: code 0 .*\| 60'
check laptop 'BCLM 100 reaches the driver' '@write BCLM 64: code 0 .*\| 100'
check laptop 'BCLM 50 reaches the driver' '@write BCLM 32: code 0 .*\| 50'
check laptop 'BCLM 40, refused by the driver, is an error' '@write BCLM 28: code [1-9].*\| 50'
check laptop 'BCLM 101 is an error' '@write BCLM 65: code [1-9].*\| 50'
check laptop 'BCLM reads back 50' '@read BCLM: code 0 said .*\b50\b.*\| 50'
for step in 'CH0B 02:inhibit-charge' 'CH0B 00:auto' 'CH0C 02:inhibit-charge' 'CH0C 00:auto' \
    'CH0I 01:force-discharge' 'CH0I 00:auto'; do
    check laptop "$step" "@write ${step%:*}: code 0 .*\|.*\[${step#*:}\].*"
done
check apple 'the guest ran to its end' '@done'
check apple 'the port protocol asks for the ports, and strace sees it' '@port calls: [1-9]'
check apple 'REV  read on the ports, device idle after' \
    '@port REV :6: code 0x0 .* status 0x00: 01 13 0f 00 00 03'
check apple 'OSK0 read on the ports, device idle after' \
    "@port OSK0:32: code 0x0 .* status 0x00:$(printf %s "$osk0" | od -An -tx1 | tr -d '\n')"
check apple 'probe refuses within a second' '@probe: code 1 ms [0-9]{1,3}'
check apple 'probe passes APP0001, refuses for want of a #KEY' 'port-io: not usable: .*#KEY.*'
check apple 'key information of REV , not acknowledged, is an error' '@after REV : code 0x[1-9a-f].*'
check apple 'REV  read right after, without a timeout' \
    '@after REV :6: code 0x0 result 0x00 ms [0-9]{1,2} .*: 01 13 0f 00 00 03'
exit $failed
