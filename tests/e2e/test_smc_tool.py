"""End to end: the SMC emulator daemon and ampwarden-smc, as a user runs them. Needs no bus and
no root: each test serves the emulated SMC on a socket in a directory of its own.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from rig import Service

BIN_DIR = os.environ.get('AMPWARDEN_BIN_DIR', '')
SMC_TOOL = os.path.join(BIN_DIR, 'ampwarden-smc')
EMULATOR = os.path.join(BIN_DIR, 'ampwarden-smc-emulator')
COMPLETION = os.path.join(os.path.dirname(__file__), '..', '..', 'packaging', 'completion')


class SmcToolTest(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='ampwarden-smc-e2e-')
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.socket = os.path.join(self.tmp, 'run', 'lumora', 'smc.sock')  # folders made as needed

    def start_emulator(self, *extra):
        """A running emulator, once it has said (its first line) where it serves."""
        emulator = Service('emulator', [EMULATOR, '--socket', self.socket, *extra], os.environ)
        self.addCleanup(emulator.stop, signal.SIGKILL)
        self.assertTrue(emulator.wait_for_line(lambda line: self.socket in line, 10))
        return emulator

    def run_line(self, program, *args, code=0):
        """The program's output lines, which are its standard error when it fails."""
        result = subprocess.run([program, *args], capture_output=True, text=True, timeout=10,
                                env=dict(os.environ, LUMORA_SMC_EMULATOR=self.socket))
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        return (result.stderr if code else result.stdout).splitlines()

    def smc(self, *args, code=0):
        return self.run_line(SMC_TOOL, *args, code=code)

    def completed(self, *words):
        """What the program's bash completion offers for the last of `words`."""
        script = (f'PATH="{BIN_DIR}:$PATH"; source {COMPLETION}/{words[0]}; COMP_WORDS=("$@"); '
                  f'COMP_CWORD=$(($# - 1)); $(complete -p {words[0]} | cut -d" " -f3); '
                  'echo "${COMPREPLY[*]}"')
        return self.run_line('bash', '-c', script, 'bash', *words)[0].split()

    def test_lists_writes_reads_drives_the_fans_and_says_what_it_refuses(self):
        self.assertIn('is ampwarden-smc-emulator running?', '\n'.join(self.smc('list', code=1)))
        for program in (SMC_TOOL, EMULATOR, os.path.join(BIN_DIR, 'ampwardenctl')):
            self.assertRegex(self.run_line(program, '--version')[0],
                             rf'^{os.path.basename(program)} \d+\.\d+\.\d+ \(build \S+\)$')
        self.start_emulator()
        fields = [line.split('\t') for line in self.smc('list')]
        keys = [f[0] for f in fields]
        self.assertEqual((keys[0], int(fields[0][4])), ('#KEY', len(keys)))
        self.assertEqual(keys, sorted(keys))
        # The library's own refusals (bad keys, fans, speeds) are its unit tests'.
        for args, message in (
                (['read', 'ZZZZ'], 'cannot read "ZZZZ": no such key'),
                (['write', '#KEY', '00000000'], 'cannot write "#KEY": the key is read-only'),
                (['write', 'BCLM', '0102'], '"BCLM" takes 1 byte, not 2')):
            self.assertIn(message, '\n'.join(self.smc(*args, code=1)))
        self.assertIn('Try ampwarden-smc --help', self.smc('write', 'BCLM', 'xyz', code=2)[-1])
        # A write prints the key as read back afterwards.
        self.assertEqual(self.smc('write', 'BCLM', '0x50'), ['BCLM\tui8 \t1\t50\t80'])
        # set: the decimal number in the key's own type; what the type cannot hold is refused.
        self.assertEqual(self.smc('set', 'BCLM', '60'), ['BCLM\tui8 \t1\t3c\t60'])
        self.assertEqual(self.smc('set', 'F0Tg', '2500.5'), ['F0Tg\tfpe2\t2\t2712\t2500'])
        self.assertIn('ui8 holds 0 to 255, not 256', self.smc('set', 'BCLM', '256', code=1)[0])
        self.assertIn('not a decimal number: 0x50', self.smc('set', 'BCLM', '0x50', code=2)[0])
        # A key ending in a blank, given with or without it.
        self.assertEqual(self.smc('read', 'FS!'), self.smc('read', 'FS! '))
        self.assertEqual(self.smc('fan', 'mode', '1', 'forced'),
                         ['F1Md\tui8 \t1\t01\t1', 'FS! \tui16\t2\t0002\t2'])
        self.assertEqual(self.smc('fan', 'speed', '1', '3000'), ['F1Tg\tfpe2\t2\t2ee0\t3000'])
        self.assertEqual(self.smc('fan', 'reset'), ['FS! \tui16\t2\t0000\t0'])

    def test_emulator_stops_cleanly_replaces_only_a_dead_socket_and_serves_a_key_file(self):
        emulator = self.start_emulator()
        self.assertIn('another emulator is already', self.run_line(EMULATOR, '--socket',
                                                                   self.socket, code=1)[0])
        emulator.process.send_signal(signal.SIGTERM)
        self.assertEqual((emulator.wait(10), os.path.exists(self.socket)), (0, False))
        self.start_emulator().stop(signal.SIGKILL)  # leaves its socket behind

        keys = os.path.join(self.tmp, 'keys.txt')
        with open(keys, 'w') as f:
            f.write('# a small machine\nBCLM ui8 1 50\n"FS! " "ui16" 2 0001\nTB0T sp78 2 1e40 ro\n')
        self.start_emulator('--keys', keys)
        self.assertEqual(self.smc('list'), [
            '#KEY\tui32\t4\t00000004\t4', 'BCLM\tui8 \t1\t50\t80', 'FS! \tui16\t2\t0001\t1',
            'TB0T\tsp78\t2\t1e40\t30.25'])
        # Completion offers the keys of the SMC at hand, and the helper's commands from the table.
        self.assertEqual(self.completed('ampwarden-smc', 'read', ''),
                         ['#KEY', 'BCLM', 'FS!', 'TB0T'])
        self.assertEqual(self.completed('ampwardenctl', '--timeout', '5', 'post',
                                        'ZTBattery_TellDeamon_Op'), ['ZTBattery_TellDeamon_OpenSMC'])
        self.assertEqual(self.run_line(EMULATOR, '--socket', self.socket + '2', '--keys',
                                       '/dev/zero', code=1),
                         ['ampwarden-smc-emulator: /dev/zero: not a regular file'])


if __name__ == '__main__':
    unittest.main()
