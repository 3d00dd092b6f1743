"""--record: before freezing, each ARGS runs under the interpreter on the
sources, as --check's runs do (module running), with a recorder that
notes every module the run imports or tries to import (a hook on the
meta path), and every file it opens to read (open, io.open, os.open,
execfile, and imp's find_module and loaders).

What the runs reached joins the freeze: a module that the reading of the
code did not find, as --include names it (a package alone, not its
submodules), and what it imports; a file under SOURCE or a --path
directory that does not ship yet, as a data file, where the modules
beside it find it through their __file__ (place). A module that cannot
be found, such as the names a package tries relative to itself first, is
no module the run imported.
"""

import os

from . import running
from .interpreter import real

# Where a recorded file may go, relative to the application: below lib,
# or below the directory of the archive's sources.
BASES = ('lib/', 'lib/library-source/')
# Distribution metadata, where pkg_resources looks for it: in lib.
METADATA = ('.dist-info', '.egg-info')


class Record(object):
    """What the runs reached: {module name: the run that reached it} and
    {file: the run}."""

    def __init__(self):
        self.modules = {}
        self.files = {}


def record(commands, search, starts, directories, argv0, options, log):
    """Runs each command under the interpreter, on the search path `search`
    (and the __startup__ texts `starts`, as running.Plain takes them), as
    `argv0`(name); returns the Record of what they reached under
    `directories`, SOURCE and the --path directories."""
    reached = Record()
    if not commands:
        return reached
    running.adopt()
    with running.workshop(log) as tmp:
        plain = running.Plain(search, starts, tmp)
        for n, command in enumerate(commands):
            notes = os.path.join(tmp, 'record-%d' % n)
            work = running.fresh(options.check_dir, os.path.join(tmp, 'work-%d' % n))
            result = running.run(plain.argv(command, argv0(command.name), notes), work,
                                 options.check_input, running.environment(),
                                 options.check_timeout)
            if result.expired:
                log.warn('--record %s outlived its limit of %g s: ended with its process group; '
                         'what it reached so far joins the freeze'
                         % (command.text, options.check_timeout))
            log.detail('record: %s: status %d in %.2f s' % (command.text, result.status,
                                                           result.seconds))
            read(notes, command.text, reached, directories)
    return reached


def under(path, directories):
    """The deepest of `directories` that `path` lies below, or None."""
    found = [d for d in directories
             if path.startswith(d.rstrip('/') + '/') or real(path).startswith(real(d) + '/')]
    return max(found, key=len) if found else None


def read(notes, text, reached, directories):
    """Adds what the notes of the run `text` name to `reached`."""
    if not os.path.exists(notes):
        return
    directories = [os.path.abspath(d) for d in directories]
    with open(notes) as f:
        for line in f:
            kind, _, what = line.rstrip('\n').partition(' ')
            if kind == 'm':
                reached.modules.setdefault(what, text)
            elif kind == 'f' and os.path.isfile(what) and under(os.path.normpath(what),
                                                                directories):
                reached.files.setdefault(os.path.normpath(what), text)


def shipped(found):
    """The files of the modules that ship, links resolved, with their
    bytecode and sources."""
    files = set()
    for m in found.modules.values():
        if m.__file__:
            stem = os.path.splitext(real(m.__file__))[0]
            files.update([stem + '.py', stem + '.pyc', stem + '.pyo', real(m.__file__)])
    return files


def place(placer, reached, found, source, directories):
    """Places each recorded file that does not ship yet where the modules
    beside it find it: below lib (SOURCE's top level, packages copied
    whole, distribution metadata), or lib/library-source (the archive's
    modules, those of the --path directories' top level); where no
    sources ship, a .py file not at all. Returns how many."""
    modules = shipped(found)
    directories = [os.path.abspath(d) for d in directories]
    placed = 0
    for path, text in sorted(reached.files.items()):
        if real(path) in modules or (placer.compiled and path.endswith('.py')):
            continue
        directory = under(path, directories)
        relative = os.path.relpath(path, directory)
        if any(os.path.lexists(os.path.join(placer.root, base, relative)) for base in BASES):
            continue
        top = relative.split(os.sep)[0]
        archived = top in found.modules and found.modules[top].__path__
        base = BASES[0] if top in found.packages or top.endswith(METADATA) or (
            not archived and source and directory == os.path.abspath(source)) else BASES[1]
        target = os.path.join(placer.root, base + relative)
        parts = os.path.dirname(base + relative).split('/')
        for n in range(1, len(parts) + 1):
            placer.mkdir(os.path.join(placer.root, *parts[:n]))
        placer.copy(path, target)
        placed += 1
        placer.log.detail('file %s%s, which --record %s reached' % (base, relative, text))
    return placed
