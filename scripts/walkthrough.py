"""A guided tour of Ampwarden for a newcomer: the real helper on a private bus, a fake login
manager, the emulated SMC, and every command sent with ampwardenctl, showing the answers and
the SMC keys each command changed.

Usage (as root): /usr/bin/python3 scripts/walkthrough.py BIN_DIR
(scripts/demo.sh builds the programs and runs this.)

Nothing here touches the real system bus, an SMC or the installed system: everything lives in
a temporary folder and is stopped at the end, also on failure or Ctrl-C.
"""

import os
import re
import shutil
import signal
import sys
import tempfile
import textwrap
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, 'tests', 'e2e'))
if len(sys.argv) == 2:  # the protocol table comes from the build's ampwardenctl
    os.environ.setdefault('AMPWARDEN_BIN_DIR', os.path.abspath(sys.argv[1]))

import harness  # noqa: E402  (found through the path above)
from harness import (AS_CONSOLE_USER, AS_NOBODY, CHARGE_KEYS, CLOSE_ANSWER,  # noqa: E402
                     CONSOLE_USER, DISABLE_CHARGING_ANSWER, GLOBAL_STATUS_ANSWER, MAIN_APP_ID,
                     PROGRAMS, UNINSTALL_ANSWER, FakeInstallation, HarnessError, Rig)

MODEL = 'MacBookPro11,1'  # so the helper minds the lid
WIDTH = 78


class DemoFailure(Exception):
    """A step did not go as the tour expects."""


def say(text=''):
    print(text, flush=True)


def fill(text, first, rest):
    """Wrapped to the page; a number and its unit stay on one line."""
    text = re.sub(r'(\d) (s|%)\b', '\\1\u00a0\\2', text)
    return textwrap.fill(text, WIDTH, initial_indent=first, subsequent_indent=rest)


def heading(text):
    say()
    say(text)
    say('=' * len(text))


def indent(text, prefix='    '):
    return '\n'.join(prefix + line if line else line for line in text.splitlines())


def format_answer(record):
    """An answer as ampwardenctl prints it."""
    lines = [record['name']]
    for key, value in record['values'].items():
        shown = f'"{value}"' if isinstance(value, str) else str(value)
        lines.append(f'  {key} = {shown} ({record["types"][key]})')
    return '\n'.join(lines)


def describe_keys(values):
    return ', '.join(f'{key} {values[key]}' for key in CHARGE_KEYS)


