"""The helper's start-up: idle behind the login screen, its announcement and status answers once
someone logs in, silence without root, and losing the bus."""

import re
import signal
import unittest

from harness import (CONSOLE_USER, GLOBAL_STATUS_ANSWER, QUERY_GLOBAL_STATUS, QUERY_STATUS,
                     SMC_STATUS, STATUS_ANSWER, HelperTestCase, wait_until)


class StartupTest(HelperTestCase):
    session = ('gdm', 'greeter')

    def test_waits_for_a_login_answers_only_as_root_and_ends_without_its_bus(self):
        # Each helper asks logind for the console user, so once it has, it is past start-up.
        callers = lambda: set(re.findall(r'sender=(:\S+) -> destination=org.freedesktop.login1',
                                         self.monitor.output()))
        ours = callers()
        unprivileged = self.start_helper(as_nobody=True, wait_started=False)
        helper = self.start_helper(wait_started=False)
        self.assertTrue(wait_until(lambda: len(callers() - ours) == 2, 10), 'a helper is not up')
        # Unanswered: the bus hands these on before logind hears of the login.
        for name in (QUERY_STATUS, QUERY_GLOBAL_STATUS, SMC_STATUS):
            self.client.post(name)
        # Silence behind the login screen is told apart from a helper that is not running.
        waiting = self.ctl('--timeout', '0.3', 'daemon-info')
        self.assertEqual(waiting.returncode, 1)
        self.assertIn('waits for someone to log in at the machine', waiting.stderr)
        self.logind.add_session('c2', *CONSOLE_USER)
        announced = self.recorder.wait_for(GLOBAL_STATUS_ANSWER)[0]
        self.assertEqual(announced['values']['status'], 1)
        self.assertEqual(self.query_status()['values'], announced['values'])
        # Only the helper running as root answered, and the other one still runs.
        self.assertEqual([a['name'] for a in self.recorder.answers],
                         [GLOBAL_STATUS_ANSWER, STATUS_ANSWER])
        self.assertTrue(unprivileged.running())

        self.services[0].stop(signal.SIGKILL)  # the bus
        self.assertNotIn(helper.wait(timeout=5), (None, 0), 'the helper kept running without bus')
        said = helper.output('stdout') + '\n' + helper.output('stderr')
        self.assertRegex(said, re.compile(r'\bbus\b', re.IGNORECASE))


if __name__ == '__main__':
    unittest.main()
