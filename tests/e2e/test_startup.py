"""The helper's start-up: its announcement, its status answers, who it answers, losing the bus."""

import re
import signal
import time
import unittest

from harness import (GLOBAL_STATUS_ANSWER, QUERY_GLOBAL_STATUS, QUERY_STATUS, SMC_STATUS,
                     HelperTestCase, cpu_seconds, wait_until)

STATUS_TYPES = {'status': 'int32', 'version': 'string', 'buildVersion': 'string'}


class RootStartupTest(HelperTestCase):

    def assert_status_report(self, answer):
        self.assertEqual(answer['types'], STATUS_TYPES)
        self.assertEqual(answer['values']['status'], 1)
        self.assertRegex(answer['values']['version'], r'^\d+\.\d+')
        self.assertTrue(answer['values']['buildVersion'])

    def test_announces_itself_once_then_answers_both_status_queries(self):
        self.start_helper()
        startup = self.recorder.named(GLOBAL_STATUS_ANSWER)
        self.assert_status_report(startup[0])

        # The helper handles commands in order, so a second announcement would come first.
        self.assert_status_report(self.query_status())
        self.assertEqual(len(self.recorder.named(GLOBAL_STATUS_ANSWER)), 1)

        self.post(QUERY_GLOBAL_STATUS)
        answered = self.recorder.wait_for(GLOBAL_STATUS_ANSWER, count=2)[1]
        self.assert_status_report(answered)
        self.assertEqual(answered['values'], startup[0]['values'])

    def test_losing_the_bus_ends_the_helper_with_a_reason(self):
        self.start_helper()
        self.bus_service.stop(signal.SIGKILL)
        status = self.helper.wait(timeout=5)
        self.assertIsNotNone(status, 'the helper kept running without its bus')
        self.assertNotEqual(status, 0)
        said = self.helper.output('stdout') + '\n' + self.helper.output('stderr')
        self.assertRegex(said, re.compile(r'\bbus\b', re.IGNORECASE))


class UnprivilegedStartupTest(HelperTestCase):

    def test_without_root_it_stays_silent(self):
        helper = self.start_helper(as_nobody=True, wait_started=False)
        # It asks logind for the console user, so once it is on the bus it is past start-up.
        self.assertTrue(wait_until(lambda: self.client.connection_of(helper.pid), 10),
                        'the helper never connected to the bus')
        for name in (QUERY_STATUS, QUERY_GLOBAL_STATUS, SMC_STATUS):
            self.post(name)
        time.sleep(1.0)  # silence cannot be waited for; one second is plenty for three answers
        self.assertEqual([a['name'] for a in self.recorder.answers], [])
        self.assert_helper_alive()


class GreeterStartupTest(HelperTestCase):
    session = ('gdm', 'greeter')

    def test_waits_idle_behind_the_login_screen_then_starts(self):
        helper = self.start_helper(wait_started=False)
        self.assertTrue(wait_until(lambda: self.client.connection_of(helper.pid), 10),
                        'the helper never connected to the bus')
        before = cpu_seconds(helper.pid)
        self.post(QUERY_STATUS)
        time.sleep(3.0)  # the CPU it uses while it waits is what is measured
        used = cpu_seconds(helper.pid) - before
        self.assertLess(used, 0.3, f'{used:.2f} s of CPU in 3 s while waiting for a user')
        self.assertEqual([a['name'] for a in self.recorder.answers], [])

        logged_in = time.monotonic()
        self.logind.add_session('c2', 'alice', 1000)
        announced = self.recorder.wait_for(GLOBAL_STATUS_ANSWER, timeout=2.0)[0]
        self.assertLess(announced['time'] - logged_in, 2.0)
        self.assertEqual(self.query_status()['values']['status'], 1)


if __name__ == '__main__':
    unittest.main()
