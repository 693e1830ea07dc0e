"""The end-to-end test case: a fresh rig (rig.py) for every test, whose parts it lends as its
own attributes. Tests run as root and need AMPWARDEN_BIN_DIR (CTest sets it). This module also
hands on everything of bus.py and rig.py, for the tests and the demo.
"""

import os
import shutil
import sys
import tempfile
import unittest

from bus import *  # noqa: F401,F403
from rig import *  # noqa: F401,F403


class HelperTestCase(unittest.TestCase):
    """`session` is the (user, class) active on seat0 at the start, ('gdm', 'greeter') for a
    login screen, None for no session at all."""

    session = ('alice', 'user')

    def run(self, result=None):
        # The programs' logs when the test failed; their output is kept in memory.
        problems = lambda: len(result.failures) + len(result.errors) if result else 0
        before = problems()
        super().run(result)
        if problems() > before and 'rig' in self.__dict__:
            sys.stderr.write(f'\n===== logs of {self.id()} =====\n')
            self.rig.write_logs(sys.stderr)

    def setUp(self):
        missing = [p for p in ('dbus-daemon', 'dbus-monitor', 'setpriv') if not shutil.which(p)]
        if os.geteuid() != 0 or MISSING_MODULES or missing:
            self.skipTest(f'needs root, python3-dbus, python3-dbusmock, dbus-daemon, dbus-monitor '
                          f'and setpriv; missing: {MISSING_MODULES or missing or "root"}')
        tmp = tempfile.mkdtemp(prefix='ampwarden-e2e-')
        os.chmod(tmp, 0o755)  # the helper may run as "nobody" and must reach the bus
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        self.rig = Rig(tmp)
        self.addCleanup(self.rig.stop_all)
        try:
            self.rig.start_all(self.session)
        except HarnessError as error:
            self.fail(str(error))

    def __getattr__(self, name):
        if name == 'rig' or 'rig' not in self.__dict__:
            raise AttributeError(name)
        return getattr(self.rig, name)

    def query_status(self):
        before = len(self.recorder.named(STATUS_ANSWER))
        self.client.post(QUERY_STATUS)
        return self.recorder.wait_for(STATUS_ANSWER, count=before + 1)[-1]

    def ask(self, *verb, **options):
        """Runs `ampwardenctl VERB` (which waits for its answer) and returns the first answer
        after it."""
        mark = self.recorder.mark()
        result = self.ctl(*verb, **options)
        self.assertEqual(result.returncode, 0, f'ampwardenctl {" ".join(verb)}: {result.stderr}')
        return self.recorder.wait(lambda items: items[mark:], what='answer')[0]

    def assert_keys(self, **expected):
        """The keys come to hold these values (some are written half a second late)."""
        wait_until(lambda: self.smc_values(tuple(expected)) == expected, 3, interval=0.1)
        self.assertEqual(self.smc_values(tuple(expected)), expected)

