"""The end-to-end harness: the real programs on a private bus, with a fake logind, an answer
recorder (recorder.py) and the SMC emulator, all in a directory of the rig's own. Every child's
bus, SMC socket, uninstall root and XDG paths point there, never at the real system. Tests run
as root and need AMPWARDEN_BIN_DIR (CTest sets it).
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
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def dies_with_test(argv):
    """argv killed by the kernel when the test dies, so no daemon outlives it. A change of user
    clears that signal, so a setpriv already in front sets it after the change."""
    if argv[:1] == ['setpriv']:
        return ['setpriv', *PARENT_DEATH, *argv[1:]]
    return ['setpriv', *PARENT_DEATH, *argv]


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    # utime and stime; the split starts at field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


class Service:
    """A child process; its output goes to log files and is kept, line by line, to wait on.
    Standard error may be a terminal, for programs that mirror their log only to one."""

    def __init__(self, name, argv, env, log_dir, stderr_tty=False, on_stdout_line=None):
        self.name = name
        self.argv = argv
        self.lines = {'stdout': [], 'stderr': []}
        self.log_paths = {s: os.path.join(log_dir, f'{name}.{s}.log') for s in self.lines}
        self._changed = threading.Condition()
        self._ended = set()
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
        self._pumps = [threading.Thread(target=self._copy_lines, args=args, daemon=True)
                       for args in ((out_read, 'stdout', on_stdout_line), (err_read, 'stderr', None))]
        for pump in self._pumps:
            pump.start()

    @property
    def pid(self):
        return self.process.pid

    def running(self):
        return self.process.poll() is None

    def output(self, stream='stdout'):
        with self._changed:
            return '\n'.join(self.lines[stream])

    def wait_for_line(self, predicate, timeout, stream='stdout'):
        """The first line that satisfies predicate; None if none came in time or at all."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = next((l for l in self.lines[stream] if predicate(l)), None)
                remaining = deadline - time.monotonic()
                if found is not None or remaining <= 0 or stream in self._ended:
                    return found
                self._changed.wait(remaining)

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
        pending = b''
        with open(self.log_paths[stream], 'wb') as log:
            while True:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:  # a terminal whose last writer has gone reports EIO
                    chunk = b''
                log.write(chunk)
                log.flush()
                *complete, pending = (pending + chunk).split(b'\n') if chunk else (pending, b'')
                lines = [raw.decode('utf-8', 'replace') for raw in complete if chunk or raw]
                with self._changed:
                    self.lines[stream].extend(lines)
                    self._changed.notify_all()
                for line in lines if on_line else ():
                    on_line(line)
                if not chunk:
                    break
        os.close(fd)
        with self._changed:
            self._ended.add(stream)
            self._changed.notify_all()


class Record:
    """Items that arrive from another thread, in order, to wait on."""

    def __init__(self):
        self.items = []
        self._changed = threading.Condition()

    def add(self, item):
        with self._changed:
            self.items.append(item)
            self._changed.notify_all()

    def mark(self):
        with self._changed:
            return len(self.items)

    def since(self, mark=0):
        with self._changed:
            return list(self.items[mark:])

    def wait(self, test, timeout):
        """test(items) once it is true or the time is up, and the items then."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not (found := test(self.items)) and deadline > time.monotonic():
                # Short waits: a test may turn true with time alone (wait_quiet).
                self._changed.wait(min(0.1, deadline - time.monotonic()))
            return found, list(self.items)


class AnswerRecorder(Record):
    """The answers seen on the bus, in order: dicts with "name", "values", "types", "time"."""

    answers = property(lambda self: self.since())

    def __init__(self):
        super().__init__()
        self.ready = threading.Event()

    def take_line(self, line):
        record = json.loads(line)
        if record.get('ready'):
            self.ready.set()
        else:
            self.add(record)

    def named(self, name):
        return [a for a in self.since() if a['name'] == name]

    def wait_for(self, name, timeout=5.0, count=1):
        """The first `count` or more answers called `name`; fails naming those that came."""
        def named(items):
            found = [a for a in items if a['name'] == name]
            return found if len(found) >= count else None
        found, seen = self.wait(named, timeout)
        if not found:
            raise AssertionError(f'not {count} "{name}" answers within {timeout} s; answers seen '
                                 f'({len(seen)}): {", ".join(a["name"] for a in seen[-20:])}')
        return found


class BusClient:
    """The test's own blocking connection: posts commands, well formed or not."""

    def __init__(self, address):
        self.connection = dbus.bus.BusConnection(address)
        self.connection.set_exit_on_disconnect(False)

    def emit(self, member, signature, *args, path=OBJECT_PATH, interface=INTERFACE):
        message = dbus.lowlevel.SignalMessage(path, interface, member)
        if signature:
            message.append(*args, signature=signature)
        self.connection.send_message(message)
        self.connection.flush()

    def post(self, name):
        self.emit('Darwin', 's', name)

    def connection_of(self, pid):
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
    MANAGER_INTERFACE = 'org.freedesktop.login1.Manager'

    def __init__(self, client):
        self.client = client

    def add_session(self, session_id, user, uid, session_class='user'):
        path = self.client.mock().AddSession(session_id, 'seat0', dbus.UInt32(uid), user, True)
        if session_class != 'user':
            self.client.mock(path).UpdateProperties('org.freedesktop.login1.Session',
                                                    {'Class': session_class})
        return path

    def prepare_for_sleep(self, sleeping):
        self.client.mock().EmitSignal(self.MANAGER_INTERFACE, 'PrepareForSleep', 'b',
                                      [dbus.Boolean(sleeping)])

    def inhibitors(self):
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


