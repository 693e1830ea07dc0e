"""Every command of the main app, as ampwardenctl sends it, against the emulated SMC: the
answers with their D-Bus types, and the keys the helper leaves in the emulator; and sleep and a
closed lid (logind's PrepareForSleep and LidClosed) ending a forced discharge."""

import os
import signal
import unittest

from harness import (CLOSE_ANSWER, DISABLE_CHARGING_ANSWER, RESET_VALUES, UNINSTALL_ANSWER,
                     FakeInstallation, HelperTestCase, table_types, wait_until)

DISABLE_CHARGING = {'smcCtrlStatus': 'disableCharging', 'smcWritten': 1}


class CommandTest(HelperTestCase):

    def setUp(self):
        super().setUp()
        # A MacBook, whose lid the helper asks logind about.
        self.start_helper(env_overrides={'AMPWARDEN_MODEL_NAME': 'MacBookPro11,1'})

    def smc_write(self, **keys):
        for key, value in keys.items():
            result = self.run_tool('ampwarden-smc', 'write', key, f'{value:02x}')
            self.assertEqual(result.returncode, 0, result.stderr)

    def expect(self, verb, values):
        """Sends `ampwardenctl VERB` and checks the answer's values, and its types against the
        protocol table."""
        answer = self.ask(*verb.split())
        self.assertEqual((answer['values'], answer['types']), (values, table_types(answer)), verb)
        return answer

    def sleep_locked(self):
        return ('sleep', 'Ampwarden', 'delay') in ((what, who, mode) for what, who, _, mode, *_
                                                   in self.logind.manager.ListInhibitors())

    def sleep(self, sleeping):
        """Tells the helper the machine goes to sleep or woke; returns once its lock is as it
        should be then, having nothing (more) to do."""
        self.logind.prepare_for_sleep(sleeping)
        self.assertTrue(wait_until(lambda: self.sleep_locked() != sleeping, 5),
                        'sleep stays delayed' if sleeping else 'no sleep delay lock after waking')

    def test_each_command_its_answer_and_its_keys_then_close_and_sigterm(self):
        self.expect('smc-status', {'smcStatus': 0})
        self.expect('open', {'smcOpenClose': 'open'})
        self.expect('smc-status', {'smcStatus': 1})
        # "chargingStatus" is 1 only for a limit of 0; "dischargingStatus" only for exactly 1.
        for bclm, ch0i, charging, discharging in ((0, 1, 1, 1), (100, 0, 0, 0), (80, 2, 0, 0)):
            self.smc_write(BCLM=bclm, CH0I=ch0i)
            self.expect('charging-status', {'chargingStatus': charging,
                                            'dischargingStatus': discharging})
        for verb, value, keys in (('limit on', 'EnableLimitMax', {'BCLM': 80}),
                                  ('charge off', 'disableCharging', {'CH0B': 2, 'CH0C': 2}),
                                  ('charge on', 'enableCharging', {'CH0C': 0, 'BCLM': 100}),
                                  ('limit on', 'EnableLimitMax', {'BCLM': 80}),
                                  ('limit off', 'DisableLimitMax', {'BCLM': 100}),
                                  ('discharge on', 'discharging', {'CH0I': 1})):
            self.expect(verb, {'smcCtrlStatus': value, 'smcWritten': 1})
            self.assert_keys(**keys)
        # No answer: the SMC status query's answer is the next thing to come. (Not the daemon
        # status query: root's would make the watchdog wait for an app, and close when it sees none.)
        mark = self.recorder.mark()
        self.assertEqual(self.ctl('discharge', 'off').returncode, 0)
        self.expect('smc-status', {'smcStatus': 1})
        self.assertEqual(len(self.recorder.since(mark)), 1)
        self.assert_keys(CH0I=0)

        self.smc_write(CH0B=2, CH0C=2, CH0I=1, BCLM=0x50)
        self.expect('close', {'smcOpenClose': 'close', 'smcWritten': 1})
        self.assert_keys(**RESET_VALUES)

        # SIGTERM ends the helper and leaves the keys and the connection as they are.
        self.expect('open', {'smcOpenClose': 'open'})
        self.ask('charge', 'off')
        self.assert_keys(CH0B=2, CH0C=2)
        mark = self.smc_writes.mark()
        self.helper.stop(signal.SIGTERM)
        self.assertEqual(self.helper.wait(timeout=5), 0)
        self.smc_writes.wait_quiet()
        self.assertEqual(self.smc_writes.pairs_since(mark), [])

    def test_uninstall_closes_at_once_then_removes_the_installation(self):
        installed = FakeInstallation(self.install_root)
        self.ask('open')
        self.ask('discharge', 'on')
        result = self.ctl('--json', 'uninstall')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(result.stdout.splitlines()), 2, result.stdout)
        closed, removed = (self.recorder.wait_for(name)[-1]
                           for name in (CLOSE_ANSWER, UNINSTALL_ANSWER))
        self.assertEqual((removed['values'], removed['types']),
                         ({'uninstallSelf': 1}, table_types(removed)))
        self.assertLess(closed['time'], removed['time'])
        self.assert_keys(**RESET_VALUES)
        wait_until(lambda: not installed.left(), 10)
        self.assertEqual(installed.left(), [])
        self.assertTrue(os.path.isdir(self.install_root))
        self.assertTrue(self.helper.running(), 'the uninstall ended the running helper')

    def test_sleep_and_a_closed_lid_end_a_discharge_and_sleep_waits_for_the_keys(self):
        self.ask('open')
        self.assertTrue(wait_until(self.sleep_locked, 5), 'the helper holds no sleep delay lock')
        self.sleep(True)  # nothing to do: the lock goes at once
        self.sleep(False)
        self.expect('discharge on', {'smcCtrlStatus': 'discharging', 'smcWritten': 1})
        mark = self.smc_writes.mark()
        # The machine may sleep once the delayed write is in the SMC, not before.
        self.sleep(True)
        self.assertEqual(self.recorder.wait_for(DISABLE_CHARGING_ANSWER)[0]['values'],
                         DISABLE_CHARGING)
        self.assertEqual(sorted(self.smc_writes.pairs_since(mark)),
                         [('CH0B', 2), ('CH0C', 2), ('CH0I', 0)])
        self.sleep(False)  # waking does not resume the discharge
        self.assert_keys(CH0I=0)

        # logind that does not tell the lid state means an open lid.
        self.expect('discharge on', {'smcCtrlStatus': 'discharging', 'smcWritten': 1})
        self.logind.set_lid_closed(True)
        answer = self.ask('discharge', 'on')
        self.assertEqual((answer['name'], answer['values']),
                         (DISABLE_CHARGING_ANSWER, DISABLE_CHARGING))
        self.assert_keys(CH0B=2, CH0C=2, CH0I=0)


if __name__ == '__main__':
    unittest.main()
