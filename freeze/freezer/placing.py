"""Placing files in the application directory.

  NAME                     the launcher, one copy for each command
  libpython2.7.so.1.0      the interpreter library
  lib/library.zip          bytecode of __startup__ and of every pure-Python
                           module and package, and as lib/PATH.pyc that of
                           the sources below lib
  lib/library-source/      the sources of the archive's modules
  lib/NAME.py              the program's own top-level modules
  lib/NAME.so              top-level extension modules
  lib/PACKAGE/             a package that holds extension modules or data
                           files, copied whole as installed, its sources
                           with their bytecode in the archive
  lib/*.dist-info,         metadata of the distributions shipped, where
  lib/*.egg-info           pkg_resources looks for it
  lib/python2.7/           codecs and encodings, which the interpreter
                           imports from its home while it starts

Placer writes the files and counts them, and places what is the
program's own: its top-level modules and files, extension modules,
metadata and the files of bundled libraries. The rest is placed by one
module each: the launchers, the interpreter and its codecs (home), the
packages copied whole (packages) and the archive (archiving), in bytecode
compiled as compiling says.

Every file gets a fixed mode (0755 or 0644), narrowed to what its
original grants its group and others (a 0600 or 0640 file stays so),
every file under lib a fixed time, and bytecode the same time, so that the
same sources give the same tree byte for byte. A symbolic link of SOURCE,
or of a package copied whole, that leads out of it is followed, as the
interpreter follows it, and named in a warning with its target.

Where no sources ship (--no-source, `compiled`), the bytecode of each
source lies where the source would, X.pyc for X.py, as well as in the
archive, which the application loads it from: directories list their
modules as an interpreter given .pyc files alone lists them. No .py file
ships then, data files of that name neither.
"""

import os
import shutil

from .compiling import bytecode, code_bytes, epoch, rewritten
from .elf import is_shared_object
from .interpreter import inside, is_stdlib
from .log import Failure
from .metadata import distributions, top_names

# Where the sources of the archive's modules lie, relative to the application.
SOURCES = 'lib/library-source/'
# The extension module of __boot__'s importers, built beside the launcher
# and shipped in lib.
LOADER = '_boot'
# Names in lib that are the application's, whatever SOURCE holds.
RESERVED = frozenset(['library.zip', 'library-source', 'python2.7', LOADER + '.so',
                      '__startup__.pyc'])


def is_extension(path):
    return path.endswith('.so')


def narrowed(mode, original):
    """`mode`, with no permission for group and others that the file
    `original` does not grant them."""
    return mode & (os.stat(original).st_mode | 0o700)


