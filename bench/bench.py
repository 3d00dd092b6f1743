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
Then the same for a real application, the sample frozen by default, against
the plain interpreter on its sources (sample.py), and for a large generated
program of many modules (large.py), and for pip as this machine's Python has
it (pip_app.py). Prints a Markdown report and writes it
to --output.
"""

import argparse
import datetime
import os
import re
import shutil
import statistics
import subprocess

import large
import onefile
import pip_app
import sample
from sample import archive_members
from measure import ENV, annotate, callgrind, cost, machine, peak_rss, run_once, wall

NAME = 'empty'  # the application's, and so the launcher's, name
LAUNCHER = 'launcher, empty application'
PYTHON = 'python2.7 -S -E -c pass'
FLOOR = 'floor: initialise and finalise only'
# What the import of __startup__ does, by the functions that do it.
IMPORT_PARTS = [('_PyImport_GetDynLoadFunc', 'loading `_boot.so`'),
                ('init_boot', "`_boot`'s set-up"),
                ('settle', 'file names of the codecs made absolute'),
                ('quitters', '`exit` and `quit`, as `site` makes them'),
                ('no_user_site', '`sys.flags.no_user_site` set'),
                ('open_archive', "reading the archive's table"),
                ('boot', "running `__boot__`, which the empty program needs not"),
                ('zipimporter_init', "zipimport's reading of an archive")]
INSTRUCTION_TARGET = 0.80
EMPTY_TARGET = 1.03
OWN_SHARE_TARGET = 0.01


def parse():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ('--launcher', '--floor', '--freeze-app', '--python2', '--sample', '--work',
                   '--output'):
        p.add_argument(option, required=True)
    p.add_argument('--quick', action='store_true', help='few runs, to check that it works')
    return p.parse_args()


def assemble(args):
    """Freezes an empty application with the floor program beside it. It
    keeps its symbol tables, where callgrind finds the names of the
    interpreter's own functions; stripped, it runs the same instructions."""
    src = os.path.join(args.work, 'src')
    app = os.path.join(args.work, NAME)
    os.makedirs(src, exist_ok=True)
    with open(os.path.join(src, '__startup__.py'), 'w') as f:
        f.write('def run():\n    pass\n')
    subprocess.run([args.python2, '-B', args.freeze_app, '--force', '--keep-debug',
                    '--launcher', args.launcher, src, app], check=True, stdout=subprocess.DEVNULL)
    shutil.copy(args.floor, os.path.join(app, 'floor'))
    return app


def breakdown(out, launcher, initial_imports):
    """Where a program's instructions go, by the calls the launcher's main
    makes (the plain interpreter makes the first, second and last too).
    PyImport_Import also serves the imports that Py_Initialize makes, which
    cost `initial_imports`: they count in Py_Initialize."""
    total, inclusive = annotate(out, 'yes')
    calls = [('Py_Initialize', 'interpreter start'),
             ('PyRun_SimpleStringFlags', 'startup script, or `pass`'),
             ('PyImport_Import', 'import of __startup__'),
             ('PyObject_CallObject', 'call of run()'),
             ('Py_Finalize', 'interpreter finalisation')]
    parts = [('`%s` (%s)' % (function, label),
              cost(inclusive, function) - (initial_imports if function == 'PyImport_Import' else 0))
             for function, label in calls]
    _, exclusive = annotate(out, 'no')
    own = sum(c for c, _, obj in exclusive if obj == launcher)
    parts.append(("the launcher's own code", own))
    parts.append(('the rest: loading, process start and exit', total - sum(c for _, c in parts)))
    parts += [('of which in the import: %s (`%s`)' % (label, function), cost(inclusive, function))
              for function, label in IMPORT_PARTS]
    return total, parts, own


