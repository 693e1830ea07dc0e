"""The end-to-end harness: the real programs on a private bus.

`Rig` sets up, in a directory of its own:

- a dbus-daemon with a system-like policy (system-bus.conf, which includes the helper's own
  bus policy from packaging/dbus), and dbus-monitor writing the bus log;
- python3-dbusmock's logind template on that bus, with seat0 and an active user session unless
  asked for something else;
- a recorder that captures every answer with its D-Bus types (recorder.py);
- the SMC emulator daemon on a socket in the directory, with a log of every key written;
- on request: the helper (as root, or as "nobody"), ampwardenctl, ampwarden-smc, raw commands.

`HelperTestCase` gives every test a fresh rig and stops and removes it afterwards, failed or
not; a failed test prints the logs. The walk-through (scripts/walkthrough.py) uses the same
rig. Nothing touches the real system bus or the real install paths: every child gets
DBUS_SYSTEM_BUS_ADDRESS, LUMORA_SMC_EMULATOR, AMPWARDEN_UNINSTALL_ROOT, XDG_CONFIG_HOME and
XDG_RUNTIME_DIR pointing into the rig's directory.

Tests skip when not run as root or when dbus-daemon, python3-dbus or python3-dbusmock are
missing. They need AMPWARDEN_BIN_DIR (the build's bin directory; CTest sets it).
"""

import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

try:
    import dbus
    import dbus.lowlevel
    import dbusmock  # noqa: F401  (only its presence is checked here)
    MISSING_MODULES = None
except ImportError as error:
    dbus = None  # the tests skip; see HelperTestCase
    MISSING_MODULES = str(error)

HERE = os.path.dirname(os.path.abspath(__file__))
BUS_CONFIG = os.path.join(HERE, 'system-bus.conf')
RECORDER = os.path.join(HERE, 'recorder.py')
PYTHON = '/usr/bin/python3'
AS_NOBODY = ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']
PARENT_DEATH = ['--pdeathsig', 'KILL']

OBJECT_PATH = '/lumora/Notifications'
INTERFACE = 'lumora.Notifications'
LOGIND = 'org.freedesktop.login1'
LOGIND_PATH = '/org/freedesktop/login1'
MOCK_INTERFACE = 'org.freedesktop.DBus.Mock'

# Protocol names the tests use (the helper's own copy is src/channel/NotificationNames.h).
QUERY_STATUS = 'ZTBattery_TellDeamon_QueryDeamonLoadStatusCallBack'
QUERY_GLOBAL_STATUS = 'ZTBattery_TellDeamon_GlobalQueryDeamonLoadStatusCallBack'
STATUS_ANSWER = 'PostTo_BatteryAppManager_DeamonLoadStatus'
GLOBAL_STATUS_ANSWER = 'PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback'
SMC_STATUS = 'ZTBattery_TellDeamon_SMCStatus'
SMC_STATUS_ANSWER = 'ZTBattery_TellDeamon_SMCStatus_callback'
OPEN_ANSWER = 'ZTBattery_TellDeamon_OpenSMC_callback'
CLOSE_ANSWER = 'ZTBattery_TellDeamon_CloseSMC_callback'
CHARGING_STATUS_ANSWER = 'ZTHelper_CFNotification_Tell_BatteryApp_QuerySMCChargingStatus'
ENABLE_CHARGING_ANSWER = 'ZTBattery_TellDeamon_SetEnableCharging_callback'
DISABLE_CHARGING_ANSWER = 'ZTBattery_TellDeamon_SetDisableCharging_callback'
DISCHARGING_ANSWER = 'ZTBattery_TellDeamon_SetEnableDischarging_callback'
LIMIT_ON_ANSWER = 'ZTBattery_TellDeamon_SetEnableChargingLimitMax_callback'
LIMIT_OFF_ANSWER = 'ZTBattery_TellDeamon_SetDisableChargingLimitMax_callback'
UNINSTALL_ANSWER = 'ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper_callBack'
MAIN_APP_ID = 'lumora.Battery'

