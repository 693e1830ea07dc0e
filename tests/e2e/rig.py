"""The end-to-end rig: the real programs on a private bus, with a fake logind, the answer recorder
(ampwardenctl watch) and the SMC emulator, all in a directory of the rig's own. Every child's
bus, SMC socket, uninstall root and XDG paths point there, never at the real system. Every child
dies with the process that started it.
"""

import ctypes
import os
import pty
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import tty

from bus import (GLOBAL_STATUS_ANSWER, LOGIND, LOGIND_PATH, AnswerRecorder, BusClient,
                 LoginManager, Record, wait_until)

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = '/usr/bin/python3'
AS_NOBODY = ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']
CONSOLE_USER = ('alice', 1000)  # seat0's user: name and uid
AS_CONSOLE_USER = ['setpriv', f'--reuid={CONSOLE_USER[1]}', f'--regid={CONSOLE_USER[1]}',
                   '--clear-groups']
PROGRAMS = ('ampwarden', 'ampwardenctl', 'ampwarden-smc', 'ampwarden-smc-emulator')
# The keys charge control writes, and what closing the connection leaves in them.
CHARGE_KEYS = ('BCLM', 'CH0B', 'CH0C', 'CH0I')
RESET_VALUES = {'BCLM': 100, 'CH0B': 0, 'CH0C': 0, 'CH0I': 0}


class HarnessError(Exception):
    """Something the rig needs did not start or answer."""


def provide_console_user():
    """Makes the console user's uid known to this process and its children where the machine
    has no such user (a fresh machine has only root), since the bus daemon refuses a connection
    whose uid it cannot look up. The entry is added in a mount namespace of this process's own,
    so the machine's user database is never changed and nothing is left to remove."""
    name, uid = CONSOLE_USER
    try:
        pwd.getpwuid(uid)
        return
    except KeyError:
        pass
    if ctypes.CDLL(None, use_errno=True).unshare(0x00020000) != 0:  # CLONE_NEWNS
        raise HarnessError(f'no user {uid}, and no mount namespace to add one in: '
                           f'{os.strerror(ctypes.get_errno())}')
    # Private first, or the bind mounts below would show in the machine's own namespace.
    subprocess.run(['mount', '--make-rprivate', '/'], check=True)
    for path, entry in (('/etc/passwd', f'{name}:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin'),
                        ('/etc/group', f'{name}:x:{uid}:')):
        with open(path) as original, tempfile.NamedTemporaryFile('w', delete=False) as copy:
            copy.write(original.read().rstrip('\n') + f'\n{entry}\n')
        os.chmod(copy.name, 0o644)
        try:
            subprocess.run(['mount', '--bind', copy.name, path], check=True)
        finally:
            os.unlink(copy.name)  # the mount keeps the file for as long as this namespace lives


def reachable_by_all(bin_dir, tmp):
    """A folder with the programs in `bin_dir` that every user can run: the rig runs some as
    other users, who cannot pass a folder closed to them (a build below /root, 0700 on Debian).
    Where `bin_dir` is closed, its programs are linked (or copied) into `tmp`."""
    path = os.path.abspath(bin_dir)
    while path != os.path.dirname(path) and os.stat(path).st_mode & 0o001:
        path = os.path.dirname(path)
    if os.stat(path).st_mode & 0o001:
        return bin_dir
    reachable = os.path.join(tmp, 'bin')
    os.makedirs(reachable, mode=0o755)
    for name in PROGRAMS:
        source, target = os.path.join(bin_dir, name), os.path.join(reachable, name)
        try:
            os.link(source, target)
        except OSError:  # another file system
            shutil.copy2(source, target)
    return reachable


def dies_with_test(argv):
    """argv killed by the kernel when the test dies, so no daemon outlives it. A change of user
    clears that signal, so a setpriv already in front sets it after the change."""
    return ['setpriv', '--pdeathsig', 'KILL', *argv[argv[:1] == ['setpriv']:]]


