#!/usr/bin/env python3
"""Start-up benchmark: the launcher against the plain interpreter.

Assembles an empty application (run() returns at once, bytecode compiled)
and measures, for the launcher, for `python2.7 -S -E -c pass` on the same
interpreter library and for a floor program that only initialises and
finalises the interpreter with the same home:
- instructions, with callgrind (repeatable), and where the launcher's go;
- wall-clock medians over interleaved runs, as ratios measured in one run;
- peak resident memory, with GNU time;
- stat calls and time of the PATH search with many entries before the
  executable's.
Prints a Markdown report and writes it to --output.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import time

ENV = {'PATH': '/usr/bin:/bin', 'LC_ALL': 'C.UTF-8'}
NAME = 'empty'  # the application's, and so the launcher's, name
LAUNCHER = 'launcher, empty application'
PYTHON = 'python2.7 -S -E -c pass'
FLOOR = 'floor: initialise and finalise only'
INSTRUCTION_TARGET = 0.80
OWN_SHARE_TARGET = 0.01


def parse():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ('--launcher', '--floor', '--freeze-app', '--python2', '--work', '--output'):
        p.add_argument(option, required=True)
    p.add_argument('--quick', action='store_true', help='few runs, to check that it works')
    return p.parse_args()


def assemble(args):
    """Freezes an empty application with the floor program beside it."""
    src = os.path.join(args.work, 'src')
    app = os.path.join(args.work, NAME)
    os.makedirs(src, exist_ok=True)
    with open(os.path.join(src, '__startup__.py'), 'w') as f:
        f.write('def run():\n    pass\n')
    subprocess.run([args.python2, args.freeze_app, '--force', '--launcher', args.launcher,
                    src, app], check=True)
    shutil.copy(args.floor, os.path.join(app, 'floor'))
    return app


def run_once(argv, executable=None, env=ENV):
    """Runs a program to its end; returns the seconds it took."""
    start = time.perf_counter()
    subprocess.run(argv, executable=executable, env=env, cwd='/', check=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_rss(argv, work):
    """Peak resident KiB, as GNU time reports it. The program is started by
    a small process, so no larger parent's memory counts against it."""
    out = os.path.join(work, 'rss')
    subprocess.run(['/usr/bin/time', '-f', '%M', '-o', out] + argv, env=ENV, cwd='/',
                   check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        return int(f.read().split()[-1])


def wall(programs, runs):
    """Median times, runs interleaved so that drift hits every program alike."""
    samples = {name: [] for name in programs}
    for _ in range(runs):
        for name, argv in programs.items():
            samples[name].append(run_once(argv))
    return {name: statistics.median(s) for name, s in samples.items()}


def callgrind(argv, out):
    subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out] + argv,
                   env=ENV, cwd='/', check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


def annotate(out, inclusive):
    """Returns the total and the rows (instructions, function, object)."""
    text = subprocess.run(['callgrind_annotate', '--inclusive=' + inclusive,
                           '--threshold=100', out],
                          capture_output=True, text=True, check=True).stdout
    total = int(re.search(r'([\d,]+) \S+\s+PROGRAM TOTALS', text)[1].replace(',', ''))
    rows = []
    for line in text.splitlines():
        m = re.match(r'\s*([\d,]+) \([^)]*\)\s+(\S.*?) \[(.*)\]$', line)
        if m:
            rows.append((int(m[1].replace(',', '')), m[2], m[3]))
    return total, rows


def breakdown(out, launcher):
    """Where the launcher's instructions go, by the calls main makes."""
    total, inclusive = annotate(out, 'yes')
    calls = [('Py_Initialize', 'interpreter start'),
             ('PyRun_SimpleStringFlags', 'startup script'),
             ('PyImport_Import', 'import of __startup__'),
             ('PyObject_CallObject', 'call of run()'),
             ('Py_Finalize', 'interpreter finalisation')]
    parts = []
    for function, label in calls:
        cost = max((c for c, name, _ in inclusive if name.endswith(':' + function)), default=0)
        parts.append(('`%s` (%s)' % (function, label), cost))
    _, exclusive = annotate(out, 'no')
    own = sum(c for c, _, obj in exclusive if obj == launcher)
    parts.append(("the launcher's own code", own))
    parts.append(('the rest: loading, process start and exit', total - sum(c for _, c in parts)))
    return total, parts, own


def path_search(app, entries, runs, work):
    """stat calls on candidates and median time with `entries` PATH
    entries that do not hold the executable before the one that does."""
    dirs = ['/x/%d' % i for i in range(entries)] + [app]
    env = dict(ENV, PATH=':'.join(dirs))
    trace = os.path.join(work, 'strace-%d' % entries)
    # strace finds the bare name along PATH itself and keeps argv[0] bare.
    subprocess.run([shutil.which('strace'), '-f', '-qq', '-o', trace,
                    '-e', 'trace=stat,lstat,newfstatat,statx', NAME],
                   env=env, cwd='/', check=True, stdout=subprocess.DEVNULL)
    candidates = set(d + '/' + NAME for d in dirs)
    with open(trace) as f:
        stats = sum(1 for line in f
                    for m in [re.search(r'stat\w*\((?:AT_FDCWD, )?"([^"]*)"', line)]
                    if m and m[1] in candidates)
    exe = os.path.join(app, NAME)
    seconds = statistics.median(run_once([NAME], exe, env) for _ in range(runs))
    return stats, len(dirs), seconds


