#!/usr/bin/python3
"""The Debian packages on a real systemd, booted as PID 1 in fresh namespaces over an in-memory
copy of this machine (boot.sh), with the SMC emulator standing in for the SMC. The booted system
dies with this script (parent-death signal on unshare). Needs root, unshare/nsenter and systemd,
else exits 77 (skipped). Usage: installed_system_test.py DIR, the folder that holds the packages
(scripts/build-deb.sh).
"""

import json
import os
import shutil
import subprocess
import sys
import time

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
UNIT = 'lumora.Ampwarden.service'
APP_UNIT = 'lumora.Battery.service'
USER = 'tester'
OTHER = 'other'  # a user with no session
HELPER = '/usr/libexec/lumora/Ampwarden/ampwarden'
SOCKET = '/run/lumora/smc-emulator.sock'
SMC_TOOL = '/root/ampwarden-smc'  # a copy that outlives the package
PACKAGES = ('ampwarden', 'ampwarden-smc-tools')  # boot.sh puts them in /root/PACKAGE.deb
DEB, TOOLS_DEB = (f'/root/{package}.deb' for package in PACKAGES)
NAMESPACES = ['--pid', '--fork', '--mount', '--uts', '--ipc', '--net', '--cgroup']
INSIDE_ENV = ['env', '-i', 'PATH=/usr/sbin:/usr/bin:/sbin:/bin', 'LANG=C.UTF-8']
NORMAL_CHARGING = {'CH0B': 0, 'CH0C': 0, 'CH0I': 0, 'BCLM': 100}
HELD = {'CH0B': 2, 'CH0C': 2, 'CH0I': 1, 'BCLM': 50}
# sh -c IN_SESSION LEADER COMMAND...: runs COMMAND in the cgroup of the session whose leader is
# LEADER, where polkit (through logind) finds a process's session, as for the user's own programs.
IN_SESSION = ('while IFS=: read -r id controllers path; do case "$id:$controllers" in '
              '*:name=systemd) root=/sys/fs/cgroup/systemd ;; '
              '0:) root=/sys/fs/cgroup/unified; [ -d $root ] || root=/sys/fs/cgroup ;; '
              '*) continue ;; esac; echo $$ > "$root$path/cgroup.procs" || exit 1; '
              'done < /proc/$0/cgroup; exec "$@"')


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        check(time.monotonic() < deadline, f'{what}: not within {timeout} s')
        time.sleep(0.1)
    return value


def check(condition, message):
    if not condition:
        raise AssertionError(message)


class Machine:
    """A booted system: commands run inside it (nsenter), and poweroff() (or our death) ends it."""

    def __init__(self, debs, log_path):
        with open(log_path, 'w') as log:
            self.unshare = subprocess.Popen(
                ['setpriv', '--pdeathsig', 'KILL', 'unshare', *NAMESPACES, '--kill-child=SIGKILL',
                 'sh', os.path.join(HERE, 'boot.sh'), *debs], stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT)
        self.pid = wait_until(self._systemd_pid, 30, 'systemd did not start')

    def _systemd_pid(self):
        check(self.unshare.poll() is None, 'the boot script ended')
        pid = self.unshare.pid
        try:
            with open(f'/proc/{pid}/task/{pid}/children') as children:
                child = int(children.read().split()[0])
            with open(f'/proc/{child}/comm') as comm:
                return child if comm.read().strip() == 'systemd' else None
        except (OSError, IndexError, ValueError):
            return None

    def run(self, *command, user=None, ok=True, timeout=60):
        as_user = ['runuser', '-u', user, '--'] if user else []
        result = subprocess.run(['nsenter', '-t', str(self.pid), '-a', *INSIDE_ENV, *as_user,
                                 *command], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=timeout)
        if ok:
            check(result.returncode == 0, f'{" ".join(command)} exited {result.returncode}:\n'
                                          f'{result.stdout}{result.stderr}')
        return result

    def out(self, *command, **options):
        return self.run(*command, **options).stdout.strip()

    def succeeds(self, *command):
        return self.run(*command, ok=False).returncode == 0

    def dpkg(self, *args):
        return self.run('dpkg', *args, timeout=120)

    def keys(self):
        return {key: int(self.out(SMC_TOOL, 'read', key).split('\t')[3], 16)
                for key in NORMAL_CHARGING}

    def service(self, *properties):
        shown = self.out('systemctl', 'show', UNIT, *(f'--property={p}' for p in properties))
        return dict(line.split('=', 1) for line in shown.splitlines())

    def poweroff(self):
        """Ends the system if it still runs; True if it powered off when asked."""
        if self.unshare.poll() is not None:
            return False
        try:
            self.run('systemctl', 'poweroff', ok=False, timeout=10)
            return self.unshare.wait(30) is not None
        except subprocess.TimeoutExpired:
            self.unshare.kill()  # --kill-child takes systemd, and so the namespaces, with it
            self.unshare.wait()
            return False


