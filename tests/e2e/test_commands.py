"""Every command of the main app, as ampwardenctl sends it, against the emulated SMC: the
answers with their D-Bus types, and the keys the helper leaves in the emulator."""

import os
import signal
import unittest

from harness import (CHARGING_STATUS_ANSWER, CLOSE_ANSWER, DISABLE_CHARGING_ANSWER,
                     DISCHARGING_ANSWER, ENABLE_CHARGING_ANSWER, LIMIT_OFF_ANSWER,
                     LIMIT_ON_ANSWER, OPEN_ANSWER, RESET_VALUES, SMC_STATUS_ANSWER,
                     UNINSTALL_ANSWER, FakeInstallation, HelperTestCase, wait_until)

CTRL = {'smcCtrlStatus': 'string'}
OPEN_CLOSE = {'smcOpenClose': 'string'}
CHARGING_STATUS = {'chargingStatus': 'int32', 'dischargingStatus': 'int32'}
# The charge-control writes that follow a command come 0.5 s after it.
DELAY = 0.5


class CommandTestCase(HelperTestCase):

    def setUp(self):
        super().setUp()
        self.require_smc_tools()
        self.start_helper()

    def smc_write(self, key, hex_bytes):
        result = self.rig.smc('write', key, hex_bytes)
        self.assertEqual(result.returncode, 0, result.stderr)

    def smc_status(self):
        answer = self.ask('smc-status', expect=SMC_STATUS_ANSWER)
        self.assertEqual(answer['types'], {'smcStatus': 'int64'})
        return answer['values']['smcStatus']

    def open_smc(self):
        self.assert_answer(self.ask('open', expect=OPEN_ANSWER), {'smcOpenClose': 'open'},
                           OPEN_CLOSE)


class ConnectionTest(CommandTestCase):

    def test_open_status_charging_status_and_close_which_restores_charging(self):
        self.assertEqual(self.smc_status(), 0)
        self.open_smc()
        mark = self.smc_writes.mark()
        self.open_smc()  # a second open keeps the connection it has
        self.assertEqual(self.smc_status(), 1)
        self.assertEqual(self.smc_writes.pairs_since(mark), [])
        # "chargingStatus" is 1 only for a limit of 0; "dischargingStatus" only for exactly 1.
        for bclm, ch0i, expected in (('00', '01', (1, 1)), ('64', '00', (0, 0)),
                                     ('50', '02', (0, 0))):
            self.smc_write('BCLM', bclm)
            self.smc_write('CH0I', ch0i)
            answer = self.ask('charging-status', expect=CHARGING_STATUS_ANSWER)
            self.assert_answer(answer, dict(zip(CHARGING_STATUS, expected)), CHARGING_STATUS)

        for key, value in (('CH0B', '02'), ('CH0C', '02'), ('CH0I', '01'), ('BCLM', '50')):
            self.smc_write(key, value)
        mark = self.smc_writes.mark()
        self.assert_answer(self.ask('close', expect=CLOSE_ANSWER), {'smcOpenClose': 'close'},
                           OPEN_CLOSE)
        self.assertEqual(self.smc_writes.pairs_since(mark),
                         [('CH0B', 0), ('BCLM', 100), ('CH0C', 0), ('CH0I', 0)])
        self.assert_keys(**RESET_VALUES)
        self.assertEqual(self.smc_status(), 0)

        # Closed, the helper reaches the SMC no more, yet still answers.
        self.smc_write('BCLM', '50')
        mark = self.smc_writes.mark()
        self.assert_answer(self.ask('close', expect=CLOSE_ANSWER), {'smcOpenClose': 'close'},
                           OPEN_CLOSE)
        self.assertEqual(self.ask('charging-status', expect=CHARGING_STATUS_ANSWER)['values'],
                         {'chargingStatus': 0, 'dischargingStatus': 0})
        self.smc_writes.wait_quiet()
        self.assertEqual(self.smc_writes.pairs_since(mark), [])
        self.assert_keys(BCLM=0x50)

    def test_sigterm_ends_the_helper_leaving_keys_and_connection_alone(self):
        self.open_smc()
        self.ask('charge', 'off', expect=DISABLE_CHARGING_ANSWER)
        self.smc_writes.wait_for('CH0C', 2)
        mark = self.smc_writes.mark()
        self.helper.stop(signal.SIGTERM)
        self.assertEqual(self.helper.wait(timeout=5), 0)
        self.assertNotIn('析构', self.helper.output('stdout'))
        self.smc_writes.wait_quiet()
        self.assertEqual(self.smc_writes.pairs_since(mark), [])
        self.assert_keys(CH0B=2, CH0C=2)

    def test_without_the_device_open_fails_and_every_command_is_still_answered(self):
        self.rig.emulator.stop()
        self.assert_answer(self.ask('open', expect=OPEN_ANSWER), {'smcOpenClose': 'close'},
                           OPEN_CLOSE)
        self.assertEqual(self.smc_status(), 0)

        self.rig.emulator = self.rig.start_emulator()
        self.open_smc()  # a later open tries again
        # The device going away under an open connection: answers come, nothing hangs.
        self.rig.emulator.stop(signal.SIGKILL)
        for verb, answer in ((['charge', 'off'], DISABLE_CHARGING_ANSWER),
                             (['charging-status'], CHARGING_STATUS_ANSWER),
                             (['close'], CLOSE_ANSWER)):
            self.ask(*verb, expect=answer)
        self.assertEqual(self.recorder.named(CHARGING_STATUS_ANSWER)[-1]['values'],
                         {'chargingStatus': 0, 'dischargingStatus': 0})
        self.assertEqual(self.smc_status(), 0)
        self.assert_helper_alive()


