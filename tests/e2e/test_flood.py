"""A flood of status commands from several clients while the main app holds the charging (its
throughput and memory are the command_flood benchmark's)."""

import multiprocessing
import os
import subprocess
import time
import unittest

from harness import (CLOSE_ANSWER, DISABLE_CHARGING_ANSWER, LIMIT_ON_ANSWER, MAIN_APP_ID,
                     INTERFACE, OBJECT_PATH, OPEN_ANSWER, SMC_STATUS, SMC_STATUS_ANSWER,
                     HelperTestCase)

AS_CONSOLE_USER = ['setpriv', '--reuid=1000', '--regid=1000', '--clear-groups']
CLIENTS = 4
PER_CLIENT = 12500
# A sanitized helper works through the flood several times slower.
ANSWER_WITHIN = 20.0 if os.environ.get('AMPWARDEN_SANITIZED') == '1' else 5.0


def flood(address, count):
    """Posts `count` commands as fast as the bus takes them (GDBus sends from its own thread,
    several times faster than the test's own client)."""
    from gi.repository import Gio, GLib
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
             Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
    command = GLib.Variant('(s)', (SMC_STATUS,))
    for _ in range(count):
        connection.emit_signal(None, OBJECT_PATH, INTERFACE, 'Darwin', command)
    connection.flush_sync(None)
    connection.close_sync(None)


class FloodTest(HelperTestCase):

    def test_a_flood_neither_resets_charging_nor_shuts_out_the_console_user(self):
        self.require_smc_tools()
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

        # Processes, not threads: each floods at its own full speed.
        floods = [multiprocessing.Process(target=flood, args=(self.rig.bus_address, PER_CLIENT))
                  for _ in range(CLIENTS)]
        for process in floods:
            process.start()
        time.sleep(1.0)
        # The user at the machine, in the middle of the flood, is answered in time.
        result = subprocess.run([*AS_CONSOLE_USER, self.rig.program('ampwardenctl'), '--timeout',
                                 str(ANSWER_WITHIN), 'charge', 'off'], env=self.rig.child_env(),
                                capture_output=True, text=True, timeout=30)
        for process in floods:
            process.join()
            self.assertEqual(process.exitcode, 0)
        self.assertEqual(result.returncode, 0, result.stderr)

        # Everything drained: a later query is answered, nothing was closed, the keys stand.
        self.assertEqual(self.ask('smc-status', expect=SMC_STATUS_ANSWER)['values'],
                         {'smcStatus': 1})
        self.assertNotIn(CLOSE_ANSWER, [a['name'] for a in self.recorder.since(mark)])
        self.assertEqual(self.rig.smc_values(), keys)
        self.assert_helper_alive()


if __name__ == '__main__':
    unittest.main()
