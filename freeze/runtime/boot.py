"""How a frozen application imports its own modules. This file is not
the freezer's: it ships in every application as the member __boot__.pyc
of lib/library.zip, which _boot runs when it first needs it (below).

Python 2.7 would import the application's modules as it imports any
module, which goes wrong in two ways for a directory that is copied and
installed read-only:
- a module beside its source is recompiled when the source's time differs
  from the one in its bytecode, as it does after `cp -r`, and the new
  bytecode is written into the application directory;
- the file name inside bytecode is the one given when it was compiled,
  and a name relative to the current directory makes tracebacks, linecache
  and inspect read whatever file of that name the current directory holds.

So every module of lib and lib/library.zip is loaded by the importers
that this module puts in place: its bytecode as it was shipped, never
compiled again, never written; and its file names, which the freezer
wrote relative to the application directory
("lib/library-source/json/decoder.py", "lib/pkg/mod.py"), made absolute
as the code is built. Each names a real source file: the sources of
the archive's modules lie in lib/library-source, those of the modules of
lib and its packages in lib, and their bytecode in the archive, as
lib/PATH.pyc, where the interpreter would not look for it. Tracebacks,
linecache and inspect read them as they read any file. Extension modules
and modules with no bytecode (sources that do not compile, which raise
SyntaxError as they do under the plain interpreter) are loaded as the
interpreter loads them.

A module of lib that the program loads itself, past these importers, with
imp.load_module or imp.load_source (as linters load their checkers) runs
the archive's bytecode too; any other source of the application they
load is compiled in memory, its bytecode never written there. Elsewhere
bytecode is written as the interpreter writes it (sys.dont_write_bytecode
stays as it was).

lib/library-source is appended to sys.path, after the archive, whose
modules are found first: tools that look for a module's source file along
the path, as linters do, find it there.

The codecs that the interpreter imported from lib/python2.7 before this
module took over get absolute file names here too, in the code of their
functions and methods.

What every import passes through is _boot, an extension module in lib:
its finder, alone on the meta path, finds and runs the modules of the
archive and those of the packages of lib whose bytecode the archive
holds, sets the environment, settles the codecs and appends
lib/library-source. A module of the archive looks as one of a directory
does: its __file__ its source, a package's __path__ the directory of its
sources in lib/library-source, no __loader__, so that pkgutil,
pkg_resources, imp.find_module and plug-in loaders see directories, as
under the interpreter. sys.path_hooks and sys.path_importer_cache are the
interpreter's.

This module is what _boot does not decide itself. _boot runs it from the
archive, its CRC-32 and magic number checked, the first time it needs
it, which an empty program never does: the codecs of lib/python2.7 and
paths the program changed, for which _boot's finder asks the finder here
(start), a module that an entry the program put before the application's
holds being the interpreter's to import; and imp's loaders (patch), when
the program first imports imp. It finds _boot in its namespace, put there
by _boot, and imports only built-in modules.
"""

import imp
import sys

LIB = _boot.LIB  # noqa: F821 (put there by _boot)
ARCHIVE = _boot.ARCHIVE  # noqa: F821
# Whether the application ships bytecode alone: a module's file is then
# its bytecode beside where its source would lie.
COMPILED = getattr(_boot, 'COMPILED', False)  # noqa: F821 (no sources ship)
HOME = LIB[:-len('lib')]  # the application directory, ending in '/'
SOURCES = 'lib/library-source/'
INSIDE = ARCHIVE + '/'  # how the paths inside the archive begin


# The code in bytecode, its file names, which the freezer wrote relative
# to the application directory, made absolute.
code = _boot.code  # noqa: F821


def execute(fullname, body, filename, path=None):
    """Runs `body` (a code object) as the module `fullname` from
    `filename`, a package if it has a `path`, as import does: a module
    already there is reused (reload), a new one is forgotten again when
    its code raises."""
    module = sys.modules.get(fullname)
    new = module is None
    if new:
        module = sys.modules[fullname] = imp.new_module(fullname)
    namespace = module.__dict__
    namespace['__file__'] = filename
    if path:
        namespace['__path__'] = path
    try:
        _boot.traced(eval, body, namespace)  # noqa: F821
    except BaseException:
        if new:
            sys.modules.pop(fullname, None)
        raise
    return sys.modules[fullname]


def in_archive(source):
    """The path of the bytecode of a source of lib in the archive; None
    where it holds none. The sources of the archive's own modules lie in
    lib/library-source, those of the packages of lib in lib."""
    if not source.startswith(HOME):
        return None
    member = source[len(HOME):] + 'c'
    if member.startswith(SOURCES):
        member = member[len(SOURCES):]
    if _boot.holds(member):  # noqa: F821
        return INSIDE + member
    return None


def elsewhere(fullname, entry):
    """True if the entry of the search path that is not the application's
    holds the module, as the interpreter would find it there: then the
    interpreter imports it."""
    importer = sys.path_importer_cache.get(entry, False)
    if importer is False:
        for hook in sys.path_hooks:
            try:
                importer = hook(entry)
                break
            except ImportError:
                pass
        else:
            importer = None
    if importer is not None:
        return importer.find_module(fullname) is not None
    try:
        f = imp.find_module(fullname.rpartition('.')[2], [entry])[0]
    except ImportError:
        return False
    if f:
        f.close()
    return True


