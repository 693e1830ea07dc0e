"""The Debian package built with CPack from the build under test, and its contents (what it does
when installed and removed is the whole-system test's). Needs the whole build, cpack, dpkg-deb.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

import test_install as install


class PackageTest(unittest.TestCase):

    def test_holds_the_installed_items_and_its_maintainer_scripts(self):
        for program in ('cpack', 'dpkg-deb'):
            if not shutil.which(program):
                self.skipTest(f'{program} is not installed')
        build = install.build_dir()
        tmp = tempfile.mkdtemp(prefix='ampwarden-package-')
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        packaged = subprocess.run(['cpack', '-G', 'DEB', '--config',
                                   os.path.join(build, 'CPackConfig.cmake'), '-B', tmp],
                                  capture_output=True, text=True, timeout=600)
        debs = [os.path.join(tmp, name) for name in os.listdir(tmp) if name.endswith('.deb')]
        self.assertEqual((packaged.returncode, len(debs)), (0, 1), packaged.stdout + packaged.stderr)

        listing = subprocess.run(['dpkg-deb', '-c', debs[0]], capture_output=True, text=True,
                                 check=True).stdout
        files = sorted(line.split()[-1].lstrip('.') for line in listing.splitlines()
                       if not line.startswith('d'))
        # What `cmake --install` puts there, and the documentation only the package carries.
        doc = '/usr/share/doc/ampwarden/'
        self.assertEqual(files, sorted(install.expected_files(install.cache_values(build)) + [
            doc + 'changelog.Debian.gz', doc + 'copyright', '/usr/share/lintian/overrides/ampwarden',
            *(f'/usr/share/man/man1/{program}.1.gz' for program in install.PROGRAMS)]))
        control = os.path.join(tmp, 'control')
        subprocess.run(['dpkg-deb', '-e', debs[0], control], check=True)
        for name in ('postinst', 'prerm', 'postrm'):
            self.assertEqual(os.stat(os.path.join(control, name)).st_mode & 0o777, 0o755)


if __name__ == '__main__':
    unittest.main()