class Tour:

    def __init__(self, rig):
        self.rig = rig
        self.step_number = 0
        self.bin = os.path.relpath(rig.bin_dir, os.getcwd())

    # Pieces of a step.

    def step(self, title, *explanation):
        self.step_number += 1
        say()
        say(fill(f'{self.step_number}. {title}', '', '   '))
        for line in explanation:
            say(fill(line, '   ', '   '))

    def run_ctl(self, *args, expect_answer=True, changes=None, user=()):
        """Runs ampwardenctl as the main app would (or as `user`, a setpriv command line), shows
        the command line and its answer, and then which SMC keys changed, at once and after the
        helper's delayed writes. `changes`: the keys the step says change, with their new
        values; the tour stops if one did not."""
        as_user = ' '.join(user[:2]) + ' ... ' if user else ''
        say(f'   $ {as_user}ampwardenctl {" ".join(args)}')
        before = self.rig.smc_values()
        mark = self.rig.smc_writes.mark()
        result = self.rig.ctl(*args, user=user)
        at_once = self.rig.smc_values()
        if result.returncode != 0:
            raise DemoFailure(f'ampwardenctl {" ".join(args)} failed: {result.stderr.strip()}')
        if result.stdout.strip():
            say(indent(result.stdout.rstrip(), '     '))
        elif not expect_answer:
            say('     (no answer: this command has none)')
        self.show_key_changes(before, at_once, mark, changes)
        return result

    def show_key_changes(self, before, at_once, mark, changes=None):
        """The keys that changed from `before` to `at_once`, and then in the helper's delayed
        writes (those after `mark` in the emulator's log), if any come; the tour stops when a
        key of `changes` did not come to hold its value, or held it before already."""
        if self.rig.smc_writes.writes_since(mark):
            self.rig.smc_writes.wait_quiet()
        later = self.rig.smc_values()
        missed = [f'{key} {before[key]} -> {later[key]} (should become {value})'
                  for key, value in (changes or {}).items()
                  if later[key] != value or before[key] == value]
        self.expect(not missed, 'a key did not change as the step says: ' + ', '.join(missed))
        changes = [f'{key} {before[key]} -> {at_once[key]}' for key in CHARGE_KEYS
                   if at_once[key] != before[key]]
        later_changes = [f'{key} {at_once[key]} -> {later[key]}' for key in CHARGE_KEYS
                         if later[key] != at_once[key]]
        if not changes and not later_changes:
            say(f'   SMC: no key changed ({describe_keys(later)})')
        elif not later_changes:
            say(f'   SMC: {", ".join(changes)}')
        else:
            say(f'   SMC at once:      {", ".join(changes) or "no change"}')
            say(f'   SMC 0.5 s later:  {", ".join(later_changes)}')

    def show_answer(self, record, when=''):
        say(f'   answer{when}:')
        say(indent(format_answer(record), '     '))

    def expect(self, condition, problem):
        if not condition:
            raise DemoFailure(problem)

    # The tour.

    def set_up(self):
        heading('Setting up')
        say(f'Everything lives in {self.rig.tmp} and is removed at the end.')
        self.rig.start_bus()
        say(f'  private system bus     {self.rig.bus_address}')
        self.rig.recorder = self.rig.start_recorder()
        self.rig.logind = self.rig.start_logind()
        self.rig.logind.add_session('c1', *CONSOLE_USER, 'user')
        say(f'  fake logind            python3-dbusmock, user "{CONSOLE_USER[0]}" (uid '
            f'{CONSOLE_USER[1]}) active on seat0')
        self.rig.emulator = self.rig.start_emulator()
        if not self.rig.emulator:
            raise DemoFailure(f'{self.rig.program("ampwarden-smc-emulator")} is not built')
        say(f'  emulated SMC           {self.rig.smc_socket}')
        helper = self.rig.start_helper(env_overrides={'AMPWARDEN_MODEL_NAME': MODEL})
        say(f'  the helper             {self.bin}/ampwarden, pid {helper.pid}, '
            f'playing a {MODEL}')
        say()
        say('At start-up the helper announces itself without being asked:')
        self.show_answer(self.rig.recorder.named(GLOBAL_STATUS_ANSWER)[0])
        say(f'The SMC keys charge control uses: {describe_keys(self.rig.smc_values())}')
        say(fill('(BCLM is the charge limit in percent; CH0B and CH0C stop charging when 2; '
                 'CH0I forces a discharge when 1.)', '', ''))

    def commands(self):
        heading('The commands, one by one')
        self.step('Ask for the helper\'s run state and version: anyone may, here the user '
                  '"nobody".',
                  'Only a question from someone who may command the helper tells its '
                  'watchdog that the main app runs.')
        self.run_ctl('daemon-info', user=AS_NOBODY)
        self.step('Does the helper hold the SMC connection? Not yet.')
        self.run_ctl('smc-status')
        self.step('Open the SMC connection.')
        self.run_ctl('open')
        self.run_ctl('smc-status')
        self.step('Ask for the charging state.',
                  'chargingStatus is 1 when BCLM is 0; dischargingStatus is 1 when CH0I is 1.')
        self.run_ctl('charging-status')
        self.step('Turn the charge limit on: charging stops at 80 %.')
        self.run_ctl('limit', 'on', changes={'BCLM': 80})
        self.step('Stop charging.',
                  'CH0B is written at once, CH0C half a second later.')
        self.run_ctl('charge', 'off', changes={'CH0B': 2, 'CH0C': 2})
        self.step('Resume charging.',
                  'BCLM goes back to 100 at once (so the limit ends too); CH0B and then CH0C '
                  'are cleared half a second later.')
        self.run_ctl('charge', 'on', changes={'BCLM': 100, 'CH0B': 0, 'CH0C': 0})
        self.step('The charge limit on and off again.')
        self.run_ctl('limit', 'on', changes={'BCLM': 80})
        self.run_ctl('limit', 'off', changes={'BCLM': 100})
        self.step('Start a forced discharge, look at the state, and stop it.',
                  'Stopping has no answer; ampwardenctl returns at once.')
        self.run_ctl('discharge', 'on', changes={'CH0I': 1})
        self.run_ctl('charging-status')
        self.run_ctl('discharge', 'off', expect_answer=False, changes={'CH0I': 0})
        self.step('Close the SMC connection with the limit on and a discharge running.',
                  'Closing gives charging back: CH0B, BCLM 100, CH0C and CH0I are reset.')
        self.run_ctl('limit', 'on', changes={'BCLM': 80})
        self.run_ctl('discharge', 'on', changes={'CH0I': 1})
        self.run_ctl('close', changes={'BCLM': 100, 'CH0I': 0})

    def watchdog(self):
        heading('The main app goes away')
        self.step(f'Start a stand-in for the main app, as the user at the machine (uid '
                  f'{CONSOLE_USER[1]}, the owner of seat0\'s active session).',
                  f'"ampwardenctl app" owns the bus name "{MAIN_APP_ID}" until it ends; the '
                  'helper looks for that name every 10 s, and counts it only while its owner '
                  'may command the helper.')
        say(f'   $ {" ".join(AS_CONSOLE_USER)} ampwardenctl app &')
        app = self.rig.start_service('ampwardenctl', [*AS_CONSOLE_USER,
                                                      self.rig.program('ampwardenctl'), 'app'])
        self.expect(app.wait_for_line(lambda line: MAIN_APP_ID in line, 10),
                    f'ampwardenctl app did not start: {app.output("stderr")}')
        say('     ' + next(line for line in app.output().splitlines() if MAIN_APP_ID in line))
        self.step('The app asks for the helper\'s state (so the helper knows it runs), '
                  'opens the SMC, sets the limit and stops charging.')
        self.run_ctl('daemon-info')
        self.run_ctl('open')
        self.run_ctl('limit', 'on', changes={'BCLM': 80})
        self.run_ctl('charge', 'off', changes={'CH0B': 2, 'CH0C': 2})
        self.step('Kill the app and wait for the helper to notice.')
        before = self.rig.smc_values()
        closes = len(self.rig.recorder.named(CLOSE_ANSWER))
        say(f'   $ kill -KILL {app.pid}')
        app.process.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        say('   (waiting; up to 10 s)')
        closed = self.rig.recorder.wait_for(CLOSE_ANSWER, timeout=12, count=closes + 1)[-1]
        self.show_answer(closed, f' {closed["time"] - killed:.1f} s after the kill, unasked')
        self.show_key_changes(before, self.rig.smc_values(), self.rig.smc_writes.mark(),
                              {'BCLM': 100, 'CH0B': 0, 'CH0C': 0})

    def sleep(self):
        heading('Sleep during a forced discharge')
        self.step('Open the SMC and start a forced discharge.')
        self.run_ctl('open')
        self.run_ctl('discharge', 'on', changes={'CH0I': 1})
        self.step('logind announces sleep (PrepareForSleep(true) from the fake logind).',
                  'The helper stops charging and the discharge, and lets the machine sleep only '
                  'once the writes are done.')
        before = self.rig.smc_values()
        answered = len(self.rig.recorder.named(DISABLE_CHARGING_ANSWER))
        writes = self.rig.smc_writes.mark()
        self.rig.logind.prepare_for_sleep(True)
        answer = self.rig.recorder.wait_for(DISABLE_CHARGING_ANSWER, count=answered + 1)[-1]
        at_once = self.rig.smc_values()
        self.show_answer(answer, ', unasked')
        self.show_key_changes(before, at_once, writes, {'CH0B': 2, 'CH0C': 2, 'CH0I': 0})
        self.step('While asleep a discharge is refused, without an answer.')
        result = self.rig.ctl('--timeout', '1', 'discharge', 'on')
        say('   $ ampwardenctl --timeout 1 discharge on')
        say(fill(result.stderr.strip(), '     ', '       '))
        self.step('logind announces the wake-up (PrepareForSleep(false)); the helper answers '
                  'nothing and does not resume the discharge. Charging stays stopped until the '
                  'app resumes it.')
        self.rig.logind.prepare_for_sleep(False)
        self.run_ctl('charging-status')
        self.run_ctl('charge', 'on', changes={'CH0B': 0, 'CH0C': 0})

    def lid(self):
        heading('A closed lid')
        self.step('A forced discharge with the lid open.')
        self.run_ctl('discharge', 'on', changes={'CH0I': 1})
        self.step('Close the lid (logind\'s LidClosed becomes true) and ask for a discharge '
                  'again.',
                  f'On a MacBook ({MODEL} here) the helper stops charging and the discharge '
                  'instead.')
        self.rig.logind.set_lid_closed(True)
        self.run_ctl('discharge', 'on', changes={'CH0B': 2, 'CH0C': 2, 'CH0I': 0})
        self.step('Open the lid and resume charging.')
        self.rig.logind.set_lid_closed(False)
        self.run_ctl('charge', 'on', changes={'CH0B': 0, 'CH0C': 0})

    def uninstall(self):
        heading('Uninstall (against a scratch root)')
        installed = FakeInstallation(self.rig.install_root, self.rig.bin_dir)
        root = self.rig.install_root
        self.step('A fake installation below AMPWARDEN_UNINSTALL_ROOT:',
                  *(os.path.relpath(path, root) for path in installed.left()))
        say(f'   (root: {root})')
        self.step('Uninstall, while the app still has the limit on: the connection is closed '
                  'at once, the installation removed 2.5 s later.')
        self.run_ctl('limit', 'on', changes={'BCLM': 80})
        mark = self.rig.recorder.mark()
        self.run_ctl('uninstall', changes={'BCLM': 100})
        answers = [a for a in self.rig.recorder.since(mark)
                   if a['name'] in (CLOSE_ANSWER, UNINSTALL_ANSWER)]
        if len(answers) == 2:
            say(f'   the two answers came {answers[1]["time"] - answers[0]["time"]:.1f} s apart')
        harness.wait_until(lambda: not installed.left(), 10)
        left = installed.left()
        say('   left installed: ' + (', '.join(left) if left else 'nothing'))
        self.expect(not left, 'the uninstall left files behind')
        self.rig.ctl('daemon-info')
        say('   The running helper is left alone: it still answers.')

    def run(self):
        self.set_up()
        self.commands()
        self.watchdog()
        self.sleep()
        self.lid()
        self.uninstall()


