"""End to end: the SMC emulator daemon and ampwarden-smc, as a user runs them. Needs no bus and
no root: each test serves the emulated SMC on a socket in a directory of its own.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from rig import Service, wait_until

BIN_DIR = os.environ.get('AMPWARDEN_BIN_DIR', '')
SMC_TOOL = os.path.join(BIN_DIR, 'ampwarden-smc')
EMULATOR = os.path.join(BIN_DIR, 'ampwarden-smc-emulator')


class SmcToolTest(unittest.TestCase):

    def setUp(self):
        for program in (SMC_TOOL, EMULATOR):
            if not os.access(program, os.X_OK):
                self.skipTest(f'{program} is not built')
        self.tmp = tempfile.mkdtemp(prefix='ampwarden-smc-e2e-')
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.socket = os.path.join(self.tmp, 'smc.sock')

    def start_emulator(self, *extra, socket_path=None):
        """A running emulator, once it has said (its first line) where it serves."""
        socket_path = socket_path or self.socket
        emulator = Service('emulator', [EMULATOR, '--socket', socket_path, *extra], os.environ)
        self.addCleanup(emulator.stop, signal.SIGKILL)
        self.assertTrue(emulator.wait_for_line(lambda line: socket_path in line, 10))
        return emulator

    def smc(self, *args, code=0, socket_path=None):
        """ampwarden-smc's output lines, which are its standard error when it fails."""
        env = dict(os.environ, LUMORA_SMC_EMULATOR=socket_path or self.socket)
        result = subprocess.run([SMC_TOOL, *args], capture_output=True, text=True, timeout=10,
                                env=env)
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        self.assertEqual(result.stdout, '') if code else None
        return (result.stderr if code else result.stdout).splitlines()

    def emulator_fails(self, *args, socket_path=None):
        result = subprocess.run([EMULATOR, '--socket', socket_path or self.socket + '2', *args],
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 1)
        return result.stderr.strip()

    def test_lists_writes_reads_and_drives_the_fans(self):
        emulator = self.start_emulator()
        fields = [line.split('\t') for line in self.smc('list')]
        keys = [f[0] for f in fields]
        self.assertEqual((keys[0], int(fields[0][4])), ('#KEY', len(keys)))
        self.assertEqual(keys, sorted(keys))
        # How each type decodes is the value codec's unit test's.
        self.assertIn(['FS! ', 'ui16', '2', '0000', '0'], fields)
        self.assertEqual(fields[keys.index('F1ID')][4], 'Right side')

        self.assertEqual(self.smc('write', 'CH0B', '02'), ['CH0B\thex_\t1\t02\t2'])
        self.assertEqual(self.smc('read', 'CH0B'), ['CH0B\thex_\t1\t02\t2'])
        self.smc('write', 'BCLM', '0x50')
        self.assertEqual(self.smc('read', 'BCLM'), ['BCLM\tui8 \t1\t50\t80'])
        # A key with a blank, padded or quoted.
        self.assertEqual(self.smc('read', 'FS!'), self.smc('read', 'FS! '))
        self.assertEqual(self.smc('fan', 'mode', '1', 'forced'),
                         ['F1Md\tui8 \t1\t01\t1', 'FS! \tui16\t2\t0002\t2'])
        self.assertEqual(self.smc('fan', 'speed', '1', '3000'), ['F1Tg\tfpe2\t2\t2ee0\t3000'])
        self.assertEqual(self.smc('fan', 'reset'), ['FS! \tui16\t2\t0000\t0'])
        wait_until(lambda: 'write "FS! " 0000' in emulator.output(), 10)
        self.assertEqual(emulator.output().splitlines()[1:], [
            'write CH0B 02', 'write BCLM 50', 'write F1Md 01', 'write "FS! " 0002',
            'write F1Tg 2ee0', 'write "FS! " 0000'])

    def test_refusals_have_clear_messages_and_exit_codes_and_write_nothing(self):
        missing = self.smc('list', code=1, socket_path=os.path.join(self.tmp, 'none.sock'))
        self.assertIn('is ampwarden-smc-emulator running?', '\n'.join(missing))
        self.assertNotIn('IOIteratorNext', '\n'.join(missing))
        emulator = self.start_emulator()
        # The library's own refusals (bad keys, fans, speeds) are its unit tests'.
        for args, message in (
                (['read', 'ZZZZ'], 'cannot read "ZZZZ": (iokit/common) data was not found'),
                (['write', 'TB0T', '0000'], 'cannot write "TB0T": (iokit/common) write not '
                                            'supported'),
                (['write', 'BCLM', '0102'], '"BCLM" takes 1 byte, not 2')):
            self.assertIn(message, '\n'.join(self.smc(*args, code=1)))
        for usage in (['write', 'BCLM', 'xyz'], ['fan', 'mode', '0', 'fast'], ['frobnicate'], []):
            self.assertIn('Try ampwarden-smc --help', self.smc(*usage, code=2)[-1])
        self.assertTrue(self.smc('--help')[0].startswith('Usage: ampwarden-smc'))
        self.assertEqual(self.smc('read', 'BCLM'), ['BCLM\tui8 \t1\t64\t100'])
        self.assertEqual(len(emulator.output().splitlines()), 1, emulator.output())

    def test_emulator_stops_cleanly_replaces_only_a_dead_socket_and_serves_a_key_file(self):
        nested = os.path.join(self.tmp, 'run', 'lumora', 'smc.sock')  # folders made as needed
        for sig in (signal.SIGTERM, signal.SIGINT):
            emulator = self.start_emulator(socket_path=nested)
            emulator.process.send_signal(sig)
            self.assertEqual(emulator.wait(10), 0)
            self.assertFalse(os.path.exists(nested))
            self.assertEqual((len(emulator.output().splitlines()), emulator.output('stderr')),
                             (1, ''))
        first = self.start_emulator(socket_path=nested)
        self.assertIn('another emulator is already', self.emulator_fails(socket_path=nested))
        first.stop(signal.SIGKILL)  # leaves its socket behind
        self.start_emulator(socket_path=nested)
        self.smc('read', 'BCLM', socket_path=nested)

        keys = os.path.join(self.tmp, 'keys.txt')
        with open(keys, 'w') as f:
            f.write('# a small machine\nBCLM ui8 1 50\n"FS! " "ui16" 2 0001\nTB0T sp78 2 1e40 ro\n')
        self.start_emulator('--keys', keys)
        self.assertEqual(self.smc('list'), [
            '#KEY\tui32\t4\t00000004\t4', 'BCLM\tui8 \t1\t50\t80', 'FS! \tui16\t2\t0001\t1',
            'TB0T\tsp78\t2\t1e40\t30.25'])
        big = os.path.join(self.tmp, 'big.txt')
        with open(big, 'w') as f:
            f.write('# padding\n' * 120000)
        for path, reason in (('/dev/zero', 'not a regular file'), (self.tmp, 'not a regular file'),
                             (big, 'larger than 1048576 bytes'),
                             (os.path.join(self.tmp, 'none'), 'No such file or directory')):
            self.assertEqual(self.emulator_fails('--keys', path),
                             f'ampwarden-smc-emulator: {path}: {reason}')


if __name__ == '__main__':
    unittest.main()