def on_disk(fullname, directory):
    """(kind, path) of a module in a directory of lib, as the interpreter
    finds it; for a module with bytecode, the bytecode's path: in the
    archive, where the freezer puts the bytecode of the sources below lib,
    or beside the source."""
    try:
        f, path, (_, _, kind) = imp.find_module(fullname.rpartition('.')[2], [directory])
    except ImportError:
        return None, None
    if f:
        f.close()
    if kind == imp.PKG_DIRECTORY:
        path += '/__init__.py'
    if kind in (imp.PKG_DIRECTORY, imp.PY_SOURCE):
        bytecode = in_archive(path)
        if bytecode:
            return kind, bytecode
        try:
            open(path + 'c').close()
            path += 'c'
        except IOError:
            pass
    return kind, path


class Finder(object):
    """Finds the modules of the application's own search path entries, in
    their order: those of lib and its packages copied whole on disk, and
    those of the archive's top level, which _boot's finder (`claim`)
    loads. An entry that is not the application's (one the program
    added) and holds the module leaves it to the interpreter.
    Directories stay the interpreter's in sys.path_importer_cache, where
    pkg_resources and pkgutil expect them. _boot's finder, on the meta
    path, asks it what it does not decide itself."""

    def __init__(self, claim):
        self.found = {}
        self.claim = claim

    def find_module(self, fullname, path=None):
        for entry in sys.path if path is None else path:
            if entry == ARCHIVE:
                found = self.claim(fullname)
                if found:
                    return found
            elif entry == LIB or entry.startswith(LIB + '/'):
                kind, where = on_disk(fullname, entry)
                if kind:
                    self.found[fullname] = kind, where
                    return self
            elif elsewhere(fullname, entry):
                return None
        return None

    def load_module(self, fullname):
        kind, path = self.found.pop(fullname)
        if kind == imp.C_EXTENSION:
            return imp.load_dynamic(fullname, path)
        return self.run(fullname, kind, path)

    def run(self, fullname, kind, path):
        """Runs the module of lib whose bytecode, or else source, is at
        `path`."""
        filename = self.filename(path)
        return execute(fullname, self.read(path), filename,
                       kind == imp.PKG_DIRECTORY and [filename.rpartition('/')[0]])

    def read(self, path):
        """The code of a module of lib whose bytecode, or else source, is at
        `path`."""
        if path.startswith(INSIDE):
            # The source lies in lib, its bytecode in the archive.
            return _boot.member(path[len(INSIDE):])  # noqa: F821
        if path.endswith('.pyc'):
            with open(path, 'rb') as f:
                return code(f.read(), path)
        with open(path, 'rU') as f:
            return compile(f.read() + '\n', path, 'exec', 0, True)

    def filename(self, path):
        """The source of the bytecode at `path`: beside it, or where the
        freezer placed it, in lib or lib/library-source; or, where no
        sources ship, that bytecode."""
        if not path.startswith(INSIDE):
            return path
        member = path[len(INSIDE):-1]
        return HOME + (member if member.startswith('lib/') else SOURCES + member) + \
            'c' * COMPILED

    # What runpy and pkgutil ask of a loader, after find_module.

    def get_code(self, fullname):
        kind, path = self.found[fullname]
        return None if kind == imp.C_EXTENSION else self.read(path)

    def get_filename(self, fullname):
        return self.filename(self.found[fullname][1])

    def is_package(self, fullname):
        return self.found[fullname][0] == imp.PKG_DIRECTORY

    def get_data(self, path):
        """For pkgutil.get_data, which asks the finder of a module."""
        with open(path, 'rb') as f:
            return f.read()


# imp's own load_module and load_source, once patch() replaced them.
ORIGINAL = {}


def shipped(name, path, kind):
    """Runs the bytecode that the archive holds of a source or package of
    lib, if it holds any, as the interpreter runs the bytecode it finds
    beside a source, instead of compiling the source on every run."""
    source = path.rstrip('/') + '/__init__.py' if kind == imp.PKG_DIRECTORY else path
    bytecode = in_archive(source)
    return bytecode and FINDER[0].run(name, kind, bytecode)


def unwritten(pathname, load, *args):
    """Runs an imp loader, under the program's tracers; bytecode of a
    source of the application is compiled in memory, never written
    there."""
    if not pathname.startswith(HOME):
        return _boot.traced(load, *args)  # noqa: F821
    saved, sys.dont_write_bytecode = sys.dont_write_bytecode, True
    try:
        return _boot.traced(load, *args)  # noqa: F821
    finally:
        sys.dont_write_bytecode = saved


def load_module(name, file, pathname, description):
    """imp.load_module, which programs call past the importers (linters
    load their checkers so), through _boot's; bytecode of the application
    (where no sources ship) with its file names made absolute."""
    kind = description[2]
    return (kind in (imp.PY_SOURCE, imp.PKG_DIRECTORY) and shipped(name, pathname, kind)
            or kind == imp.PY_COMPILED and pathname.startswith(HOME)
            and FINDER[0].run(name, kind, pathname)
            or unwritten(pathname, ORIGINAL['load_module'], name, file, pathname, description))


def load_source(name, pathname, *file):
    """imp.load_source, through _boot's."""
    return (shipped(name, pathname, imp.PY_SOURCE)
            or unwritten(pathname, ORIGINAL['load_source'], name, pathname, *file))


FINDER = []  # the finder in Python, once start made it


def start(claims):
    """The finder in Python, for _boot's finder (`claims`) to ask."""
    FINDER.append(Finder(claims.claim))
    return FINDER[0]


def patch(module):
    """Gives imp, `module`, _boot's load_module and load_source, which run
    those above unseen by tracers, once."""
    if module.load_module is not _boot.load_module:  # noqa: F821
        ORIGINAL.setdefault('load_module', module.load_module)
        ORIGINAL.setdefault('load_source', module.load_source)
        module.load_module = _boot.load_module  # noqa: F821
        module.load_source = _boot.load_source  # noqa: F821