def machine():
    model = 'unknown processor'
    with open('/proc/cpuinfo') as f:
        for line in f:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    return '%s, %d cores, Linux %s' % (model, os.cpu_count(), platform.release())


def report(args, app):
    runs = 5 if args.quick else 200
    python = os.path.join(os.path.dirname(args.python2), 'python2.7')
    launcher = os.path.join(app, NAME)
    programs = {
        LAUNCHER: [launcher],
        PYTHON: [python, '-S', '-E', '-c', 'pass'],
        FLOOR: [os.path.join(app, 'floor'), app],
    }
    ir = {}
    for i, (name, argv) in enumerate(programs.items()):
        ir[name] = annotate(callgrind(argv, os.path.join(args.work, 'callgrind-%d' % i)), 'no')[0]
    total, parts, own = breakdown(os.path.join(args.work, 'callgrind-0'), launcher)
    timing = wall(programs, runs)
    rss = {name: statistics.median(peak_rss(argv, args.work) for _ in range(min(runs, 20)))
           for name, argv in programs.items()}
    searches = [(n,) + path_search(app, n, runs, args.work) for n in (10, 1000, 10000)]

    version = subprocess.run([python, '-c', 'import sys; print sys.version.split()[0]'],
                             capture_output=True, text=True, check=True).stdout.strip()
    lines = ['# Start-up benchmark', '',
             '%s, %s mode (%d timed runs each), Python %s. Machine: %s.'
             % (datetime.date.today().isoformat(), 'quick' if args.quick else 'full', runs,
                version, machine()), '',
             'Instructions are counted by callgrind and repeat exactly; times are medians',
             'of interleaved runs, given as ratios to the plain interpreter measured in',
             'the same run. Every program runs with `LC_ALL=C.UTF-8` from `/`.', '',
             '## Start-up', '',
             '| program | instructions | vs python | median time | vs python | peak RSS |',
             '|---|---:|---:|---:|---:|---:|']
    for name in programs:
        lines.append('| %s | %s | %.3f | %.2f ms | %.3f | %d KiB |' % (
            name, format(ir[name], ','), ir[name] / ir[PYTHON], timing[name] * 1e3,
            timing[name] / timing[PYTHON], rss[name]))
    lines += ['', "## Where the launcher's instructions go", '',
              '| part | instructions | share |', '|---|---:|---:|']
    lines += ['| %s | %s | %.2f%% |' % (label, format(cost, ','), 100.0 * cost / total)
              for label, cost in parts]
    lines += ['', '## PATH search', '',
              'A bare name, with N entries that do not hold the executable before the one',
              'that does; stat calls are those on `entry/%s` candidates (strace).' % NAME, '',
              '| N | entries visited | stat calls | median time |', '|---:|---:|---:|---:|']
    lines += ['| %d | %d | %d | %.2f ms |' % (n, visited, stats, seconds * 1e3)
              for n, stats, visited, seconds in searches]

    ratio = ir[LAUNCHER] / ir[PYTHON]
    floor = ir[FLOOR] / ir[PYTHON]
    share = own / total
    one_stat = all(stats == visited for _, stats, visited, _ in searches)
    lines += ['', '## Targets', '', '| target | measured | met |', '|---|---:|---|',
              '| instructions at most %.2f of python | %.3f | %s |'
              % (INSTRUCTION_TARGET, ratio, 'yes' if ratio <= INSTRUCTION_TARGET else 'no'),
              "| launcher's own code under %d%% of instructions | %.4f%% | %s |"
              % (OWN_SHARE_TARGET * 100, share * 100, 'yes' if share < OWN_SHARE_TARGET else 'no'),
              '| one stat per PATH entry visited | %s | %s |'
              % (', '.join('%d/%d' % (s, v) for _, s, v, _ in searches),
                 'yes' if one_stat else 'no')]
    if ratio > INSTRUCTION_TARGET:
        lines += ['', 'The instruction target is out of reach of any launcher of this',
                  'interpreter library: the floor program, which only initialises and',
                  'finalises it, already takes %.3f of the plain interpreter\'s' % floor,
                  'instructions. The launcher adds the startup script, the import of',
                  '`__startup__` from `library.zip` and its own code, listed above.']
    return '\n'.join(lines) + '\n'


def main():
    args = parse()
    os.makedirs(args.work, exist_ok=True)
    text = report(args, assemble(args))
    print(text, end='')
    with open(args.output, 'w') as f:
        f.write(text)


if __name__ == '__main__':
    main()
