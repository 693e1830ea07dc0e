"""ampwardenctl against the real helper, and without one."""

import json
import signal
import time
import unittest

from harness import (DISABLE_CHARGING_ANSWER, DISCHARGING_ANSWER, GLOBAL_STATUS_ANSWER,
                     MAIN_APP_ID, STATUS_ANSWER, HelperTestCase, dbus, wait_until)


class CtlWithHelperTest(HelperTestCase):

    def test_daemon_info_as_text_and_json(self):
        self.start_helper()
        text = self.ctl('daemon-info')
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertEqual(text.stdout.splitlines()[0], STATUS_ANSWER)
        self.assertIn('\n  status = 1 (int32)\n', text.stdout)

        result = self.ctl('--json', 'daemon-info', '--global')
        self.assertEqual(result.returncode, 0, result.stderr)
        printed = json.loads(result.stdout)
        recorded = self.recorder.named(GLOBAL_STATUS_ANSWER)[-1]
        self.assertEqual(printed['name'], GLOBAL_STATUS_ANSWER)
        self.assertEqual((printed['values'], printed['types']),
                         (recorded['values'], recorded['types']))

    def test_watch_prints_each_answer_with_its_types(self):
        watch = self.start_ctl('watch', '--json')
        self.assertTrue(watch.wait_for_line(lambda l: 'watching' in l, 10, stream='stderr'))
        self.start_helper()
        self.query_status()
        # A root process may post answers of any shape; watch shows every type as it came.
        self.client.emit('Distributed', 'sa{sv}', 'Typed', {
            'i': dbus.Int32(-7), 'x': dbus.Int64(2**40), 'u': dbus.UInt32(7), 's': '开始重启',
            'b': dbus.Boolean(True), 'list': dbus.Array(['a'], signature='s')})
        self.recorder.wait_for('Typed')
        self.assertTrue(watch.wait_for_line(lambda l: '"Typed"' in l, 5))
        watch.process.send_signal(signal.SIGINT)
        self.assertEqual(watch.wait(5), 0)

        printed = [json.loads(line) for line in watch.output().splitlines()]
        self.assertEqual([p['name'] for p in printed], [a['name'] for a in self.recorder.answers])
        typed = printed[-1]
        self.assertEqual(typed['types'], {'i': 'int32', 'x': 'int64', 'u': 'uint32',
                                          's': 'string', 'b': 'boolean', 'list': 'as'})
        self.assertEqual(typed['values'], {'i': -7, 'x': 2**40, 'u': 7, 's': '开始重启',
                                           'b': True, 'list': None})


class CtlWithoutHelperTest(HelperTestCase):

    def test_says_which_answer_did_not_come(self):
        started = time.monotonic()
        result = self.ctl('--timeout', '0.5', 'daemon-info')
        self.assertLess(time.monotonic() - started, 3.0)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f'"{STATUS_ANSWER}"', result.stderr)
        self.assertIn('0.5 s', result.stderr)

        discharge = self.ctl('--timeout', '0.3', 'discharge', 'on')
        self.assertEqual(discharge.returncode, 1)
        self.assertIn(f'"{DISCHARGING_ANSWER}" or "{DISABLE_CHARGING_ANSWER}"', discharge.stderr)
        self.assertIn('sleep', discharge.stderr)

    def test_bus_and_usage_errors(self):
        unreachable = self.ctl('daemon-info', env_overrides={
            'DBUS_SYSTEM_BUS_ADDRESS': f'unix:path={self.tmp}/no-such-socket'})
        self.assertEqual(unreachable.returncode, 1)
        self.assertIn('cannot connect to the system bus', unreachable.stderr)
        for args in (['charge'], ['reboot'], ['open', '--timeout', 'soon'], []):
            result = self.ctl(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn('ampwardenctl --help', result.stderr)

    def test_app_owns_the_main_app_name_until_told_to_stop(self):
        app = self.start_ctl('app', as_nobody=True)
        self.assertTrue(app.wait_for_line(lambda l: MAIN_APP_ID in l, 10), app.output('stderr'))
        self.assertTrue(self.client.name_has_owner(MAIN_APP_ID))

        second = self.ctl('app', '--timeout', '5')
        self.assertEqual(second.returncode, 1)
        self.assertIn('already owned', second.stderr)

        app.process.send_signal(signal.SIGTERM)
        self.assertEqual(app.wait(5), 0)
        self.assertTrue(wait_until(lambda: not self.client.name_has_owner(MAIN_APP_ID), 5))


if __name__ == '__main__':
    unittest.main()
