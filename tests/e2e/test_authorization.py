"""Who may command the helper: commands from an unprivileged user, decided by a fake polkit on
the bus or, without polkit, by who owns seat0's active session (what a refusal or a slow decision
does to the commands is the command gate's unit test's)."""

import os
import re
import subprocess
import unittest

from harness import (AS_NOBODY, DISABLE_CHARGING_ANSWER, OPEN_ANSWER, PYTHON, SMC_STATUS_ANSWER,
                     HelperTestCase, dbus, dies_with_test, wait_until)

POLKIT = 'org.freedesktop.PolicyKit1'
POLKIT_PATH = '/org/freedesktop/PolicyKit1/Authority'
CONTROL = 'lumora.Ampwarden.control'
NOBODY_UID = 65534
CONSOLE_UID = 1000  # the harness's session on seat0
AS_CONSOLE_USER = ['setpriv', f'--reuid={CONSOLE_UID}', f'--regid={CONSOLE_UID}',
                   '--clear-groups']
JOURNAL_HINT = 'journalctl -u lumora.Ampwarden.service'


class AuthorizationTestCase(HelperTestCase):

    def ctl_as(self, setpriv, *args):
        argv = [*setpriv, self.rig.program('ampwardenctl'), '--timeout', '2', *args]
        return subprocess.run(dies_with_test(argv), env=self.child_env(), capture_output=True,
                              text=True, timeout=30, stdin=subprocess.DEVNULL)

    def senders_of(self, command):
        """The unique names that sent `command`, from the bus log, in order."""
        lines = self.services[[s.name for s in self.services].index('bus-monitor')].output()
        return re.findall(r'sender=(:\S+) .*member=Darwin\n\s+string "' + command + '"', lines)

    def refusals(self):
        return [line for line in self.helper.output('stderr').splitlines() if 'refused' in line]


class PolkitTest(AuthorizationTestCase):

    def setUp(self):
        super().setUp()
        self.require_smc_tools()
        self.polkit_log = os.path.join(self.tmp, 'polkit-calls.log')
        self.start_service('polkitd', [PYTHON, '-m', 'dbusmock', '--system', '--template',
                                       'polkitd', '-l', self.polkit_log])
        if not wait_until(lambda: self.client.name_has_owner(POLKIT), 10):
            self.fail('the fake polkit did not appear on the bus')
        self.polkit = dbus.Interface(self.client.connection.get_object(
            POLKIT, POLKIT_PATH, introspect=False), 'org.freedesktop.DBus.Mock')
        self.start_helper()

    def polkit_subjects(self):
        with open(self.polkit_log) as log:
            return re.findall(r"CheckAuthorization .*?dbus\.String\('([^']*)'\), "
                              r"dbus\.Dictionary\(\{dbus\.String\('name'\): "
                              r"dbus\.String\('([^']*)'", log.read())

    def test_polkit_decides_on_the_senders_bus_name_and_a_refusal_does_nothing(self):
        self.polkit.SetAllowed([CONTROL])
        opened = self.ctl_as(AS_NOBODY, 'open')
        self.assertEqual(opened.returncode, 0, opened.stderr)
        self.recorder.wait_for(OPEN_ANSWER)
        self.assertEqual(self.polkit_subjects(),
                         [('system-bus-name', self.senders_of('ZTBattery_TellDeamon_OpenSMC')[0])])

        self.polkit.SetAllowed(dbus.Array([], signature='s'))
        before = self.rig.smc_values()
        refused = self.ctl_as(AS_NOBODY, 'charge', 'off')
        self.assertEqual(refused.returncode, 1)
        self.assertIn(JOURNAL_HINT, refused.stderr)
        self.assertEqual(self.recorder.named(DISABLE_CHARGING_ANSWER), [])
        self.assertEqual(self.rig.smc_values(), before)
        self.assertIn(f'(uid {NOBODY_UID}, pid ', self.refusals()[-1])

        # Read-only queries need no one's leave.
        status = self.ctl_as(AS_NOBODY, 'smc-status')
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertEqual(self.recorder.wait_for(SMC_STATUS_ANSWER)[-1]['values'], {'smcStatus': 1})


class WithoutPolkitTest(AuthorizationTestCase):

    def setUp(self):
        super().setUp()
        self.require_smc_tools()
        self.start_helper()

    def test_only_the_user_of_the_active_session_may_control_and_nobody_but_root_uninstall(self):
        self.assertEqual(self.ctl_as(AS_CONSOLE_USER, 'open').returncode, 0)
        allowed = self.ctl_as(AS_CONSOLE_USER, 'limit', 'on')
        self.assertEqual(allowed.returncode, 0, allowed.stderr)
        self.assertEqual(self.rig.smc_read('BCLM'), 80)

        # Someone else's session becomes the active one.
        self.logind.add_session('c2', 'nobody', NOBODY_UID)
        refused = self.ctl_as(AS_CONSOLE_USER, 'limit', 'off')
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(self.rig.smc_read('BCLM'), 80)
        self.assertIn('not the user of seat0', self.refusals()[-1])
        self.assertEqual(self.ctl_as(AS_NOBODY, 'limit', 'off').returncode, 0)
        self.assertEqual(self.rig.smc_read('BCLM'), 100)

        uninstall = self.ctl_as(AS_NOBODY, 'uninstall')
        self.assertEqual(uninstall.returncode, 1)
        self.assertIn('without polkit only root may uninstall', self.refusals()[-1])


if __name__ == '__main__':
    unittest.main()