class Placer(object):
    """Writes files into the application directory and counts them."""

    def __init__(self, root, log, answers, compiled=False):
        self.root = root
        self.compiled = bool(compiled)  # no sources ship
        self.answers = answers  # what the application's find_library answers: {name: soname}
        self.lib = os.path.join(root, 'lib')
        self.log = log
        self.when = epoch()
        self.counts = dict(modules=0, archive=0, packages=0, extensions=0, files=0)
        self.elves = {}  # ELF files placed, but the launchers: placed path: original
        self.members = {}  # bytecode of the sources below lib: member: (module, bytes)
        self.links = set()  # links out of SOURCE or a package, warned of
        self.mkdir(self.lib)

    def write(self, target, data, mode=0o644):
        with open(target, 'wb') as f:
            f.write(data)
        os.chmod(target, mode)

    def copy(self, source, target, mode=None):
        shutil.copyfile(source, target)
        if mode is None:
            mode = 0o755 if os.stat(source).st_mode & 0o111 else 0o644
        os.chmod(target, narrowed(mode, source))
        if is_shared_object(target):
            self.elves[target] = source

    def mkdir(self, target):
        if not os.path.isdir(target):
            os.makedirs(target)
        os.chmod(target, 0o755)

    def copy_tree(self, source, target):
        if not os.path.isdir(source):
            self.copy(source, target, 0o644)
            return
        self.mkdir(target)
        for entry in sorted(os.listdir(source)):
            self.copy_tree(os.path.join(source, entry), os.path.join(target, entry))

    def linked(self, path, top, what):
        """Warns, once for each, of the first symbolic link on the way from
        the directory `top` (`what`) down to `path` that leads out of it."""
        relative = os.path.relpath(path, top)
        if relative.split(os.sep)[0] == os.pardir:
            return
        at = top
        for part in relative.split(os.sep):
            at = os.path.join(at, part)
            if not os.path.islink(at):
                continue
            if not inside(at, top):
                if at not in self.links:
                    self.links.add(at)
                    self.log.warn('%s is a link to %s, outside %s: what it leads to ships'
                                  % (at, os.path.realpath(at), what))
                return

    def write_source(self, relative, text):
        target = os.path.join(self.root, relative)
        self.mkdir(os.path.dirname(target))
        self.write(target, text)

    def module_file(self, source, relative, name, module=None):
        """A source file of the module `name` in the application directory,
        with its bytecode in the archive as the member `relative` + 'c'; a
        source that does not compile ships alone and raises SyntaxError
        when it is imported, as it does under the interpreter. A module
        that the application ships changed (compiling.rewritten) ships so.
        Where no sources ship, the bytecode ships in the source's place
        instead, and a source that does not compile not at all."""
        text = rewritten(name, source, self.answers)
        target = os.path.join(self.root, relative)
        try:
            data = (code_bytes(compile(text, relative, 'exec', 0, True), self.when)
                    if text is not None else bytecode(source, relative, self.when, module))
        except (SyntaxError, TypeError, ValueError):
            data = None
        if data is not None:
            self.members[relative + 'c'] = name, data
        if self.compiled:
            if data is not None:
                self.write(target + 'c', data)
        elif text is not None:
            self.write(target, text, narrowed(0o644, source))
        else:
            self.copy(source, target, 0o644)

    def own(self, found, source):
        """The program's own top-level modules, in lib beside the files
        of SOURCE's top level, where their __file__ leads."""
        for name in sorted(found.own):
            path = found.modules[name].__file__
            if path.endswith('.py'):
                self.module_file(path, 'lib/%s.py' % name, name, found.modules[name])
            else:
                self.copy(path, os.path.join(self.lib, name + '.pyc'), 0o644)
            self.log.detail('module %s -> lib/%s' % (name, os.path.basename(path)))
        for entry in sorted(os.listdir(source) if source else []):
            path = os.path.join(source, entry)
            if (entry.startswith('.') or not os.path.isfile(path)
                    or os.path.splitext(entry)[1] in ('.py', '.pyc', '.pyo', '.so')):
                continue
            if entry in RESERVED:
                self.log.warn('%s is not shipped: lib/%s is the application\'s own' % (path, entry))
                continue
            self.linked(path, source, 'SOURCE')
            self.copy(path, os.path.join(self.lib, entry))
            self.counts['files'] += 1
            self.log.detail('file lib/%s' % entry)

    def extensions(self, found):
        for name, m in sorted(found.modules.items()):
            if not m.__file__ or not is_extension(m.__file__):
                continue
            if name.split('.')[0] in found.packages:
                continue
            if '.' in name:
                raise Failure('extension module %s lies outside its package' % name)
            self.copy(m.__file__, os.path.join(self.lib, name + '.so'), 0o755)
            self.counts['extensions'] += 1
            self.log.detail('extension module %s -> lib/%s.so' % (name, name))

    def metadata(self, found):
        """Distribution metadata of every top-level module or package that
        ships from outside the standard library."""
        homes = {}
        for name, m in found.modules.items():
            if '.' in name or not m.__file__ or is_stdlib(m.__file__) or name == '__startup__':
                continue
            home = os.path.dirname(m.__path__[0] if m.__path__ else m.__file__)
            homes.setdefault(home, set()).add(name)
        for home, names in sorted(homes.items()):
            for meta in distributions([home]):
                if top_names(meta) & names:
                    entry = os.path.basename(meta)
                    self.copy_tree(meta, os.path.join(self.lib, entry))
                    self.log.detail('metadata %s -> lib/%s' % (entry, entry))

    def data(self, files):
        """The run-time files of bundled libraries: each (directory or file,
        its name, its variables) as lib/NAME; returns the environment that
        tells them where, paths relative to the application."""
        environment = {}
        for path, name, variables in files:
            self.copy_tree(path, os.path.join(self.lib, name))
            environment.update((variable, 'lib/' + path) for variable, path in variables)
            self.log.detail('files of %s -> lib/%s' % (name, name))
        return environment
