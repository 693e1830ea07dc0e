"""Who may command the helper: the bus policy for users other than root; commands from an
unprivileged user, decided by a fake polkit on the bus or, without polkit, by who owns seat0's
active session (what a refusal or a slow decision does to the commands is the command gate's unit
test's); and commands the helper cannot use, which leave it running and answering."""

import os
import re
import subprocess
import time
import unittest

from harness import (AS_CONSOLE_USER, AS_NOBODY, GLOBAL_STATUS_ANSWER, PYTHON, SMC_STATUS,
                     STATUS_ANSWER, HelperTestCase, command, dbus)

JOURNAL_HINT = 'journalctl -u lumora.Ampwarden.service'
DENIED = 'org.freedesktop.DBus.Error.AccessDenied'
# Run as "nobody": forges an answer, then tries to own the helper's name; prints the bus's error.
AS_A_USER = r'''
import os, dbus, dbus.lowlevel
bus = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
forged = dbus.lowlevel.SignalMessage('/lumora/Notifications', 'lumora.Notifications',
                                     'Distributed')
forged.append('Forged', {'status': dbus.Int32(1)}, signature='sa{sv}')
bus.send_message(forged)
try:  # a round trip: once it returns, the bus has dealt with the forgery
    bus.request_name('lumora.Ampwarden')
except dbus.exceptions.DBusException as error:
    print(error.get_dbus_name())
'''

# Run as "nobody": as many connections as its argument says, each posting a burst of "charge
# off" at once and then every 0.2 s until its standard input closes.
FLOOD = r'''
import os, select, sys, dbus, dbus.lowlevel
address = os.environ['DBUS_SYSTEM_BUS_ADDRESS']
buses = [dbus.bus.BusConnection(address) for _ in range(int(sys.argv[1]))]
def burst():
    for bus in buses:
        for _ in range(4):  # 800 a burst: past any per-uid bound, within a sanitized helper's pace
            command = dbus.lowlevel.SignalMessage('/lumora/Notifications', 'lumora.Notifications',
                                                  'Darwin')
            command.append('ZTBattery_TellDeamon_SetDisableCharging', signature='s')
            bus.send_message(command)
        bus.flush()
burst()
print('ready', flush=True)
while not select.select([sys.stdin], [], [], 0.2)[0]:
    burst()
'''


class AuthorizationTest(HelperTestCase):

    def ctl_as(self, user, *args):
        return self.ctl('--timeout', '2', *args, user=user).returncode

    def refusal(self):
        return [line for line in self.helper.output('stderr').splitlines() if 'refused' in line][-1]

    def test_polkit_decides_on_the_senders_bus_name_and_read_only_queries_need_no_leave(self):
        log = os.path.join(self.tmp, 'polkit-calls.log')
        polkit = self.start_mock('polkitd', 'org.freedesktop.PolicyKit1',
                                 '/org/freedesktop/PolicyKit1/Authority', '-l', log)
        self.start_helper()
        polkit.SetAllowed(['lumora.Ampwarden.control'])
        self.assertEqual(self.ctl_as(AS_NOBODY, 'open'), 0)
        sender = re.search(r'sender=(:\S+) .*member=Darwin\n\s+string "' + command('open'),
                           self.monitor.output()).group(1)
        with open(log) as calls:
            self.assertEqual(re.findall(r"CheckAuthorization .*?dbus\.String\('([^']*)'\), "
                                        r"dbus\.Dictionary\(\{dbus\.String\('name'\): "
                                        r"dbus\.String\('([^']*)'", calls.read()),
                             [('system-bus-name', sender)])

        # Refused: that a refusal does nothing is the command gate's unit test's.
        polkit.SetAllowed(dbus.Array([], signature='s'))
        refused = self.ctl('--timeout', '2', 'charge', 'off', user=AS_NOBODY)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(JOURNAL_HINT, refused.stderr)
        self.assertIn('(uid 65534, pid ', self.refusal())
        # Read-only queries need no one's leave.
        self.assertEqual(self.ask('smc-status', user=AS_NOBODY)['values'], {'smcStatus': 1})

    def test_without_polkit_only_the_active_sessions_user_controls_and_only_root_uninstalls(self):
        self.start_helper()
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'open'), 0)
        self.logind.add_session('c2', 'nobody', 65534)  # someone else's becomes the active one
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'limit', 'on'), 1)
        self.assertIn('not the user of seat0', self.refusal())
        self.assertEqual(self.ctl_as(AS_NOBODY, 'limit', 'on'), 0)
        self.assert_keys(BCLM=80)
        self.assertEqual(self.ctl_as(AS_NOBODY, 'uninstall'), 1)
        self.assertIn('without polkit only root may uninstall', self.refusal())

    def test_a_strangers_many_connections_cannot_crowd_out_the_console_user(self):
        self.start_helper()
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'open'), 0)  # so its limits are written
        flood = subprocess.Popen(AS_NOBODY + [PYTHON, '-c', FLOOD, '200'], env=self.child_env(),
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(flood.stdout.readline().strip(), 'ready')
            for setting in ('on', 'off') * 4:
                self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'limit', setting), 0, setting)
                time.sleep(0.25)
        finally:
            flood.stdin.close()
            flood.wait(30)
        self.assert_keys(BCLM=100)
        lines = [line for line in self.helper.output('stderr').splitlines()
                 if 'refused' in line or 'too many' in line]
        self.assertTrue(any(f'refused {command("charge off")} from' in line and
                            '(uid 65534, pid ' in line for line in lines))
        self.assertFalse([line for line in lines if 'uid 1000' in line])

    def test_users_command_but_cannot_answer_and_bad_commands_change_nothing(self):
        self.start_helper()
        result = subprocess.run(AS_NOBODY + [PYTHON, '-c', AS_A_USER], env=self.child_env(),
                                capture_output=True, text=True, timeout=30)
        self.assertEqual((result.stdout.strip(), result.returncode), (DENIED, 0), result.stderr)

        # The wrong argument types, and a command's name in the wrong places (odd names are the
        # bus channel's unit test's).
        self.client.post(SMC_STATUS + '_callback')  # an answer's name is no command
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
        self.assertTrue(self.helper.running(), 'the helper ended')
        self.assertEqual([a['name'] for a in self.recorder.answers if a['name'] != SMC_STATUS],
                         [GLOBAL_STATUS_ANSWER, STATUS_ANSWER])


if __name__ == '__main__':
    unittest.main()
