"""The battery app (`ampwardenctl app`) keeping the emulated battery in range as UPower's level
moves, and giving charging back when it ends; its interface on a session bus of the test's own,
and the notices a notification server (python-dbusmock's) receives."""

import json
import os
import signal
import time
import unittest
import xml.etree.ElementTree as ElementTree

from harness import (AS_CONSOLE_USER, AS_NOBODY, CLOSE_ANSWER, ENABLE_CHARGING_ANSWER,
                     MAIN_APP_ID, OPEN_ANSWER, RESET_VALUES, HelperTestCase, dbus, wait_until)

DISPLAY_DEVICE = '/org/freedesktop/UPower/devices/DisplayDevice'
BATTERY_TYPE, CHARGING_STATE = 2, 1
APP_PATH, APP_INTERFACE = '/lumora/Battery', 'lumora.Battery1'
PROPERTIES = 'org.freedesktop.DBus.Properties'
INTERFACE_XML = os.path.join(os.path.dirname(__file__), '..', '..', 'packaging', 'dbus',
                             'lumora.Battery1.xml')


def members(interface):
    """Each member of an introspected interface element: (kind, name, types)."""
    return {(item.tag, item.get('name'), item.get('type') or ' '.join(
        f'{arg.get("direction", "in")}:{arg.get("type")}' for arg in item.findall('arg')))
            for item in interface if item.tag in ('property', 'method', 'signal')}


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
        # The desktop: a session bus, a notification server, and every property change seen.
        self.env['DBUS_SESSION_BUS_ADDRESS'] = self.start_session_bus()
        self.notices = self.start_mock('notification_daemon', 'org.freedesktop.Notifications',
                                       '/org/freedesktop/Notifications',
                                       session=self.env['DBUS_SESSION_BUS_ADDRESS'])
        self.announced = self.start_service('session-monitor', [
            'dbus-monitor', '--address', self.env['DBUS_SESSION_BUS_ADDRESS'],
            "type='signal',member='PropertiesChanged'"], ready=lambda line: True)
        self.start_helper()

    def set_level(self, percent):
        self.upower.SetDeviceProperties(DISPLAY_DEVICE, {'Percentage': dbus.Double(percent)})

    def settings_file(self, text=None):
        """The app's battery.conf as it is, after writing `text` into it if given."""
        path = os.path.join(self.tmp, 'config', 'lumora', 'battery.conf')
        if text is not None:
            with open(path, 'w') as conf:
                conf.write(text)
        with open(path) as conf:
            return conf.read()

    def app_property(self, name):
        return self.session_bus.interface(MAIN_APP_ID, APP_PATH, PROPERTIES).Get(APP_INTERFACE, name)

    def start_app(self, *options, settings=''):
        self.settings_file(settings)
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

    def test_the_desktop_changes_settings_at_once_and_sees_each_change(self):
        # With no app on the session bus, a setting has nobody to keep it; the limit goes to
        # the helper itself.
        result = self.ctl('keep', '75-80', env_overrides=self.env)
        self.assertEqual(result.returncode, 1)
        self.assertIn('no battery app runs', result.stderr)
        self.ask('open')
        result = self.ctl('limit', 'on', env_overrides=self.env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_keys(BCLM=80)
        self.ask('close')

        self.set_level(85)
        app = self.start_app(settings='keep = 75-80   # for the desk\n')
        self.assert_keys(CH0B=2, CH0C=2)
        shown = self.session_bus.interface(MAIN_APP_ID, APP_PATH, PROPERTIES).GetAll(APP_INTERFACE)
        self.assertEqual((shown['Holding'], shown['Level'], tuple(shown['Keep']), shown['Limit'],
                          shown['ChargingToFullOnce']), ('charging stopped', 85, (75, 80), '', 0))
        # What it serves is what the installed description says, member for member.
        served = ElementTree.fromstring(self.session_bus.interface(
            MAIN_APP_ID, APP_PATH, 'org.freedesktop.DBus.Introspectable').Introspect())
        described = ElementTree.parse(INTERFACE_XML).getroot()
        find = lambda node: node.find(f"interface[@name='{APP_INTERFACE}']")
        self.assertEqual(members(find(served)), members(find(described)))

        # A change takes effect at once and lands in the file, the person's comment kept.
        result = self.ctl('keep', '86-90', env_overrides=self.env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('keep 86-90 %', result.stdout)
        self.assert_keys(CH0B=0, CH0C=0)
        self.assertEqual(self.settings_file(), 'keep = 86-90   # for the desk\n')
        self.assertEqual(self.ctl('limit', 'on', env_overrides=self.env).returncode, 0)
        self.assert_keys(BCLM=80)
        self.assertEqual(self.settings_file(), 'keep = 86-90   # for the desk\nlimit = on\n')
        methods = self.session_bus.interface(MAIN_APP_ID, APP_PATH, APP_INTERFACE)
        with self.assertRaises(dbus.exceptions.DBusException) as refused:
            methods.SetKeep(dbus.UInt32(90), dbus.UInt32(80))
        self.assertEqual(refused.exception.get_dbus_name(),
                         'org.freedesktop.DBus.Error.InvalidArgs')
        self.assertEqual(tuple(self.app_property('Keep')), (86, 90))

        # Charged to full once, its limit lifted, then back to the settings when full.
        result = self.ctl('full-charge', env_overrides=self.env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_keys(BCLM=100, CH0B=0, CH0C=0)
        self.assertTrue(self.app_property('ChargingToFullOnce'))
        self.smc_writes.wait_quiet()
        self.set_level(100)
        self.assert_keys(BCLM=80, CH0B=2, CH0C=2)
        self.assertTrue(app.wait_for_line(lambda line: 'charged to full once: back to' in line, 5))
        self.assertFalse(self.app_property('ChargingToFullOnce'))
        # Each change was announced with its new value.
        announced = self.announced.output()
        for name in ('Holding', 'Keep', 'Limit', 'Level', 'ChargingToFullOnce'):
            self.assertIn(f'string "{name}"', announced)
        self.assertEqual(self.notices.GetCalls(), [])  # nothing went wrong

    def test_the_desktop_is_told_once_that_the_helper_does_not_answer(self):
        self.helper.stop(signal.SIGKILL)
        app = self.start_service('battery-app', [self.program('ampwardenctl'), 'app', '--keep',
                                                 '75-80'], env_overrides=self.env)
        notify = lambda: [call[2] for call in self.notices.GetCalls() if call[1] == 'Notify']
        self.assertTrue(wait_until(notify, 10), app.output('stderr'))
        self.start_helper()
        self.recorder.wait_for(OPEN_ANSWER, timeout=10)
        (application, replaces, _, summary, body, *_), = notify()
        self.assertEqual((application, replaces, summary),
                         ('Battery', 0, 'The battery helper does not answer'))
        self.assertIn('The battery is not held until it does', body)

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
