"""A flood of status commands from several clients while the main app holds the charging."""

import subprocess
import threading
import time
import unittest

from harness import (CLOSE_ANSWER, DISABLE_CHARGING_ANSWER, LIMIT_ON_ANSWER, MAIN_APP_ID,
                     OPEN_ANSWER, SMC_STATUS, SMC_STATUS_ANSWER, BusClient, HelperTestCase)

AS_CONSOLE_USER = ['setpriv', '--reuid=1000', '--regid=1000', '--clear-groups']
CLIENTS = 4
PER_CLIENT = 10000
# The watchdog looks for the main app at start and every 10 s after; the flood runs across
# the tick at 10 s.
FLOOD_START = 7.5
FLOOD_SECONDS = 5.0
MEMORY_LIMIT_KIB = 16 * 1024


def flood(address, count, seconds):
    client = BusClient(address)
    try:
        chunk = 250
        for start in range(0, count, chunk):
            for _ in range(chunk):
                client.emit('Darwin', 's', SMC_STATUS, flush=False)
            client.connection.flush()
            time.sleep(seconds * chunk / count)
    finally:
        client.close()


class FloodTest(HelperTestCase):

    def test_a_flood_neither_resets_charging_nor_grows_memory_nor_delays_the_console_user(self):
        self.require_smc_tools()
        started = time.monotonic()
        self.start_helper()
        app = self.start_service('ampwardenctl', [*AS_CONSOLE_USER,
                                                  self.rig.program('ampwardenctl'), 'app'])
        self.assertTrue(app.wait_for_line(lambda l: MAIN_APP_ID in l, 10), app.output('stderr'))
        self.query_status()
        self.ask('open', expect=OPEN_ANSWER)
        self.ask('limit', 'on', expect=LIMIT_ON_ANSWER)
        self.ask('charge', 'off', expect=DISABLE_CHARGING_ANSWER)
        self.smc_writes.wait_for('CH0C', 2)
        keys = self.rig.smc_values()
        mark = self.recorder.mark()

        time.sleep(max(0.0, started + FLOOD_START - time.monotonic()))
        floods = [threading.Thread(target=flood, args=(self.rig.bus_address, PER_CLIENT,
                                                       FLOOD_SECONDS)) for _ in range(CLIENTS)]
        for thread in floods:
            thread.start()
        time.sleep(FLOOD_SECONDS / 2)
        # The user at the machine, in the middle of the flood.
        asked = time.monotonic()
        result = subprocess.run([*AS_CONSOLE_USER, self.rig.program('ampwardenctl'), '--timeout',
                                 '5', 'charge', 'off'], env=self.rig.child_env(),
                                capture_output=True, text=True, timeout=30)
        answered_after = time.monotonic() - asked
        for thread in floods:
            thread.join()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertLess(answered_after, 5.0)

        # Everything drained: a later query is answered, nothing was closed, the keys stand.
        self.assertEqual(self.ask('smc-status', expect=SMC_STATUS_ANSWER)['values'],
                         {'smcStatus': 1})
        names = [a['name'] for a in self.recorder.since(mark)]
        self.assertNotIn(CLOSE_ANSWER, names)
        self.assertEqual(self.rig.smc_values(), keys)
        self.assertGreaterEqual(time.monotonic() - started, 10.5, 'the flood missed the tick')
        with open(f'/proc/{self.helper.pid}/status') as status:
            peak = next(int(line.split()[1]) for line in status if line.startswith('VmHWM:'))
        self.assertLess(peak, MEMORY_LIMIT_KIB)
        self.assert_helper_alive()


if __name__ == '__main__':
    unittest.main()
