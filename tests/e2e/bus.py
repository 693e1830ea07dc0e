"""The bus side of the end-to-end rig: the protocol's names, the test's own connection, the fake
logind, and the answers seen on the bus (as `ampwardenctl watch --json` prints them).
"""

import json
import os
import subprocess
import threading
import time

try:
    import dbus
    import dbus.lowlevel
    import dbusmock  # noqa: F401  (only its presence is checked here)
    MISSING_MODULES = None
except ImportError as error:
    dbus = None  # the tests skip
    MISSING_MODULES = str(error)

OBJECT_PATH = '/lumora/Notifications'
INTERFACE = 'lumora.Notifications'
LOGIND = 'org.freedesktop.login1'
LOGIND_PATH = '/org/freedesktop/login1'
MOCK_INTERFACE = 'org.freedesktop.DBus.Mock'


def load_protocol():
    """The protocol table (src/protocol/CommandProtocol.h) as the build's ampwardenctl prints it:
    the tests use no copy of their own."""
    program = os.path.join(os.environ.get('AMPWARDEN_BIN_DIR', ''), 'ampwardenctl')
    try:
        return json.loads(subprocess.run([program, '--protocol-json'], capture_output=True,
                                         check=True, text=True).stdout)
    except (OSError, subprocess.CalledProcessError) as error:
        raise ImportError(f'no protocol table from {program} (set AMPWARDEN_BIN_DIR): {error}')


PROTOCOL = load_protocol()
COMMANDS = {command['verb']: command for command in PROTOCOL['commands']}


def command(verb):
    """The command ampwardenctl posts for `verb` ("charge off")."""
    return COMMANDS[verb]['name']


def answer_to(verb, step=0):
    """The (first) answer of a step of the answers to `verb`."""
    return COMMANDS[verb]['answers'][step][0]


def table_types(answer):
    """The types the table gives each key of an answer that came (None: a key it does not
    know), as `ampwardenctl watch --json` names them."""
    entry = PROTOCOL['answers'].get(answer['name'], {'keys': {}, 'reportsWrites': False})
    writes = {'smcWritten': 'int32', 'smcNotWritten': 'string'} if entry['reportsWrites'] else {}
    return {key: {**entry['keys'], **writes}.get(key) for key in answer['types']}


QUERY_STATUS, STATUS_ANSWER = command('daemon-info'), answer_to('daemon-info')
QUERY_GLOBAL_STATUS = command('daemon-info --global')
GLOBAL_STATUS_ANSWER = answer_to('daemon-info --global')
SMC_STATUS, SMC_STATUS_ANSWER = command('smc-status'), answer_to('smc-status')
OPEN_ANSWER, CLOSE_ANSWER = answer_to('open'), answer_to('close')
DISABLE_CHARGING_ANSWER = answer_to('charge off')
ENABLE_CHARGING_ANSWER = answer_to('charge on')
DISCHARGING_ANSWER = answer_to('discharge on')
UNINSTALL_ANSWER = answer_to('uninstall', step=1)
MAIN_APP_ID = 'lumora.Battery'


def wait_until(predicate, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value


class Record:
    """Items that arrive from another thread, in order, to wait on."""

    def __init__(self):
        self.items, self.closed = [], False
        self._changed = threading.Condition()

    def add(self, item):
        with self._changed:
            self.items.append(item)
            self._changed.notify_all()

    def close(self):
        """No more items will come: waits end at once."""
        with self._changed:
            self.closed = True
            self._changed.notify_all()

    def mark(self):
        with self._changed:
            return len(self.items)

    def since(self, mark=0):
        with self._changed:
            return list(self.items[mark:])

    def wait(self, test, timeout=5.0, what=None):
        """test(items) once it is true or the time is up; with `what`, failing to come fails."""
        end = time.monotonic() + timeout
        with self._changed:
            while not (found := test(self.items)) and end > time.monotonic() and not self.closed:
                # Short waits: a test may turn true with time alone (wait_quiet).
                self._changed.wait(min(0.1, end - time.monotonic()))
            if what and not found:
                raise AssertionError(f'no {what} within {timeout} s; seen: {self.items[-10:]}')
            return found


class AnswerRecorder(Record):
    """The answers seen on the bus, in order: dicts with "name", "values", "types", "time"."""

    answers = property(lambda self: self.since())

    def take_line(self, line):
        """One line of `ampwardenctl watch --json`."""
        self.add({**json.loads(line), 'time': time.monotonic()})

    def named(self, name):
        return [a for a in self.since() if a['name'] == name]

    def wait_for(self, name, timeout=5.0, count=1):
        """The first `count` or more answers called `name`."""
        def named(items):
            found = [a for a in items if a['name'] == name]
            return found if len(found) >= count else None
        return self.wait(named, timeout, f'{count} "{name}" answers')


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

    def name_has_owner(self, name):
        return bool(self.connection.name_has_owner(name))

    def interface(self, name, path, interface=MOCK_INTERFACE):
        return dbus.Interface(self.connection.get_object(name, path, introspect=False), interface)


class LoginManager:
    """The fake logind (python-dbusmock's template): sessions on seat0, sleep and the lid."""
    MANAGER = 'org.freedesktop.login1.Manager'

    def __init__(self, client):
        self.mock = client.interface(LOGIND, LOGIND_PATH)
        self.manager = client.interface(LOGIND, LOGIND_PATH, self.MANAGER)  # the real methods
        self.client = client

    def add_session(self, session_id, user, uid, session_class='user'):
        path = self.mock.AddSession(session_id, 'seat0', dbus.UInt32(uid), user, True)
        if session_class != 'user':
            self.client.interface(LOGIND, path).UpdateProperties('org.freedesktop.login1.Session',
                                                                 {'Class': session_class})
        return path

    def prepare_for_sleep(self, sleeping):
        self.mock.EmitSignal(self.MANAGER, 'PrepareForSleep', 'b', [dbus.Boolean(sleeping)])

    def set_lid_closed(self, closed):
        try:
            self.mock.UpdateProperties(self.MANAGER, {'LidClosed': dbus.Boolean(closed)})
        except dbus.exceptions.DBusException:
            self.mock.AddProperty(self.MANAGER, 'LidClosed', dbus.Boolean(closed))
