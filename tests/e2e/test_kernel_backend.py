"""The helper and ampwarden-smc on the kernel's battery attributes instead of the emulator: a
fake /sys tree (AMPWARDEN_SYSFS_ROOT) whose files the charge commands must change, and
`ampwarden-smc probe` telling what each fake machine offers (why a backend is passed over, and
that the ports are never touched off an Apple SMC, is the backend choice's unit test's)."""

import os
import re
import unittest

from harness import (AS_NOBODY, DISABLE_CHARGING_ANSWER, GLOBAL_STATUS_ANSWER, HelperTestCase,
                     wait_until)

BATTERY = 'sys/class/power_supply/BAT0'
EVERY_BEHAVIOUR = '[auto] inhibit-charge force-discharge'


class KernelBackendTest(HelperTestCase):

    def setUp(self):
        super().setUp()
        self.sysfs = os.path.join(self.tmp, 'host')
        self.env = {'AMPWARDEN_SYSFS_ROOT': self.sysfs, 'LUMORA_SMC_EMULATOR': '',
                    'AMPWARDEN_SMC_BACKEND': 'auto'}

    def attributes(self):
        """The end threshold and the current charge behaviour (the bracketed word, if any)."""
        read = lambda name: open(os.path.join(self.sysfs, BATTERY, name)).read().strip()
        return (read('charge_control_end_threshold'),
                re.sub(r'.*\[(\S+)\].*', r'\1', read('charge_behaviour')))

    def expect_attributes(self, limit, behaviour):
        wait_until(lambda: self.attributes() == (limit, behaviour), 3)
        self.assertEqual(self.attributes(), (limit, behaviour))

    def laptop(self, threshold='100', behaviour=EVERY_BEHAVIOUR):
        for path, text in (('sys/class/dmi/id/sys_vendor', 'LENOVO'),
                           (BATTERY + '/type', 'Battery'),
                           (BATTERY + '/charge_control_end_threshold', threshold),
                           (BATTERY + '/charge_behaviour', behaviour)):
            if text is None:
                continue
            os.makedirs(os.path.dirname(path := os.path.join(self.sysfs, path)), exist_ok=True)
            with open(path, 'w') as file:
                file.write(text + '\n')

    def test_every_charge_command_changes_the_attribute_files(self):
        self.laptop()
        self.start_helper(env_overrides={**self.env, 'AMPWARDEN_SMC_BACKEND': 'kernel'})
        self.assertEqual(self.ask('open')['values'], {'smcOpenClose': 'open'})
        for verb, limit, behaviour in (('limit on', '80', 'auto'),
                                       ('charge off', '80', 'inhibit-charge'),
                                       ('discharge on', '80', 'force-discharge'),
                                       ('close', '100', 'auto')):
            self.ask(*verb.split())
            self.expect_attributes(limit, behaviour)
        self.assertTrue(self.helper.running(), 'the helper ended')

    def test_what_the_machine_cannot_do_is_answered_and_reported_as_not_done(self):
        """ampwardenctl exits 1 and says what did not happen: no charge_behaviour (the limit
        only), a threshold file that makes no sense, no backend at all."""
        def expect(verb, code, said=''):
            result = self.ctl(*verb.split())
            self.assertEqual(result.returncode, code, f'{verb}: {result.stderr}')
            self.assertIn(said, result.stderr, verb)

        self.laptop(behaviour=None)
        self.start_helper(env_overrides=self.env)
        expect('open', 0)
        expect('limit on', 0)
        expect('charge off', 1, 'charging was not stopped: the helper could not write CH0B')
        answer = self.recorder.wait_for(DISABLE_CHARGING_ANSWER)[-1]
        self.assertEqual(answer['values'], {'smcCtrlStatus': 'disableCharging', 'smcWritten': 0,
                                            'smcNotWritten': 'CH0B'})
        for threshold in ('abc', '255'):
            self.laptop(threshold=threshold)
            expect('limit on', 1, 'the charge limit was not set: the helper could not write BCLM')
            expect('close', 1, 'charging was not fully given back')
            expect('open', 0)

        self.helper.stop()
        os.remove(os.path.join(self.sysfs, BATTERY, 'type'))
        self.start_helper(env_overrides=self.env, wait_started=False)
        self.recorder.wait_for(GLOBAL_STATUS_ANSWER, 10, count=2)  # the second helper's
        expect('open', 1, 'the helper could not open the SMC')
        expect('limit on', 1, 'the charge limit was not set')

    def test_probe_tells_what_each_machine_offers(self):
        for user, code, said in (((), 1, 'kernel: not usable: no battery in'),
                                 ((), 0, 'auto picks: kernel\n'),
                                 (AS_NOBODY, 1, 'charge_control_end_threshold: Permission denied')):
            result = self.run_tool('ampwarden-smc', 'probe', user=user, env_overrides=self.env)
            self.assertEqual(result.returncode, code, result.stdout)
            self.assertIn(said, result.stdout)
            self.laptop()  # for the probes after the first
        # Without the setting in the environment, the service's file has it.
        defaults = os.path.join(self.sysfs, 'etc/default/ampwarden')
        os.makedirs(os.path.dirname(defaults), exist_ok=True)
        for setting, code, said in (('kernel', 0, 'AMPWARDEN_SMC_BACKEND=kernel picks: kernel'),
                                    ('sideways', 2, '')):
            with open(defaults, 'w') as file:
                file.write(f'# chosen by hand\nAMPWARDEN_SMC_BACKEND="{setting}"\n')
            result = self.run_tool('ampwarden-smc', 'probe',
                                   env_overrides={**self.env, 'AMPWARDEN_SMC_BACKEND': ''})
            self.assertEqual((result.returncode, said in result.stdout), (code, True), result.stdout)
        self.assertEqual(result.stderr, 'ampwarden-smc: unknown AMPWARDEN_SMC_BACKEND "sideways" '
                                        '(auto, emulator, kernel or port-io)\n')


if __name__ == '__main__':
    unittest.main()
