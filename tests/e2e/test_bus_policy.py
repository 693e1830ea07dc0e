"""The helper's bus as others meet it: the policy for a user other than root, and commands the
helper cannot use, which must leave it running and answering."""

import json
import subprocess
import unittest

from harness import (AS_NOBODY, GLOBAL_STATUS_ANSWER, PYTHON, SMC_STATUS, STATUS_ANSWER,
                     HelperTestCase)

# Run as "nobody": tries to own names and to forge an answer; prints what the bus said.
AS_A_USER = r'''
import json, os, sys
import dbus, dbus.lowlevel
bus = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
owned = {}
for name in sys.argv[1:]:
    try:
        owned[name] = bus.request_name(name) and 'owned'
    except dbus.exceptions.DBusException as error:
        owned[name] = error.get_dbus_name()
forged = dbus.lowlevel.SignalMessage('/lumora/Notifications', 'lumora.Notifications',
                                     'Distributed')
forged.append('Forged', {'status': dbus.Int32(1)}, signature='sa{sv}')
bus.send_message(forged)
# A round trip: once it returns, the bus has dealt with the forgery.
bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                  'GetId', '', ())
print(json.dumps(owned))
'''
DENIED = 'org.freedesktop.DBus.Error.AccessDenied'


class BusPolicyTest(HelperTestCase):

    def test_users_command_but_cannot_answer_and_bad_commands_change_nothing(self):
        self.start_helper()
        result = subprocess.run(AS_NOBODY + [PYTHON, '-c', AS_A_USER, 'lumora.Battery',
                                             'lumora.Ampwarden', 'org.freedesktop.login2'],
                                env=self.child_env(), capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout), {'lumora.Battery': 'owned',
                                                     'lumora.Ampwarden': DENIED,
                                                     'org.freedesktop.login2': DENIED})

        # The wrong argument types, and a command's name in the wrong places (odd names are the
        # bus channel's unit test's).
        self.post('ZTBattery_TellDeamon_SMCStatus_callback')  # an answer's name is no command
        for member, signature, *args in (('Darwin', 'i', 42), ('Darwin', ''),
                                         ('Darwin', 'ss', 'NoSuchCommand', SMC_STATUS),
                                         ('Darwin', 'as', ['NoSuchCommand']),
                                         ('Distributed', 'sa{sv}', SMC_STATUS, {})):
            self.client.emit(member, signature, *args)
        self.client.emit('Darwin', 's', SMC_STATUS, path='/lumora/Other')
        self.client.emit('Darwin', 's', SMC_STATUS, interface='lumora.Other')

        # A command from the same kind of user gets through. The bus had dealt with the forgery
        # before it; a forgery let through would have reached the recorder first.
        asked = self.ctl('daemon-info', user=AS_NOBODY)
        self.assertEqual(asked.returncode, 0, asked.stderr)
        self.recorder.wait_for(STATUS_ANSWER)
        self.assert_helper_alive()
        self.assertEqual([a['name'] for a in self.recorder.answers if a['name'] != SMC_STATUS],
                         [GLOBAL_STATUS_ANSWER, STATUS_ANSWER])


if __name__ == '__main__':
    unittest.main()