def initial_imports(out):
    """What the imports Py_Initialize makes cost: all that `python2.7 -c pass`
    imports."""
    return cost(annotate(out, 'yes')[1], 'PyImport_Import')


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
    initial = initial_imports(os.path.join(args.work, 'callgrind-1'))
    total, parts, own = breakdown(os.path.join(args.work, 'callgrind-0'), launcher, initial)
    python_parts = breakdown(os.path.join(args.work, 'callgrind-1'), launcher, initial)[1]
    timing = wall(programs, PYTHON, runs)
    rss = {name: peak_rss(argv, args.work, min(runs, 20)) for name, argv in programs.items()}
    searches = [(n,) + path_search(app, n, runs, args.work) for n in (10, 1000, 10000)]

    version = subprocess.run([python, '-c', 'import sys; print sys.version.split()[0]'],
                             capture_output=True, text=True, check=True).stdout.strip()
    lines = ['# Start-up benchmark', '',
             '%s, %s mode (%d timed runs each), Python %s. Machine: %s.'
             % (datetime.date.today().isoformat(), 'quick' if args.quick else 'full', runs,
                version, machine()), '',
             'Instructions are counted by callgrind and repeat exactly; times are medians',
             'of interleaved runs, and their ratios the medians of the ratios to the',
             'reference program\'s run of the same round. Every program runs with',
             '`LC_ALL=C.UTF-8` from `/`.', '',
             '## Start-up of an empty application', '',
             '| program | instructions | vs python | median time | vs python | peak RSS |',
             '|---|---:|---:|---:|---:|---:|']
    for name in programs:
        lines.append('| %s | %s | %.3f | %.2f ms | %.3f | %d KiB |' % (
            name, format(ir[name], ','), ir[name] / ir[PYTHON], timing[name][0] * 1e3,
            timing[name][1], rss[name]))
    lines += ['', "## Where the launcher's instructions go", '',
              '| part | launcher | share | %s | difference |' % PYTHON,
              '|---|---:|---:|---:|---:|']
    lines += ['| %s | %s | %.2f%% | %s | %+d |' % (label, format(ours, ','), 100.0 * ours / total,
                                                format(theirs, ','), ours - theirs)
              for (label, ours), (_, theirs) in zip(parts, python_parts)]
    lines += ['', '## PATH search', '',
              'A bare name, with N entries that do not hold the executable before the one',
              'that does; stat calls are those on `entry/%s` candidates (strace).' % NAME, '',
              '| N | entries visited | stat calls | median time |', '|---:|---:|---:|---:|']
    lines += ['| %d | %d | %d | %.2f ms |' % (n, visited, stats, seconds * 1e3)
              for n, stats, visited, seconds in searches]
    real, targets = sample.report(args, runs, initial)
    lines += [''] + real
    many, more = large.report(args, runs)
    lines += [''] + many
    targets += more
    real, more = pip_app.report(args, runs)
    lines += [''] + real
    targets += more
    one, more = onefile.report(args, runs, [os.path.join(args.work, 'sample', 'records.json')])
    lines += [''] + one
    targets += more

    ratio = ir[LAUNCHER] / ir[PYTHON]
    floor = ir[FLOOR] / ir[PYTHON]
    share = own / total
    one_stat = all(stats == visited for _, stats, visited, _ in searches)
    lines += ['', '## Targets', '', '| target | measured | met |', '|---|---:|---|',
              '| instructions at most %.2f of python | %.3f | %s |'
              % (INSTRUCTION_TARGET, ratio, 'yes' if ratio <= INSTRUCTION_TARGET else 'no'),
              "| launcher's own code under %d%% of instructions | %.4f%% | %s |"
              % (OWN_SHARE_TARGET * 100, share * 100, 'yes' if share < OWN_SHARE_TARGET else 'no'),
              '| empty application: instructions at most %.2f of python | %.3f | %s |'
              % (EMPTY_TARGET, ratio, 'yes' if ratio <= EMPTY_TARGET else 'no'),
              '| one stat per PATH entry visited | %s | %s |'
              % (', '.join('%d/%d' % (s, v) for _, s, v, _ in searches),
                 'yes' if one_stat else 'no')]
    lines += ['| %s | %.3f | %s |' % (label, value, 'yes' if met else 'no')
              for label, value, met in targets]
    if ratio > EMPTY_TARGET:
        by = dict(parts)
        theirs = dict(python_parts)
        script = '`PyRun_SimpleStringFlags` (startup script, or `pass`)'
        rest = 'the rest: loading, process start and exit'
        lines += ['', 'The empty application takes %s more instructions than `%s`:'
                  % (format(ir[LAUNCHER] - ir[PYTHON], ','), PYTHON),
                  'the startup script, which the launcher runs as it is, %s more than'
                  % format(by[script] - theirs[script], ','),
                  'parsing `pass`; loading the launcher, whose symbols are bound at start,',
                  'and the rest, %s more; the import of `__startup__` %s, of which'
                  % (format(by[rest] - theirs[rest], ','),
                     format(by['`PyImport_Import` (import of __startup__)'], ',')),
                  'loading `_boot.so` (its symbols bound as it loads) takes %s.'
                  % format(by['of which in the import: loading `_boot.so` '
                              '(`_PyImport_GetDynLoadFunc`)'], ',')]
    if ratio > INSTRUCTION_TARGET:
        lines += ['', 'The instruction target is out of reach of any launcher of this',
                  'interpreter library: the floor program, which only initialises and',
                  'finalises it, already takes %.3f of the plain interpreter\'s' % floor,
                  'instructions. The launcher adds the startup script, the import of',
                  '`__startup__` (lib\'s stub, which hands over to `_boot`) and its own',
                  'code, listed above.']
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