class ChargeTest(CommandTestCase):

    def test_charge_off_then_on_with_the_delayed_writes(self):
        self.open_smc()
        self.assert_answer(self.ask('limit', 'on', expect=LIMIT_ON_ANSWER),
                           {'smcCtrlStatus': 'EnableLimitMax'}, CTRL)
        self.assert_keys(BCLM=80)

        mark = self.smc_writes.mark()
        answer = self.ask('charge', 'off', expect=DISABLE_CHARGING_ANSWER)
        self.assert_answer(answer, {'smcCtrlStatus': 'disableCharging'}, CTRL)
        self.assert_keys(CH0B=2, CH0C=0)  # the second key is not written yet
        second = self.smc_writes.wait_for('CH0C', 2, since=mark)
        self.assert_keys(CH0B=2, CH0C=2, BCLM=80)
        first = self.smc_writes.writes_since(mark)[0]
        self.assertEqual((first['key'], first['value']), ('CH0B', 2))
        self.assertGreater(second['time'] - first['time'], DELAY - 0.1)

        mark = self.smc_writes.mark()
        answer = self.ask('charge', 'on', expect=ENABLE_CHARGING_ANSWER)
        self.assert_answer(answer, {'smcCtrlStatus': 'enableCharging'}, CTRL)
        self.assert_keys(BCLM=100, CH0B=2, CH0C=2)  # the limit at once, the rest later
        self.smc_writes.wait_for('CH0C', 0, since=mark)
        self.assert_keys(BCLM=100, CH0B=0, CH0C=0)
        self.assertEqual(self.smc_writes.pairs_since(mark),
                         [('BCLM', 100), ('CH0B', 0), ('CH0C', 0)])

        self.assert_answer(self.ask('limit', 'off', expect=LIMIT_OFF_ANSWER),
                           {'smcCtrlStatus': 'DisableLimitMax'}, CTRL)
        self.assert_keys(BCLM=100)

    def test_discharge_writes_only_while_the_connection_is_open(self):
        # Without a connection it is still answered, but nothing reaches the SMC.
        mark = self.smc_writes.mark()
        answer = self.ask('discharge', 'on', expect=DISCHARGING_ANSWER)
        self.assert_answer(answer, {'smcCtrlStatus': 'discharging'}, CTRL)
        self.smc_writes.wait_quiet()
        self.assertEqual(self.smc_writes.pairs_since(mark), [])

        self.open_smc()
        self.ask('discharge', 'on', expect=DISCHARGING_ANSWER)
        self.assert_keys(CH0I=1)
        status = self.ask('charging-status', expect=CHARGING_STATUS_ANSWER)
        self.assertEqual(status['values'], {'chargingStatus': 0, 'dischargingStatus': 1})

        # No answer: the status query posted after it is the next thing to come.
        mark = self.recorder.mark()
        result = self.ctl('discharge', 'off')
        self.query_status()
        self.assertEqual((result.returncode, len(self.recorder.since(mark))), (0, 1), result.stderr)
        self.assert_keys(CH0I=0)


class UninstallTest(CommandTestCase):

    def test_closes_at_once_then_removes_the_installation(self):
        installed = FakeInstallation(self.install_root)
        self.open_smc()
        self.ask('limit', 'on', expect=LIMIT_ON_ANSWER)
        self.ask('discharge', 'on', expect=DISCHARGING_ANSWER)

        result = self.ctl('--json', 'uninstall')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(result.stdout.splitlines()), 2, result.stdout)
        closed, removed = (self.recorder.wait_for(name)[-1]
                           for name in (CLOSE_ANSWER, UNINSTALL_ANSWER))
        self.assert_answer(closed, {'smcOpenClose': 'close'}, OPEN_CLOSE)
        self.assert_answer(removed, {'uninstallSelf': 1}, {'uninstallSelf': 'int32'})
        # 2.5 s, and the time it takes to ask the service manager about the service.
        self.assertTrue(2.4 < removed['time'] - closed['time'] < 4.5,
                        removed['time'] - closed['time'])
        self.assert_keys(**RESET_VALUES)

        wait_until(lambda: not installed.left(), 10)
        self.assertEqual(installed.left(), [])
        self.assertTrue(os.path.isdir(self.install_root))
        # The running helper is left alone, and answers a second uninstall with nothing left
        # to remove just the same.
        self.assertEqual(self.query_status()['values']['status'], 1)
        again = self.ctl('uninstall')
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assert_helper_alive()


if __name__ == '__main__':
    unittest.main()
