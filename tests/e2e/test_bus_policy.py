"""The helper's bus policy, as a user other than root meets it."""

import json
import subprocess
import unittest

from harness import AS_NOBODY, PYTHON, STATUS_ANSWER, HelperTestCase

# Run as "nobody": tries to own names and to forge an answer; prints what the bus said.
AS_A_USER = r'''
import json, os, sys
import dbus, dbus.lowlevel
bus = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
owned = {}
for name in sys.argv[1:]:
    try:
        bus.request_name(name)
        owned[name] = 'owned'
    except dbus.exceptions.DBusException as error:
        owned[name] = error.get_dbus_name()
forged = dbus.lowlevel.SignalMessage('/lumora/Notifications', 'lumora.Notifications',
                                     'Distributed')
forged.append('Forged', dbus.Dictionary({'status': dbus.Int32(1)}, signature='sv'),
              signature='sa{sv}')
bus.send_message(forged)
# A round trip: once it returns, the bus has dealt with the forgery.
bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                  'GetId', '', ())
print(json.dumps(owned))
'''

DENIED = 'org.freedesktop.DBus.Error.AccessDenied'


class BusPolicyTest(HelperTestCase):

    def test_users_send_commands_and_own_the_app_name_but_cannot_answer(self):
        self.start_helper()
        result = subprocess.run(
            AS_NOBODY + [PYTHON, '-c', AS_A_USER, 'lumora.Battery', 'lumora.Ampwarden',
                         'org.freedesktop.login2'],
            env=self.child_env(), capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout), {'lumora.Battery': 'owned',
                                                     'lumora.Ampwarden': DENIED,
                                                     'org.freedesktop.login2': DENIED})

        # A command from the same kind of user gets through. The bus had dealt with the forgery
        # before it; a forgery let through would have reached the recorder first.
        asked = self.ctl('daemon-info', as_nobody=True)
        self.assertEqual(asked.returncode, 0, asked.stderr)
        self.recorder.wait_for(STATUS_ANSWER)
        self.assertEqual(self.recorder.named('Forged'), [])


if __name__ == '__main__':
    unittest.main()
