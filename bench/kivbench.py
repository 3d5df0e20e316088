#!/usr/bin/python3
"""`make bench`: measures the built logger from outside, beside rsyslog and a bare counting
receiver, with 100-byte datagrams on loopback under a stock receive buffer limit, and prints one
table with each figure beside its target. Every figure is read from outside: the numbers in the
text files and rows, /proc for CPU, memory, wake-ups and the kernel's drops. Loggers and the
counter run as nobody without capabilities, but in the real-time rows with CAP_SYS_NICE alone;
so it needs root, and UDP 6177 free. With a baseline each logger row runs both builds in turn.
  kivbench.py BUILD_DIR [--quick] [--baseline BUILD_DIR [--baseline-name NAME]]"""

import argparse
import contextlib
import math
import os
import re
import select
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

PORT, RSYSLOG_PORT, SIZE, MILLION = 6177, 6178, 100, 1000000
ENTRY = re.compile(r'(?m)(?:^|: )(\d{10}) (\d+) ')
USER = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', '--pdeathsig=KILL']
NO_CAPS = USER + ['--inh-caps=-all', '--bounding-set=-all']
SYS_NICE = USER + ['--inh-caps=-all,+sys_nice', '--ambient-caps=+sys_nice',
                   '--bounding-set=-all,+sys_nice']
# What the bench starts as itself ends with it too.
AS_BENCH = ['setpriv', '--pdeathsig=KILL']
QUICK = False
TOOLS = {}
BUILDS = []  # (name, build folder): this build first
CREDENTIALS = {}
STARTED = time.monotonic()


def say(text):
    took = int(time.monotonic() - STARTED)
    print(f'[{took // 60:2}:{took % 60:02}] {text}', file=sys.stderr, flush=True)


def udp_socket(port):
    """Whether UDP `port` is bound, and the datagrams the kernel dropped for it."""
    bound, drops = False, 0
    for table in ('/proc/net/udp', '/proc/net/udp6'):
        with open(table) as lines:
            for fields in (line.split() for line in list(lines)[1:]):
                if fields[1].endswith(f':{port:04X}'):
                    bound, drops = True, drops + int(fields[-1])
    return bound, drops


def cpu_ns(pid):
    # The process's CPU clock, every thread's, ended ones too: clock_getcpuclockid(3)'s id.
    try:
        return time.clock_gettime_ns(((~pid) << 3) | 2)
    except OSError:
        return math.nan


def status(path, field):
    with open(path) as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field + ':'))


def wakeups(pid):
    tasks = f'/proc/{pid}/task'
    return sum(status(f'{tasks}/{task}/status', f'{kind}voluntary_ctxt_switches')
               for task in os.listdir(tasks) for kind in ('', 'non'))


def p99(values):
    values = sorted(values)
    return values[int((len(values) - 1) * 0.99)] if values else math.nan


def sender(port, count, rate=0, prefix=''):
    return subprocess.Popen(AS_BENCH + [TOOLS['sender'], str(port), str(count), str(SIZE),
                                        str(rate), '1', prefix], stdout=subprocess.DEVNULL)


def send(port, count, rate=0, prefix=''):
    sender(port, count, rate, prefix).wait()


@contextlib.contextmanager
def spinners(on=True):
    """Two busy processes at normal priority, as a desktop busy with other work has."""
    spinning = [subprocess.Popen(AS_BENCH + ['sh', '-c', 'while :; do :; done'])
                for _ in range(2 if on else 0)]
    try:
        yield
    finally:
        for spinner in spinning:
            spinner.kill()
            spinner.wait()


