"""`cmake --install` into a scratch root: exactly the items the helper's uninstall removes (their
removal is the uninstall end-to-end test's, on the same paths), and a unit systemd can enable
(the Debian package is lintian's and the whole-system test's). Needs the whole build, cmake and
systemctl (offline only). AMPWARDEN_BIN_DIR is the build's bin directory.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from rig import installed_paths

UNIT = 'lumora.Ampwarden.service'


def tree(root):
    """Every file and symbolic link below root, as paths on the target machine."""
    return sorted('/' + os.path.relpath(os.path.join(path, name), root)
                  for path, dirs, names in os.walk(root) for name in names + dirs
                  if name in names or os.path.islink(os.path.join(path, name)))


def run(*argv, env=None):
    return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=120)


class InstallTest(unittest.TestCase):

    def test_installs_exactly_what_the_uninstall_removes_and_only_where_configured(self):
        if not shutil.which('cmake') or not shutil.which('systemctl'):
            self.skipTest('needs cmake and systemctl')
        build = os.path.dirname(os.path.abspath(os.environ.get('AMPWARDEN_BIN_DIR', 'bin')))
        with open(os.path.join(build, 'CMakeCache.txt')) as cache:
            prefix = re.search(r'^CMAKE_INSTALL_PREFIX:\w+=(.*)$', cache.read(), re.M).group(1)
        root = tempfile.mkdtemp(prefix='ampwarden-install-')
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        install = lambda prefix: run('cmake', '--install', build, '--prefix', prefix,
                                     env=dict(os.environ, DESTDIR=root))
        # Another prefix is refused: the uninstall would look for the files under this one.
        elsewhere = install('/opt/elsewhere')
        self.assertNotEqual(elsewhere.returncode, 0)
        self.assertIn('-DCMAKE_INSTALL_PREFIX=/opt/elsewhere', elsewhere.stderr)
        self.assertEqual(tree(root), [])

        installed = install(prefix)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(tree(root), sorted(installed_paths().values()))
        # Enabled, as the package does on installation.
        enabled = run('systemctl', f'--root={root}', 'enable', UNIT)
        self.assertEqual(enabled.returncode, 0, enabled.stderr)
        self.assertIn(f'/etc/systemd/system/multi-user.target.wants/{UNIT}', tree(root))


if __name__ == '__main__':
    unittest.main()
