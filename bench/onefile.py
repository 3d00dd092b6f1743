"""The one-file form (--onefile) beside the directory form of the same
program: the sample on its 200 records and the empty application. A
later start runs from the cache that the first start unpacked; a first
start finds no cache, and is compared with copying the directory once,
what unpacking its size takes at least."""

import os
import shutil
import subprocess

from measure import ENV, wall

LATER_TARGET = 1.05
FIRST_TARGET = 1.00


def freeze(args, source, output, *options):
    subprocess.run([args.python2, '-B', args.freeze_app, '--force', '--launcher', args.launcher]
                   + list(options) + [source, output], check=True, stdout=subprocess.DEVNULL)
    return output


def measure(args, runs, name, source, data):
    """Rows of the report and targets for one program."""
    work = os.path.join(args.work, 'onefile', name)
    home = os.path.join(work, 'home')
    os.makedirs(home, exist_ok=True)
    env = dict(ENV, HOME=home)
    directory = freeze(args, source, os.path.join(work, 'directory', name))
    one = freeze(args, source, os.path.join(work, name), '--onefile')
    copy = os.path.join(work, 'copy')
    cache = os.path.join(home, '.cache')
    directory_form = 'directory form, `%s`' % name
    later = 'one file, later start'
    first = 'one file, first start (cache removed before)'
    copying = 'copying the directory form (`cp -r`)'
    programs = {directory_form: [os.path.join(directory, name)] + data,
                later: [one] + data}
    subprocess.run([one] + data, env=env, check=True, stdout=subprocess.DEVNULL)
    timing = wall(programs, directory_form, runs, env)

    def fresh(what):
        for path in (cache, copy):
            if os.path.exists(path):
                shutil.rmtree(path)

    cold = wall({directory_form: programs[directory_form], first: [one] + data,
                 copying: ['cp', '-r', directory, copy]}, directory_form, runs, env, fresh)
    size = os.path.getsize(one)
    rows = ['| %s | %.2f ms | %.3f |' % (what, t[0] * 1e3, t[1])
            for what, t in [(directory_form, timing[directory_form]), (later, timing[later]),
                            (first, cold[first]), (copying, cold[copying])]]
    unpacking = cold[first][0] - timing[later][0]
    targets = [('one file `%s`: later start at most %.2f of the directory form\'s time'
                % (name, LATER_TARGET), timing[later][1], timing[later][1] <= LATER_TARGET),
               ('one file `%s`: first start\'s unpacking (first start less later start) at most '
                '%.2f of copying the directory once' % (name, FIRST_TARGET),
                unpacking / cold[copying][0], unpacking <= FIRST_TARGET * cold[copying][0])]
    return size, rows, targets


def report(args, runs, data):
    lines = ['## One file', '',
             'The same programs frozen with `--onefile`, beside their directory form.',
             'A later start runs from the cache that the first start unpacked; a first',
             'start finds none (removed before each run). Copying the directory form',
             'with `cp -r` is what writing its files once takes. Ratios are to the',
             'directory form\'s run of the same round.', '']
    targets = []
    for name, source, argv in [('jsonpp', args.sample, data),
                               ('empty', os.path.join(args.work, 'src'), [])]:
        size, rows, more = measure(args, runs, name, source, argv)
        lines += ['### `%s`, one file of %s bytes' % (name, format(size, ',')), '',
                  '| program | median time | vs directory form |', '|---|---:|---:|'] + rows + ['']
        targets += more
    return lines[:-1], targets
