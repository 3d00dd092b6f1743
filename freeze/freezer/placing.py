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

The bytecode of the modules that the program imports whenever it starts
is stored, and start-up reads it as it is; the rest, imported only by
some runs, is deflated, and only those runs inflate it (all of it with
--compress).

Every file gets a fixed mode, every file under lib a fixed time, and
bytecode the same time, so that the same sources give the same tree byte
for byte.
"""

import imp
import importlib
import marshal
import os
import re
import shutil
import struct
import time
import types
import zipfile

from .elf import is_shared_object
from .finding import IDENTIFIER, below, cached, check_coding, is_test_suite, walk
from .habits import TESTS, WINDOWS_ONLY
from .metadata import distributions, top_names
from .interpreter import STDLIB, is_stdlib
from .log import Failure

# Provided under lib/python2.7 rather than in the archive.
BOOT_MODULES = ('codecs', 'encodings')
# Where the sources of the archive's modules lie, relative to the application.
SOURCES = 'lib/library-source/'
# lib's __startup__: _boot runs the program's own.
STARTUP = "__import__('_boot').run(globals(), %r)\n"
# What ships into every application lies beside this package, in runtime/.
BOOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'runtime',
                    'boot.py')
# The modules of lib/python2.7 that the interpreter imports while it
# starts, and the codecs it is most often seen in: their sources ship.
STARTING = frozenset(['codecs.py', 'encodings/__init__.py', 'encodings/aliases.py',
                      'encodings/utf_8.py', 'encodings/ascii.py', 'encodings/latin_1.py'])
# The extension module of __boot__'s importers, built beside the launcher
# and shipped in lib.
LOADER = '_boot'
# Names in lib that are the application's, whatever SOURCE holds.
RESERVED = frozenset(['library.zip', 'library-source', 'python2.7', LOADER + '.so',
                      '__startup__.pyc'])
DEFAULT_EPOCH = 315532800  # 1980-01-01, the earliest time a zip archive holds
LATEST_EPOCH = 2 ** 32 - 1  # 2106-02-07, the latest time bytecode holds


def epoch():
    """The time written into the output: SOURCE_DATE_EPOCH, or a fixed one."""
    value = os.environ.get('SOURCE_DATE_EPOCH', '')
    if not value:
        return DEFAULT_EPOCH
    if not value.isdigit():
        raise Failure('SOURCE_DATE_EPOCH is not a number of seconds: %r' % value)
    if int(value) > LATEST_EPOCH:
        raise Failure('SOURCE_DATE_EPOCH %s is later than bytecode can record (%d)'
                      % (value, LATEST_EPOCH))
    return max(int(value), DEFAULT_EPOCH)


def bytecode(path, display, when, module=None):
    """Compiles a source file as py_compile does, with a fixed time. The
    finder's code of the whole source (`module`'s), if there is one, or
    the bytecode the interpreter would take for it, is taken instead:
    compiling is most of the time a freeze takes."""
    if getattr(module, 'pristine', False) and module.__file__ == path:
        return code_bytes(renamed(module.__code__, display), when)
    code = cached(path)
    if code is not None:
        return code_bytes(renamed(code, display), when)
    with open(path, 'rU') as f:
        text = f.read()
    check_coding(text, path)
    if text and not text.endswith('\n'):
        text += '\n'
    return code_bytes(renamed(compile(text, display, 'exec', 0, True), display), when)


def renamed(code, filename):
    """The code with the file name `filename`, one interned string for all
    of its code objects: marshal writes it once, and the others refer to
    it, so __boot__ finds the first and replaces it alone."""
    filename = intern(filename)
    consts = tuple(renamed(c, filename) if isinstance(c, types.CodeType) else c
                   for c in code.co_consts)
    return types.CodeType(code.co_argcount, code.co_nlocals, code.co_stacksize, code.co_flags,
                          code.co_code, consts, code.co_names, code.co_varnames, filename,
                          code.co_name, code.co_firstlineno, code.co_lnotab, code.co_freevars,
                          code.co_cellvars)


def code_bytes(code, when):
    return imp.get_magic() + struct.pack('<I', when) + marshal.dumps(code)


# The modules that hold the build's configuration variables, which
# sysconfig and distutils.sysconfig read (_sysconfigdata, and Debian's
# _sysconfigdata_nd behind it).
CONFIGURATION = re.compile(r'_sysconfigdata(_\w+)?\Z')
RELOCATE = """import re as _re
import sys as _sys