def missing_prerequisite():
    """Why the test cannot run here, or None."""
    if os.geteuid() != 0:
        return 'needs root'
    for program in ('setpriv', 'unshare', 'nsenter', 'runuser', 'useradd', '/lib/systemd/systemd'):
        if not shutil.which(program):
            return f'{program} is not installed'
    probe = ('mount -t tmpfs probe /mnt && mkdir /mnt/u /mnt/w /mnt/r /mnt/c && '
             'mount -t overlay overlay -o lowerdir=/,upperdir=/mnt/u,workdir=/mnt/w /mnt/r && '
             'mount -t cgroup2 cgroup2 /mnt/c')
    probed = subprocess.run(['unshare', *NAMESPACES, 'sh', '-c', probe], capture_output=True,
                            text=True, timeout=30)
    if probed.returncode != 0:
        return f'the namespaces or mounts are not available: {probed.stderr.strip()}'


def packages(folder):
    debs = {name.split('_')[0]: os.path.join(folder, name) for name in os.listdir(folder)
            if name.endswith('.deb')}
    check(all(package in debs for package in PACKAGES), f'{folder} holds {sorted(debs)}')
    return [debs[package] for package in PACKAGES]


def journal(machine, identifier):
    lines = machine.out('journalctl', '-b', '-o', 'json', '--no-pager',
                        f'SYSLOG_IDENTIFIER={identifier}').splitlines()
    return [json.loads(line) for line in lines]


def answer(machine):
    """The helper's status answer to the user; a query posted before the helper has subscribed
    is lost, as it would be for the app, so it is asked again."""
    return wait_until(lambda: machine.run('ampwardenctl', '--json', '--timeout', '1',
                                          'daemon-info', user=USER, ok=False).stdout,
                      15, 'the helper did not answer the user')


