"""The main app going away: the helper notices and gives charging back."""

import signal
import time
import unittest

from harness import (CLOSE_ANSWER, DISABLE_CHARGING_ANSWER, DISCHARGING_ANSWER, LIMIT_ON_ANSWER,
                     MAIN_APP_ID, OPEN_ANSWER, RESET_VALUES, SMC_STATUS_ANSWER, HelperTestCase)

# The watchdog looks for the main app every 10 s.
CHECK_INTERVAL = 10.0


class WatchdogTest(HelperTestCase):

    def test_killing_the_main_app_closes_the_connection_and_resets_the_keys(self):
        self.require_smc_tools()
        self.start_helper()
        # The app of the user at the machine (seat0's active session): the helper counts the
        # name only while its owner may command it.
        app = self.start_service('ampwardenctl', [
            'setpriv', '--reuid=1000', '--regid=1000', '--clear-groups',
            self.rig.program('ampwardenctl'), 'app'])
        self.assertTrue(app.wait_for_line(lambda l: MAIN_APP_ID in l, 10), app.output('stderr'))
        # What the app does at its start: ask for the helper's state, which also tells the
        # watchdog that the app runs; then take the charging over.
        self.query_status()
        self.ask('open', expect=OPEN_ANSWER)
        self.ask('limit', 'on', expect=LIMIT_ON_ANSWER)
        self.ask('charge', 'off', expect=DISABLE_CHARGING_ANSWER)
        self.ask('discharge', 'on', expect=DISCHARGING_ANSWER)
        self.smc_writes.wait_for('CH0C', 2)
        self.assert_keys(BCLM=80, CH0B=2, CH0C=2, CH0I=1)

        mark = self.recorder.mark()
        app.process.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        closed = self.recorder.wait_for(CLOSE_ANSWER, timeout=CHECK_INTERVAL + 1.0)[0]
        self.assertLessEqual(closed['time'] - killed, CHECK_INTERVAL + 1.0)
        self.assertEqual(closed['values'], {'smcOpenClose': 'close'})
        self.assertEqual([a['name'] for a in self.recorder.since(mark)], [CLOSE_ANSWER])
        self.assert_keys(**RESET_VALUES)
        self.assertEqual(self.ask('smc-status', expect=SMC_STATUS_ANSWER)['values'],
                         {'smcStatus': 0})
        self.assert_helper_alive()


if __name__ == '__main__':
    unittest.main()
