"""ampwardenctl against the real helper, and without one."""

import signal
import unittest

from harness import DISABLE_CHARGING_ANSWER, DISCHARGING_ANSWER, STATUS_ANSWER, HelperTestCase, dbus


class CtlTest(HelperTestCase):

    def test_watch_prints_every_answer_with_its_types(self):
        # The rig's answer recorder is `ampwardenctl watch --json`; every test reads it. A root
        # process may post answers of any shape: watch shows every type as it came.
        self.client.emit('Distributed', 'sa{sv}', 'Typed', {
            'i': dbus.Int32(-7), 'x': dbus.Int64(2**40), 'u': dbus.UInt32(7), 's': '开始重启',
            'b': dbus.Boolean(True), 'list': dbus.Array(['a'], signature='s')})
        typed = self.recorder.wait_for('Typed')[0]
        self.assertEqual((typed['types'], typed['values']), (
            {'i': 'int32', 'x': 'int64', 'u': 'uint32', 's': 'string', 'b': 'boolean',
             'list': 'as'},
            {'i': -7, 'x': 2**40, 'u': 7, 's': '开始重启', 'b': True, 'list': None}))
        recorder = next(s for s in self.services if s.name == 'recorder')
        recorder.process.send_signal(signal.SIGINT)
        self.assertEqual(recorder.wait(5), 0)

    def test_without_a_helper_or_a_bus_or_with_bad_usage_it_says_what_went_wrong(self):
        no_bus = {'DBUS_SYSTEM_BUS_ADDRESS': f'unix:path={self.tmp}/no-such-socket'}
        for args, env, code, said in (
                ('--timeout 0.5 daemon-info', None, 1, [f'"{STATUS_ANSWER}"']),
                ('--timeout 0.3 discharge on', None, 1,
                 [f'"{DISCHARGING_ANSWER}" or "{DISABLE_CHARGING_ANSWER}"', 'sleep']),
                ('daemon-info', no_bus, 1, ['cannot connect to the system bus']),
                ('open --timeout soon', None, 2, ['ampwardenctl --help'])):
            result = self.ctl(*args.split(), env_overrides=env)
            self.assertEqual(result.returncode, code, args)
            for part in said:
                self.assertIn(part, result.stderr)

    def test_keys_that_are_not_written_make_it_fail_and_say_what_did_not_happen(self):
        """A read-only key in the emulator's key table, then a device that stalls."""
        self.replace_emulator(lambda table: table.replace('CH0B hex_ 1 00', 'CH0B hex_ 1 00 ro'))
        self.start_helper()
        self.assertEqual(self.ctl('open').returncode, 0)
        refused = self.ctl('charge', 'off')
        self.assertEqual(refused.returncode, 1)
        self.assertIn('smcWritten = 0 (int32)', refused.stdout)
        self.assertIn('charging was not stopped: the helper could not write CH0B',
                      refused.stderr)

        stalled = self.emulator
        stalled.process.send_signal(signal.SIGSTOP)
        try:
            result = self.ctl('limit', 'on')
        finally:
            stalled.process.send_signal(signal.SIGCONT)
        self.assertEqual(result.returncode, 1)
        self.assertIn('the charge limit was not set: the helper could not write BCLM',
                      result.stderr)


if __name__ == '__main__':
    unittest.main()