def scenario(machine):
    """Each step returns what it saw; a failed check raises."""
    # Until systemd listens, systemctl fails at once; then --wait waits for the boot to end.
    state = wait_until(lambda: machine.out('systemctl', 'is-system-running', '--wait', ok=False,
                                           timeout=120) in ('running', 'degraded') and
                       machine.out('systemctl', 'is-system-running', ok=False), 120,
                       'the system did not come up')
    yield f'booted: {state}'

    machine.run('useradd', '--create-home', USER)
    # A container image's policy-rc.d forbids starting services (an installed machine has
    # none); rebuilding the manual page index takes seconds per dpkg run and is not under test.
    machine.run('rm', '-f', '/usr/sbin/policy-rc.d', '/var/lib/man-db/auto-update')
    machine.dpkg('-i', DEB)
    service = machine.service('UnitFileState', 'ActiveState', 'MainPID')
    check(service['UnitFileState'] == 'enabled' and service['ActiveState'] == 'active', service)
    machine.dpkg('-i', TOOLS_DEB)
    machine.run('cp', '/usr/bin/ampwarden-smc', SMC_TOOL)
    machine.run('systemd-run', '--unit=smc-emulator', '/usr/bin/ampwarden-smc-emulator')
    wait_until(lambda: machine.succeeds('test', '-S', SOCKET), 10, 'the SMC emulator did not serve')
    yield 'dpkg -i ampwarden (alone): service enabled and active; then the SMC tools'

    silent = machine.run('ampwardenctl', '--timeout', '2', 'daemon-info', user=USER, ok=False)
    check(silent.returncode == 1, f'answered before anyone logged in: {silent.stdout}')
    # pam_systemd makes it a session on seat0; the session stays when the command returns.
    machine.run('sh', '-c', f'XDG_SEAT=seat0 XDG_VTNR=0 setsid -f runuser -l {USER} '
                '-c "sleep 600" >/dev/null 2>&1')
    session = wait_until(lambda: machine.out('loginctl', 'show-seat', 'seat0',
                                             '--property=ActiveSession', '--value'), 10,
                         'no active session on seat0')
    info = json.loads(answer(machine))
    check(info['values']['status'] == 1 and info['values']['version'], info)
    yield f'answers {USER} only once logged in on seat0: {info["values"]}'

    # The battery app as the user's service: installed, not enabled, started by hand.
    user = ['systemctl', '--user', '-M', f'{USER}@']
    check(machine.out(*user, 'is-enabled', APP_UNIT, ok=False) == 'disabled', 'app enabled')
    machine.run(*user, 'start', APP_UNIT)
    wait_until(lambda: machine.succeeds('busctl', '--system', 'status', 'lumora.Battery'), 15,
               'the user service does not own lumora.Battery')
    # Its interface on the user's own session bus, which the user's service manager starts.
    session_bus = ['busctl', '--user', '-M', f'{USER}@']
    wait_until(lambda: machine.succeeds(*session_bus, 'status', 'lumora.Battery'), 15,
               'the app does not own lumora.Battery on the session bus')
    served = machine.out(*session_bus, 'introspect', 'lumora.Battery', '/lumora/Battery')
    check('.SetKeep' in served and '.Holding' in served, served)
    runtime = f'XDG_RUNTIME_DIR=/run/user/{machine.out("id", "-u", USER)}'
    machine.run('env', runtime, 'ampwardenctl', 'keep', '75-80', user=USER)
    conf = f'/home/{USER}/.config/lumora/battery.conf'
    check(machine.out('cat', conf) == 'keep = 75-80', machine.out('cat', conf))
    held = machine.out(*session_bus, 'get-property', 'lumora.Battery', '/lumora/Battery',
                       'lumora.Battery1', 'Keep')
    check(held == '(uu) 75 80', held)
    machine.run(*user, 'stop', APP_UNIT)
    yield ('the user service of the app owns lumora.Battery on the system bus and on the '
           'session bus, where `ampwardenctl keep` changes its setting and its file')

    # A bad battery.conf fails the same way every time: the unit stays failed, not restarting.
    machine.run('sh', '-c', 'mkdir -p "${0%/*}" && echo "keep = 80-75" >"$0"', conf, user=USER)
    machine.run(*user, 'start', APP_UNIT, ok=False)
    shown = wait_until(lambda: (s := machine.out(*user, 'show', APP_UNIT, '--property=ActiveState',
                                                 '--property=NRestarts')) and 'ActiveState=failed'
                       in s and s, 10, 'a bad battery.conf did not leave the app failed')
    check('NRestarts=0' in shown, shown)
    machine.run(*user, 'reset-failed', APP_UNIT)
    machine.run('rm', conf)
    yield 'a bad battery.conf leaves the user service failed, not restarting'

    machine.run('ampwardenctl', 'open')
    machine.run('ampwardenctl', 'charge', 'off')
    wait_until(lambda: machine.keys()['CH0B'] == 2, 5, 'root did not stop charging')
    leader = machine.out('loginctl', 'show-session', session, '--property=Leader', '--value')
    machine.run('sh', '-c', IN_SESSION, leader, 'runuser', '-u', USER, '--', 'ampwardenctl',
                '--timeout', '10', 'charge', 'on')
    wait_until(lambda: machine.keys()['CH0B'] == 0, 5, f'{USER}\'s charge on was not carried out')
    machine.run('useradd', OTHER)
    refused = machine.run('ampwardenctl', '--timeout', '2', 'charge', 'off', user=OTHER, ok=False)
    check(refused.returncode == 1 and machine.keys()['CH0B'] == 0, f'{OTHER} stopped charging')
    refusal = wait_until(lambda: [e['MESSAGE'] for e in journal(machine, 'Ampwarden')
                                  if 'refused' in e['MESSAGE']], 5, 'no refusal logged')[-1]
    check('by polkit' in refusal, f'not refused by polkit: {refusal}')
    yield f'polkit lets {USER} in, in the active session, and refuses {OTHER}'

    pid = machine.service('MainPID')['MainPID']
    lines = journal(machine, 'Ampwarden')
    syslog = [e for e in lines if e.get('_PID') == pid and e.get('_TRANSPORT') == 'syslog']
    stdout = [e for e in lines if e.get('_TRANSPORT') == 'stdout']
    check(any(e['PRIORITY'] == '5' and '停止充电' in e['MESSAGE'] for e in syslog),
          f'no notice for stopped charging: {syslog}')
    check(stdout and all(e['PRIORITY'] == '6' for e in stdout), f'standard output: {stdout}')
    check(all(e['PRIORITY'] != '7' for e in lines), 'the watchdog\'s debug lines were stored')
    yield 'journal: one identifier; system log lines at notice, standard output at info, no debug'

    def restarted():
        shown = machine.service('ActiveState', 'MainPID')
        return shown if shown['ActiveState'] == 'active' and shown['MainPID'] != pid else None

    # The administrator's switch for the watchdog's lines, as the README gives it.
    drop_in = f'/etc/systemd/system/{UNIT}.d/debug.conf'
    machine.run('sh', '-c', 'mkdir -p "${0%/*}" && printf "[Service]\\nLogLevelMax=debug\\n" >"$0"',
                drop_in)
    machine.run('systemctl', 'daemon-reload')
    machine.run('kill', '-KILL', pid)
    restarted = wait_until(restarted, 15, 'not restarted')
    answer(machine)
    wait_until(lambda: any(e['MESSAGE'] == 'Timer fired!' and e['PRIORITY'] == '7'
                           for e in journal(machine, 'Ampwarden')
                           if e.get('_PID') == restarted['MainPID']), 25,
               'no watchdog line with LogLevelMax=debug')
    machine.run('rm', drop_in)
    machine.run('systemctl', 'daemon-reload')
    yield 'killed, restarted by systemd, answers again; a drop-in stores the watchdog\'s lines'

    for key, value in HELD.items():
        machine.run(SMC_TOOL, 'write', key, f'{value:02x}')
    machine.dpkg('-i', DEB)
    upgraded = machine.service('ActiveState', 'MainPID')
    check(upgraded['ActiveState'] == 'active' and upgraded['MainPID'] != restarted['MainPID'],
          f'not restarted by the upgrade: {upgraded}')
    check(machine.keys() == HELD, f'the upgrade changed the charge state: {machine.keys()}')
    machine.run('systemctl', 'disable', '--now', UNIT)
    machine.dpkg('-i', DEB)
    kept = machine.service('UnitFileState', 'ActiveState')
    check(kept == {'UnitFileState': 'disabled', 'ActiveState': 'inactive'}, kept)
    yield 'upgrade: restarted, charge state kept; a disabled service stays so'

    machine.run('systemctl', 'enable', '--now', UNIT)
    machine.dpkg('-r', 'ampwarden-smc-tools')  # the running emulator stays
    machine.dpkg('-r', 'ampwarden')
    check(machine.keys() == NORMAL_CHARGING, f'dpkg -r left {machine.keys()}')
    gone = machine.service('LoadState', 'ActiveState')
    check(gone == {'LoadState': 'not-found', 'ActiveState': 'inactive'}, gone)
    check(not machine.succeeds('test', '-e', HELPER), 'the helper is left')
    yield 'dpkg -r: service stopped and gone, normal charging restored without the SMC tools'

    machine.dpkg('-i', DEB)
    answer(machine)
    pid = machine.service('MainPID')['MainPID']
    machine.run('ampwardenctl', 'uninstall')
    installed = [HELPER, '/usr/bin/ampwardenctl', f'/usr/lib/systemd/system/{UNIT}',
                 f'/etc/systemd/system/multi-user.target.wants/{UNIT}']
    wait_until(lambda: machine.run('ls', '-d', *installed, ok=False).stdout == '', 10,
               'the self-uninstall left ' + machine.out('ls', '-d', *installed, ok=False))
    check(machine.service('MainPID')['MainPID'] == pid, 'the uninstall ended the helper')
    yield 'the self-uninstall removed the installation'

    purged = machine.dpkg('--purge', 'ampwarden')
    check(purged.stderr.count('could not set') == 4, purged.stderr)
    check(not machine.succeeds('deb-systemd-helper', 'debian-installed', UNIT) and
          machine.service('LoadState')['LoadState'] == 'not-found',
          'the purge left the enablement')
    yield 'dpkg --purge goes on without the SMC tool, forgets the enablement'


