"""Sleep and a closed lid end a forced discharge: logind's PrepareForSleep and LidClosed."""

import unittest

from harness import (DISABLE_CHARGING_ANSWER, DISCHARGING_ANSWER, OPEN_ANSWER, HelperTestCase,
                     wait_until)

DISABLE_CHARGING = {'smcCtrlStatus': 'disableCharging'}
DISCHARGING = {'smcCtrlStatus': 'discharging'}
SLEEP_LOCK = ('sleep', 'Ampwarden', 'delay')


class SleepLidTest(HelperTestCase):

    def setUp(self):
        super().setUp()
        self.require_smc_tools()
        self.start_helper(env_overrides={'AMPWARDEN_MODEL_NAME': 'MacBookPro11,1'})
        self.ask('open', expect=OPEN_ANSWER)

    def sleep_locks(self):
        return [(what, who, mode) for what, who, _, mode in self.logind.inhibitors()
                if (what, who, mode) == SLEEP_LOCK]

    def discharge_on(self):
        """The answer to "discharge on": either starting it or stopping charging instead."""
        mark = self.recorder.mark()
        result = self.ctl('discharge', 'on')
        self.assertEqual(result.returncode, 0, result.stderr)
        return wait_until(lambda: self.recorder.since(mark), 5)[0]

    def test_sleep_stops_a_discharge_before_the_machine_sleeps_and_only_then(self):
        # Nothing to do before sleeping: the lock goes at once, and comes back on waking.
        self.assertTrue(wait_until(self.sleep_locks, 5), 'the helper holds no sleep delay lock')
        mark, writes = self.recorder.mark(), self.smc_writes.mark()
        self.logind.prepare_for_sleep(True)
        self.assertTrue(wait_until(lambda: not self.sleep_locks(), 2), 'sleep stays delayed')
        self.query_status()
        self.assertEqual(len(self.recorder.since(mark)), 1)
        self.assertEqual(self.smc_writes.pairs_since(writes), [])
        self.logind.prepare_for_sleep(False)

        self.ask('discharge', 'on', expect=DISCHARGING_ANSWER)
        self.assert_keys(CH0I=1)
        self.assertTrue(wait_until(self.sleep_locks, 5), 'no sleep delay lock after waking')
        mark = self.smc_writes.mark()
        self.logind.prepare_for_sleep(True)
        answer = self.recorder.wait_for(DISABLE_CHARGING_ANSWER)[0]
        self.assertEqual(answer['values'], DISABLE_CHARGING)
        # The machine may sleep once the delayed write is in the SMC, not before.
        self.assertTrue(wait_until(lambda: not self.sleep_locks(), 5), 'sleep stays delayed')
        self.assert_keys(CH0B=2, CH0C=2, CH0I=0)
        self.assertEqual(sorted(self.smc_writes.pairs_since(mark)),
                         [('CH0B', 2), ('CH0C', 2), ('CH0I', 0)])

        # Asleep, a discharge is refused without an answer.
        refused = self.ctl('--timeout', '1', 'discharge', 'on')
        self.assertEqual(refused.returncode, 1)
        self.assertIn('sleep', refused.stderr)
        self.assert_keys(CH0I=0)

        # Waking neither answers nor resumes the discharge, but the helper locks again.
        mark = self.recorder.mark()
        self.logind.prepare_for_sleep(False)
        self.assertTrue(wait_until(self.sleep_locks, 5), 'no sleep delay lock after waking')
        self.query_status()
        self.assertEqual(len(self.recorder.since(mark)), 1)
        self.assert_keys(CH0I=0)
        self.assert_answer(self.ask('discharge', 'on', expect=DISCHARGING_ANSWER), DISCHARGING,
                           {'smcCtrlStatus': 'string'})
        self.assert_keys(CH0I=1)

    def test_a_closed_lid_turns_a_discharge_into_stopping_charging(self):
        # logind that does not tell the lid state means an open lid.
        self.assertEqual(self.discharge_on()['name'], DISCHARGING_ANSWER)
        self.assert_keys(CH0I=1)

        self.logind.set_lid_closed(True)
        mark = self.smc_writes.mark()
        answer = self.discharge_on()
        self.assertEqual((answer['name'], answer['values']),
                         (DISABLE_CHARGING_ANSWER, DISABLE_CHARGING))
        self.smc_writes.wait_for('CH0C', 2, since=mark)
        self.assert_keys(CH0B=2, CH0C=2, CH0I=0)

        self.logind.set_lid_closed(False)
        self.assertEqual(self.discharge_on()['name'], DISCHARGING_ANSWER)
        self.assert_keys(CH0I=1)


if __name__ == '__main__':
    unittest.main()
