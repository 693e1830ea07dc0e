#!/bin/busybox sh
# /init of the throw-away guests qemu_guests.sh boots. It loads the drivers its run needs, runs
# the project's programs, and prints "@" lines for the host to check: each step's exit code, what
# it said and what the kernel shows after it. Then it powers the guest off.
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /tmp /run && mount -t proc proc /proc && mount -t sysfs sysfs /sys &&
    mount -t devtmpfs dev /dev && mount -t tmpfs tmp /tmp && mount -t tmpfs run /run
export PATH=/bin LUMORA_SMC_EMULATOR=
printf '\n@kernel %s\n' "$(uname -r)"  # on a line of its own, after the firmware's output

# Centiseconds since boot.
now() { sed 's/[. ].*//;s/$/0/' /proc/uptime; }

# step LABEL SHOWN COMMAND...: runs COMMAND; one line with its code and output, then SHOWN's text.
step() {
    label=$1 shown=$2
    shift 2
    said=$("$@" 2>&1)
    echo "@$label: code $? said $(echo $said) | $(cat $shown 2>&1)"
}

case $(cat /proc/cmdline) in
*ampw=laptop*)
    for module in $(cat /modules/order); do
        insmod /modules/$module.ko || echo "@insmod $module failed"
    done
    limit=/sys/class/power_supply/BAT0/charge_control_end_threshold
    for i in 1 2 3 4 5 6 7 8 9 10; do [ -e $limit ] || sleep 0.5; done
    # No Apple DMI, but the same emulated SMC: the ports must never be asked for.
    trace="strace -f -qq -A -o /tmp/trace -e trace=ioperm,iopl"
    $trace ampwarden-smc probe >/tmp/probe 2>&1
    code=$?
    $trace ampwarden-smc read BCLM >>/tmp/probe 2>&1
    echo "@probe: code $code port calls $(wc -l </tmp/trace)"
    cat /tmp/probe /tmp/trace
    export AMPWARDEN_SMC_BACKEND=kernel
    for value in 3c 64 32 28 65; do
        step "write BCLM $value" $limit ampwarden-smc write BCLM $value
    done
    step "read BCLM" $limit ampwarden-smc read BCLM
    rmmod fujitsu_laptop battery
    insmod /modules/test_power.ko
    behaviour=/sys/class/power_supply/test_battery/charge_behaviour
    for write in "CH0B 02" "CH0B 00" "CH0C 02" "CH0C 00" "CH0I 01" "CH0I 00"; do
        step "write $write" $behaviour ampwarden-smc write $write
    done
    ;;
*ampw=apple*)
    grep -A1 '^ *0300' /proc/ioports
    start=$(now)
    ampwarden-smc probe >/tmp/probe 2>&1
    echo "@probe: code $? ms $((($(now) - start) * 10))"
    cat /tmp/probe
    # Traced as in the laptop guest, where no such call may be seen.
    strace -qq -o /tmp/trace -e trace=ioperm,iopl ampwarden-test-smc-port-keys "REV :6" "OSK0:32" |
        sed "s/^/@port /"
    echo "@port calls: $(grep -c ioperm /tmp/trace)"
    ampwarden-test-smc-port-keys "REV " "REV :6" | sed "s/^/@after /"
    ;;
esac
echo "@done"
poweroff -f