class Service:
    """A child process whose output is kept, line by line, to wait on. Standard error may be a
    terminal, for programs that mirror their log only to one."""

    def __init__(self, name, argv, env, stderr_tty=False, on_line=None):
        """`on_line` is called with each line of standard output as it comes."""
        self.name, self.argv = name, argv
        self.lines = {'stdout': Record(), 'stderr': Record()}
        out_read, out_write = os.pipe()
        err_read, err_write = pty.openpty() if stderr_tty else os.pipe()
        if stderr_tty:
            tty.setraw(err_write)  # no \r\n translation
        try:
            self.process = subprocess.Popen(dies_with_test(argv), env=env, stdin=subprocess.DEVNULL,
                                            stdout=out_write, stderr=err_write,
                                            start_new_session=True)
        finally:
            os.close(out_write)
            os.close(err_write)
        self._pumps = [threading.Thread(target=self._copy_lines, args=args, daemon=True)
                       for args in ((out_read, 'stdout', on_line), (err_read, 'stderr', None))]
        for pump in self._pumps:
            pump.start()

    pid = property(lambda self: self.process.pid)

    def running(self):
        return self.process.poll() is None

    def output(self, stream='stdout'):
        return '\n'.join(self.lines[stream].since())

    def wait_for_line(self, predicate, timeout, stream='stdout'):
        """The first line that satisfies predicate; None if none came in time or at all."""
        found = self.lines[stream].wait(lambda lines: list(filter(predicate, lines))[:1], timeout)
        return found[0] if found else None

    def wait(self, timeout):
        """The exit status once its output is read to the end, or None if it still runs."""
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        for pump in self._pumps:
            pump.join(2.0)
        return status

    def stop(self, sig=signal.SIGTERM, grace=3.0):
        if self.running():
            self.process.send_signal(sig)
            if self.wait(grace) is None:
                self.process.kill()
        self.wait(None)

    def _copy_lines(self, fd, stream, on_line):
        try:
            with open(fd, 'rb') as pipe:
                for raw in pipe:
                    self.lines[stream].add(line := raw.decode('utf-8', 'replace').rstrip('\n'))
                    if on_line:
                        on_line(line)
        except OSError:  # a terminal whose last writer has gone reports EIO
            pass
        self.lines[stream].close()


class SmcWriteLog(Record):
    """The keys the emulator reports written ("write KEY HEXBYTES"), in order, as (key, first
    byte) pairs."""

    last = 0.0  # when the last write came

    def take_line(self, line):
        if match := re.match(r'^write ("[^"]*"|\S+) ([0-9a-fA-F]*)-?$', line):
            data, self.last = bytes.fromhex(match.group(2)), time.monotonic()
            self.add((match.group(1).strip('"').ljust(4), data[0] if data else None))

    writes_since = pairs_since = Record.since

    def wait_for(self, key, value, timeout=5.0, since=0):
        self.wait(lambda items: (key, value) in items[since:], timeout, f'write of {key}={value}')

    def wait_quiet(self, quiet=0.7, timeout=5.0):
        """Until no write for `quiet` s: the helper's delayed writes come 0.5 s after a command."""
        started = time.monotonic()
        self.wait(lambda items: time.monotonic() - max(self.last, started) >= quiet, timeout)


def installed_paths(bin_dir=None):
    """What the build under test installs, and its uninstall removes, by absolute path (from
    its generated BuildInfo.h): the helper, the tools, the units and the policies."""
    header = os.path.join(bin_dir or os.environ.get('AMPWARDEN_BIN_DIR', ''), os.pardir, 'src',
                          'generated', 'BuildInfo.h')
    with open(header) as file:
        text = file.read()
    k = dict(re.findall(r'\b(k\w+) = "([^"]*)"', text))
    tools = re.search(r'\bkToolPrograms\[\] = \{([^}]*)\}', text).group(1)
    return {'helper': os.path.join(k['kHelperDir'], 'ampwarden'),
            'unit': os.path.join(k['kUnitDir'], k['kServiceName']),
            'user unit': os.path.join(k['kUserUnitDir'], k['kUserServiceName']),
            'bus policy': os.path.join(k['kDbusPolicyDir'], k['kDbusPolicyName']),
            'polkit policy': os.path.join(k['kPolkitActionsDir'], k['kPolkitPolicyName']),
            **{name: os.path.join(k['kBinDir'], name) for name in re.findall(r'"([^"]+)"', tools)}}