# The keys charge control writes, and what closing the connection leaves in them.
CHARGE_KEYS = ('BCLM', 'CH0B', 'CH0C', 'CH0I')
RESET_VALUES = {'BCLM': 100, 'CH0B': 0, 'CH0C': 0, 'CH0I': 0}

LOG_TAIL_LINES = 150


class HarnessError(Exception):
    """Something the rig needs did not start or answer."""


def bin_path(program, bin_dir=None):
    return os.path.join(bin_dir or os.environ.get('AMPWARDEN_BIN_DIR', ''), program)


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it gives a true value or the time is up; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def dies_with_test(argv):
    """argv run so that the kernel kills it when the test process dies, however it dies: a
    killed or crashed test must not leave daemons behind. A change of user clears the signal,
    so a setpriv already in front (AS_NOBODY) sets it itself, after the change."""
    if argv[:1] == ['setpriv']:
        return ['setpriv', *PARENT_DEATH, *argv[1:]]
    return ['setpriv', *PARENT_DEATH, *argv]


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open(f'/proc/{pid}/stat') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    # Fields 14 and 15 of the file (utime, stime); the split starts at field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


class Service:
    """A child process of a test. Its standard output and error go to log files, line by line,
    and are kept for the test to wait on. Standard error may be a terminal, for programs that
    only mirror their system-log lines to a terminal."""

    def __init__(self, name, argv, env, log_dir, stderr_tty=False, on_stdout_line=None):
        self.name = name
        self.argv = argv
        self.lines = {'stdout': [], 'stderr': []}
        self.log_paths = {s: os.path.join(log_dir, f'{name}.{s}.log') for s in self.lines}
        self._changed = threading.Condition()
        self._pumps = []
        out_read, out_write = os.pipe()
        if stderr_tty:
            err_read, err_write = pty.openpty()
            tty.setraw(err_write)  # no \r\n translation
        else:
            err_read, err_write = os.pipe()
        try:
            self.process = subprocess.Popen(dies_with_test(argv), env=env, stdin=subprocess.DEVNULL,
                                            stdout=out_write, stderr=err_write,
                                            start_new_session=True)
        finally:
            os.close(out_write)
            os.close(err_write)
        self._pump(out_read, 'stdout', on_stdout_line)
        self._pump(err_read, 'stderr', None)

    @property
    def pid(self):
        return self.process.pid

    def running(self):
        return self.process.poll() is None

    def output(self, stream='stdout'):
        with self._changed:
            return '\n'.join(self.lines[stream])

    def wait_for_line(self, predicate, timeout, stream='stdout'):
        """The first line of the stream that satisfies predicate, or None once the time is up
        or the stream has ended without one."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = next((l for l in self.lines[stream] if predicate(l)), None)
                remaining = deadline - time.monotonic()
                if found is not None or remaining <= 0 or self._ended(stream):
                    return found
                self._changed.wait(remaining)

    def wait(self, timeout):
        """The exit status, or None if it is still running after timeout. Once it has exited,
        its output has been read to the end too."""
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self._join_pumps()
        return status

    def stop(self, sig=signal.SIGTERM, grace=3.0):
        if self.running():
            self.process.send_signal(sig)
            if self.wait(grace) is None:
                self.process.kill()
                self.process.wait()
        self._join_pumps()

    def _join_pumps(self):
        for pump in self._pumps:
            pump.join(2.0)

    def _ended(self, stream):
        return not self._pumps[0 if stream == 'stdout' else 1].is_alive()

    def _pump(self, fd, stream, on_line):
        thread = threading.Thread(target=self._copy_lines, args=(fd, stream, on_line),
                                  name=f'{self.name}-{stream}', daemon=True)
        self._pumps.append(thread)
        thread.start()

    def _copy_lines(self, fd, stream, on_line):
        pending = b''
        with open(self.log_paths[stream], 'wb') as log:
            while True:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:  # a terminal whose last writer has gone reports EIO
                    chunk = b''
                if not chunk:
                    break
                log.write(chunk)
                log.flush()
                *complete, pending = (pending + chunk).split(b'\n')
                self._add_lines(stream, complete, on_line)
            self._add_lines(stream, [pending] if pending else [], on_line)
        os.close(fd)
        with self._changed:
            self._changed.notify_all()

    def _add_lines(self, stream, raw_lines, on_line):
        if not raw_lines:
            return
        lines = [raw.decode('utf-8', 'replace') for raw in raw_lines]
        with self._changed:
            self.lines[stream].extend(lines)
            self._changed.notify_all()
        if on_line:
            for line in lines:
                on_line(line)


class AnswerRecorder:
    """The answers seen on the bus since the test began, in order of arrival. Each is a dict
    with "name", "values", "types" and "time" (time.monotonic() of its arrival)."""

    def __init__(self):
        self.answers = []
        self.malformed = []
        self.ready = threading.Event()
        self._changed = threading.Condition()

    def take_line(self, line):
        record = json.loads(line)
        if record.get('ready'):
            self.ready.set()
            return
        with self._changed:
            (self.malformed if record.get('malformed') else self.answers).append(record)
            self._changed.notify_all()

    def mark(self):
        """A position in the record; since(mark) gives the answers that came after it."""
        with self._changed:
            return len(self.answers)

    def since(self, mark):
        with self._changed:
            return list(self.answers[mark:])

    def named(self, name):
        with self._changed:
            return [a for a in self.answers if a['name'] == name]

    def wait_for(self, name, timeout=5.0, count=1):
        """Waits until `count` answers called `name` have come; returns them all. Fails the test
        with the names that did come when they do not."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [a for a in self.answers if a['name'] == name]
                remaining = deadline - time.monotonic()
                if len(found) >= count or remaining <= 0:
                    break
                self._changed.wait(remaining)
            seen = [a['name'] for a in self.answers]
        if len(found) < count:
            raise AssertionError(f'{len(found)} of {count} "{name}" answers within {timeout} s; '
                                 f'answers seen: {summarize(seen)}')
        return found

    def wait_for_count(self, count, timeout):
        """Waits until at least `count` answers of any name have come; returns how many did."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self.answers) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                self._changed.wait(remaining)
            return len(self.answers)


def summarize(names, limit=20):
    shown = ', '.join(names[:limit])
    return shown + (f' ... ({len(names)} in all)' if len(names) > limit else '') or 'none'


class BusClient:
    """The test's own connection to the private bus: posts commands (well formed or not) and
    drives the fake login manager. Blocking calls only; no main loop."""

    def __init__(self, address):
        self.connection = dbus.bus.BusConnection(address)
        self.connection.set_exit_on_disconnect(False)

    def close(self):
        try:
            self.connection.close()
        except dbus.exceptions.DBusException:
            pass

    def emit(self, member, signature, *args, flush=True):
        message = dbus.lowlevel.SignalMessage(OBJECT_PATH, INTERFACE, member)
        if signature:
            message.append(*args, signature=signature)
        self.connection.send_message(message)
        if flush:
            self.connection.flush()

    def emit_elsewhere(self, path, interface, name):
        """A Darwin signal with a command name on another object or interface."""
        message = dbus.lowlevel.SignalMessage(path, interface, 'Darwin')
        message.append(name, signature='s')
        self.connection.send_message(message)
        self.connection.flush()

    def post(self, name):
        """Posts one command (the Darwin signal)."""
        self.emit('Darwin', 's', name)

    def flood(self, name, count):
        for i in range(count):
            self.emit('Darwin', 's', name, flush=(i % 500 == 499))
        self.connection.flush()

    def connection_of(self, pid):
        """The unique bus name of a connection that process `pid` holds, or None."""
        bus = dbus.Interface(self.connection.get_object('org.freedesktop.DBus',
                                                        '/org/freedesktop/DBus',
                                                        introspect=False),
                             'org.freedesktop.DBus')
        for name in bus.ListNames():
            if not name.startswith(':'):
                continue
            try:
                if bus.GetConnectionUnixProcessID(name) == pid:
                    return str(name)
            except dbus.exceptions.DBusException:
                pass  # it left meanwhile
        return None

    def name_has_owner(self, name):
        return bool(self.connection.name_has_owner(name))

    def mock(self, path=LOGIND_PATH):
        return dbus.Interface(self.connection.get_object(LOGIND, path, introspect=False),
                              MOCK_INTERFACE)


class LoginManager:
    """Drives python3-dbusmock's logind template: sessions on seat0, sleep, the lid."""

    SESSION_INTERFACE = 'org.freedesktop.login1.Session'
    MANAGER_INTERFACE = 'org.freedesktop.login1.Manager'

    def __init__(self, client):
        self.client = client

    def add_session(self, session_id, user, uid, session_class='user'):
        """Adds an active session on seat0, which becomes seat0's ActiveSession."""
        path = self.client.mock().AddSession(session_id, 'seat0', dbus.UInt32(uid), user, True)
        if session_class != 'user':
            self.client.mock(path).UpdateProperties(self.SESSION_INTERFACE,
                                                    {'Class': session_class})
        return path

    def prepare_for_sleep(self, sleeping):
        self.client.mock().EmitSignal(self.MANAGER_INTERFACE, 'PrepareForSleep', 'b',
                                      [dbus.Boolean(sleeping)])

    def inhibitors(self):
        """The inhibitor locks logind holds now, as (what, who, why, mode) tuples."""
        manager = dbus.Interface(self.client.connection.get_object(LOGIND, LOGIND_PATH,
                                                                   introspect=False),
                                 self.MANAGER_INTERFACE)
        return [tuple(str(field) for field in lock[:4]) for lock in manager.ListInhibitors()]

    def set_lid_closed(self, closed):
        try:
            self.client.mock().UpdateProperties(self.MANAGER_INTERFACE,
                                                {'LidClosed': dbus.Boolean(closed)})
        except dbus.exceptions.DBusException:
            self.client.mock().AddProperty(self.MANAGER_INTERFACE, 'LidClosed',
                                           dbus.Boolean(closed))


