"""End to end: the SMC emulator daemon and ampwarden-smc, as a user runs them.

Needs no bus and no root: each test serves the emulated SMC on a socket in a directory of its
own. Needs AMPWARDEN_BIN_DIR (the build's bin directory; CTest sets it).
"""

import os
import signal
import subprocess
import tempfile
import unittest

from harness import wait_until

BIN_DIR = os.environ.get('AMPWARDEN_BIN_DIR', '')
SMC_TOOL = os.path.join(BIN_DIR, 'ampwarden-smc')
EMULATOR = os.path.join(BIN_DIR, 'ampwarden-smc-emulator')
TIMEOUT = 10


class SmcTestCase(unittest.TestCase):
    def setUp(self):
        for program in (SMC_TOOL, EMULATOR):
            if not os.access(program, os.X_OK):
                self.skipTest(f'{program} is not built')
        self.tmp = tempfile.mkdtemp(prefix='ampwarden-smc-e2e-')
        self.addCleanup(subprocess.run, ['rm', '-rf', self.tmp])
        self.socket = os.path.join(self.tmp, 'smc.sock')

    def start_emulator(self, *extra, socket_path=None):
        """Starts an emulator; its output, a line a list item, is its `lines()`."""
        socket_path = socket_path or self.socket
        log_path = os.path.join(self.tmp, f'{len(os.listdir(self.tmp))}.log')
        with open(log_path, 'w') as log:
            # Killed by the kernel with the test, however the test ends.
            emulator = subprocess.Popen(['setpriv', '--pdeathsig', 'KILL', EMULATOR, '--socket',
                                         socket_path, *extra], stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(emulator.wait, TIMEOUT)
        self.addCleanup(emulator.kill)

        def lines():
            with open(log_path) as output:
                return output.read().splitlines()
        emulator.lines = lines
        ready = wait_until(lambda: [l for l in emulator.lines() if socket_path in l], TIMEOUT)
        self.assertEqual(emulator.lines(), ready, 'the emulator did not say it was ready')
        return emulator

    def smc(self, *args, socket_path=None):
        env = dict(os.environ, LUMORA_SMC_EMULATOR=socket_path or self.socket)
        return subprocess.run([SMC_TOOL, *args], env=env, capture_output=True, text=True,
                              timeout=TIMEOUT)

    def run_ok(self, *args):
        return self.run_failing(0, *args).splitlines()

    def run_failing(self, code, *args, socket_path=None):
        """Runs ampwarden-smc expecting exit code; gives its output, which is stderr on failure."""
        result = self.smc(*args, socket_path=socket_path)
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        if code:
            self.assertEqual(result.stdout, '')
        return result.stderr if code else result.stdout

    def emulator_fails(self, *args, socket_path=None):
        return subprocess.run([EMULATOR, '--socket', socket_path or self.socket + '2', *args],
                              capture_output=True, text=True, timeout=TIMEOUT)


class ToolTest(SmcTestCase):
    def test_lists_writes_reads_and_drives_the_fans(self):
        emulator = self.start_emulator()
        fields = [line.split('\t') for line in self.run_ok('list')]
        keys = [f[0] for f in fields]
        self.assertEqual((keys[0], int(fields[0][4])), ('#KEY', len(keys)))
        self.assertEqual(keys, sorted(keys))
        self.assertIn(['FS! ', 'ui16', '2', '0000', '0'], fields)
        self.assertIn(['TA0P', 'sp78', '2', '1a80', '26.5'], fields)
        self.assertEqual(fields[keys.index('F1ID')][4], 'Right side')
        self.assertLessEqual({'CH0B', 'CH0C', 'CH0I', 'CHBI', 'F0Md', 'F1Mx', 'F0Tg', 'BCLC',
                              'ACLC', 'AC-W', 'CH0K', 'BBIF', 'BCLM'}, set(keys))

        self.assertEqual(self.run_ok('write', 'CH0B', '02'), ['CH0B\thex_\t1\t02\t2'])
        self.assertEqual(self.run_ok('read', 'CH0B'), ['CH0B\thex_\t1\t02\t2'])
        self.run_ok('write', 'BCLM', '0x50')
        self.assertEqual(self.run_ok('read', 'BCLM'), ['BCLM\tui8 \t1\t50\t80'])
        # A key with a blank, padded or quoted.
        self.assertEqual(self.run_ok('read', 'FS!'), self.run_ok('read', 'FS! '))

        self.assertEqual(self.run_ok('fan', 'mode', '1', 'forced'),
                         ['F1Md\tui8 \t1\t01\t1', 'FS! \tui16\t2\t0002\t2'])
        self.assertEqual(self.run_ok('fan', 'speed', '1', '3000'), ['F1Tg\tfpe2\t2\t2ee0\t3000'])
        self.assertIn('new fan speed (5901) is more than maximum speed (5900)',
                      self.run_failing(1, 'fan', 'speed', '1', '5901'))
        self.assertEqual(self.run_ok('fan', 'reset'), ['FS! \tui16\t2\t0000\t0'])
        wait_until(lambda: 'write "FS! " 0000' in emulator.lines(), TIMEOUT)
        self.assertEqual(emulator.lines()[1:], [
            'write CH0B 02', 'write BCLM 50', 'write F1Md 01', 'write "FS! " 0002',
            'write F1Tg 2ee0', 'write "FS! " 0000'])

    def test_refusals_have_clear_messages_and_exit_codes_and_write_nothing(self):
        stderr = self.run_failing(1, 'list', socket_path=os.path.join(self.tmp, 'none.sock'))
        self.assertIn('is ampwarden-smc-emulator running?', stderr)
        self.assertNotIn('IOIteratorNext', stderr)
        emulator = self.start_emulator()
        for args, message in (
                (['read', 'ZZZZ'], 'cannot read "ZZZZ": (iokit/common) data was not found'),
                (['read', 'BCLMX'], 'cannot read "BCLMX": (iokit/common) invalid argument'),
                (['write', 'TB0T', '0000'], 'cannot write "TB0T": (iokit/common) write not '
                                            'supported'),
                (['write', 'BCLM', '0102'], '"BCLM" takes 1 byte, not 2'),
                (['fan', 'mode', '10', 'forced'], 'fan 10 is outside 0 to 9'),
                # This laptop's fan 8 has no mode key, automatic or not.
                (['fan', 'mode', '8', 'auto'], 'cannot read "F8Md"')):
            self.assertIn(message, self.run_failing(1, *args))
        for usage in (['write', 'BCLM', 'xyz'], ['fan', 'mode', '0', 'fast'], ['frobnicate'], []):
            self.assertIn('Try ampwarden-smc --help', self.run_failing(2, *usage))
        self.assertTrue(self.run_ok('--help')[0].startswith('Usage: ampwarden-smc'))
        self.assertEqual(self.run_ok('read', 'BCLM')[0], 'BCLM\tui8 \t1\t64\t100')
        self.assertEqual(len(emulator.lines()), 1, emulator.lines())


class EmulatorTest(SmcTestCase):
    def test_stops_cleanly_and_replaces_only_a_dead_socket(self):
        nested = os.path.join(self.tmp, 'run', 'lumora', 'smc.sock')  # folders made as needed
        for sig in (signal.SIGTERM, signal.SIGINT):
            emulator = self.start_emulator(socket_path=nested)
            emulator.send_signal(sig)
            self.assertEqual(emulator.wait(TIMEOUT), 0)
            self.assertFalse(os.path.exists(nested))
            self.assertEqual(len(emulator.lines()), 1, emulator.lines())
        first = self.start_emulator(socket_path=nested)
        second = self.emulator_fails(socket_path=nested)
        self.assertEqual(second.returncode, 1)
        self.assertIn('another emulator is already serving', second.stderr)
        first.kill()  # leaves its socket behind
        first.wait(TIMEOUT)
        self.start_emulator(socket_path=nested)
        self.assertEqual(self.smc('read', 'BCLM', socket_path=nested).returncode, 0)

    def test_serves_a_key_table_file_and_refuses_a_bad_one(self):
        keys = os.path.join(self.tmp, 'keys.txt')
        with open(keys, 'w') as f:
            f.write('# a small machine\nBCLM ui8 1 50\n"FS! " "ui16" 2 0001\nTB0T sp78 2 1e40 ro\n')
        self.start_emulator('--keys', keys)
        self.assertEqual(self.run_ok('list'), [
            '#KEY\tui32\t4\t00000004\t4', 'BCLM\tui8 \t1\t50\t80', 'FS! \tui16\t2\t0001\t1',
            'TB0T\tsp78\t2\t1e40\t30.25'])
        with open(keys, 'a') as f:
            f.write('CH0B hex_ 1 0000\n')
        result = self.emulator_fails('--keys', keys)
        self.assertEqual(result.returncode, 1)
        self.assertIn('line 5: value "0000" is not 1 bytes in hex', result.stderr)

        big = os.path.join(self.tmp, 'big.txt')
        with open(big, 'w') as f:
            f.write('# padding\n' * 120000)
        for path, reason in (('/dev/zero', 'not a regular file'), (self.tmp, 'not a regular file'),
                             (big, 'larger than 1048576 bytes'),
                             (os.path.join(self.tmp, 'none'), 'No such file or directory')):
            result = self.emulator_fails('--keys', path)
            self.assertEqual((result.returncode, result.stderr.strip()),
                             (1, f'ampwarden-smc-emulator: {path}: {reason}'))


if __name__ == '__main__':
    unittest.main()
