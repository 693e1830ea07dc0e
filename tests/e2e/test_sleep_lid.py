"""Sleep and a closed lid end a forced discharge: logind's PrepareForSleep and LidClosed."""

import unittest

from harness import DISABLE_CHARGING_ANSWER, DISCHARGING_ANSWER, HelperTestCase, wait_until

DISABLE_CHARGING = {'smcCtrlStatus': 'disableCharging'}


class SleepLidTest(HelperTestCase):

    def setUp(self):
        super().setUp()
        self.start_helper(env_overrides={'AMPWARDEN_MODEL_NAME': 'MacBookPro11,1'})
        self.ask('open')

    def sleep_locked(self):
        return ('sleep', 'Ampwarden', 'delay') in ((what, who, mode) for what, who, _, mode
                                                   in self.logind.inhibitors())

    def sleep(self, sleeping):
        """Tells the helper the machine goes to sleep or woke; returns once its lock is as it
        should be then, having nothing (more) to do."""
        self.logind.prepare_for_sleep(sleeping)
        self.assertTrue(wait_until(lambda: self.sleep_locked() != sleeping, 5),
                        'sleep stays delayed' if sleeping else 'no sleep delay lock after waking')

    def test_sleep_stops_a_discharge_before_the_machine_sleeps_and_only_then(self):
        # Nothing to do before sleeping: no answer, no write, the lock goes at once.
        self.assertTrue(wait_until(self.sleep_locked, 5), 'the helper holds no sleep delay lock')
        mark, writes = self.recorder.mark(), self.smc_writes.mark()
        self.sleep(True)
        self.query_status()
        self.assertEqual(len(self.recorder.since(mark)), 1)
        self.assertEqual(self.smc_writes.pairs_since(writes), [])
        self.sleep(False)

        self.ask('discharge', 'on')
        self.assert_keys(CH0I=1)
        mark = self.smc_writes.mark()
        # The machine may sleep once the delayed write is in the SMC, not before.
        self.sleep(True)
        self.assertEqual(self.recorder.wait_for(DISABLE_CHARGING_ANSWER)[0]['values'],
                         DISABLE_CHARGING)
        self.assert_keys(CH0B=2, CH0C=2, CH0I=0)
        self.assertEqual(sorted(self.smc_writes.pairs_since(mark)),
                         [('CH0B', 2), ('CH0C', 2), ('CH0I', 0)])

        # Waking neither answers nor resumes the discharge, but the helper locks again.
        mark = self.recorder.mark()
        self.sleep(False)
        self.query_status()
        self.assertEqual(len(self.recorder.since(mark)), 1)
        self.assert_keys(CH0I=0)
        self.assertEqual(self.ask('discharge', 'on')['values'], {'smcCtrlStatus': 'discharging'})
        self.assert_keys(CH0I=1)

    def test_a_closed_lid_turns_a_discharge_into_stopping_charging(self):
        # logind that does not tell the lid state means an open lid.
        self.assertEqual(self.ask('discharge', 'on')['name'], DISCHARGING_ANSWER)
        self.assert_keys(CH0I=1)
        self.logind.set_lid_closed(True)
        answer = self.ask('discharge', 'on')
        self.assertEqual((answer['name'], answer['values']),
                         (DISABLE_CHARGING_ANSWER, DISABLE_CHARGING))
        self.smc_writes.wait_for('CH0C', 2)
        self.assert_keys(CH0B=2, CH0C=2, CH0I=0)
        self.logind.set_lid_closed(False)
        self.assertEqual(self.ask('discharge', 'on')['name'], DISCHARGING_ANSWER)
        self.assert_keys(CH0I=1)


if __name__ == '__main__':
    unittest.main()
