"""The battery app (`ampwardenctl app`) keeping the emulated battery in range as UPower's level
moves, and giving charging back when it ends."""

import json
import os
import pathlib
import signal
import unittest

from harness import (CLOSE_ANSWER, MAIN_APP_ID, OPEN_ANSWER, RESET_VALUES, HelperTestCase, dbus,
                     wait_until)

DISPLAY_DEVICE = '/org/freedesktop/UPower/devices/DisplayDevice'
BATTERY_TYPE, CHARGING_STATE = 2, 1


class BatteryAppTest(HelperTestCase):

    def setUp(self):
        super().setUp()
        self.upower = self.start_mock('upower', 'org.freedesktop.UPower', '/org/freedesktop/UPower')
        self.ac = self.upower.AddAC('ac', 'Mains')
        self.upower.SetupDisplayDevice(BATTERY_TYPE, CHARGING_STATE, 70.0, 50.0, 70.0, 10.0, 0,
                                       0, True, 'battery', 1)
        self.config = os.path.join(self.tmp, 'config')  # the rig's XDG_CONFIG_HOME
        self.runtime = os.path.join(self.tmp, 'run')
        os.makedirs(os.path.join(self.config, 'lumora'))
        os.makedirs(self.runtime, mode=0o700)
        self.env = {'XDG_RUNTIME_DIR': self.runtime}
        self.start_helper()

    def set_level(self, percent):
        self.upower.SetDeviceProperties(DISPLAY_DEVICE, {'Percentage': dbus.Double(percent)})

    def set_mains(self, online):
        self.upower.SetDeviceProperties(self.ac, {'Online': dbus.Boolean(online)})

    def settings(self, text):
        with open(os.path.join(self.config, 'lumora', 'battery.conf'), 'w') as conf:
            conf.write(text)

    def start_app(self, *options, settings=''):
        self.settings(settings)
        app = self.start_service('battery-app', [self.program('ampwardenctl'), 'app', *options],
                                 env_overrides=self.env)
        self.recorder.wait_for(OPEN_ANSWER, timeout=10)
        return app

    def status(self):
        result = self.ctl('status', env_overrides=self.env)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_sails_between_the_bounds_reapplies_after_wake_and_closes_when_stopped(self):
        app = self.start_app(settings='# mine\nlimit = on\nkeep = 75-80\n')
        self.smc_writes.wait_for('BCLM', 80)
        self.smc_writes.wait_quiet()
        self.assert_keys(BCLM=80, CH0B=0)

        self.set_level(80)  # exactly HIGH: stop
        self.smc_writes.wait_for('CH0C', 2, since=self.smc_writes.mark())
        self.assert_keys(CH0B=2, CH0C=2)
        self.assertIn('holding:   charging stopped (at or above 80 %)', self.status())
        mark = self.smc_writes.mark()
        self.set_level(77)
        self.status()  # asks the helper's status too, which must not bring a re-apply
        state = pathlib.Path(self.runtime, 'lumora', 'battery-app.state')
        self.assertTrue(wait_until(lambda: 'level=77 %' in state.read_text(), 5))
        self.assertEqual(self.smc_writes.pairs_since(mark), [])
        self.set_level(75)  # exactly LOW: resume, and the limit again
        self.smc_writes.wait_for('BCLM', 80, since=mark)
        self.smc_writes.wait_quiet()
        self.assert_keys(BCLM=80, CH0B=0, CH0C=0)

        # The helper stops charging on sleep while discharging only; the app re-applies on wake.
        answers = self.recorder.mark()
        self.logind.prepare_for_sleep(True)
        self.logind.prepare_for_sleep(False)
        self.recorder.wait(lambda items: any(a['name'] == 'ZTBattery_TellDeamon_SetEnableCharging'
                                             '_callback' for a in items[answers:]), what='re-apply')
        # A second app is refused: the name is the first one's.
        second = self.ctl('app', '--timeout', '5', env_overrides=self.env)
        self.assertEqual(second.returncode, 1)
        self.assertIn('already owned', second.stderr)

        self.set_level(85)
        self.smc_writes.wait_for('CH0C', 2, since=self.smc_writes.mark())
        app.stop(signal.SIGTERM)
        self.assertEqual(app.process.returncode, 0, app.output('stderr'))
        self.recorder.wait_for(CLOSE_ANSWER, timeout=2)
        self.smc_writes.wait_quiet()
        self.assert_keys(**RESET_VALUES)
        self.assertFalse(self.client.name_has_owner(MAIN_APP_ID))
        shown = json.loads(self.ctl('--json', 'status', env_overrides=self.env).stdout)
        self.assertEqual((shown['battery'], shown['app'], shown['helper']['smcStatus'],
                          shown['backend']['picks']),
                         ({'level': 85, 'mains': True, 'source': 'UPower'}, {'running': False}, 0,
                          'emulator'))

    def test_refuses_bad_settings_discharges_to_the_target_and_follows_a_helper_restart(self):
        for options, settings, message in (
                (['--keep', '80-75'], '', '--keep needs LOW below HIGH'),
                ([], 'limit = on\nkeep = 90\n', 'battery.conf: line 2: keep takes LOW-HIGH')):
            self.settings(settings)
            result = self.ctl('app', *options, env_overrides=self.env)
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertEqual(result.stderr.strip().splitlines(), [result.stderr.strip()])
            self.assertIn(message, result.stderr)

        self.set_level(90)
        self.start_app('--discharge-to', '50', settings='keep = 75-80\n')
        self.smc_writes.wait_for('CH0I', 1)
        self.set_mains(False)  # mains lost: the discharge ends, charging stays stopped
        self.smc_writes.wait_for('CH0I', 0)
        self.smc_writes.wait_for('CH0C', 2)
        self.set_mains(True)
        mark = self.smc_writes.mark()
        self.smc_writes.wait_for('CH0I', 1, since=mark)
        self.set_level(50)
        self.smc_writes.wait_for('CH0I', 0, since=mark)
        self.smc_writes.wait_quiet()
        self.assert_keys(CH0I=0, CH0B=2, CH0C=2)

        # A restarted helper has closed the connection; the app opens it and re-applies.
        self.helper.stop(signal.SIGKILL)
        mark = self.smc_writes.mark()
        self.start_helper()
        self.smc_writes.wait_for('CH0C', 2, since=mark)


if __name__ == '__main__':
    unittest.main()