class SmcWriteLog(Record):
    """The keys the emulator reports written ("write KEY HEXBYTES"), in order, as dicts with
    "key", "value" (the first byte), "bytes" and "time"."""

    LINE = re.compile(r'^write ("[^"]*"|\S+) ([0-9a-fA-F]*|-)$')

    def take_line(self, line):
        match = self.LINE.match(line)
        if match:
            data = bytes.fromhex(match.group(2)) if match.group(2) != '-' else b''
            self.add({'key': match.group(1).strip('"').ljust(4), 'value': data[0] if data else None,
                      'bytes': data, 'time': time.monotonic()})

    writes_since = Record.since

    def pairs_since(self, mark=0):
        return [(w['key'], w['value']) for w in self.since(mark)]

    def wait_for(self, key, value, timeout=5.0, since=0):
        found, seen = self.wait(lambda items: next(
            (w for w in items[since:] if (w['key'], w['value']) == (key, value)), None), timeout)
        if not found:
            raise AssertionError(f'no write of {key} = {value} within {timeout} s; writes seen: '
                                 f'{[(w["key"], w["value"]) for w in seen[since:]] or "none"}')
        return found

    def wait_quiet(self, quiet=0.7, timeout=5.0):
        """Until no write for `quiet` s: the helper's delayed writes come 0.5 s after a command."""
        started = time.monotonic()
        self.wait(lambda items: time.monotonic() - max(items[-1]['time'] if items else 0.0,
                                                       started) >= quiet, timeout)


def install_paths(bin_dir=None):
    """What the build under test installs (and its uninstall removes), by absolute path."""
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
    """An installed, enabled helper below a scratch root, as the package leaves it."""

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
        self.bus_service = self.client = self.recorder = self.logind = None
        self.emulator = self.helper = None
        self.smc_writes = SmcWriteLog()

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
        name += f'#{taken + 1}' * bool(taken)  # its own log files
        service = Service(name, argv, self.child_env(env_overrides), self.tmp, **options)
        self.services.append(service)
        return service

    def start_all(self, session=('alice', 'user')):
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
        # Signals, refusals and the helper's questions to logind.
        monitor = self.start_service('bus-monitor', [
            'dbus-monitor', '--address', self.bus_address, "type='signal'", "type='error'",
            "type='method_call',destination='org.freedesktop.login1'"])
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
        argv = AS_NOBODY * as_nobody + [self.program('ampwarden')]
        self.helper = self.start_service('helper', argv, env_overrides, stderr_tty=True)
        if wait_started:
            self.recorder.wait_for(GLOBAL_STATUS_ANSWER, timeout=10)
        return self.helper

    def ctl(self, *args, as_nobody=False, timeout=30, env_overrides=None):
        return self._run('ampwardenctl', args, as_nobody, timeout, env_overrides)

    def start_ctl(self, *args, as_nobody=False):
        return self.start_service('ampwardenctl',
                                  AS_NOBODY * as_nobody + [self.program('ampwardenctl'), *args])

    def smc(self, *args, timeout=30):
        return self._run('ampwarden-smc', args, False, timeout, None)

    def smc_read(self, key):
        """The first value byte of a key now: "read" prints key, type, size, hex bytes, value."""
        result = self.smc('read', key)
        try:
            return bytes.fromhex(result.stdout.split('\t')[3])[0]
        except (IndexError, ValueError):
            raise HarnessError(f'ampwarden-smc read {key} ({result.returncode}): '
                               f'{result.stdout.strip()!r} {result.stderr.strip()}')

    def smc_values(self, keys=CHARGE_KEYS):
        return {key: self.smc_read(key) for key in keys}

    def stop_all(self):
        for service in reversed(self.services):
            service.stop()
        if self.client:
            self.client.connection.close()

    def write_logs(self, out):
        """Every program's logs, the most telling (the helper's) first, the bus log last."""
        order = {'helper': 0, 'bus-monitor': 2}
        for service in sorted(self.services, key=lambda s: order.get(s.name, 1)):
            out.write(f'----- {service.name}: {" ".join(service.argv)[:200]} '
                      f'(exit status {service.process.returncode}) -----\n')
            for stream, lines in service.lines.items():
                shown = lines[-LOG_TAIL_LINES:]
                out.write(f'--- {stream}: {len(lines)} lines' +
                          (f', the last {len(shown)}' if len(shown) < len(lines) else '') + '\n')
                out.write(''.join(line + '\n' for line in shown))
        out.flush()

    def _run(self, program, args, as_nobody, timeout, env_overrides):
        argv = AS_NOBODY * as_nobody + [self.program(program), *args]
        return subprocess.run(dies_with_test(argv), env=self.child_env(env_overrides),
                              capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)