class SmcWriteLog:
    """Every key the emulator daemon reports written ("write KEY HEXBYTES" on its standard
    output), in order, as dicts with "key", "value" (the first byte, the only one charge control
    writes), "bytes" and "time" (time.monotonic() when the line was read)."""

    LINE = re.compile(r'^write ("[^"]*"|\S+) ([0-9a-fA-F]*|-)$')

    def __init__(self):
        self.writes = []
        self._changed = threading.Condition()

    def take_line(self, line):
        match = self.LINE.match(line)
        if not match:
            return
        key = match.group(1).strip('"').ljust(4)
        data = bytes.fromhex(match.group(2)) if match.group(2) != '-' else b''
        with self._changed:
            self.writes.append({'key': key, 'value': data[0] if data else None, 'bytes': data,
                                'time': time.monotonic()})
            self._changed.notify_all()

    def mark(self):
        """A position in the log; writes(since=mark) are those that came after it."""
        with self._changed:
            return len(self.writes)

    def writes_since(self, mark=0):
        with self._changed:
            return list(self.writes[mark:])

    def pairs_since(self, mark=0):
        """The writes after `mark` as (key, value) pairs, in order."""
        return [(w['key'], w['value']) for w in self.writes_since(mark)]

    def wait_for(self, key, value, timeout=5.0, since=0):
        """The first write of `value` to `key` after position `since`; raises AssertionError
        with the writes that did come when none does in time."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = next((w for w in self.writes[since:]
                              if w['key'] == key and w['value'] == value), None)
                remaining = deadline - time.monotonic()
                if found or remaining <= 0:
                    break
                self._changed.wait(remaining)
            seen = [(w['key'], w['value']) for w in self.writes[since:]]
        if not found:
            raise AssertionError(f'no write of {key} = {value} within {timeout} s; '
                                 f'writes seen: {seen or "none"}')
        return found

    def wait_quiet(self, quiet=0.7, timeout=5.0):
        """Waits until no write has come for `quiet` seconds (the helper's delayed writes come
        0.5 s after a command), so a test sees the state a command finally leaves."""
        started = time.monotonic()
        deadline = started + timeout
        with self._changed:
            while time.monotonic() < deadline:
                last = max(self.writes[-1]['time'] if self.writes else 0.0, started)
                if time.monotonic() - last >= quiet:
                    return
                self._changed.wait(min(quiet, max(0.0, deadline - time.monotonic())))


def install_paths(bin_dir=None):
    """What the build under test installs, by absolute path: the items its uninstall removes
    (below AMPWARDEN_UNINSTALL_ROOT). A dict with "helper_dir", "unit_file", "programs",
    "bus_policy" and "polkit_policy"."""
    header = os.path.join(bin_dir or os.environ.get('AMPWARDEN_BIN_DIR', ''), os.pardir, 'src',
                          'generated', 'BuildInfo.h')
    try:
        with open(header) as file:
            text = file.read()
        found = dict(re.findall(r'\b(k\w+) = "([^"]*)"', text))
        programs = re.search(r'\bkToolPrograms\[\] = \{([^}]*)\}', text)
        return {
            'helper_dir': found['kHelperDir'],
            'unit_file': os.path.join(found['kUnitDir'], found['kServiceName']),
            'programs': [os.path.join(found['kBinDir'], name)
                         for name in re.findall(r'"([^"]+)"', programs.group(1))],
            'bus_policy': os.path.join(found['kDbusPolicyDir'], found['kDbusPolicyName']),
            'polkit_policy': os.path.join(found['kPolkitActionsDir'], found['kPolkitPolicyName']),
        }
    except (OSError, KeyError, AttributeError) as error:
        raise HarnessError(f'cannot tell the install paths from {header}: {error!r}')


class FakeInstallation:
    """An installed helper below a scratch root, as the package leaves it: the program folder,
    the programs, the bus policy, the unit file, and the unit enabled (its link in
    multi-user.target.wants)."""

    UNIT = """[Unit]
