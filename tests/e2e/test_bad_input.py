"""Commands the helper cannot use must leave it running and answering."""

import unittest

from harness import (GLOBAL_STATUS_ANSWER, SMC_STATUS, SMC_STATUS_ANSWER, STATUS_ANSWER,
                     HelperTestCase)


class BadInputTest(HelperTestCase):

    def test_ignores_unknown_and_malformed_commands(self):
        self.start_helper()
        for name in ('ZTBattery_TellDeamon_NoSuchCommand',
                     SMC_STATUS.lower(),
                     SMC_STATUS + ' ',
                     SMC_STATUS_ANSWER,  # an answer's name is no command
                     '',
                     'A' * 65536,
                     '停止充电'):
            self.post(name)
        # The wrong argument types, and the right name in the wrong places.
        self.client.emit('Darwin', 'i', 42)
        self.client.emit('Darwin', '')
        self.client.emit('Darwin', 'ss', 'NoSuchCommand', SMC_STATUS)
        self.client.emit('Darwin', 'as', ['NoSuchCommand'])
        self.client.emit('Distributed', 'sa{sv}', SMC_STATUS, {})
        self.client.emit('Darwin', 's', SMC_STATUS, path='/lumora/Other')
        self.client.emit('Darwin', 's', SMC_STATUS, interface='lumora.Other')

        self.query_status()
        self.assert_helper_alive()
        helper_answers = [a['name'] for a in self.recorder.answers if a['name'] != SMC_STATUS]
        self.assertEqual(helper_answers, [GLOBAL_STATUS_ANSWER, STATUS_ANSWER])


if __name__ == '__main__':
    unittest.main()