class Receiver:
    """The logger ('logger'), its window in-process ('window'), rsyslog or the bare counter, in a
    folder of its own holding copies of what it runs, under the stock buffer limit."""

    def __init__(self, kind, build=None, nice=False, display=None):
        self.kind, self.out, self.counted, self.seen = kind, b'', 0, 0
        self.dir = tempfile.mkdtemp(prefix='kivbench-')
        self.port = RSYSLOG_PORT if kind == 'rsyslog' else PORT
        self.text = os.path.join(self.dir, 'out.log' if kind == 'rsyslog' else 'mylog.txt')
        self.db = os.path.join(self.dir, 'Log.mdb')
        env = {'PATH': os.environ['PATH'], 'HOME': self.dir,
               'LD_PRELOAD': shutil.copy(TOOLS['clamp'], self.dir)}
        env.update({'DISPLAY': display} if display else {'QT_QPA_PLATFORM': 'offscreen'})
        if kind == 'rsyslog':
            argv = AS_BENCH + [TOOLS['rsyslogd'], '-n', '-f', self.configure_rsyslog(),
                               '-i', os.path.join(self.dir, 'pid')]
        else:
            program = {'logger': f'{build}/kivlogging', 'window': f'{build}/bench/bench_list',
                       'counter': TOOLS['counter']}[kind]
            argv = (SYS_NICE if nice else NO_CAPS) + [shutil.copy(program, self.dir)]
            argv += {'window': [self.dir, str(PORT)], 'counter': [str(PORT), str(MILLION), '1000']
                     }.get(kind, [])
            # The bare counter at real-time priority, as a logger with the capability may take.
            argv = ['chrt', '-f', '1'] + argv if kind == 'counter' else argv
            if kind != 'counter':
                with open(TOOLS['schema']) as schema, sqlite3.connect(self.db) as db:
                    db.executescript(schema.read())
            for name in [''] + os.listdir(self.dir):
                os.chown(os.path.join(self.dir, name), 65534, 65534)
        with open(os.path.join(self.dir, 'stderr.txt'), 'wb') as errors:
            piped = subprocess.PIPE if kind in ('window', 'counter') else subprocess.DEVNULL
            self.p = subprocess.Popen(argv, cwd=self.dir, env=env, stdin=piped, stdout=piped,
                                      stderr=errors)
        self.pid = self.p.pid
        deadline = time.monotonic() + 30
        while not udp_socket(self.port)[0] and self.running() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.ok = udp_socket(self.port)[0] and (kind != 'window' or self.readline(30) == 'ready')
        if not self.ok:
            say(f'  {kind} did not start: {self.said("")}')
        elif kind == 'logger':
            with open(f'/proc/{self.pid}/status') as lines:
                CREDENTIALS.setdefault(nice, ' '.join(
                    line.split()[0] + line.split()[1] for line in lines
                    if line.startswith(('Uid', 'CapEff', 'CapAmb'))))

    # Its own instance: UDP in and one file out, its own messages kept out by the input's ruleset.
    def configure_rsyslog(self):
        path = os.path.join(self.dir, 'rsyslog.conf')
        with open(path, 'w') as conf:
            conf.write(f'global(workDirectory="{self.dir}" maxMessageSize="64k")\n'
                       'module(load="imudp")\n'
                       'template(name="raw" type="string" string="%rawmsg%\\n")\n'
                       f'ruleset(name="bench") {{ action(type="omfile" file="{self.text}" '
                       'template="raw") }\n'
                       f'input(type="imudp" address="127.0.0.1" port="{self.port}" '
                       'rcvbufSize="8m" ruleset="bench")\n')
        return path

    def running(self):
        return self.p.poll() is None

    def drops(self):
        return udp_socket(self.port)[1]

    def said(self, word):
        with open(os.path.join(self.dir, 'stderr.txt'), errors='replace') as lines:
            return ' '.join(line.strip() for line in lines if word in line)

    def lines(self):
        """Lines written so far, counted as they come."""
        with contextlib.suppress(FileNotFoundError), open(self.text, 'rb') as text:
            text.seek(self.seen)
            chunk = text.read()
            self.seen += len(chunk)
            self.counted += chunk.count(b'\n')
        return self.counted

    def wait_lines(self, wanted, quiet, deadline):
        """Until `wanted` lines, none new for `quiet` s, or `deadline` s; then until the rows
        catch up with them, as a round's lines are written before its rows."""
        start = changed = time.monotonic()
        seen = self.lines()
        while seen < wanted and self.running() and time.monotonic() - changed < quiet \
                and time.monotonic() - start < deadline:
            time.sleep(0.02)
            if self.lines() != seen:
                seen, changed = self.lines(), time.monotonic()
        rows, changed = -1, time.monotonic()
        while self.kind in ('logger', 'window') and self.running() and rows < seen \
                and time.monotonic() - changed < quiet and time.monotonic() - start < deadline:
            with contextlib.closing(sqlite3.connect(f'file:{self.db}?mode=ro', uri=True)) as db:
                if (now := db.execute('select count(*) from KIVData').fetchone()[0]) != rows:
                    rows, changed = now, time.monotonic()
            time.sleep(0.02)
        return seen

    def numbers(self):
        """Each number its text output holds, with its sending time."""
        with contextlib.suppress(FileNotFoundError), open(self.text, encoding='latin-1') as text:
            return {int(n): int(sent) for n, sent in ENTRY.findall(text.read())}
        return {}

    def rows(self, order=''):
        if self.kind == 'rsyslog':
            return self.numbers()
        with contextlib.closing(sqlite3.connect(f'file:{self.db}?mode=ro', uri=True)) as db:
            return [int(match.group(1)) for (text,) in
                    db.execute(f'select LogText from KIVData {order}')
                    if (match := ENTRY.match(text))]

    def lost(self, count):
        """Of the numbers 1..count, how many are missing from its lines or its rows."""
        return count - min(len(self.numbers()), len(set(self.rows())))

    def readline(self, seconds):
        deadline = time.monotonic() + seconds
        while b'\n' not in self.out and self.running() and time.monotonic() < deadline:
            if select.select([self.p.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
                self.out += os.read(self.p.stdout.fileno(), 1 << 20)
        line, _, self.out = self.out.partition(b'\n') if b'\n' in self.out else (b'', 0, self.out)
        return line.decode()

    def answer(self, word, seconds=20):
        """The next line starting with `word`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and (self.running() or b'\n' in self.out):
            if (line := self.readline(deadline - time.monotonic())).startswith(word):
                return line
        return ''

    def tell(self, line):
        self.p.stdin.write(line.encode() + b'\n')
        self.p.stdin.flush()

    def stop(self, seconds):
        """SIGTERM, then the exit status and the seconds it took; -1 if killed or crashed."""
        start = time.monotonic()
        self.p.terminate()
        try:
            code = self.p.wait(seconds)
        except subprocess.TimeoutExpired:
            code = -1
        return code if code >= 0 else -1, time.monotonic() - start

    def close(self):
        self.p.kill()
        self.p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def receiver(*args, **options):
    r = Receiver(*args, **options)
    try:
        yield r
    finally:
        r.close()


class Display:
    """A private X server with a window manager: a window on a desktop pays for both."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix='kivbench-x-')
        # SIGTERM, so that it takes its lock file and socket away.
        self.server = subprocess.Popen(
            ['setpriv', '--pdeathsig=TERM', 'Xvfb', '-displayfd', '1', '-ac', '-nolisten', 'tcp',
             '-screen', '0', '1280x1024x24'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.name = ':' + self.server.stdout.readline().decode().strip()
        started = os.path.join(self.home, 'started')
        self.manager = subprocess.Popen(
            ['setpriv', '--pdeathsig=TERM', 'openbox', '--sm-disable', '--startup',
             f'touch {started}'], env=dict(os.environ, DISPLAY=self.name, HOME=self.home),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(started) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.ok = os.path.exists(started)

    def settle(self):
        """Until the X server takes under 1 ms of CPU in 200 ms: a window's first showing is no
        part of a message's cost."""
        for _ in range(25):
            before = cpu_ns(self.server.pid)
            time.sleep(0.2)
            if cpu_ns(self.server.pid) - before < 1e6:
                return

    def close(self):
        for process in (self.manager, self.server):  # the manager is the server's client
            process.terminate()
            process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


def warm_up(r, count=100):
    """A few entries first, which no count takes in (a letter before the number)."""
    send(r.port, count, 1000, 'w')
    r.wait_lines(count, 2, 10)


# The trials. Each takes the build folder (None: rsyslog) and returns its figure and whether
# it met its target.

def drain(build, delay, count=100000):
    with receiver('logger', build) as r:
        send(PORT, count)
        time.sleep(delay)
        # What the kernel delivered is known just before the signal.
        delivered = count - r.drops()
        code, seconds = r.stop(120)
        lines, rows = len(r.numbers()), len(set(r.rows()))
    return (f'{lines}/{rows} of {delivered}, exit {code}, {seconds:.1f} s',
            lines == rows == delivered and code == 0)


RSS = {}


def busy(build):
    """10k/s with two spinners; each row's latency is when a poll every 5 ms saw it, less its
    sending time."""
    rate, count = 10000, 10000 * (10 if QUICK else 60)
    with spinners(), receiver('rsyslog' if build is None else 'logger', build) as r:
        warm_up(r, 1000)
        rss = status(f'/proc/{r.pid}/status', 'VmRSS') / 1024
        flood, latencies, last, quiet = sender(r.port, count, rate), [], 0, time.monotonic()
        db = build and sqlite3.connect(f'file:{r.db}?mode=ro', uri=True)
        while build and r.running() and (flood.poll() is None or time.monotonic() - quiet < 5) \
                and len(latencies) < count:
            polled = time.monotonic_ns()
            for row, text in db.execute('select ID, LogText from KIVData where ID > ?', (last,)):
                if match := ENTRY.match(text):
                    latencies.append((polled - int(match.group(2))) / 1e6)
                last, quiet = row, time.monotonic()
            time.sleep(0.005)
        flood.wait()
        r.wait_lines(1000 + count, 5, 60)
        lost = count - len(r.numbers()), count - len(set(r.rows()))
        RSS[build] = rss, status(f'/proc/{r.pid}/status', 'VmRSS') / 1024
    if build is None:
        return f'{lost[0]} lost', lost[0] == 0
    latency = p99(latencies + [math.inf] * (count - len(latencies)))
    return (f'{lost[0]}/{lost[1]} lost, p99 {latency:.0f} ms, max {max(latencies or [0]):.0f}',
            lost == (0, 0) and latency <= 250)


def burst(build, nice):
    with receiver('rsyslog' if build is None else 'logger', build, nice=nice) as r:
        send(r.port, 20000, 200000)
        r.wait_lines(20000, 2, 30)
        return r.lost(20000)


def flood(build, rate):
    """1M at `rate` (0: full speed) into a real-time reader."""
    with receiver('logger', build, nice=True) as r:
        send(PORT, MILLION, rate)
        r.wait_lines(MILLION, 3, 300)
        return r.lost(MILLION)


def counter():
    with receiver('counter', nice=True) as r:
        r.readline(10)
        send(PORT, MILLION)
        return MILLION - int((r.answer('received', 60) or 'received 0').split()[1])


def cpu(build, rate, display=None):
    """CPU per message in us at a steady rate: of the receiver, on a display also the X server's
    and the window manager's, from just before the first message until the last row is in and
    the last show drawn."""
    with receiver('rsyslog' if build is None else 'logger', build,
                  display=display and display.name) as r:
        # Offscreen is the logger's last resort: on a display it must not come to that.
        if not r.ok or (display and r.said('headless')):
            return [math.nan]
        warm_up(r)
        pids = [r.pid] + ([display.server.pid, display.manager.pid] if display else [])
        if display:
            display.settle()
        before = [cpu_ns(pid) for pid in pids]
        count = int(rate * (3 if QUICK else 10))
        send(r.port, count, rate)
        r.wait_lines(100 + count, 3, 60)
        time.sleep(0.2)
        return [(cpu_ns(pid) - used) / 1e3 / count for pid, used in zip(pids, before)]


def lone(build, display):
    """One entry every 250 ms into the window: from sending to the end of the first paint that
    showed it (or a newer one)."""
    count = 20 if QUICK else 80
    with receiver('window', build, display=display.name) as r:
        warm_up(r)
        time.sleep(1)
        r.tell(f'start {time.monotonic_ns()}')
        send(PORT, count, 4)
        r.wait_lines(100 + count, 2, 10)
        sent = r.numbers()
        r.tell(f'done {max(sent.values(), default=0)}')
        words = [int(word) for word in r.answer('paints').split()[1:]]
    paints, newest = [], 0
    for time_, drawn in zip(words[::2], words[1::2]):
        newest = max(newest, drawn)
        paints.append((time_, newest))
    latencies = [next(((t - at) / 1e6 for t, drawn in paints if drawn >= at), math.inf)
                 for at in (sent.get(n, math.inf) for n in range(1, count + 1))]
    worst = p99(latencies)
    return f'p99 {worst:.1f} ms, max {max(latencies):.1f}', worst <= 20


def list_age(build, display):
    rate, seconds = 1000, 5 if QUICK else 20
    with receiver('window', build, display=display.name) as r:
        warm_up(r)
        r.tell(f'start {time.monotonic_ns()}')
        send(PORT, rate * seconds, rate)
        r.tell('done')
        words = r.answer('list-age-ms').split()[1:] or ['nan', 'nan', '0']
    return f'p99 {float(words[0]):.0f} ms, max {float(words[1]):.0f}', float(words[0]) <= 150


def idle(build):
    with receiver('logger', build) as r:
        warm_up(r)
        time.sleep(2)
        before = wakeups(r.pid)
        time.sleep(5 if QUICK else 20)
        woken = wakeups(r.pid) - before
    return f'{woken} wake-ups', woken == 0


def lock(build, hold, rate=1000, lead=2, tail=3):
    """A write transaction of the bench's own on Log.mdb for `hold` s during a 1k/s stream; at
    four moments meanwhile every entry sent over 1 s before should be in mylog.txt."""
    count = int(rate * (lead + hold + tail))
    with receiver('logger', build) as r:
        stream, started = sender(PORT, count, rate), time.monotonic()
        time.sleep(lead)
        late = 0
        with contextlib.closing(sqlite3.connect(r.db, isolation_level=None, timeout=5)) as db:
            db.execute('begin immediate')
            locked = time.monotonic()
            for sample in range(1, 5):
                time.sleep(max(0, locked + hold * sample / 4 - 0.05 - time.monotonic()))
                late = max(late, int((time.monotonic() - started - 1) * rate) - r.lines())
            db.execute('rollback')
        alive = r.running()
        stream.wait()
        r.wait_lines(count, 10, 60)
        deadline = time.monotonic() + 60
        while len(r.rows()) < count and r.running() and time.monotonic() < deadline:
            time.sleep(0.2)
        rows, lines = r.rows('order by ID'), len(r.numbers())
        code = r.stop(60)[0]
    in_order = rows == list(range(1, count + 1))
    return (f'{max(late, 0)} late, {lines}/{len(rows)} of {count}, exit {code}',
            alive and late <= 0 and lines == count and in_order and code == 0)


# The table: a row a figure, this build's, the baseline's beside it, what else it stands by.

def row(what, figures, beside, target, verdicts):
    cells = [what] + figures + [beside, target,
                                ' / '.join('met' if met else 'MISSED' for met in verdicts)]
    widths = [36] + [38] * len(figures) + [24, 34, 0]
    print(' '.join(f'{cell:<{width}}' for cell, width in zip(cells, widths)).rstrip())


def each(what, trial, *args):
    """`trial` on every build in turn, so that both meet the same moods of the machine."""
    results = []
    for name, build in BUILDS:
        say(f'{what} ({name})')
        results.append(trial(build, *args))
    return results


def judged_row(what, results, target, beside=''):
    row(what, [text for text, _ in results], beside, target, [met for _, met in results])


def us(value):
    return f'{value:.1f} us'


def main():
    global QUICK
    options = argparse.ArgumentParser()
    options.add_argument('build')
    options.add_argument('--quick', action='store_true')
    options.add_argument('--baseline')
    options.add_argument('--baseline-name', default='old')
    arguments = options.parse_args()
    QUICK = arguments.quick
    here = os.path.dirname(os.path.abspath(__file__))
    tools = os.path.join(arguments.build, 'bench')
    TOOLS.update(sender=f'{tools}/bench_sender', counter=f'{tools}/bench_counter',
                 clamp=f'{tools}/bench_rcvbuf_clamp.so',
                 schema=os.path.join(here, '..', 'recording', 'KIVData.sql'),
                 rsyslogd=shutil.which('rsyslogd', path=os.environ['PATH'] + ':/usr/sbin'))
    BUILDS.append(('new', os.path.abspath(arguments.build)))
    if arguments.baseline:
        BUILDS.append((arguments.baseline_name, os.path.abspath(arguments.baseline)))
    if os.geteuid() != 0 or udp_socket(PORT)[0] or udp_socket(RSYSLOG_PORT)[0]:
        sys.exit('The bench runs the logger as nobody on UDP 6177 and rsyslog on 6178: as root, '
                 'in a network namespace of its own:\n'
                 "  sudo unshare -n sh -c 'ip link set lo up; make bench'")
    load = open('/proc/loadavg').read().split()[:3]
    runs = 1 if QUICK else 3
    cpu_rates = (100, 1000, 10000)

    drains = [each(f'SIGTERM {delay} s after 100k', drain, delay) for delay in (0, 0.2, 1)]
    busies = each('10k/s with two spinners', busy)
    say('10k/s with two spinners (rsyslog)')
    busy_rsyslog = busy(None)
    bursts = {}  # (spinning, nice, build or None) -> losses run by run
    for run in range(runs):
        for spinning in (False, True):
            with spinners(spinning):
                for nice in (False, True):
                    for name, build in BUILDS + [('rsyslog', None)] * (not nice):
                        say(f'20k at 200k/s, {"two spinners" if spinning else "idle"}, '
                            f'{"real-time" if nice else "normal"}, run {run + 1} ({name})')
                        bursts.setdefault((spinning, nice, build), []).append(burst(build, nice))
    floods, counters, paced = [], [], []
    for run in range(runs):
        floods.append(each(f'1M at full speed, real-time, run {run + 1}', flood, 0))
        say(f'1M at full speed, bare counter, run {run + 1}')
        counters.append(counter())
        paced.append(each(f'1M at 100k/s, real-time, run {run + 1}', flood, 100000))
    headless, rsyslog_cpu = [], []
    for rate in cpu_rates:
        say(f'CPU at {rate}/s (rsyslog)')
        rsyslog_cpu.append(cpu(None, rate)[0])
        headless.append([sum(parts) for parts in each(f'CPU at {rate}/s headless', cpu, rate)])
    say('starting Xvfb and openbox')
    display = Display()
    try:
        shown = [each(f'CPU at {rate}/s, window shown', cpu, rate, display) for rate in (100, 1000)]
        lones = each('a lone entry every 250 ms into the window', lone, display)
        ages = each('1k/s into the window, its list sampled', list_age, display)
    finally:
        display.close()
    idles = each('idle', idle)
    locks = [each(f'Log.mdb locked {hold} s during 1k/s', lock, hold)
             for hold in (2, 10 if QUICK else 60)]
    say('done')

    took = int(time.monotonic() - STARTED)
    print(f'\nKIVLogging bench{" (quick)" if QUICK else ""}: {os.cpu_count()} CPUs, Linux '
          f'{os.uname().release}, load {" ".join(load)} at the start, took {took // 60} min '
          f'{took % 60} s; {SIZE} B datagrams on loopback, receive buffers clamped to a stock '
          f'kernel\'s 212992 B')
    print(f'Loggers ran as {CREDENTIALS.get(False)}, real-time rows as {CREDENTIALS.get(True)}; '
          'rsyslog, Xvfb and openbox as root')
    row('what', [name for name, _ in BUILDS], 'beside', 'target', [])
    for delay, results in zip((0, 0.2, 1), drains):
        judged_row(f'SIGTERM {delay} s after 100k burst', results,
                   'all delivered in lines+rows, exit 0', 'lines/rows of delivered')
    judged_row(f'10k/s {10 if QUICK else 60} s, 2 spinners', busies,
               '0 lost, p99 send-to-row <= 250ms', f'rsyslog {busy_rsyslog[0]}')
    for spinning in (False, True):
        for nice in (False, True):
            losses = [bursts[spinning, nice, build] for _, build in BUILDS]
            beside = '' if nice else 'rsyslog ' + ' '.join(map(str, bursts[spinning, nice, None]))
            row(f'20k at 200k/s, {"2 spinners" if spinning else "idle"}, '
                f'{"real-time" if nice else "normal"}', [' '.join(map(str, l)) for l in losses],
                beside, '0 lost' if nice else 'lost, beside rsyslog\'s',
                [max(l) == 0 for l in losses] if nice else [])  # the normal rows are reported
    medians = [statistics.median_low(run[b] for run in floods) for b in range(len(BUILDS))]
    row('1M full speed, real-time, lost', [f'{m} (' + ' '.join(str(run[b]) for run in floods) + ')'
                                           for b, m in enumerate(medians)],
        f'counter {statistics.median_low(counters)} ({" ".join(map(str, counters))})',
        '<= counter\'s, median of runs', [m <= statistics.median_low(counters) for m in medians])
    medians = [statistics.median_low(run[b] for run in paced) for b in range(len(BUILDS))]
    row('1M at 100k/s, real-time, lost', [f'{m} (' + ' '.join(str(run[b]) for run in paced) + ')'
                                          for b, m in enumerate(medians)],
        '', '0, median of runs', [m == 0 for m in medians])
    for rate, parts in zip((100, 1000), shown):
        alone = headless[cpu_rates.index(rate)]
        row(f'CPU/msg {rate}/s, window shown', [f'{us(sum(p))} = ' + '+'.join(
            f'{part:.1f}' for part in p) for p in parts], 'headless ' + ' / '.join(map(us, alone)),
            '<= 2x headless (logger+X+wm)', [sum(p) <= 2 * h for p, h in zip(parts, alone)])
    for rate, figures, rsyslog in zip(cpu_rates, headless, rsyslog_cpu):
        # Between two trials of one build the figure varies about as much.
        row(f'CPU/msg {rate}/s headless', list(map(us, figures)), f'rsyslog {us(rsyslog)}',
            '<= 3x rsyslog, <= baseline+10%',
            [f <= 3 * rsyslog and f <= figures[-1] * 1.1 for f in figures])
    judged_row('lone entry send to painted', lones, 'p99 <= 20 ms')
    judged_row('1k/s list newest-entry age', ages, 'p99 <= 150 ms')
    judged_row(f'idle {5 if QUICK else 20} s after a few', idles, '0 wake-ups')
    for hold, results in zip((2, 10 if QUICK else 60), locks):
        judged_row(f'Log.mdb locked {hold} s during 1k/s', results,
                   'none late, all rows after, runs', 'late lines, lines/rows')
    row('RSS before/after 10k/s busy', [f'{RSS[b][0]:.1f}/{RSS[b][1]:.1f} MiB' for _, b in BUILDS],
        f'rsyslog {RSS[None][0]:.1f}/{RSS[None][1]:.1f} MiB', 'within 10 MiB',
        [abs(RSS[b][1] - RSS[b][0]) <= 10 for _, b in BUILDS])


if __name__ == '__main__':
    main()
