"""A real program of this machine's Python: pip, frozen by its console
script alone (`--entry pip`, taken from its metadata), with the warnings
it prints, what it must leave out, its size and the start-up of `pip
--version` against the plain interpreter running pip's console script on
the same installation."""

import os
import re
import shutil
import subprocess
import time
import zipfile

from measure import annotate, callgrind, versus, wall
from sample import size, stored

FROZEN = 'frozen pip, `--version`'
PLAIN = 'python2.7 running pip\'s console script, `--version`'
STORED = 'variant: archive stored whole, nothing deflated'
SIZE_TARGET = 25e6
WARNINGS_TARGET = 3
# What pip does not need and once shipped: Tk and X11 through pydoc's
# graphical browser, the standard library's test suite.
UNWANTED = re.compile(r'_tkinter|libtk|libtcl|libX|(^|/)test/')
# The console script that pip installs, as it runs under the plain interpreter.
SCRIPT = 'import sys; from pip._internal import main; sys.argv[0] = "pip"; sys.exit(main())'


def files(app):
    """Every file of the directory and every member of its archive."""
    found = [os.path.relpath(os.path.join(p, f), app)
             for p, _, names in os.walk(app) for f in names]
    with zipfile.ZipFile(os.path.join(app, 'lib', 'library.zip')) as z:
        members = z.namelist()
    return found + ['lib/library.zip/' + m for m in members]


def report(args, runs):
    work = os.path.join(args.work, 'pip')
    empty = os.path.join(work, 'empty')
    os.makedirs(empty, exist_ok=True)
    app = os.path.join(work, 'app')
    began = time.time()
    said = subprocess.run([args.python2, '-B', args.freeze_app, '--force', '--launcher',
                           args.launcher, '--entry', 'pip', empty, app],
                          check=True, capture_output=True, text=True)
    took = time.time() - began
    warnings = [line for line in said.stderr.splitlines() if line.startswith('freeze-app: warning')]
    shipped = files(app)
    unwanted = [f for f in shipped if UNWANTED.search(f)]
    whole = os.path.join(work, 'stored')
    if os.path.exists(whole):
        shutil.rmtree(whole)
    shutil.copytree(app, whole, symlinks=True)
    stored(whole)
    programs = {FROZEN: [os.path.join(app, 'pip'), '--version'],
                STORED: [os.path.join(whole, 'pip'), '--version'],
                PLAIN: [args.python2, '-c', SCRIPT, '--version']}
    ir = dict((name, annotate(callgrind(argv, os.path.join(work, 'callgrind-%d' % i)), 'no')[0])
              for i, (name, argv) in enumerate(programs.items()))
    timing = wall(programs, PLAIN, min(runs, 40))
    total = size(app)
    libraries = sum(os.path.getsize(os.path.join(app, 'lib', f))
                    for f in os.listdir(os.path.join(app, 'lib')) if '.so.' in f)
    lines = ['## pip', '',
             'pip %s, as this machine\'s Python has it installed, frozen with only'
             % re.search(r'pip-([\d.]+)\.dist-info', ' '.join(shipped)).group(1),
             '`--entry pip` (%.1f s), against the plain interpreter (with `site`) running' % took,
             'its console script.', ''] + versus(programs, ir, timing, PLAIN)
    lines += ['', 'Its size, sums of file sizes, and what freezing it printed:', '',
              '| in all | `library.zip` | `library-source` | bundled system libraries |',
              '|---:|---:|---:|---:|',
              '| %s | %s | %s | %s |' % (
                  format(total, ','), format(os.path.getsize(
                      os.path.join(app, 'lib', 'library.zip')), ','),
                  format(size(os.path.join(app, 'lib', 'library-source')), ','),
                  format(libraries, ','))]
    lines += ['', 'The default deflates only what pip\'s start need not import, and pip\'s',
              '`--version` inflates none of it. With the archive stored whole (the',
              'variant), the directory takes %s bytes, %s more.'
              % (format(size(whole), ','), format(size(whole) - total, ','))]
    printed = (said.stderr + said.stdout).replace(app, 'app')
    lines += [''] + ['    ' + line for line in printed.splitlines()]
    if unwanted:
        lines += ['', 'Shipped though not wanted: ' + ', '.join(unwanted[:10])]
    ratio = ir[FROZEN] / ir[PLAIN]
    targets = [('pip: size at most %.0f MB (millions of bytes)' % (SIZE_TARGET / 1e6),
                total / 1e6, total <= SIZE_TARGET),
               ('pip: warning lines at most %d' % WARNINGS_TARGET, len(warnings),
                len(warnings) <= WARNINGS_TARGET),
               ('pip: files of Tk, X11 or test suites', len(unwanted), not unwanted),
               ('pip: instructions of `--version` frozen at most 1.00 of plain', ratio,
                ratio <= 1.00),
               ('pip: time of `--version` frozen at most 1.00 of plain', timing[FROZEN][1],
                timing[FROZEN][1] <= 1.00)]
    return lines, targets
