"""The battery app (`ampwardenctl app`) keeping the emulated battery in range as UPower's level
moves, and giving charging back when it ends."""

import json
import os
import signal
import time
import unittest

from harness import (AS_CONSOLE_USER, AS_NOBODY, CLOSE_ANSWER, ENABLE_CHARGING_ANSWER,
                     MAIN_APP_ID, OPEN_ANSWER, RESET_VALUES, HelperTestCase, dbus)

DISPLAY_DEVICE = '/org/freedesktop/UPower/devices/DisplayDevice'
BATTERY_TYPE, CHARGING_STATE = 2, 1


class BatteryAppTest(HelperTestCase):

    def setUp(self):
        super().setUp()
        self.upower = self.start_mock('upower', 'org.freedesktop.UPower', '/org/freedesktop/UPower')
        self.upower.AddAC('ac', 'Mains')
        self.upower.SetupDisplayDevice(BATTERY_TYPE, CHARGING_STATE, 70.0, 50.0, 70.0, 10.0, 0,
                                       0, True, 'battery', 1)
        os.makedirs(os.path.join(self.tmp, 'config', 'lumora'))  # in the rig's XDG_CONFIG_HOME
        self.env = {'XDG_RUNTIME_DIR': os.path.join(self.tmp, 'run')}
        os.makedirs(self.env['XDG_RUNTIME_DIR'], mode=0o700)
        self.start_helper()

    def set_level(self, percent):
        self.upower.SetDeviceProperties(DISPLAY_DEVICE, {'Percentage': dbus.Double(percent)})

    def start_app(self, *options, settings=''):
        with open(os.path.join(self.tmp, 'config', 'lumora', 'battery.conf'), 'w') as conf:
            conf.write(settings)
        app = self.start_service('battery-app', [self.program('ampwardenctl'), 'app', *options],
                                 env_overrides=self.env)
        self.recorder.wait_for(OPEN_ANSWER, timeout=10)
        return app

    def test_sails_between_the_bounds_reapplies_after_wake_and_closes_when_stopped(self):
        app = self.start_app(settings='# mine\nlimit = on\nkeep = 75-80\n')
        self.assert_keys(BCLM=80, CH0B=0)
        self.smc_writes.wait_quiet()  # commands within half a second interleave their writes
        self.set_level(80)  # exactly HIGH: stop
        self.assert_keys(CH0B=2, CH0C=2)
        self.set_level(75)  # exactly LOW: resume, and the limit again
        self.assert_keys(BCLM=80, CH0B=0, CH0C=0)
        self.smc_writes.wait_quiet()

        # The helper stops charging on sleep while discharging only; the app re-applies on wake.
        answers = self.recorder.mark()
        self.logind.prepare_for_sleep(True)
        self.logind.prepare_for_sleep(False)
        self.recorder.wait(lambda items: any(a['name'] == ENABLE_CHARGING_ANSWER
                                             for a in items[answers:]), what='re-apply')
        self.smc_writes.wait_quiet()
        # A second app is refused: the name is the first one's.
        second = self.ctl('app', '--timeout', '5', env_overrides=self.env)
        self.assertEqual(second.returncode, 1)
        self.assertIn('already owned', second.stderr)

        self.set_level(85)
        self.assert_keys(CH0B=2, CH0C=2)
        # While it runs, status tells the level and the hold from the app's state file.
        shown = json.loads(self.ctl('--json', 'status', env_overrides=self.env).stdout)
        self.assertEqual((shown['battery']['level'], shown['app']['holding']),
                         (85, 'charging stopped'), shown)
        # Charged to full once, limit lifted, then held again; status shows it meanwhile.
        self.assertEqual(self.ctl('full-charge', env_overrides=self.env).returncode, 0)
        self.assert_keys(BCLM=100, CH0B=0, CH0C=0)
        shown = json.loads(self.ctl('--json', 'status', env_overrides=self.env).stdout)
        self.assertIn('charging to full once', shown['app']['settings'])
        self.smc_writes.wait_quiet()
        self.set_level(100)
        self.assert_keys(BCLM=80, CH0B=2, CH0C=2)
        app.stop(signal.SIGTERM)
        self.assertEqual(app.process.returncode, 0, app.output('stderr'))
        self.recorder.wait_for(CLOSE_ANSWER, timeout=2)
        self.assert_keys(**RESET_VALUES)
        self.assertFalse(self.client.name_has_owner(MAIN_APP_ID))
        shown = json.loads(self.ctl('--json', 'status', env_overrides=self.env).stdout)
        self.assertEqual((shown['battery']['level'], shown['app'], shown['helper']['smcStatus']),
                         (100, {'running': False}, 0))
        # What it says of the charging is the battery's own state and, as root, the keys.
        self.assertEqual((shown['battery']['state'], shown['keys']), ('charging', RESET_VALUES))

    def test_refuses_bad_settings_discharges_to_the_target_and_follows_a_helper_restart(self):
        # A bad option is a usage error; a bad file is one the user service does not restart.
        result = self.ctl('app', '--keep', '80-75', env_overrides=self.env)
        self.assertEqual((result.returncode, result.stderr.count('\n')), (2, 1), result.stderr)
        with open(os.path.join(self.tmp, 'config', 'lumora', 'battery.conf'), 'w') as conf:
            conf.write('keep = 75-80  # for the desk\nlimit = yes\n')
        result = self.ctl('app', env_overrides=self.env)
        self.assertEqual((result.returncode, result.stderr.count('\n')), (78, 1), result.stderr)
        self.assertIn("battery.conf: line 2: limit takes 'on' or 'off'", result.stderr)

        self.set_level(90)
        self.start_app('--discharge-to', '50', settings='keep = 75-80\n')
        self.assert_keys(CH0I=1)
        self.set_level(50)
        self.assert_keys(CH0I=0, CH0B=2, CH0C=2)

        # A restarted helper has closed the connection; the app opens it and re-applies.
        self.helper.stop(signal.SIGKILL)
        mark = self.smc_writes.mark()
        self.start_helper()
        self.smc_writes.wait_for('CH0C', 2, since=mark)

    def test_a_stranger_owning_the_name_first_leaves_the_app_in_charge(self):
        self.start_service('stranger', [*AS_NOBODY, self.program('ampwardenctl'), 'app'],
                           env_overrides={'XDG_CONFIG_HOME': '/nonexistent'},
                           ready=lambda line: 'owning' in line)
        self.set_level(85)
        app = self.start_service('battery-app', [*AS_CONSOLE_USER, self.program('ampwardenctl'),
                                                 'app', '--keep', '75-80'])
        queued = lambda line: 'waiting in the queue' in line and '(uid 65534)' in line
        self.assertTrue(app.wait_for_line(queued, 10, stream='stderr'), app.output('stderr'))
        self.assert_keys(CH0B=2, CH0C=2)
        # The watchdog (every 10 s) counts the app waiting for its name: charging stays stopped.
        mark = self.recorder.mark()
        time.sleep(11)
        self.assertEqual([a['name'] for a in self.recorder.since(mark)
                          if a['name'] == CLOSE_ANSWER], [])
        self.assert_keys(CH0B=2, CH0C=2)
        self.assertTrue(app.running())
        self.assertEqual(app.output('stderr').count('waiting in the queue'), 1)


if __name__ == '__main__':
    unittest.main()