class HelperTestCase(unittest.TestCase):
    """A fresh rig for every test, whose parts it lends as its own attributes. `session` is the
    (user, class) active on seat0 at the start, ('gdm', 'greeter') for a login screen, None for
    no session at all."""

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

    def __getattr__(self, name):
        if name == 'rig' or 'rig' not in self.__dict__:
            raise AttributeError(name)
        return getattr(self.rig, name)

    def post(self, name):
        self.rig.client.post(name)

    def query_status(self, timeout=5.0):
        before = len(self.recorder.named(STATUS_ANSWER))
        self.post(QUERY_STATUS)
        return self.recorder.wait_for(STATUS_ANSWER, timeout, count=before + 1)[-1]

    def ask(self, *verb, expect):
        """Runs `ampwardenctl VERB` and returns its answer, named `expect`."""
        before = len(self.recorder.named(expect))
        result = self.ctl(*verb)
        self.assertEqual(result.returncode, 0, f'ampwardenctl {" ".join(verb)}: {result.stderr}')
        return self.recorder.wait_for(expect, count=before + 1)[-1]

    def assert_answer(self, answer, values, types):
        self.assertEqual((answer['values'], answer['types']), (values, types), answer['name'])

    def assert_keys(self, **expected):
        self.assertEqual(self.rig.smc_values(tuple(expected)), expected)

    def assert_helper_alive(self):
        self.assertTrue(self.helper.running(),
                        f'the helper exited with status {self.helper.process.returncode}')

    def require_smc_tools(self):
        for program in ('ampwarden-smc-emulator', 'ampwarden-smc'):
            if not os.access(self.rig.program(program), os.X_OK):
                self.fail(f'{self.rig.program(program)} is missing: build it first')

    def _skip_without_prerequisites(self):
        if os.geteuid() != 0:
            self.skipTest('end-to-end tests run as root (the helper is a root service)')
        if MISSING_MODULES:
            self.skipTest(f'python3-dbus and python3-dbusmock are needed: {MISSING_MODULES}')
        missing = [p for p in ('dbus-daemon', 'dbus-monitor', 'setpriv') if not shutil.which(p)]
        if missing:
            self.skipTest(f'{missing} not installed')
        for program in ('ampwarden', 'ampwardenctl'):
            if not os.access(bin_path(program), os.X_OK):
                self.fail(f'{bin_path(program)} is missing: build first and set '
                          'AMPWARDEN_BIN_DIR to the build\'s bin directory')

    def _problems_reported(self):
        """Failures and errors so far; None when the runner does not tell (logs are printed)."""
        result = getattr(getattr(self, '_outcome', None), 'result', None)
        if hasattr(result, 'failures') and hasattr(result, 'errors'):
            return len(result.failures) + len(result.errors)
        return None

    def _print_logs_if_failed(self):
        start, now = self._problems_at_start, self._problems_reported()
        if start is not None and start == now:
            return
        sys.stderr.write(f'\n===== logs of {self.id()} =====\n')
        self.rig.write_logs(sys.stderr)

