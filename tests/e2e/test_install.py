"""`cmake --install` into a scratch root, and the helper's uninstall command lines run against it
(the installed unit starting the helper is the whole-system test's). Needs the whole build, cmake
and systemctl (offline only). AMPWARDEN_BIN_DIR is the build's bin directory.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

UNIT = 'lumora.Ampwarden.service'
PROGRAMS = ('ampwardenctl', 'ampwarden-smc', 'ampwarden-smc-emulator')


def build_dir():
    return os.path.dirname(os.path.abspath(os.environ.get('AMPWARDEN_BIN_DIR', 'bin')))


def cache_values(build):
    """The build's CMake cache as a dict of name to value."""
    with open(os.path.join(build, 'CMakeCache.txt')) as cache:
        return dict(re.findall(r'^(\w+):\w+=(.*)$', cache.read(), re.MULTILINE))


def expected_files(cache):
    """What the install puts there, as absolute paths on the target machine."""
    prefix = cache['CMAKE_INSTALL_PREFIX']
    libexec = os.path.join(prefix, cache.get('CMAKE_INSTALL_LIBEXECDIR', 'libexec'))
    bindir = os.path.join(prefix, cache.get('CMAKE_INSTALL_BINDIR', 'bin'))
    return sorted([os.path.join(libexec, 'lumora/Ampwarden/ampwarden'),
                   *(os.path.join(bindir, program) for program in PROGRAMS),
                   os.path.join(cache['AMPWARDEN_UNIT_DIR'], UNIT),
                   os.path.join(cache['AMPWARDEN_USER_UNIT_DIR'], 'lumora.Battery.service'),
                   os.path.join(cache['AMPWARDEN_DBUS_POLICY_DIR'], 'lumora.Ampwarden.conf'),
                   os.path.join(cache['AMPWARDEN_POLKIT_ACTIONS_DIR'], 'lumora.Ampwarden.policy')])


def tree(root):
    """Every file and symbolic link below root (as paths on the target machine), and every
    directory of the helper's own (named after its vendor or itself)."""
    files, own_dirs = [], []
    for path, dirs, names in os.walk(root):
        target = '/' + os.path.relpath(path, root)
        files += [os.path.normpath(os.path.join(target, name)) for name in names]
        files += [os.path.normpath(os.path.join(target, d)) for d in dirs
                  if os.path.islink(os.path.join(path, d))]
        own_dirs += [os.path.normpath(os.path.join(target, d)) for d in dirs
                     if re.search('lumora|ampwarden', d, re.IGNORECASE)]
    return sorted(files), sorted(own_dirs)


class InstallTest(unittest.TestCase):

    def setUp(self):
        for program in ('cmake', 'systemctl'):
            if not shutil.which(program):
                self.skipTest(f'{program} is not installed')
        self.build = build_dir()
        self.cache = cache_values(self.build)
        self.root = tempfile.mkdtemp(prefix='ampwarden-install-')
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def install(self, prefix):
        return subprocess.run(['cmake', '--install', self.build, '--prefix', prefix],
                              env=dict(os.environ, DESTDIR=self.root), capture_output=True,
                              text=True, timeout=120)

    def run_line(self, line):
        return subprocess.run(['/bin/bash', '-c', line], capture_output=True, text=True,
                              timeout=60)

    def test_installs_exactly_its_items_and_the_uninstall_removes_them_all(self):
        installed = self.install(self.cache['CMAKE_INSTALL_PREFIX'])
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(tree(self.root)[0], expected_files(self.cache))

        # Enabled, as the package does on installation.
        enabled = self.run_line(f'systemctl --root={self.root} enable {UNIT}')
        self.assertEqual(enabled.returncode, 0, enabled.stderr)
        self.assertIn(f'/etc/systemd/system/multi-user.target.wants/{UNIT}', tree(self.root)[0])

        lines = subprocess.run([os.path.join(self.build, 'bin', 'ampwarden-uninstall-lines'),
                                self.root], capture_output=True, text=True, check=True)
        listing, remove_program, disable, remove_unit = lines.stdout.splitlines()
        self.assertIn('lumora.Ampwarden', self.run_line(listing).stdout)
        for line in (remove_program, disable, remove_unit):
            result = self.run_line(line)
            self.assertEqual(result.returncode, 0, f'{line}: {result.stderr}')

        self.assertEqual(tree(self.root), ([], []))
        self.assertEqual(self.run_line(listing).stdout, '', 'the service is still registered')

    def test_refuses_another_prefix_than_the_configured_one(self):
        # The uninstall would look for the files under the configured prefix.
        installed = self.install('/opt/elsewhere')
        self.assertNotEqual(installed.returncode, 0)
        self.assertIn('-DCMAKE_INSTALL_PREFIX=/opt/elsewhere', installed.stderr)
        self.assertEqual(tree(self.root), ([], []))


if __name__ == '__main__':
    unittest.main()