# The build's paths, in the application directory instead.
_BUILT = _re.compile(%r)


def _here(value):
    return _BUILT.sub(lambda m: _sys.prefix, value) if isinstance(value, str) else value


build_time_vars = dict((_k, _here(_v)) for _k, _v in {
%s}.items())
"""


def configuration(name):
    """The source of a module of the build's configuration variables, in
    which every path below the build's prefix or exec_prefix names the
    same place below the application directory, sys.prefix, when it
    runs: sysconfig and distutils.sysconfig answer for the application.
    None for any other module."""
    if not CONFIGURATION.match(name):
        return None
    variables = getattr(importlib.import_module(name), 'build_time_vars', None)
    if not isinstance(variables, dict):
        return None
    prefixes = sorted(set(p.rstrip('/') for p in (variables.get('prefix'),
                                                  variables.get('exec_prefix')) if p), key=len)
    if not prefixes:
        return None
    built = '(%s)(?=/|\\s|$|:)' % '|'.join(re.escape(p) for p in reversed(prefixes))
    return RELOCATE % (built, ''.join('    %r: %r,\n' % item for item in sorted(variables.items())))


def is_boot(name):
    return name.split('.')[0] in BOOT_MODULES


def is_extension(path):
    return path.endswith('.so')


def shadowed(directory, stem, files):
    """True if the interpreter imports something else than the source
    stem.py of `directory`, whose files are `files`: a package or an
    extension module of that name, which it looks for first."""
    return (stem + '.so' in files or stem + 'module.so' in files
            or any(os.path.isfile(os.path.join(directory, stem, '__init__' + e))
                   for e in ('.py', '.pyc')))


class Placer(object):
    """Writes files into the application directory and counts them."""

    def __init__(self, root, log):
        self.root = root
        self.lib = os.path.join(root, 'lib')
        self.log = log
        self.when = epoch()
        self.counts = dict(modules=0, archive=0, packages=0, extensions=0, files=0)
        self.elves = {}  # ELF files placed, but the launchers: placed path: original
        self.members = {}  # bytecode of the sources below lib: member: (module, bytes)
        self.mkdir(self.lib)

    def write(self, target, data, mode=0o644):
        with open(target, 'wb') as f:
            f.write(data)
        os.chmod(target, mode)

    def copy(self, source, target, mode=None):
        shutil.copyfile(source, target)
        if mode is None:
            mode = 0o755 if os.stat(source).st_mode & 0o111 else 0o644
        os.chmod(target, mode)
        if is_shared_object(target):
            self.elves[target] = source

    def mkdir(self, target):
        if not os.path.isdir(target):
            os.makedirs(target)
        os.chmod(target, 0o755)

    def archive(self, found, startup_text, compress, environment):
        """Bytecode of every pure-Python module in lib/library.zip, and its
        source in lib/library-source, where its file name leads; with the
        bytecode of the sources placed below lib. The archive's __startup__
        hands over to __boot__, which takes over the imports, sets
        `environment` and then runs the program's own __startup__ code.
        What every start imports (found.starting, and __boot__) is stored,
        tables of data too, which pip's start would otherwise spend 0.6%
        of its instructions inflating; the rest is deflated (all with
        `compress`) where zlib ships to inflate it."""
        # lib's __startup__, which the launcher imports: its one frame is
        # the one the interpreter's own -c shows.
        stub = STARTUP % (sorted(environment.items()),)
        self.write(os.path.join(self.lib, '__startup__.pyc'),
                   code_bytes(compile(stub, '<string>', 'exec'), self.when))
        members = dict(self.members, **{
            '__boot__.pyc': ('__boot__', bytecode(BOOT, '<freeze-app>', self.when)),
            '__startup__.app': ('__startup__', code_bytes(compile(
                startup_text, SOURCES + '__startup__.py', 'exec', 0, True), self.when))})
        self.write_source(SOURCES + '__startup__.py', startup_text)
        for name, m in sorted(found.modules.items()):
            self.log.status('compiling: %s' % name)
            if (name == '__startup__' or not m.__file__ or is_boot(name)
                    or name.split('.')[0] in found.packages or is_extension(m.__file__)
                    or name in found.own):
                continue
            member = name.replace('.', '/') + ('/__init__' if m.__path__ else '')
            settings = configuration(name)
            if settings is not None:
                members[member + '.pyc'] = name, code_bytes(compile(
                    settings, SOURCES + member + '.py', 'exec'), self.when)
                self.write_source(SOURCES + member + '.py', settings)
            elif m.__file__.endswith('.py'):
                members[member + '.pyc'] = name, bytecode(m.__file__, SOURCES + member + '.py',
                                                          self.when, m)
                target = os.path.join(self.root, SOURCES + member + '.py')
                self.mkdir(os.path.dirname(target))
                self.copy(m.__file__, target, 0o644)
            else:
                members[member + '.pyc'] = name, code_bytes(m.__code__, self.when)
            self.log.detail('module %s -> lib/library.zip/%s.pyc' % (name, member))
        starting = found.starting | set(['__boot__'])
        stamp = time.gmtime(self.when)[:6]
        path = os.path.join(self.lib, 'library.zip')
        with zipfile.ZipFile(path, 'w') as z:
            for member in sorted(members):
                name, data = members[member]
                info = zipfile.ZipInfo(member, stamp)
                info.compress_type = zipfile.ZIP_STORED
                if 'zlib' in found.modules and (compress or name not in starting):
                    info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                z.writestr(info, data)
        os.chmod(path, 0o644)
        self.counts['modules'] = len(members)
        self.counts['archive'] = os.path.getsize(path)

    def data(self, directories):
        """The run-time files of bundled libraries: each (directory, its
        variables) as lib/NAME; returns the environment that tells them
        where, paths relative to the application."""
        environment = {}
        for directory, variables in directories:
            name = os.path.basename(directory)
            self.copy_tree(directory, os.path.join(self.lib, name))
            environment.update((variable, 'lib/' + path) for variable, path in variables)
            self.log.detail('files of %s -> lib/%s' % (name, name))
        return environment

    def write_source(self, relative, text):
        target = os.path.join(self.root, relative)
        self.mkdir(os.path.dirname(target))
        self.write(target, text)

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
            self.copy(path, os.path.join(self.lib, entry))
            self.counts['files'] += 1
            self.log.detail('file lib/%s' % entry)

    def module_file(self, source, relative, name, module=None):
        """A source file of the module `name` in the application directory,
        with its bytecode in the archive as the member `relative` + 'c'; a
        source that does not compile ships alone and raises SyntaxError
        when it is imported, as it does under the interpreter."""
        self.copy(source, os.path.join(self.root, relative), 0o644)
        try:
            self.members[relative + 'c'] = name, bytecode(source, relative, self.when, module)
        except (SyntaxError, TypeError, ValueError):
            pass

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

    def packages(self, found, exclude, include):
        for name, directories in sorted(found.packages.items()):
            self.log.detail('package %s -> lib/%s/ (copied whole)' % (name, name))
            for directory in directories:
                self.package(name, directory, found, exclude, include)
            self.counts['packages'] += 1
        # A namespace package that a *-nspkg.pth file makes when Python
        # starts has no __init__ on disk: the application has no .pth files.
        for name, m in sorted(found.modules.items()):
            if getattr(m, 'declared', False) and name.split('.')[0] in found.packages:
                relative = 'lib/%s/__init__.py' % name.replace('.', '/')
                self.write(os.path.join(self.root, relative), '')
                self.members[relative + 'c'] = name, bytecode(
                    os.path.join(self.root, relative), relative, self.when)

    def package(self, name, directory, found, exclude, include):
        """Copies a package as installed, links followed: sources with
        their bytecode, bytecode-only modules, extension modules, and every
        other file as it is; every file of a directory that is not a
        package is data. Not what `exclude` names, nor test subpackages
        and modules that no shipped module imports and `include` does not
        name."""
        loops = []
        for path, dirs, files in walk(directory, loops):
            self.log.status('copying %s' % name)
            relative = os.path.normpath(os.path.relpath(path, directory))
            parts = [name] + ([] if relative == '.' else relative.split(os.sep))
            dotted = '.'.join(parts)
            if below(dotted, exclude) or (parts[-1] in TESTS and not below(dotted, include)
                                          and not any(below(m, [dotted]) for m in found.modules)):
                dirs[:] = []
                continue
            target = os.path.join(self.lib, *parts)
            self.mkdir(target)
            is_package = '__init__.py' in files or '__init__.pyc' in files
            for f in sorted(files):
                stem, ext = os.path.splitext(f)
                module = '.'.join(parts + ([] if stem == '__init__' else [stem]))
                source = os.path.join(path, f)
                display = '/'.join(parts + [f])
                if not os.path.exists(source):
                    self.log.warn('%s is a link to nothing: left out' % source)
                elif ext in WINDOWS_ONLY:
                    self.log.detail('file lib/%s left out: a Windows program' % display)
                elif not is_package or not IDENTIFIER.match(stem):
                    self.copy(source, os.path.join(target, f))
                    self.counts['files'] += 1
                    self.log.detail('file lib/%s' % display)
                elif below(module, exclude) or ext == '.pyo' or (ext == '.pyc'
                                                                 and stem + '.py' in files):
                    continue
                elif (ext in ('.py', '.pyc') and module not in found.modules
                      and is_test_suite(source)):
                    continue
                elif ext == '.py' and shadowed(path, stem, files):
                    # No bytecode: _boot would take it for what the name imports.
                    self.copy(source, os.path.join(target, f), 0o644)
                    self.log.detail('file lib/%s (a package or extension module of that '
                                    'name is imported instead)' % display)
                elif ext == '.py':
                    self.module_file(source, 'lib/' + display, module, found.modules.get(module))
                    self.log.detail('module %s -> lib/%s' % (module, display))
                elif ext == '.pyc':
                    self.copy(source, os.path.join(target, f), 0o644)
                    self.log.detail('module %s -> lib/%s (bytecode only)' % (module, display))
                elif is_extension(f):
                    self.copy(source, os.path.join(target, f), 0o755)
                    self.counts['extensions'] += 1
                    self.log.detail('extension module %s -> lib/%s' % (module, display))
                else:
                    self.copy(source, os.path.join(target, f))
                    self.counts['files'] += 1
                    self.log.detail('file lib/%s' % display)
        for loop in loops:
            self.log.warn('%s leads back to a directory that holds it: left out' % loop)

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

    def copy_tree(self, source, target):
        if not os.path.isdir(source):
            self.copy(source, target, 0o644)
            return
        self.mkdir(target)
        for entry in sorted(os.listdir(source)):
            self.copy_tree(os.path.join(source, entry), os.path.join(target, entry))

    def boot(self):
        """codecs and encodings, compiled, under lib/python2.7. Their file
        names lead into lib/library-source like the archive's, and the
        sources of those the interpreter imports while it starts (STARTING)
        ship there: the others would double the size of the sample."""
        target = os.path.join(self.lib, 'python2.7')
        self.mkdir(os.path.join(target, 'encodings'))
        names = ['codecs.py'] + ['encodings/' + e for e in sorted(os.listdir(
            os.path.join(STDLIB, 'encodings'))) if e.endswith('.py')]
        for name in names:
            self.write(os.path.join(target, name + 'c'),
                       bytecode(os.path.join(STDLIB, name), SOURCES + name, self.when))
            if name in STARTING:
                with open(os.path.join(STDLIB, name)) as f:
                    self.write_source(SOURCES + name, f.read())

    def interpreter(self, library):
        self.copy(library, os.path.join(self.root, os.path.basename(library)), 0o755)
        return os.path.basename(library)

    def launchers(self, launcher, names):
        """The launcher keeps its own run path: it is not examined. Beside
        it lies the extension module of __boot__'s importers, LOADER."""
        for name in names:
            target = os.path.join(self.root, name)
            shutil.copyfile(launcher, target)
            os.chmod(target, 0o755)
        self.mkdir(self.lib)
        self.copy(os.path.join(os.path.dirname(launcher), LOADER + '.so'),
                  os.path.join(self.lib, LOADER + '.so'), 0o755)