def by_hand(bin_dir):
    conf = os.path.join(REPO, 'tests', 'e2e', 'system-bus.conf')
    mock = 'org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.DBus.Mock'
    heading('Trying it by hand')
    say(f'''As root, in a shell of its own; everything stays in /tmp/ampwarden-try:

  mkdir -p /tmp/ampwarden-try/root && cd /tmp/ampwarden-try
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/tmp/ampwarden-try/bus
  export LUMORA_SMC_EMULATOR=/tmp/ampwarden-try/smc.sock
  export AMPWARDEN_UNINSTALL_ROOT=/tmp/ampwarden-try/root
  export AMPWARDEN_MODEL_NAME={MODEL}
  export PATH={bin_dir}:$PATH
  dbus-daemon --nofork --config-file={conf} \\
      --address=$DBUS_SYSTEM_BUS_ADDRESS &
  /usr/bin/python3 -m dbusmock --system --template logind >logind.log 2>&1 &
  sleep 2
  busctl --system call {mock} \\
      AddSession ssusb c1 seat0 1000 alice true
  ampwarden-smc-emulator --socket $LUMORA_SMC_EMULATOR >smc.log &
  ampwarden >helper.log 2>&1 &

Then, for example:

  ampwardenctl watch &               # prints every answer as it comes
  ampwardenctl open
  ampwardenctl charge off; ampwarden-smc read CH0B; sleep 1; ampwarden-smc read CH0C
  ampwardenctl --json charging-status
  ampwarden-smc list | cut -f1,5
  busctl --system call {mock} \\
      EmitSignal sssav org.freedesktop.login1.Manager PrepareForSleep b 1 b true
  ampwardenctl --help

When done:

  kill $(jobs -p) 2>/dev/null; wait; cd; rm -rf /tmp/ampwarden-try''')


