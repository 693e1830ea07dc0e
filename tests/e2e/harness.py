"""The end-to-end harness: the real programs on a private bus.

Each test gets, in a temporary directory of its own:

- a dbus-daemon with a system-like policy (system-bus.conf, which includes the helper's own
  bus policy from packaging/dbus), and dbus-monitor writing the bus log;
- python3-dbusmock's logind template on that bus, with seat0 and an active user session unless
  the test asks for something else;
- a recorder that captures every answer with its D-Bus types (recorder.py);
- the SMC emulator daemon on a socket in the directory, when the program has been built;
- on request: the helper (as root, or as "nobody"), ampwardenctl, raw commands.

Everything is stopped and removed after each test, failed or not; a failed test prints the
logs. Nothing touches the real system bus or the real install paths: every child gets
DBUS_SYSTEM_BUS_ADDRESS, LUMORA_SMC_EMULATOR and AMPWARDEN_UNINSTALL_ROOT pointing into the
test's directory.

Tests skip when not run as root or when dbus-daemon, python3-dbus or python3-dbusmock are
missing. They need AMPWARDEN_BIN_DIR (the build's bin directory; CTest sets it).
"""

import json
import os
import pty
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
MAIN_APP_ID = 'lumora.Battery'

LOG_TAIL_LINES = 150


def bin_path(program):
    return os.path.join(os.environ.get('AMPWARDEN_BIN_DIR', ''), program)


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it gives a true value or the time is up; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


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
            self.process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
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

    def set_lid_closed(self, closed):
        try:
            self.client.mock().UpdateProperties(self.MANAGER_INTERFACE,
                                                {'LidClosed': dbus.Boolean(closed)})
        except dbus.exceptions.DBusException:
            self.client.mock().AddProperty(self.MANAGER_INTERFACE, 'LidClosed',
                                           dbus.Boolean(closed))


class HelperTestCase(unittest.TestCase):
    """Base class: a fresh private bus, fake logind, answer recorder and (when built) SMC
    emulator for every test. `session` is the (user, class) of the session active on seat0
    when the test begins: a user session by default, ('gdm', 'greeter') for a login screen,
    None for no seat and no session at all."""

    session = ('alice', 'user')

    def setUp(self):
        self._skip_without_prerequisites()
        self._problems_at_start = self._problems_reported()
        self.tmp = tempfile.mkdtemp(prefix='ampwarden-e2e-')
        os.chmod(self.tmp, 0o755)  # the helper may run as "nobody" and must reach the bus
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.services = []
        self.addCleanup(self._print_logs_if_failed)
        self.addCleanup(self._stop_services)
        self.smc_socket = os.path.join(self.tmp, 'smc-emulator.sock')
        self.install_root = os.path.join(self.tmp, 'install-root')
        os.mkdir(self.install_root)
        self.bus_address = 'unix:path=' + os.path.join(self.tmp, 'system_bus_socket')
        self._start_bus()
        self.client = BusClient(self.bus_address)
        self.addCleanup(self.client.close)
        self.recorder = self._start_recorder()
        self.logind = self._start_logind()
        if self.session:
            self.logind.add_session('c1', self.session[0], 1000, self.session[1])
        self.emulator = self._start_emulator()
        self.helper = None

    # Starting things.

    def child_env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith('DBUS_')}
        env.update(DBUS_SYSTEM_BUS_ADDRESS=self.bus_address, LUMORA_SMC_EMULATOR=self.smc_socket,
                   AMPWARDEN_UNINSTALL_ROOT=self.install_root)
        return env

    def start_service(self, name, argv, **options):
        taken = sum(1 for s in self.services if s.name.split('#')[0] == name)
        if taken:
            name = f'{name}#{taken + 1}'  # its own log files
        service = Service(name, argv, self.child_env(), self.tmp, **options)
        self.services.append(service)
        return service

    def start_helper(self, as_nobody=False, wait_started=True):
        """Starts the real helper; by default waits for its unsolicited start-up answer."""
        argv = [bin_path('ampwarden')]
        if as_nobody:
            argv = AS_NOBODY + argv
        self.helper = self.start_service('helper', argv, stderr_tty=True)
        if wait_started:
            self.recorder.wait_for(GLOBAL_STATUS_ANSWER, timeout=10)
        return self.helper

    def ctl(self, *args, as_nobody=False, timeout=30, env_overrides=None):
        """Runs ampwardenctl to its end; returns the CompletedProcess (text output)."""
        argv = [bin_path('ampwardenctl'), *args]
        if as_nobody:
            argv = AS_NOBODY + argv
        env = self.child_env()
        env.update(env_overrides or {})
        return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)

    def start_ctl(self, *args, as_nobody=False):
        """Starts ampwardenctl in the background (watch, app)."""
        argv = [bin_path('ampwardenctl'), *args]
        if as_nobody:
            argv = AS_NOBODY + argv
        return self.start_service('ampwardenctl', argv)

    def post(self, name):
        self.client.post(name)

    def query_status(self, timeout=5.0):
        """Posts the daemon-status query and returns its answer."""
        before = len(self.recorder.named(STATUS_ANSWER))
        self.post(QUERY_STATUS)
        return self.recorder.wait_for(STATUS_ANSWER, timeout, count=before + 1)[-1]

    def assert_helper_alive(self):
        self.assertTrue(self.helper.running(),
                        f'the helper exited with status {self.helper.process.returncode}')

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

    def _start_bus(self):
        self.bus_service = self.start_service('dbus-daemon', [
            'dbus-daemon', '--nofork', f'--config-file={BUS_CONFIG}',
            f'--address={self.bus_address}', '--print-address=1'])
        if not self.bus_service.wait_for_line(lambda line: line.startswith('unix:'), 10):
            self.fail('dbus-daemon did not start')
        # The protocol is signals; errors show refused messages; calls to logind show the
        # helper's view of who is logged in.
        monitor = self.start_service('bus-monitor', [
            'dbus-monitor', '--address', self.bus_address, "type='signal'", "type='error'",
            "type='method_call',destination='org.freedesktop.login1'"])
        # Its first lines come once it is a monitor; the log is for reading, so do not insist.
        monitor.wait_for_line(lambda line: True, 5)

    def _start_recorder(self):
        recorder = AnswerRecorder()
        self.start_service('recorder', [PYTHON, RECORDER, self.bus_address],
                           on_stdout_line=recorder.take_line)
        if not recorder.ready.wait(10):
            self.fail('the answer recorder did not start')
        return recorder

    def _start_logind(self):
        self.start_service('logind', [PYTHON, '-m', 'dbusmock', '--system', '--template', 'logind'])
        if not wait_until(lambda: self.client.name_has_owner(LOGIND), 10):
            self.fail('the fake logind did not appear on the bus')
        return LoginManager(self.client)

    def _start_emulator(self):
        program = bin_path('ampwarden-smc-emulator')
        if not os.access(program, os.X_OK):
            return None
        emulator = self.start_service('smc-emulator', [program, '--socket', self.smc_socket])
        if not emulator.wait_for_line(lambda line: True, 10):
            self.fail('the SMC emulator did not say it was ready')
        return emulator

    def _stop_services(self):
        for service in reversed(self.services):
            service.stop()

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
        out = sys.stderr
        out.write(f'\n===== logs of {self.id()} =====\n')
        # The helper first, the bus log last: the most telling first.
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


def read_lines(path):
    try:
        with open(path, encoding='utf-8', errors='replace') as log:
            return log.read().splitlines()
    except OSError:
        return []
