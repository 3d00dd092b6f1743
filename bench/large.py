"""A large program: a generated package of many modules, each a class, a
few functions and a table, all imported by the command's `--version`, as
a program with hundreds of plug-ins or extractors imports them. Frozen
with only --entry and --path, against the plain interpreter on the same
site, with its bytecode cached."""

import os
import re
import shutil
import subprocess
import time

from measure import annotate, callgrind, cost, versus, wall

MODULES = 800
# Where the instructions of loading a module go, by the functions that do
# it in the frozen program and in the plain one (None: nothing alike),
# inclusive.
PARTS = [
    ('interpreter start (`Py_Initialize`; the plain one imports `site`)',
     'Py_Initialize', 'Py_Initialize'),
    ('finding modules (`find_module`, with `_boot`\'s finder first)', 'find_module',
     'find_module'),
    ('making file names absolute (`absolute`)', 'absolute', None),
    ('unmarshalling bytecode (`PyMarshal_ReadObjectFromString`)',
     'PyMarshal_ReadObjectFromString', 'PyMarshal_ReadObjectFromString'),
]

FROZEN = 'frozen large program, `--version`'
PLAIN = 'python2.7 on the same site, `--version`'
TARGET = 1.00
FREEZE_SECONDS = 15
MODULE = '''import re

from . import common


class Extractor%(n)d(common.Base):
    """Extractor number %(n)d."""
    _VALID_URL = r'https?://(?:www\\.)?site%(n)d\\.example/(?P<id>[0-9]+)'
    _TESTS = [{'url': 'https://site%(n)d.example/1', 'info': {'id': '1', 'ext': 'mp4'}}]

    def _real_extract(self, url):
        video = re.match(self._VALID_URL, url).group('id')
        return {'id': video, 'title': self._title(video), 'formats': self._formats(video)}

    def _title(self, video):
        return 'video %%s of site %(n)d' %% video

    def _formats(self, video):
        return [{'format_id': f, 'url': '%%s/%%s' %% (video, f)} for f in ('low', 'high')]
'''


def site(work):
    """Writes the package `many` into work/site; returns the site."""
    root = os.path.join(work, 'site')
    if os.path.exists(root):
        shutil.rmtree(root)
    package = os.path.join(root, 'many')
    os.makedirs(package)
    files = {'__init__.py': '__version__ = "1.0"\n',
             'common.py': 'class Base(object):\n    def suitable(self, url):\n'
                          '        return True\n',
             'cli.py': 'import sys\nfrom . import extractors\nfrom . import __version__\n'
                       'def main():\n    if "--version" in sys.argv:\n'
                       '        print __version__, len(extractors.ALL)\n',
             'extractors.py': ''.join('from .e%d import Extractor%d\n' % (n, n)
                                      for n in range(MODULES)) +
                              'ALL = [%s]\n' % ', '.join('Extractor%d' % n
                                                         for n in range(MODULES))}
    files.update(('e%d.py' % n, MODULE % {'n': n}) for n in range(MODULES))
    for name, text in files.items():
        with open(os.path.join(package, name), 'w') as f:
            f.write(text)
    return root


def report(args, runs):
    work = os.path.join(args.work, 'large')
    os.makedirs(work, exist_ok=True)
    packages = site(work)
    subprocess.run([args.python2, '-m', 'compileall', '-q', packages], check=True)
    empty = os.path.join(work, 'empty')
    os.makedirs(empty, exist_ok=True)
    app = os.path.join(work, 'app')
    began = time.time()
    said = subprocess.run([args.python2, '-B', args.freeze_app, '--force', '--launcher',
                           args.launcher, '--entry', 'big=many.cli:main', '--path', packages,
                           empty, app], check=True, capture_output=True, text=True).stdout
    took = time.time() - began
    debug = os.path.join(work, 'debug')
    subprocess.run([args.python2, '-B', args.freeze_app, '--force', '--keep-debug', '--launcher',
                    args.launcher, '--entry', 'big=many.cli:main', '--path', packages, empty,
                    debug], check=True, stdout=subprocess.DEVNULL)
    modules = int(re.search(r'(\d+) modules in lib/library.zip', said).group(1))
    code = ('import sys; sys.path.insert(0, %r); sys.argv[0] = "big"; '
            'from many.cli import main; main()' % packages)
    programs = {FROZEN: [os.path.join(app, 'big'), '--version'],
                PLAIN: [args.python2, '-c', code, '--version']}
    outs = dict((name, callgrind(argv, os.path.join(args.work, 'large-callgrind-%d' % i)))
                for i, (name, argv) in enumerate(programs.items()))
    ir = dict((name, annotate(out, 'no')[0]) for name, out in outs.items())
    rows = {FROZEN: annotate(callgrind([os.path.join(debug, 'big'), '--version'], os.path.join(
                args.work, 'large-callgrind-debug')), 'yes')[1],
            PLAIN: annotate(outs[PLAIN], 'yes')[1]}
    timing = wall(programs, PLAIN, runs)
    lines = ['## A large program', '',
             'A generated package of %d modules, each a class with a few methods and a'
             % MODULES,
             'table, all imported by its command\'s `--version`, as a program with',
             'hundreds of plug-ins or extractors imports them: frozen with only',
             '`--entry` and `--path`, against the plain interpreter (with `site`) on the',
             'same directory, its bytecode cached.', ''] + versus(programs, ir, timing, PLAIN)
    lines += ['', 'Where loading the modules takes instructions, inclusive, the frozen '
              'program', 'measured on a freeze with `--keep-debug`:', '',
              '| part | frozen | plain | difference |', '|---|---:|---:|---:|']
    for part, frozen, plain in PARTS:
        a, b = cost(rows[FROZEN], frozen), cost(rows[PLAIN], plain) if plain else 0
        lines.append('| %s | %s | %s | %+d |' % (part, format(a, ','),
                                                 format(b, ',') if plain else '', a - b))
    lines += ['', 'Each module of the archive is found and loaded by `_boot`, in C: two',
              'lookups in the archive\'s table and one read, where the plain interpreter',
              'looks for each name on disk, in each directory of the path.', '',
              'Freezing it, %d modules in all with those of the standard library, took'
              % modules, '%.1f s.' % took]
    ratio = ir[FROZEN] / ir[PLAIN]
    targets = [('instructions of the large program frozen at most %.2f of plain' % TARGET,
                ratio, ratio <= TARGET),
               ('time of the large program frozen at most %.2f of plain' % TARGET,
                timing[FROZEN][1], timing[FROZEN][1] <= TARGET),
               ('seconds to freeze the large program (%d modules), at most %d'
                % (modules, FREEZE_SECONDS), took, took <= FREEZE_SECONDS)]
    return lines, targets