def main():
    folder = os.path.abspath(sys.argv[1])
    if reason := missing_prerequisite():
        print(f'skipped: {reason}')
        return SKIPPED
    with open('/proc/self/mountinfo') as mounts:
        host_mounts = mounts.read()
    # Next to the packages, not in /tmp: a killed run leaves it for the next run to clear.
    tmp = os.path.join(folder, 'system-test')
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    machine, status, started = None, 1, time.monotonic()
    try:
        machine = Machine(packages(folder), os.path.join(tmp, 'boot.log'))
        for step in scenario(machine):
            print(f'ok {time.monotonic() - started:5.1f} s  {step}', flush=True)
        check(machine.poweroff(), 'the system did not power off when asked')
        print(f'ok {time.monotonic() - started:5.1f} s  powered off')
        status = 0
    except (AssertionError, subprocess.TimeoutExpired) as failure:
        print(f'FAILED: {failure}')
        running = machine and machine.unshare.poll() is None
        print(machine.out('journalctl', '-b', '--no-pager', '-n', '60', ok=False) if running else
              'The boot:\n' + subprocess.run(['tail', '-n', '30', os.path.join(tmp, 'boot.log')],
                                              capture_output=True, text=True).stdout)
    finally:
        if machine:
            machine.poweroff()
        shutil.rmtree(tmp, ignore_errors=True)
    with open('/proc/self/mountinfo') as mounts:
        if mounts.read() != host_mounts:
            print('FAILED: the host\'s mounts changed')
            status = 1
    return status


if __name__ == '__main__':
    sys.exit(main())