def check_prerequisites(bin_dir):
    if os.geteuid() != 0:
        sys.exit('walkthrough: run it as root (the helper is a root service); '
                 'scripts/demo.sh does everything')
    if harness.MISSING_MODULES:
        sys.exit(f'walkthrough: python3-dbus and python3-dbusmock are needed '
                 f'({harness.MISSING_MODULES}); scripts/install-deps.sh installs them')
    for program in PROGRAMS:
        if not os.access(os.path.join(bin_dir, program), os.X_OK):
            sys.exit(f'walkthrough: {bin_dir}/{program} is missing; build first '
                     '(scripts/demo.sh does)')


def stop_on_sigterm():
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupt)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    bin_dir = os.path.abspath(sys.argv[1])
    check_prerequisites(bin_dir)
    stop_on_sigterm()
    tmp = tempfile.mkdtemp(prefix='ampwarden-demo-')
    os.chmod(tmp, 0o755)  # the stand-in main app runs as another user
    rig = Rig(tmp, bin_dir)
    status = 0
    try:
        Tour(rig).run()
    except (DemoFailure, HarnessError, AssertionError) as problem:
        status = 1
        say()
        say(f'The walk-through stopped: {problem}')
    except KeyboardInterrupt:
        status = 130
        say()
        say('Interrupted.')
    finally:
        rig.stop_all()
        if status == 1:
            log = os.path.join(tempfile.gettempdir(), 'ampwarden-demo-logs.txt')
            with open(log, 'w') as out:
                rig.write_logs(out)
            say(f'The programs\' logs are in {log}.')
        shutil.rmtree(tmp, ignore_errors=True)
        say()
        say('Stopped everything the walk-through started.')
    if status == 0:
        by_hand(bin_dir)
    return status


if __name__ == '__main__':
    sys.exit(main())
