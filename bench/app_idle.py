#!/usr/bin/python3
"""The battery app's idle cost next to the helper's: wake-ups and resident memory.

Runs the real helper, the emulated SMC and `ampwardenctl app --keep 75-80` on a private bus
(the end-to-end tests' rig), leaves the battery level alone, and samples the app's context
switches every 20 ms. Two rounds:

- UPower (python3-dbusmock's template): no wake-up at all is expected while the level stays;
- kernel attributes (no UPower; a fake /sys/class/power_supply below AMPWARDEN_SYSFS_ROOT): at
  most one wake-up a minute.

  sudo AMPWARDEN_BIN_DIR=build/bin bench/app_idle.py [--upower-seconds 30] [--sysfs-seconds 130]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests',
                                'e2e'))
import harness  # noqa: E402

SAME_WAKE_UP = 0.2


def status_field(pid, field):
    with open(f'/proc/{pid}/status') as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return -1


def switches(pid):
    total = 0
    for task in os.listdir(f'/proc/{pid}/task'):
        with open(f'/proc/{pid}/task/{task}/status') as status:
            for line in status:
                if 'ctxt_switches' in line:
                    total += int(line.split()[1])
    return total


def wake_ups(pid, seconds):
    """Times (seconds into the idle time) at which the process woke up."""
    found, last_rise, before = [], -1.0, switches(pid)
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        time.sleep(0.02)
        now, count = time.monotonic() - start, switches(pid)
        if count != before:
            if now - last_rise > SAME_WAKE_UP:
                found.append(round(now, 2))
            last_rise, before = now, count
    return found


def fake_sysfs(root):
    for name, files in (('BAT0', {'type': 'Battery', 'capacity': '78', 'status': 'Charging'}),
                        ('AC', {'type': 'Mains', 'online': '1'})):
        folder = os.path.join(root, 'sys/class/power_supply', name)
        os.makedirs(folder)
        for file, text in files.items():
            with open(os.path.join(folder, file), 'w') as out:
                out.write(text + '\n')


def round_(label, seconds, upower):
    tmp = tempfile.mkdtemp(prefix='ampwarden-bench-')
    os.chmod(tmp, 0o755)
    rig = harness.Rig(tmp)
    try:
        rig.start_all()
        env = {'XDG_CONFIG_HOME': tmp, 'XDG_RUNTIME_DIR': tmp}
        if upower:
            rig.start_service('upower', [harness.PYTHON, '-m', 'dbusmock', '--system',
                                         '--template', 'upower'])
            harness.wait_until(lambda: rig.client.name_has_owner('org.freedesktop.UPower'), 10)
            mock = harness.dbus.Interface(rig.client.connection.get_object(
                'org.freedesktop.UPower', '/org/freedesktop/UPower', introspect=False),
                harness.MOCK_INTERFACE)
            mock.AddAC('ac', 'Mains')
            mock.SetupDisplayDevice(2, 1, 78.0, 50.0, 70.0, 10.0, 0, 0, True, 'battery', 1)
        else:
            env['AMPWARDEN_SYSFS_ROOT'] = os.path.join(tmp, 'root')
            fake_sysfs(env['AMPWARDEN_SYSFS_ROOT'])
        helper = rig.start_helper()
        app = rig.start_service('battery-app', [rig.program('ampwardenctl'), 'app', '--keep',
                                                '75-80'], env_overrides=env)
        rig.recorder.wait_for(harness.OPEN_ANSWER, timeout=10)
        time.sleep(1)  # let it settle
        woke = wake_ups(app.pid, seconds)
        print(f'{label}: idle {seconds:.0f} s, {len(woke)} wake-ups {woke}; '
              f'app VmRSS {status_field(app.pid, "VmRSS:")} KiB '
              f'(VmHWM {status_field(app.pid, "VmHWM:")}), '
              f'helper VmRSS {status_field(helper.pid, "VmRSS:")} KiB')
        return woke
    finally:
        rig.stop_all()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--upower-seconds', type=float, default=30)
    parser.add_argument('--sysfs-seconds', type=float, default=130)
    args = parser.parse_args()
    upower = round_('UPower', args.upower_seconds, True)
    sysfs = round_('kernel attributes', args.sysfs_seconds, False)
    allowed = int(args.sysfs_seconds // 60) + 1
    print(f'Target: no wake-ups on the UPower path: {"met" if not upower else "NOT met"}')
    print(f'Target: at most one wake-up a minute on the attribute path ({allowed} in '
          f'{args.sysfs_seconds:.0f} s): {"met" if len(sysfs) <= allowed else "NOT met"}')
    return 0 if not upower and len(sysfs) <= allowed else 1


if __name__ == '__main__':
    sys.exit(main())
