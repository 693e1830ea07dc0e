"""End to end: the SMC emulator daemon and ampwarden-smc, as a user runs them.

Needs no bus and no root: each test serves the emulated SMC on a socket in a directory of its
own. Needs AMPWARDEN_BIN_DIR (the build's bin directory; CTest sets it).
"""

import os
import select
import signal
import subprocess
import tempfile
import time
import unittest

BIN_DIR = os.environ.get('AMPWARDEN_BIN_DIR', '')
SMC_TOOL = os.path.join(BIN_DIR, 'ampwarden-smc')
EMULATOR = os.path.join(BIN_DIR, 'ampwarden-smc-emulator')
TIMEOUT = 10


class Emulator:
    """One ampwarden-smc-emulator process; its output is collected line by line."""

    def __init__(self, socket_path, *extra):
        self.socket_path = socket_path
        # Killed by the kernel with the test, however the test ends.
        self.process = subprocess.Popen(['setpriv', '--pdeathsig', 'KILL', EMULATOR, '--socket',
                                         socket_path, *extra],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines = []
        self._pending = b''

    def wait_for_line(self, predicate, timeout=TIMEOUT):
        """Reads output until a line satisfies predicate; returns it, or None at the end."""
        deadline = time.monotonic() + timeout
        checked = 0
        while True:
            for line in self.lines[checked:]:
                if predicate(line):
                    return line
            checked = len(self.lines)
            left = deadline - time.monotonic()
            if left <= 0 or not self._read_more(left):
                return None

    def _read_more(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            return False
        chunk = os.read(self.process.stdout.fileno(), 4096)
        if not chunk:
            return False
        self._pending += chunk
        *complete, self._pending = self._pending.split(b'\n')
        self.lines.extend(line.decode() for line in complete)
        return True

    def stop(self, sig=signal.SIGTERM):
        """Sends sig unless it has ended; returns its exit code and keeps its last lines."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        code = self.process.wait(TIMEOUT)
        if not self.process.stdout.closed:
            while self._read_more(0):
                pass
            self.process.stdout.close()
        return code


class SmcTestCase(unittest.TestCase):
    def setUp(self):
        for program in (SMC_TOOL, EMULATOR):
            if not os.access(program, os.X_OK):
                self.skipTest(f'{program} is not built')
        self.tmp = tempfile.mkdtemp(prefix='ampwarden-smc-e2e-')
        self.addCleanup(subprocess.run, ['rm', '-rf', self.tmp])
        self.socket = os.path.join(self.tmp, 'smc.sock')
        self.emulators = []

    def tearDown(self):
        for emulator in self.emulators:
            emulator.stop(signal.SIGKILL)

    def start_emulator(self, *extra, socket_path=None):
        emulator = Emulator(socket_path or self.socket, *extra)
        self.emulators.append(emulator)
        ready = emulator.wait_for_line(lambda line: True)
        self.assertIsNotNone(ready, 'the emulator said nothing')
        self.assertIn(emulator.socket_path, ready)
        return emulator

    def smc(self, *args, socket_path=None):
        env = dict(os.environ, LUMORA_SMC_EMULATOR=socket_path or self.socket)
        return subprocess.run([SMC_TOOL, *args], env=env, capture_output=True, text=True,
                              timeout=TIMEOUT)

    def run_ok(self, *args):
        result = self.smc(*args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.splitlines()

    def run_failing(self, code, *args, socket_path=None):
        result = self.smc(*args, socket_path=socket_path)
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        self.assertEqual(result.stdout, '')
        return result.stderr


class ToolTest(SmcTestCase):
    def setUp(self):
        super().setUp()
        self.emulator = self.start_emulator()

    def test_list_gives_every_key_in_index_order(self):
        lines = self.run_ok('list')
        fields = [line.split('\t') for line in lines]
        self.assertTrue(all(len(f) == 5 for f in fields), lines)
        keys = [f[0] for f in fields]
        self.assertEqual(keys[0], '#KEY')
        self.assertEqual(int(fields[0][4]), len(keys))
        self.assertEqual(keys, sorted(keys))
        self.assertIn(['BCLM', 'ui8 ', '1', '64', '100'], fields)
        self.assertIn(['FS! ', 'ui16', '2', '0000', '0'], fields)
        self.assertIn(['TA0P', 'sp78', '2', '1a80', '26.5'], fields)
        self.assertEqual(fields[keys.index('F1ID')][4], 'Right side')
        self.assertLessEqual({'CH0B', 'CH0C', 'CH0I', 'CHBI', 'F0Md', 'F1Mx', 'F0Tg', 'BCLC',
                              'ACLC', 'AC-W', 'CH0K', 'BBIF'}, set(keys))

    def test_writes_reach_the_device_and_read_back(self):
        self.assertEqual(self.run_ok('write', 'CH0B', '02'), ['CH0B\thex_\t1\t02\t2'])
        self.assertIsNotNone(self.emulator.wait_for_line(lambda l: l == 'write CH0B 02'))
        self.assertEqual(self.run_ok('read', 'CH0B'), ['CH0B\thex_\t1\t02\t2'])
        self.run_ok('write', 'BCLM', '0x50')
        self.assertEqual(self.run_ok('read', 'BCLM')[0].split('\t')[4], '80')
        # A key with a blank, padded or quoted.
        self.assertEqual(self.run_ok('read', 'FS!'), self.run_ok('read', 'FS! '))

    def test_fans_are_forced_set_and_handed_back(self):
        self.assertEqual(self.run_ok('fan', 'mode', '1', 'forced'),
                         ['F1Md\tui8 \t1\t01\t1', 'FS! \tui16\t2\t0002\t2'])
        self.assertEqual(self.run_ok('fan', 'speed', '1', '3000'), ['F1Tg\tfpe2\t2\t2ee0\t3000'])
        stderr = self.run_failing(1, 'fan', 'speed', '1', '5901')
        self.assertIn('new fan speed (5901) is more than maximum speed (5900)', stderr)
        self.assertEqual(self.run_ok('fan', 'reset'), ['FS! \tui16\t2\t0000\t0'])
        self.assertIsNotNone(self.emulator.wait_for_line(lambda l: l == 'write "FS! " 0000'))
        self.assertEqual(self.emulator.lines[1:], ['write F1Md 01', 'write "FS! " 0002',
                                                   'write F1Tg 2ee0', 'write "FS! " 0000'])

    def test_refusals_have_clear_messages_and_exit_codes(self):
        self.assertIn('cannot read "ZZZZ": (iokit/common) data was not found',
                      self.run_failing(1, 'read', 'ZZZZ'))
        self.assertIn('cannot read "BCLMX": (iokit/common) invalid argument',
                      self.run_failing(1, 'read', 'BCLMX'))
        self.assertIn('cannot write "TB0T": (iokit/common) write not supported',
                      self.run_failing(1, 'write', 'TB0T', '0000'))
        self.assertIn('"BCLM" takes 1 byte, not 2', self.run_failing(1, 'write', 'BCLM', '0102'))
        self.assertIn('fan 10 is outside 0 to 9',
                      self.run_failing(1, 'fan', 'mode', '10', 'forced'))
        # This laptop's fan 8 has no mode key, automatic or not.
        self.assertIn('cannot read "F8Md"', self.run_failing(1, 'fan', 'mode', '8', 'auto'))
        for usage in (['write', 'BCLM', 'xyz'], ['fan', 'mode', '0', 'fast'], ['frobnicate'], []):
            self.assertIn('Try ampwarden-smc --help', self.run_failing(2, *usage))
        self.assertTrue(self.run_ok('--help')[0].startswith('Usage: ampwarden-smc'))
        self.assertEqual(self.run_ok('read', 'BCLM')[0], 'BCLM\tui8 \t1\t64\t100')
        self.assertEqual([l for l in self.emulator.lines if l.startswith('write')], [])

    def test_no_device(self):
        stderr = self.run_failing(1, 'list', socket_path=os.path.join(self.tmp, 'none.sock'))
        self.assertIn('is ampwarden-smc-emulator running?', stderr)
        self.assertNotIn('IOIteratorNext', stderr)


class EmulatorTest(SmcTestCase):
    def test_stops_cleanly_and_replaces_only_a_dead_socket(self):
        nested = os.path.join(self.tmp, 'run', 'lumora', 'smc.sock')  # folders made as needed
        for sig in (signal.SIGTERM, signal.SIGINT):
            emulator = self.start_emulator(socket_path=nested)
            self.assertEqual(emulator.stop(sig), 0)
            self.assertFalse(os.path.exists(nested))
            self.assertEqual(len(emulator.lines), 1, emulator.lines)
        first = self.start_emulator(socket_path=nested)
        second = subprocess.run([EMULATOR, '--socket', nested], capture_output=True, text=True,
                                timeout=TIMEOUT)
        self.assertEqual(second.returncode, 1)
        self.assertIn('another emulator is already serving', second.stderr)
        first.stop(signal.SIGKILL)  # leaves its socket behind
        self.start_emulator(socket_path=nested)
        self.assertEqual(self.smc('read', 'BCLM', socket_path=nested).returncode, 0)

    def test_serves_a_key_table_file(self):
        keys = os.path.join(self.tmp, 'keys.txt')
        with open(keys, 'w') as f:
            f.write('# a small machine\nBCLM ui8 1 50\n"FS! " "ui16" 2 0001\nTB0T sp78 2 1e40 ro\n')
        self.start_emulator('--keys', keys)
        self.assertEqual(self.run_ok('list'), [
            '#KEY\tui32\t4\t00000004\t4', 'BCLM\tui8 \t1\t50\t80', 'FS! \tui16\t2\t0001\t1',
            'TB0T\tsp78\t2\t1e40\t30.25'])
        with open(keys, 'a') as f:
            f.write('CH0B hex_ 1 0000\n')
        result = subprocess.run([EMULATOR, '--socket', self.socket + '2', '--keys', keys],
                                capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 1)
        self.assertIn('line 5: value "0000" is not 1 bytes in hex', result.stderr)

        big = os.path.join(self.tmp, 'big.txt')
        with open(big, 'w') as f:
            f.write('# padding\n' * 120000)
        for path, reason in (('/dev/zero', 'not a regular file'), (self.tmp, 'not a regular file'),
                             (big, 'larger than 1048576 bytes'),
                             (os.path.join(self.tmp, 'none'), 'No such file or directory')):
            result = subprocess.run([EMULATOR, '--socket', self.socket + '3', '--keys', path],
                                    capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual((result.returncode, result.stderr.strip()),
                             (1, f'ampwarden-smc-emulator: {path}: {reason}'))


if __name__ == '__main__':
    unittest.main()
