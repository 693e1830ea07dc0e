"""The Debian package: built with CPack from the build under test, its contents, and its
maintainer scripts run against the SMC emulator with a recording stand-in for systemctl.

Nothing is installed on this machine. Needs the whole build, cpack and dpkg-deb.
"""

import os
import shutil
import subprocess
import tempfile
import threading
import unittest

import test_install as install

UNIT = install.UNIT
# What removal leaves in the SMC: normal charging, no forced discharge, no charge limit.
NORMAL_CHARGING = {'CH0B': 0, 'CH0C': 0, 'CH0I': 0, 'BCLM': 100}
# A battery held at 50 % with charging stopped and a forced discharge running.
HELD = {'CH0B': '02', 'CH0C': '02', 'CH0I': '01', 'BCLM': '32'}
RECORDING_SYSTEMCTL = '#!/bin/sh\necho "$*" >> "$SYSTEMCTL_LOG"\n'


class PackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for program in ('cpack', 'dpkg-deb'):
            if not shutil.which(program):
                raise unittest.SkipTest(f'{program} is not installed')
        cls.build = install.build_dir()
        cls.bin_dir = os.path.join(cls.build, 'bin')
        cls.tmp = tempfile.mkdtemp(prefix='ampwarden-package-')
        packaged = subprocess.run(['cpack', '-G', 'DEB', '--config',
                                   os.path.join(cls.build, 'CPackConfig.cmake'), '-B', cls.tmp],
                                  capture_output=True, text=True, timeout=600)
        debs = [name for name in os.listdir(cls.tmp) if name.endswith('.deb')]
        if packaged.returncode != 0 or len(debs) != 1:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError(f'cpack failed: {packaged.stdout}{packaged.stderr}')
        cls.deb = os.path.join(cls.tmp, debs[0])
        cls.control = os.path.join(cls.tmp, 'control')
        subprocess.run(['dpkg-deb', '-e', cls.deb, cls.control], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='scripts-', dir=self.tmp)
        fake_bin = os.path.join(self.work, 'fake-bin')
        os.mkdir(fake_bin)
        with open(os.path.join(fake_bin, 'systemctl'), 'w') as systemctl:
            systemctl.write(RECORDING_SYSTEMCTL)
        os.chmod(os.path.join(fake_bin, 'systemctl'), 0o755)
        self.systemctl_log = os.path.join(self.work, 'systemctl.log')
        self.socket = os.path.join(self.work, 'smc.sock')
        self.env = dict(os.environ, SYSTEMCTL_LOG=self.systemctl_log,
                        LUMORA_SMC_EMULATOR=self.socket,
                        PATH=f'{fake_bin}:{self.bin_dir}:/usr/sbin:/usr/bin:/sbin:/bin')

    def script(self, name, *args):
        return subprocess.run([os.path.join(self.control, name), *args], env=self.env,
                              capture_output=True, text=True, timeout=60)

    def systemctl_calls(self):
        try:
            with open(self.systemctl_log) as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def start_emulator(self):
        emulator = subprocess.Popen([os.path.join(self.bin_dir, 'ampwarden-smc-emulator'),
                                     '--socket', self.socket], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(emulator.stdout.close)
        self.addCleanup(emulator.wait, 10)
        self.addCleanup(emulator.terminate)
        self.assertTrue(emulator.stdout.readline(), 'the emulator did not start')
        # It goes on printing a line per write; keep reading so it never blocks.
        threading.Thread(target=emulator.stdout.read, daemon=True).start()

    def smc(self, *args):
        return subprocess.run([os.path.join(self.bin_dir, 'ampwarden-smc'), *args], env=self.env, capture_output=True,
                              text=True, timeout=30, check=True).stdout

    def keys(self):
        return {key: int(self.smc('read', key).split('\t')[3], 16) for key in NORMAL_CHARGING}

    def test_holds_the_installed_items_and_its_maintainer_scripts(self):
        listing = subprocess.run(['dpkg-deb', '-c', self.deb], capture_output=True, text=True,
                                 check=True).stdout
        files = sorted(line.split()[-1].lstrip('.') for line in listing.splitlines()
                       if not line.startswith('d'))
        self.assertEqual(files, install.expected_files(install.cache_values(self.build)))
        for name in ('postinst', 'prerm', 'postrm'):
            self.assertEqual(os.stat(os.path.join(self.control, name)).st_mode & 0o777, 0o755)

    def test_installation_enables_the_service(self):
        result = self.script('postinst', 'configure')
        self.assertEqual(result.returncode, 0, result.stderr)
        booted = os.path.isdir('/run/systemd/system')
        expected = [f'enable {UNIT}']
        if booted:
            expected = ['daemon-reload', f'enable {UNIT}', f'restart {UNIT}']
        self.assertEqual(self.systemctl_calls(), expected)

    def test_removal_restores_normal_charging_but_an_upgrade_keeps_the_charge_state(self):
        self.start_emulator()
        for key, value in HELD.items():
            self.smc('write', key, value)
        held = {key: int(value, 16) for key, value in HELD.items()}

        upgrade = self.script('prerm', 'upgrade', '1.0.1')
        self.assertEqual(upgrade.returncode, 0, upgrade.stderr)
        self.assertEqual((self.keys(), self.systemctl_calls()), (held, []))

        removal = self.script('prerm', 'remove')
        self.assertEqual(removal.returncode, 0, removal.stderr)
        self.assertEqual(self.keys(), NORMAL_CHARGING)
        self.assertIn(f'disable {UNIT}', self.systemctl_calls())

    def test_removal_goes_on_without_an_smc(self):
        removal = self.script('prerm', 'remove')
        self.assertEqual(removal.returncode, 0, removal.stderr)
        self.assertEqual(removal.stderr.count('could not set'), 4, removal.stderr)
        self.assertIn(f'disable {UNIT}', self.systemctl_calls())
        self.assertEqual(self.script('postrm', 'remove').returncode, 0)


if __name__ == '__main__':
    unittest.main()