Description=Battery charge helper (a fake installation for tests and demos)

[Service]
ExecStart={program}

[Install]
WantedBy=multi-user.target
"""

    def __init__(self, root, bin_dir=None):
        paths = install_paths(bin_dir)
        self.root = root
        self.helper_dir = root + paths['helper_dir']
        # The vendor's folder goes too once the helper's was the last thing in it.
        self.vendor_dir = os.path.dirname(self.helper_dir)
        self.unit_file = root + paths['unit_file']
        self.wants_link = os.path.join(root, 'etc/systemd/system/multi-user.target.wants',
                                       os.path.basename(paths['unit_file']))
        self.files = [root + path for path in
                      paths['programs'] + [paths['bus_policy'], paths['polkit_policy']]]
        self._write(os.path.join(self.helper_dir, 'ampwarden'), '#!/bin/sh\nexit 0\n')
        for path in self.files:
            self._write(path, '')
        self._write(self.unit_file, self.UNIT.format(
            program=os.path.join(paths['helper_dir'], 'ampwarden')))
        os.makedirs(os.path.dirname(self.wants_link), exist_ok=True)
        os.symlink(paths['unit_file'], self.wants_link)

    def left(self):
        """The installed items still there."""
        items = [self.helper_dir, *self.files, self.unit_file, self.wants_link, self.vendor_dir]
        return [path for path in items if os.path.lexists(path)]

    @staticmethod
    def _write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as file:
            file.write(text)


class Rig:
    """The programs of one test or demo, in the directory `tmp`, found in `bin_dir`."""

    def __init__(self, tmp, bin_dir=None):
        self.tmp = tmp
        self.bin_dir = bin_dir or os.environ.get('AMPWARDEN_BIN_DIR', '')
        self.services = []
        self.smc_socket = os.path.join(tmp, 'smc-emulator.sock')
        # A blank and a quote, so the uninstall's command lines must quote it.
        self.install_root = os.path.join(tmp, "install root's")
        os.makedirs(self.install_root, exist_ok=True)
        self.bus_address = 'unix:path=' + os.path.join(tmp, 'system_bus_socket')
        self.bus_service = None
        self.client = None
        self.recorder = None
        self.logind = None
        self.emulator = None
        self.smc_writes = SmcWriteLog()
        self.helper = None

    def program(self, name):
        return bin_path(name, self.bin_dir)

    def child_env(self, overrides=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith('DBUS_')}
        env.update(DBUS_SYSTEM_BUS_ADDRESS=self.bus_address, LUMORA_SMC_EMULATOR=self.smc_socket,
                   AMPWARDEN_UNINSTALL_ROOT=self.install_root,
                   # The battery app's settings and state: the rig's, never the user's.
                   XDG_CONFIG_HOME=os.path.join(self.tmp, 'config'), XDG_RUNTIME_DIR=self.tmp)
        env.update(overrides or {})
        return env

    def start_service(self, name, argv, env_overrides=None, **options):
        taken = sum(1 for s in self.services if s.name.split('#')[0] == name)
        if taken:
            name = f'{name}#{taken + 1}'  # its own log files
        service = Service(name, argv, self.child_env(env_overrides), self.tmp, **options)
        self.services.append(service)
        return service

    def start_all(self, session=('alice', 'user')):
        """Bus, recorder, fake logind (with `session` active on seat0 unless None) and, when it
        is built, the SMC emulator."""
        self.start_bus()
        self.recorder = self.start_recorder()
        self.logind = self.start_logind()
        if session:
            self.logind.add_session('c1', session[0], 1000, session[1])
        self.emulator = self.start_emulator()

    def start_bus(self):
        self.bus_service = self.start_service('dbus-daemon', [
            'dbus-daemon', '--nofork', f'--config-file={BUS_CONFIG}',
            f'--address={self.bus_address}', '--print-address=1'])
        if not self.bus_service.wait_for_line(lambda line: line.startswith('unix:'), 10):
            raise HarnessError('dbus-daemon did not start')
        self.client = BusClient(self.bus_address)
        # The protocol is signals; errors show refused messages; calls to logind show the
        # helper's view of who is logged in.
        monitor = self.start_service('bus-monitor', [
            'dbus-monitor', '--address', self.bus_address, "type='signal'", "type='error'",
            "type='method_call',destination='org.freedesktop.login1'"])
        # Its first lines come once it is a monitor; the log is for reading, so do not insist.
        monitor.wait_for_line(lambda line: True, 5)

    def start_recorder(self):
        recorder = AnswerRecorder()
        self.start_service('recorder', [PYTHON, RECORDER, self.bus_address],
                           on_stdout_line=recorder.take_line)
        if not recorder.ready.wait(10):
            raise HarnessError('the answer recorder did not start')
        return recorder

    def start_logind(self):
        self.start_service('logind', [PYTHON, '-m', 'dbusmock', '--system', '--template', 'logind'])
        if not wait_until(lambda: self.client.name_has_owner(LOGIND), 10):
            raise HarnessError('the fake logind did not appear on the bus')
        return LoginManager(self.client)

    def start_emulator(self):
        program = self.program('ampwarden-smc-emulator')
        if not os.access(program, os.X_OK):
            return None
        emulator = self.start_service('smc-emulator', [program, '--socket', self.smc_socket],
                                      on_stdout_line=self.smc_writes.take_line)
        if not emulator.wait_for_line(lambda line: True, 10):
            raise HarnessError('the SMC emulator did not say it was ready')
        return emulator

    def start_helper(self, as_nobody=False, wait_started=True, env_overrides=None):
        """Starts the real helper; by default waits for its unsolicited start-up answer."""
        argv = [self.program('ampwarden')]
        if as_nobody:
            argv = AS_NOBODY + argv
        self.helper = self.start_service('helper', argv, env_overrides, stderr_tty=True)
        if wait_started:
            self.recorder.wait_for(GLOBAL_STATUS_ANSWER, timeout=10)
        return self.helper

    def ctl(self, *args, as_nobody=False, timeout=30, env_overrides=None):
        """Runs ampwardenctl to its end; returns the CompletedProcess (text output)."""
        return self._run('ampwardenctl', args, as_nobody, timeout, env_overrides)

    def start_ctl(self, *args, as_nobody=False):
        """Starts ampwardenctl in the background (watch, app)."""
        argv = [self.program('ampwardenctl'), *args]
        if as_nobody:
            argv = AS_NOBODY + argv
        return self.start_service('ampwardenctl', argv)

    def smc(self, *args, timeout=30):
        """Runs ampwarden-smc against the rig's emulator; returns the CompletedProcess."""
        return self._run('ampwarden-smc', args, False, timeout, None)

    def smc_read(self, key):
        """The value of a byte-valued key, as the emulator holds it now."""
        result = self.smc('read', key)
        if result.returncode != 0:
            raise HarnessError(f'ampwarden-smc read {key} failed ({result.returncode}): '
                               f'{result.stderr.strip()}')
        return parse_byte_value(result.stdout, key)

    def smc_values(self, keys=CHARGE_KEYS):
        return {key: self.smc_read(key) for key in keys}

    def stop_all(self):
        for service in reversed(self.services):
            service.stop()
        if self.client:
            self.client.close()

    def write_logs(self, out):
        """Every program's logs, the helper first and the bus log last: the most telling
        first."""
        order = {'helper': 0, 'bus-monitor': 2}
        for service in sorted(self.services, key=lambda s: order.get(s.name, 1)):
            out.write(f'----- {service.name}: {" ".join(service.argv)[:200]} '
                      f'(exit status {service.process.returncode}) -----\n')
            for stream, path in service.log_paths.items():
                lines = read_lines(path)
                shown = lines[-LOG_TAIL_LINES:]
                out.write(f'--- {stream}: {len(lines)} lines' +
                          (f', the last {len(shown)}' if len(shown) < len(lines) else '') + '\n')
                out.write(''.join(line + '\n' for line in shown))
        out.flush()

    def _run(self, program, args, as_nobody, timeout, env_overrides):
        argv = [self.program(program), *args]
        if as_nobody:
            argv = AS_NOBODY + argv
        return subprocess.run(dies_with_test(argv), env=self.child_env(env_overrides),
                              capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)


