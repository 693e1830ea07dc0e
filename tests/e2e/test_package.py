"""The Debian package: built with CPack from the build under test, its contents, and its removal
script run against the SMC emulator with a recording stand-in for deb-systemd-invoke.

Nothing is installed on this machine. Needs the whole build, cpack and dpkg-deb.
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import test_install as install

# What removal leaves in the SMC: normal charging, no forced discharge, no charge limit.
NORMAL_CHARGING = {'CH0B': 0, 'CH0C': 0, 'CH0I': 0, 'BCLM': 100}
# A battery held at 50 % with charging stopped and a forced discharge running.
HELD = {'CH0B': 2, 'CH0C': 2, 'CH0I': 1, 'BCLM': 50}


class PackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for program in ('cpack', 'dpkg-deb'):
            if not shutil.which(program):
                raise unittest.SkipTest(f'{program} is not installed')
        cls.build = install.build_dir()
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

    def test_holds_the_installed_items_and_its_maintainer_scripts(self):
        listing = subprocess.run(['dpkg-deb', '-c', self.deb], capture_output=True, text=True,
                                 check=True).stdout
        files = sorted(line.split()[-1].lstrip('.') for line in listing.splitlines()
                       if not line.startswith('d'))
        # What `cmake --install` puts there, and the documentation only the package carries.
        cache = install.cache_values(self.build)
        doc = '/usr/share/doc/ampwarden/'
        self.assertEqual(files, sorted(install.expected_files(cache) + [
            doc + 'changelog.Debian.gz', doc + 'copyright', '/usr/share/lintian/overrides/ampwarden',
            *(f'/usr/share/man/man1/{program}.1.gz' for program in install.PROGRAMS)]))
        for name in ('postinst', 'prerm', 'postrm'):
            self.assertEqual(os.stat(os.path.join(self.control, name)).st_mode & 0o777, 0o755)

    def test_removal_restores_normal_charging_and_goes_on_without_an_smc(self):
        bin_dir = os.path.join(self.build, 'bin')
        fake_bin = os.path.join(self.tmp, 'fake-bin')
        os.makedirs(fake_bin)
        invoke_log = os.path.join(self.tmp, 'invoke.log')
        for program in ('deb-systemd-invoke', 'deb-systemd-helper', 'systemctl'):
            with open(os.path.join(fake_bin, program), 'w') as fake:
                fake.write(f'#!/bin/sh\necho "{program} $*" >> "$INVOKE_LOG"\n')
            os.chmod(os.path.join(fake_bin, program), 0o755)
        socket = os.path.join(self.tmp, 'smc.sock')
        env = dict(os.environ, INVOKE_LOG=invoke_log, LUMORA_SMC_EMULATOR=socket,
                   PATH=f'{fake_bin}:{bin_dir}:/usr/sbin:/usr/bin:/sbin:/bin')

        def prerm(*args):
            return subprocess.run([os.path.join(self.control, 'prerm'), *args], env=env,
                                  capture_output=True, text=True, timeout=60)

        def smc(*args):
            return subprocess.run([os.path.join(bin_dir, 'ampwarden-smc'), *args], env=env,
                                  capture_output=True, text=True, timeout=30, check=True).stdout

        def keys():
            return {key: int(smc('read', key).split('\t')[3], 16) for key in NORMAL_CHARGING}

        without_smc = prerm('remove')
        self.assertEqual(without_smc.returncode, 0, without_smc.stderr)
        self.assertEqual(without_smc.stderr.count('could not set'), 4, without_smc.stderr)

        self.start_emulator(os.path.join(bin_dir, 'ampwarden-smc-emulator'), socket)
        for key, value in HELD.items():
            smc('write', key, f'{value:02x}')
        upgrade = prerm('upgrade', '1.0.1')
        self.assertEqual(upgrade.returncode, 0, upgrade.stderr)
        self.assertEqual(keys(), HELD, 'an upgrade keeps the charge state')

        removal = prerm('remove')
        self.assertEqual(removal.returncode, 0, removal.stderr)
        self.assertEqual(keys(), NORMAL_CHARGING)
        # Stopped first where systemd runs, so no write of the helper comes after the script's.
        booted = os.path.isdir('/run/systemd/system')
        calls = [f'deb-systemd-invoke stop {install.UNIT}'] if booted else []
        with open(invoke_log, 'a+') as log:
            log.seek(0)
            self.assertEqual(log.read().splitlines(), calls * 2)

    def start_emulator(self, program, socket):
        output = os.path.join(self.tmp, 'emulator.log')
        with open(output, 'w') as log:
            emulator = subprocess.Popen(['setpriv', '--pdeathsig', 'KILL', program, '--socket',
                                         socket], stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(emulator.wait, 10)
        self.addCleanup(emulator.terminate)
        deadline = time.monotonic() + 10
        while os.path.getsize(output) == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertGreater(os.path.getsize(output), 0, 'the emulator did not say it was ready')


if __name__ == '__main__':
    unittest.main()
