"""Who may command the helper: commands from an unprivileged user, decided by a fake polkit on
the bus or, without polkit, by who owns seat0's active session (what a refusal or a slow decision
does to the commands is the command gate's unit test's)."""

import os
import re
import unittest

from harness import AS_CONSOLE_USER, AS_NOBODY, DISABLE_CHARGING_ANSWER, HelperTestCase, dbus

JOURNAL_HINT = 'journalctl -u lumora.Ampwarden.service'


class AuthorizationTest(HelperTestCase):

    def ctl_as(self, user, *args):
        return self.ctl('--timeout', '2', *args, user=user).returncode

    def refusal(self):
        return [line for line in self.helper.output('stderr').splitlines() if 'refused' in line][-1]

    def test_polkit_decides_on_the_senders_bus_name_and_a_refusal_does_nothing(self):
        log = os.path.join(self.tmp, 'polkit-calls.log')
        polkit = self.start_mock('polkitd', 'org.freedesktop.PolicyKit1',
                                 '/org/freedesktop/PolicyKit1/Authority', '-l', log)
        self.start_helper()
        polkit.SetAllowed(['lumora.Ampwarden.control'])
        self.assertEqual(self.ctl_as(AS_NOBODY, 'open'), 0)
        sender = re.search(r'sender=(:\S+) .*member=Darwin\n\s+string "ZTBattery_TellDeamon_Open',
                           self.monitor.output()).group(1)
        with open(log) as calls:
            self.assertEqual(re.findall(r"CheckAuthorization .*?dbus\.String\('([^']*)'\), "
                                        r"dbus\.Dictionary\(\{dbus\.String\('name'\): "
                                        r"dbus\.String\('([^']*)'", calls.read()),
                             [('system-bus-name', sender)])

        polkit.SetAllowed(dbus.Array([], signature='s'))
        before = self.smc_values()
        refused = self.ctl('--timeout', '2', 'charge', 'off', user=AS_NOBODY)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(JOURNAL_HINT, refused.stderr)
        self.assertEqual(self.recorder.named(DISABLE_CHARGING_ANSWER), [])
        self.assertEqual(self.smc_values(), before)
        self.assertIn('(uid 65534, pid ', self.refusal())
        # Read-only queries need no one's leave.
        self.assertEqual(self.ask('smc-status', user=AS_NOBODY)['values'], {'smcStatus': 1})

    def test_without_polkit_only_the_active_sessions_user_controls_and_only_root_uninstalls(self):
        self.start_helper()
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'open'), 0)
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'limit', 'on'), 0)
        self.assert_keys(BCLM=80)
        # Someone else's session becomes the active one.
        self.logind.add_session('c2', 'nobody', 65534)
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'limit', 'off'), 1)
        self.assert_keys(BCLM=80)
        self.assertIn('not the user of seat0', self.refusal())
        self.assertEqual(self.ctl_as(AS_NOBODY, 'limit', 'off'), 0)
        self.assert_keys(BCLM=100)
        self.assertEqual(self.ctl_as(AS_NOBODY, 'uninstall'), 1)
        self.assertIn('without polkit only root may uninstall', self.refusal())


if __name__ == '__main__':
    unittest.main()
