"""The bus side of the end-to-end rig: the protocol's names, the test's own connection, the fake
logind, and the answers seen on the bus (as `ampwardenctl watch --json` prints them).
"""

import json
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

# Protocol names the tests use (the helper's own copy is src/protocol/NotificationNames.h).
QUERY_STATUS = 'ZTBattery_TellDeamon_QueryDeamonLoadStatusCallBack'
QUERY_GLOBAL_STATUS = 'ZTBattery_TellDeamon_GlobalQueryDeamonLoadStatusCallBack'
STATUS_ANSWER = 'PostTo_BatteryAppManager_DeamonLoadStatus'
GLOBAL_STATUS_ANSWER = 'PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback'
SMC_STATUS = 'ZTBattery_TellDeamon_SMCStatus'
OPEN_ANSWER = 'ZTBattery_TellDeamon_OpenSMC_callback'
CLOSE_ANSWER = 'ZTBattery_TellDeamon_CloseSMC_callback'
DISABLE_CHARGING_ANSWER = 'ZTBattery_TellDeamon_SetDisableCharging_callback'
DISCHARGING_ANSWER = 'ZTBattery_TellDeamon_SetEnableDischarging_callback'
UNINSTALL_ANSWER = 'ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper_callBack'
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
