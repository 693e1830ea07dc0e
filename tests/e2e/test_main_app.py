"""The main app of the user at the machine holding the charging: a flood of status commands from
several clients neither resets it nor shuts the user out (its throughput and memory are the
command_flood benchmark's), and the app going away gives the charging back."""

import multiprocessing
import os
import signal
import time
import unittest

from harness import (AS_CONSOLE_USER, CLOSE_ANSWER, INTERFACE, MAIN_APP_ID, OBJECT_PATH,
                     RESET_VALUES, SMC_STATUS, SMC_STATUS_ANSWER, HelperTestCase)

CLIENTS = 4
PER_CLIENT = 12500
# A sanitized helper works through the flood several times slower.
ANSWER_WITHIN = 20.0 if os.environ.get('AMPWARDEN_SANITIZED') == '1' else 5.0
CHECK_INTERVAL = 10.0  # how often the watchdog looks for the main app


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


class MainAppTest(HelperTestCase):

    def test_a_flood_leaves_the_app_in_charge_and_killing_the_app_resets_the_keys(self):
        self.start_helper()
        # The helper counts the app's name only while its owner may command it.
        app = self.start_service('ampwardenctl', [*AS_CONSOLE_USER,
                                                  self.program('ampwardenctl'), 'app'])
        self.assertTrue(app.wait_for_line(lambda l: MAIN_APP_ID in l, 10), app.output('stderr'))
        # What the app does at its start: ask for the helper's state, which also tells the
        # watchdog that the app runs; then take the charging over.
        self.query_status()
        for verb in ('open', 'limit on', 'charge off', 'discharge on'):
            self.ask(*verb.split())
        self.assert_keys(BCLM=80, CH0B=2, CH0C=2, CH0I=1)

        # Processes, not threads: each floods at its own full speed.
        floods = [multiprocessing.Process(target=flood, args=(self.bus_address, PER_CLIENT))
                  for _ in range(CLIENTS)]
        for process in floods:
            process.start()
        time.sleep(1.0)
        # The user at the machine, in the middle of the flood, is answered in time.
        result = self.ctl('--timeout', str(ANSWER_WITHIN), 'charge', 'off', user=AS_CONSOLE_USER)
        for process in floods:
            process.join()
            self.assertEqual(process.exitcode, 0)
        self.assertEqual(result.returncode, 0, result.stderr)
        # Through the flood: nothing closed, the keys stand.
        self.query_status()
        self.assertEqual(self.recorder.named(CLOSE_ANSWER), [])
        self.assert_keys(BCLM=80, CH0B=2, CH0C=2, CH0I=1)

        mark = self.recorder.mark()
        app.process.send_signal(signal.SIGKILL)
        self.recorder.wait_for(CLOSE_ANSWER, timeout=CHECK_INTERVAL + 1.0)
        # The flood's last status queries share one answer a moment after they are read, so
        # it may come after the mark; anything else would be the helper acting on its own.
        self.assertEqual([a['name'] for a in self.recorder.since(mark)
                          if a['name'] != SMC_STATUS_ANSWER], [CLOSE_ANSWER])
        self.assert_keys(**RESET_VALUES)
        self.assertTrue(self.helper.running(), 'the helper ended')


if __name__ == '__main__':
    unittest.main()
