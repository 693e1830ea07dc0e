"""`cmake --install` into a scratch root, the helper's uninstall command lines run against it, and
the Debian package CPack builds (what the package does when installed and removed is the
whole-system test's). Needs the whole build, cmake and systemctl (offline only), cpack and
dpkg-deb. AMPWARDEN_BIN_DIR is the build's bin directory.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from rig import installed_paths

UNIT = 'lumora.Ampwarden.service'
PROGRAMS = ('ampwardenctl', 'ampwarden-smc', 'ampwarden-smc-emulator')


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
        for program in ('cmake', 'systemctl', 'cpack', 'dpkg-deb'):
            if not shutil.which(program):
                self.skipTest(f'{program} is not installed')
        self.build = os.path.dirname(os.path.abspath(os.environ.get('AMPWARDEN_BIN_DIR', 'bin')))
        with open(os.path.join(self.build, 'CMakeCache.txt')) as cache:
            self.prefix = re.search(r'^CMAKE_INSTALL_PREFIX:\w+=(.*)$', cache.read(), re.M).group(1)
        self.installed = sorted(installed_paths().values())
        self.root = tempfile.mkdtemp(prefix='ampwarden-install-')
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def run_line(self, *argv, env=None, timeout=120):
        return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)

    def install(self, prefix):
        return self.run_line('cmake', '--install', self.build, '--prefix', prefix,
                             env=dict(os.environ, DESTDIR=self.root))

    def test_installs_exactly_its_items_and_the_uninstall_removes_them_all(self):
        # Another prefix is refused: the uninstall would look for the files under this one.
        elsewhere = self.install('/opt/elsewhere')
        self.assertNotEqual(elsewhere.returncode, 0)
        self.assertIn('-DCMAKE_INSTALL_PREFIX=/opt/elsewhere', elsewhere.stderr)
        self.assertEqual(tree(self.root), ([], []))

        installed = self.install(self.prefix)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(tree(self.root)[0], self.installed)
        # Enabled, as the package does on installation.
        enabled = self.run_line('systemctl', f'--root={self.root}', 'enable', UNIT)
        self.assertEqual(enabled.returncode, 0, enabled.stderr)
        self.assertIn(f'/etc/systemd/system/multi-user.target.wants/{UNIT}', tree(self.root)[0])

        lines = self.run_line(os.path.join(self.build, 'bin', 'ampwarden-uninstall-lines'),
                              self.root).stdout.splitlines()
        self.assertEqual(len(lines), 4, lines)
        listing = lines.pop(0)
        self.assertIn('lumora.Ampwarden', self.run_line('/bin/bash', '-c', listing).stdout)
        for line in lines:
            result = self.run_line('/bin/bash', '-c', line)
            self.assertEqual(result.returncode, 0, f'{line}: {result.stderr}')
        self.assertEqual(tree(self.root), ([], []))
        self.assertEqual(self.run_line('/bin/bash', '-c', listing).stdout, '',
                         'the service is still registered')

    def test_the_package_holds_the_installed_items_and_its_maintainer_scripts(self):
        packaged = self.run_line('cpack', '-G', 'DEB', '--config',
                                 os.path.join(self.build, 'CPackConfig.cmake'), '-B', self.root,
                                 timeout=600)
        debs = [os.path.join(self.root, n) for n in os.listdir(self.root) if n.endswith('.deb')]
        self.assertEqual((packaged.returncode, len(debs)), (0, 1),
                         packaged.stdout + packaged.stderr)
        listing = self.run_line('dpkg-deb', '-c', debs[0]).stdout
        files = sorted(line.split()[-1].lstrip('.') for line in listing.splitlines()
                       if not line.startswith('d'))
        # What `cmake --install` puts there, and the documentation only the package carries.
        doc = '/usr/share/doc/ampwarden/'
        self.assertEqual(files, sorted(self.installed + [
            doc + 'changelog.Debian.gz', doc + 'copyright',
            '/usr/share/lintian/overrides/ampwarden',
            *(f'/usr/share/man/man1/{program}.1.gz' for program in PROGRAMS)]))
        control = os.path.join(self.root, 'control')
        self.run_line('dpkg-deb', '-e', debs[0], control)
        for name in ('postinst', 'prerm', 'postrm'):
            self.assertEqual(os.stat(os.path.join(control, name)).st_mode & 0o777, 0o755)


if __name__ == '__main__':
    unittest.main()
