"""The helper's start-up: its announcement, its status answers, who it answers, losing the bus."""

import os
import re
import signal
import time
import unittest

from harness import (GLOBAL_STATUS_ANSWER, QUERY_GLOBAL_STATUS, QUERY_STATUS, SMC_STATUS,
                     STATUS_ANSWER, HelperTestCase, wait_until)


class RootStartupTest(HelperTestCase):

    def test_announces_itself_once_answers_both_queries_and_ends_without_its_bus(self):
        self.start_helper()
        announced = self.recorder.named(GLOBAL_STATUS_ANSWER)[0]
        self.assertEqual(announced['values']['status'], 1)
        # The helper handles commands in order, so a second announcement would come first.
        self.assertEqual(self.query_status()['values'], announced['values'])
        self.assertEqual(len(self.recorder.named(GLOBAL_STATUS_ANSWER)), 1)
        self.post(QUERY_GLOBAL_STATUS)
        self.assertEqual(self.recorder.wait_for(GLOBAL_STATUS_ANSWER, count=2)[1]['values'],
                         announced['values'])

        self.services[0].stop(signal.SIGKILL)  # the bus
        status = self.helper.wait(timeout=5)
        self.assertNotIn(status, (None, 0), 'the helper kept running without its bus')
        said = self.helper.output('stdout') + '\n' + self.helper.output('stderr')
        self.assertRegex(said, re.compile(r'\bbus\b', re.IGNORECASE))


class GreeterStartupTest(HelperTestCase):
    session = ('gdm', 'greeter')

    def test_waits_idle_behind_the_login_screen_and_without_root_stays_silent(self):
        # Each helper asks logind for the console user, so once it has, it is past start-up.
        callers = lambda: set(re.findall(r'sender=(:\S+) -> destination=org.freedesktop.login1',
                                         self.monitor.output()))
        ours = callers()
        unprivileged = self.start_helper(as_nobody=True, wait_started=False)
        helper = self.start_helper(wait_started=False)
        self.assertTrue(wait_until(lambda: len(callers() - ours) == 2, 10), 'a helper is not up')

        def cpu_seconds():  # utime and stime, fields 14 and 15 of /proc/PID/stat
            with open(f'/proc/{helper.pid}/stat') as stat:
                fields = stat.read().rsplit(')', 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')
        before = cpu_seconds()
        for name in (QUERY_STATUS, QUERY_GLOBAL_STATUS, SMC_STATUS):
            self.post(name)
        time.sleep(3.0)  # the CPU it uses while it waits is what is measured
        self.assertLess(cpu_seconds() - before, 0.3, 'CPU used in 3 s while waiting for a user')
        self.assertEqual(self.recorder.answers, [])

        logged_in = time.monotonic()
        self.logind.add_session('c2', 'alice', 1000)
        announced = self.recorder.wait_for(GLOBAL_STATUS_ANSWER, timeout=2.0)[0]
        self.assertLess(announced['time'] - logged_in, 2.0)
        self.assertEqual(self.query_status()['values']['status'], 1)
        # Only the helper running as root answered, and the other one still runs.
        self.assertEqual([a['name'] for a in self.recorder.answers],
                         [GLOBAL_STATUS_ANSWER, STATUS_ANSWER])
        self.assertTrue(unprivileged.running())


if __name__ == '__main__':
    unittest.main()