def parse_byte_value(output, key):
    """The first value byte in what `ampwarden-smc read KEY` printed: one line of tab-separated
    key, data type, size, value bytes in hex and the value decoded."""
    fields = output.rstrip('\n').split('\t')
    try:
        return bytes.fromhex(fields[3])[0]
    except (IndexError, ValueError):
        raise HarnessError(f'cannot find the value of {key} in: {output.strip()!r}')


class HelperTestCase(unittest.TestCase):
    """Base class: a fresh rig for every test (private bus, fake logind, answer recorder and,
    when built, SMC emulator). `session` is the (user, class) of the session active on seat0
    when the test begins: a user session by default, ('gdm', 'greeter') for a login screen,
    None for no seat and no session at all."""

    session = ('alice', 'user')

    def setUp(self):
        self._skip_without_prerequisites()
        self._problems_at_start = self._problems_reported()
        tmp = tempfile.mkdtemp(prefix='ampwarden-e2e-')
        os.chmod(tmp, 0o755)  # the helper may run as "nobody" and must reach the bus
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        self.rig = Rig(tmp)
        self.addCleanup(self._print_logs_if_failed)
        self.addCleanup(self.rig.stop_all)
        try:
            self.rig.start_all(self.session)
        except HarnessError as error:
            self.fail(str(error))

    # The rig's parts under the names the tests use.

    tmp = property(lambda self: self.rig.tmp)
    services = property(lambda self: self.rig.services)
    smc_socket = property(lambda self: self.rig.smc_socket)
    install_root = property(lambda self: self.rig.install_root)
    bus_address = property(lambda self: self.rig.bus_address)
    bus_service = property(lambda self: self.rig.bus_service)
    client = property(lambda self: self.rig.client)
    recorder = property(lambda self: self.rig.recorder)
    logind = property(lambda self: self.rig.logind)
    emulator = property(lambda self: self.rig.emulator)
    smc_writes = property(lambda self: self.rig.smc_writes)
    helper = property(lambda self: self.rig.helper)

    def child_env(self):
        return self.rig.child_env()

    def start_service(self, name, argv, **options):
        return self.rig.start_service(name, argv, **options)

    def start_helper(self, as_nobody=False, wait_started=True, env_overrides=None):
        return self.rig.start_helper(as_nobody, wait_started, env_overrides)

    def ctl(self, *args, as_nobody=False, timeout=30, env_overrides=None):
        return self.rig.ctl(*args, as_nobody=as_nobody, timeout=timeout,
                            env_overrides=env_overrides)

    def start_ctl(self, *args, as_nobody=False):
        return self.rig.start_ctl(*args, as_nobody=as_nobody)

    def post(self, name):
        self.rig.client.post(name)

    def query_status(self, timeout=5.0):
        """Posts the daemon-status query and returns its answer."""
        before = len(self.recorder.named(STATUS_ANSWER))
        self.post(QUERY_STATUS)
        return self.recorder.wait_for(STATUS_ANSWER, timeout, count=before + 1)[-1]

    def ask(self, *verb, expect):
        """Runs `ampwardenctl VERB` as the main app would and returns the recorded answer named
        `expect` that it waited for."""
        before = len(self.recorder.named(expect))
        result = self.ctl(*verb)
        self.assertEqual(result.returncode, 0, f'ampwardenctl {" ".join(verb)}: {result.stderr}')
        return self.recorder.wait_for(expect, count=before + 1)[-1]

    def assert_answer(self, answer, values, types):
        """An answer's values and the D-Bus type of each."""
        self.assertEqual((answer['values'], answer['types']), (values, types), answer['name'])

    def answers_to(self, *verb):
        """The names of the answers that `ampwardenctl VERB` brings, however many: the helper
        handles commands in order, so they are those that come before the answer to a status
        query posted after it."""
        mark = self.recorder.mark()
        result = self.ctl(*verb)
        self.query_status()
        names = [a['name'] for a in self.recorder.since(mark)]
        return result, names[:-1]

    def assert_keys(self, **expected):
        """The emulator's keys hold these values now."""
        self.assertEqual(self.rig.smc_values(tuple(expected)), expected)

    def assert_helper_alive(self):
        self.assertTrue(self.helper.running(),
                        f'the helper exited with status {self.helper.process.returncode}')

    def require_smc_tools(self):
        """Fails a test that needs the emulator and ampwarden-smc when they are not built."""
        for program in ('ampwarden-smc-emulator', 'ampwarden-smc'):
            if not os.access(self.rig.program(program), os.X_OK):
                self.fail(f'{self.rig.program(program)} is missing: build it first')

    # The fixture itself.

    def _skip_without_prerequisites(self):
        if os.geteuid() != 0:
            self.skipTest('end-to-end tests run as root (the helper is a root service)')
        if MISSING_MODULES:
            self.skipTest(f'python3-dbus and python3-dbusmock are needed: {MISSING_MODULES}')
        for program in ('dbus-daemon', 'dbus-monitor', 'setpriv'):
            if not shutil.which(program):
                self.skipTest(f'{program} is not installed')
        for program in ('ampwarden', 'ampwardenctl'):
            if not os.access(bin_path(program), os.X_OK):
                self.fail(f'{bin_path(program)} is missing: build first and set '
                          'AMPWARDEN_BIN_DIR to the build\'s bin directory')

    def _problems_reported(self):
        """Failures and errors the test result holds so far; None when it cannot be told."""
        result = getattr(getattr(self, '_outcome', None), 'result', None)
        try:
            return len(result.failures) + len(result.errors)
        except AttributeError:
            return None

    def _print_logs_if_failed(self):
        now = self._problems_reported()
        if now is not None and self._problems_at_start is not None and \
                now == self._problems_at_start:
            return
        sys.stderr.write(f'\n===== logs of {self.id()} =====\n')
        self.rig.write_logs(sys.stderr)


def read_lines(path):
    try:
        with open(path, encoding='utf-8', errors='replace') as log:
            return log.read().splitlines()
    except OSError:
        return []