class FakeInstallation:
    """An installed, enabled helper below a scratch root, as the package leaves it."""

    def __init__(self, root, bin_dir=None):
        paths = installed_paths(bin_dir)
        helper_dir = os.path.dirname(root + paths['helper'])
        wants_link = os.path.join(root, 'etc/systemd/system/multi-user.target.wants',
                                  os.path.basename(paths['unit']))
        # The vendor's folder goes too once the helper's was the last thing in it.
        self.items = [*(root + path for path in paths.values()), helper_dir, wants_link,
                      os.path.dirname(helper_dir)]
        contents = {paths['helper']: '#!/bin/sh\nexit 0\n', paths['unit']: f'[Service]\nExecStart='
                    f'{paths["helper"]}\n[Install]\nWantedBy=multi-user.target\n'}
        for path in paths.values():
            os.makedirs(os.path.dirname(root + path), exist_ok=True)
            with open(root + path, 'w') as file:
                file.write(contents.get(path, ''))
        os.makedirs(os.path.dirname(wants_link), exist_ok=True)
        os.symlink(paths['unit'], wants_link)

    def left(self):
        return [path for path in self.items if os.path.lexists(path)]


class Rig:
    """The programs of one test or demo, in the directory `tmp`, found in `bin_dir`."""

    def __init__(self, tmp, bin_dir=None):
        provide_console_user()
        self.tmp = tmp
        self.bin_dir = bin_dir or os.environ.get('AMPWARDEN_BIN_DIR', '')
        self.programs = reachable_by_all(self.bin_dir, tmp)
        self.services = []
        self.smc_socket = os.path.join(tmp, 'smc-emulator.sock')
        # A blank and a quote, so the uninstall's command lines must quote it.
        self.install_root = os.path.join(tmp, "install root's")
        os.makedirs(self.install_root, exist_ok=True)
        self.bus_address = 'unix:path=' + os.path.join(tmp, 'system_bus_socket')
        self.client = self.monitor = self.recorder = self.logind = self.emulator = None
        self.session_bus = None
        self.helper = None
        self.smc_writes = SmcWriteLog()

    def program(self, name):
        return os.path.join(self.programs, name)

    def child_env(self, overrides=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith('DBUS_')}
        env.update(DBUS_SYSTEM_BUS_ADDRESS=self.bus_address, LUMORA_SMC_EMULATOR=self.smc_socket,
                   AMPWARDEN_UNINSTALL_ROOT=self.install_root,
                   # The battery app's settings and state: the rig's, never the user's.
                   XDG_CONFIG_HOME=os.path.join(self.tmp, 'config'), XDG_RUNTIME_DIR=self.tmp,
                   XDG_STATE_HOME=os.path.join(self.tmp, 'state'))
        return {**env, **(overrides or {})}

    def start_service(self, name, argv, env_overrides=None, ready=None, **options):
        """A Service, once it has printed a line that satisfies `ready` if that is given."""
        service = Service(name, argv, self.child_env(env_overrides), **options)
        self.services.append(service)
        if ready and not service.wait_for_line(ready, 10):
            raise HarnessError(f'{name} did not start: {service.output("stderr")[-300:]}')
        return service

    def start_all(self, session=('alice', 'user')):
        self.start_bus()
        self.recorder = self.start_recorder()
        self.logind = self.start_logind()
        if session:
            self.logind.add_session('c1', session[0], CONSOLE_USER[1], session[1])
        self.emulator = self.start_emulator()

    def start_bus(self):
        self.start_service('dbus-daemon', [
            'dbus-daemon', '--nofork', f'--config-file={os.path.join(HERE, "system-bus.conf")}',
            f'--address={self.bus_address}', '--print-address=1'], ready=lambda line: True)
        self.client = BusClient(self.bus_address)
        # Signals, refusals and the helper's questions to logind.
        self.monitor = self.start_service('bus-monitor', [
            'dbus-monitor', '--address', self.bus_address, "type='signal'", "type='error'",
            "type='method_call',destination='org.freedesktop.login1'"], ready=lambda line: True)

    def start_mock(self, template, name, path, *options, session=None):
        """python-dbusmock's `template` on the bus as `name` (on the session bus at the address
        `session` if given); the mock interface at `path`."""
        client = self.session_bus if session else self.client
        self.start_service(template, [PYTHON, '-m', 'dbusmock', '--session' if session else
                                      '--system', '--template', template, *options],
                           env_overrides={'DBUS_SESSION_BUS_ADDRESS': session} if session else None)
        if not wait_until(lambda: client.name_has_owner(name), 10):
            raise HarnessError(f'the fake {template} did not appear on the bus')
        return client.interface(name, path)

    def start_session_bus(self):
        """A session bus of the test's own; returns its address. `session_bus` is the test's
        connection to it."""
        address = 'unix:path=' + os.path.join(self.tmp, 'session_bus_socket')
        self.start_service('session-bus', ['dbus-daemon', '--session', '--nofork',
                                           f'--address={address}', '--print-address=1'],
                           ready=lambda line: True)
        self.session_bus = BusClient(address)
        return address

    def start_recorder(self):
        """`ampwardenctl watch`, once its match is in force (it says so on standard error)."""
        recorder = AnswerRecorder()
        watch = self.start_service('recorder', [self.program('ampwardenctl'), 'watch', '--json'],
                                   on_line=recorder.take_line)
        if not watch.wait_for_line(lambda line: 'watching' in line, 10, stream='stderr'):
            raise HarnessError(f'ampwardenctl watch did not start: {watch.output("stderr")}')
        return recorder

    def start_logind(self):
        self.start_mock('logind', LOGIND, LOGIND_PATH)
        return LoginManager(self.client)

    def start_emulator(self):
        return self.start_service('smc-emulator', [self.program('ampwarden-smc-emulator'),
                                                   '--socket', self.smc_socket],
                                  on_line=self.smc_writes.take_line, ready=lambda line: True)

    def replace_emulator(self, edit):
        """The emulator started again on its socket, its key table passed through `edit` (a
        function of the table file's text)."""
        keys = os.path.join(self.tmp, 'smc-keys')
        with open(keys, 'w') as file:
            file.write(edit(self.run_tool('ampwarden-smc-emulator', '--print-keys').stdout))
        self.emulator.stop()
        self.emulator = self.start_service('smc-emulator', [
            self.program('ampwarden-smc-emulator'), '--socket', self.smc_socket, '--keys', keys],
            on_line=self.smc_writes.take_line, ready=lambda line: True)

    def start_helper(self, as_nobody=False, wait_started=True, env_overrides=None):
        argv = AS_NOBODY * as_nobody + [self.program('ampwarden')]
        self.helper = self.start_service('helper', argv, env_overrides, stderr_tty=True)
        if wait_started:
            self.recorder.wait_for(GLOBAL_STATUS_ANSWER, 10)
        return self.helper

    def ctl(self, *args, **options):
        return self.run_tool('ampwardenctl', *args, **options)

    def run_tool(self, program, *args, user=(), timeout=30, env_overrides=None):
        """The program run to its end, as `user` (a setpriv command line) if given."""
        return subprocess.run(dies_with_test([*user, self.program(program), *args]),
                              env=self.child_env(env_overrides), capture_output=True, text=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def smc_values(self, keys=CHARGE_KEYS):
        """The first value byte of each key now: "read" prints key, type, size, hex bytes, value."""
        values = {}
        for key in keys:
            result = self.run_tool('ampwarden-smc', 'read', key)
            if result.returncode:
                raise HarnessError(f'ampwarden-smc read {key}: {result.stderr.strip()}')
            values[key] = bytes.fromhex(result.stdout.split('\t')[3])[0]
        return values

    def stop_all(self):
        for service in reversed(self.services):
            service.stop()
        for client in (self.client, self.session_bus):
            if client:
                client.connection.close()

    def write_logs(self, out):
        """Every program's output, the helper's first and the bus log last, 150 lines a stream."""
        order = {'helper': 0, 'bus-monitor': 2}
        for service in sorted(self.services, key=lambda s: order.get(s.name, 1)):
            out.write(f'----- {service.name} (exit status {service.process.returncode}) -----\n')
            for stream, record in service.lines.items():
                out.write(f'--- {stream}\n' + '\n'.join(record.since()[-150:]) + '\n')
        out.flush()
