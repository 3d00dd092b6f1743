"""Finding the modules a program needs.

The standard library's modulefinder reads the bytecode of every module it
reaches and follows its imports. On top of it:
- the imports that no reading of the importer's code can see (made from C,
  by name, lazily) come from the table habits.HIDDEN;
- what reading tells (module `reading`): where each import sits, which
  blocks never run, which optional-feature chains are not followed, and
  that `if __name__ == '__main__':` blocks of modules outside SOURCE run
  only when such a module is run as a script;
- a module that does not compile is recorded and left out, not fatal,
  unless it is the program's own and the program imports it;
- a package that is copied whole is read whole but for its test
  subpackages, since any of its modules may be imported by name; one
  that hands its __path__ to a call (pylint lists its checkers' directory)
  is copied whole too, so that the directory is one;
- the names that a copy of six serves under six.moves are read from its
  own table and their Python 2 modules ship where the program imports them.
"""

import ast
import imp
import marshal
import modulefinder
import os
import re
import StringIO
import struct
import types

from . import reading
from .habits import (ALWAYS, BUILD_HELPERS, HIDDEN, PLUGIN_PACKAGES, TEST_FRAMEWORK, TESTS,
                     VENDORED, WINDOWS_ONLY)
from .interpreter import inside, is_stdlib
from .log import Failure
from .metadata import plugins

IDENTIFIER = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')
# A string of a module that may name a module by its full name.
DOTTED = re.compile(r'[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)+\Z')
# A string of an extension module that may name a module: NUL-terminated,
# dotted identifiers.
NAME_IN_C = re.compile(r'(?<=\0)[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*(?=\0)')


def below(name, names):
    """True if the module `name` is one of `names` or lies below one."""
    return any(name == n or name.startswith(n + '.') for n in names)


def binds(body, name):
    """True if a statement list binds `name` at its level, also inside if,
    try, with and loops (not inside functions or classes). A star import
    may bind anything."""
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            if node.name == name:
                return True
            continue
        if isinstance(node, ast.Assign):
            if any(isinstance(n, ast.Name) and n.id == name
                   for t in node.targets for n in ast.walk(t)):
                return True
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.name == '*' or (alias.asname or alias.name.split('.')[0]) == name:
                    return True
        for field in ('body', 'orelse', 'finalbody', 'handlers'):
            if binds(getattr(node, field, []), name):
                return True
    return False


def required_imports(tree):
    """The modules a module's own unconditional top-level imports need."""
    names = set()
    for node in tree.body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split('.')
                names.update('.'.join(parts[:i + 1]) for i in range(len(parts)))
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.add(node.module)
    return names


CODING = re.compile(r'[ \t\f]*#.*?coding[:=][ \t]*[-\w.]+')
NON_ASCII = re.compile(r'[\x80-\xff]')


def check_coding(text, path):
    """Raises the SyntaxError that importing the source file raises when
    it holds a byte beyond ASCII and declares no encoding: compiling the
    text as a string would take it."""
    if text.startswith('\xef\xbb\xbf') or any(CODING.match(line)
                                                for line in text.split('\n', 2)[:2]):
        return
    m = NON_ASCII.search(text)
    if m:
        line = text.count('\n', 0, m.start()) + 1
        raise SyntaxError("Non-ASCII character '\\x%02x' in file %s on line %d, but no "
                          "encoding declared; see http://python.org/dev/peps/pep-0263/ "
                          "for details" % (ord(m.group()), path, line), (path, line, 0, None))


# How a package's __init__ says that it is one half of a namespace package:
# pkgutil's and pkg_resources' ways, or extending its own __path__.
NAMESPACE = re.compile(r'\bextend_path\b|\bdeclare_namespace\b|'
                       r'__path__\s*(\+=|\.(append|extend|insert)\b)')


def declares_namespace(directory):
    try:
        with open(os.path.join(directory, '__init__.py')) as f:
            return bool(NAMESPACE.search(f.read()))
    except IOError:
        return False


def nspkg_pth(directory, read={}):
    """The text of the *-nspkg.pth files of `directory`, read once: a
    missing module of a large package is looked for in every directory."""
    if directory not in read:
        texts = []
        if os.path.isdir(directory):
            for entry in sorted(os.listdir(directory)):
                if entry.endswith('-nspkg.pth'):
                    with open(os.path.join(directory, entry)) as f:
                        texts.append(f.read())
        read[directory] = '\n'.join(texts)
    return read[directory]


def pth_namespace(fullname, directories):
    """The directories whose *-nspkg.pth files (which pip writes for the
    namespace packages of setuptools) declare the namespace package
    `fullname`: they name it as the tuple of its parts."""
    parts = repr(tuple(fullname.split('.')))
    return [d for d in directories if parts in nspkg_pth(d)]


def cached(path):
    """The code in the bytecode beside a source that the interpreter would
    take for it (its magic, the source's time), or None: compiling is most
    of the time a freeze takes, and pip and the interpreter's own install
    compile every module they install."""
    try:
        with open(path + 'c', 'rb') as f:
            data = f.read()
        when = int(os.stat(path).st_mtime) & 0xffffffff
    except (IOError, OSError):
        return None
    if len(data) < 8 or data[:4] != imp.get_magic() or struct.unpack('<I', data[4:8])[0] != when:
        return None
    try:
        code = marshal.loads(data[8:])
    except (EOFError, ValueError, TypeError):
        return None
    return code if isinstance(code, types.CodeType) else None


def describe(error, path):
    if isinstance(error, SyntaxError):
        return '%s:%s: %s' % (error.filename or path, error.lineno, error.msg)
    return '%s: %s' % (path, error)


class Finder(modulefinder.ModuleFinder):
    def __init__(self, path, source, excludes, log):
        modulefinder.ModuleFinder.__init__(self, path, excludes=list(excludes))
        self.source = source
        self.log = log
        self.broken = {}  # module name: (file, why it does not compile)
        self.kinds = {}   # module name: {name it imports: where it sits (reading.KINDS)}
        self.from_names = {}  # module name: names it imports from a package, not as modules
        self.by_name = {}  # module outside the standard library: what it imports by name
        self.directories = set()  # modules outside the standard library that need theirs
        self.strings = set()  # the short strings of every module read, for entry point groups
        self.scanning = None  # the module whose code is being read
        self.from_c = {}  # extension module: the names of modules among its strings
        self.unsure = set()  # extension modules whose C code imports names it may build
        self.tops = {}  # top-level name: whether it is on the search path
        self.shallow = False  # whether modules loaded now have their imports followed later
        self.deferred = {}  # modules whose imports are followed once the program reaches them
        self.named = {}  # module outside the standard library: the dotted names among its strings

    def load_module(self, fqname, fp, pathname, file_info):
        self.log.status('finding modules: %d' % len(self.modules))
        if file_info[2] == imp.C_EXTENSION:
            m = modulefinder.ModuleFinder.load_module(self, fqname, fp, pathname, file_info)
            self.extension(fqname, pathname, m)
            return m
        if file_info[2] != imp.PY_SOURCE:
            return modulefinder.ModuleFinder.load_module(self, fqname, fp, pathname, file_info)
        text = fp.read()
        try:
            tree, code, pristine = self.compile(fqname, text, pathname)
        except (SyntaxError, TypeError, ValueError) as e:
            self.broken[fqname] = (pathname, describe(e, pathname))
            self.modules.pop(fqname, None)
            raise ImportError('%s does not compile' % fqname)
        m = self.add_module(fqname)
        m.__file__ = pathname
        m.__code__ = code
        m.pristine = pristine  # the code is that of the whole source, as shipped
        self.read(fqname, text, tree, code, pathname)
        if self.shallow:
            self.deferred[fqname] = code, m
        else:
            self.scan_code(code, m)
        return m

    def compile(self, fqname, text, pathname):
        """(tree, code, whether the code is that of the whole source) of a
        source, without what never runs; raises what compiling raises."""
        check_coding(text, pathname)
        tree = ast.parse(text + '\n', pathname)
        pristine = not reading.prune(tree, fqname)
        if not inside(pathname, self.source):
            body = reading.without_script(tree.body)
            pristine = pristine and len(body) == len(tree.body)
            tree.body = body
        return tree, (pristine and cached(pathname)) or compile(tree, pathname, 'exec', 0, True), \
            pristine

    def read(self, fqname, text, tree, code, pathname):
        """Records what reading a module's source tells."""
        is_package = os.path.basename(pathname) == '__init__.py'
        self.kinds[fqname], self.from_names[fqname] = reading.imports(tree, fqname, is_package)
        if 'six' in text:
            for moved, kind in reading.six_chains(tree, fqname, is_package).items():
                self.kinds[fqname].setdefault(moved, kind)
        if not is_stdlib(pathname):
            if reading.MAY_IMPORT_BY_NAME.search(text):
                self.by_name[fqname] = reading.by_name(tree, fqname, is_package)
            strings = reading.strings(code)
            self.strings.update(strings)
            self.named[fqname] = set(n for n in strings if DOTTED.match(n))
            if '__path__' in text and reading.hands_out_path(tree):
                self.directories.add(fqname)

    def extension(self, fqname, pathname, m):
        """What an extension module outside the standard library imports
        when it runs, as far as it can be read: the source it was compiled
        from, where it ships beside it (sax.py beside sax.so), and the
        names of modules among its strings, which hold the names its C
        code imports (a Cython module's among them). The standard
        library's are in habits.HIDDEN."""
        if is_stdlib(pathname):
            return
        source = os.path.join(os.path.dirname(pathname),
                              re.sub(r'(module)?\.so\Z', '.py', os.path.basename(pathname)))
        with open(pathname, 'rb') as f:
            data = f.read()
        # Hand-written C that imports: a name it builds cannot be read.
        if 'PyImport_Import' in data and '__pyx_' not in data and not os.path.isfile(source):
            self.unsure.add(fqname)
        if os.path.isfile(source):
            with open(source, 'rU') as f:
                text = f.read()
            try:
                tree, code, _ = self.compile(fqname, text, source)
            except (SyntaxError, TypeError, ValueError):
                pass
            else:
                self.read(fqname, text, tree, code, source)
                self.scan_code(code, m)
        names = set(NAME_IN_C.findall(data))
        self.from_c[fqname] = sorted(n for n in names
                                     if not below(n, [fqname]) and self.exists(n))
        for name in self.from_c[fqname]:
            self.log.detail('module %s, named in extension module %s' % (name, fqname))

    def exists(self, name):
        """True if the top-level module of `name` is on the search path, but
        for test suites, and `name` itself may be."""
        top = name.split('.')[0]
        if top in TESTS or top in ('__main__', '__builtin__'):
            return False
        if top not in self.tops:
            try:
                f = self.find_module(top, None)[0]
            except ImportError:
                self.tops[top] = False
            else:
                self.tops[top] = True
                if f:
                    f.close()
        return self.tops[top]

    def scan_code(self, co, m):
        """As modulefinder scans code, but the module being scanned stays
        known: modulefinder names no importer for `from . import name`."""
        outer, self.scanning = self.scanning, m
        try:
            modulefinder.ModuleFinder.scan_code(self, co, m)
        finally:
            self.scanning = outer

    def _safe_import_hook(self, name, caller, fromlist, level=-1):
        """As modulefinder's, but a relative import that fails is recorded
        by its absolute name, and by the module that makes it."""
        caller = caller or self.scanning
        if level > 0 and caller is not None:
            try:
                parent = self.determine_parent(caller, level)
            except ImportError:
                parent = None
            if parent is not None:
                name = parent.__name__ + ('.' + name if name else '')
                level = 0
        modulefinder.ModuleFinder._safe_import_hook(self, name, caller, fromlist, level)

    def load_package(self, fqname, pathname):
        """As modulefinder loads a package, but a namespace package takes
        in its namesakes in every other search directory, as its own
        __init__ does at run time."""
        m = self.add_module(fqname)
        m.__file__ = pathname
        parent = fqname.rpartition('.')[0]
        search = self.modules[parent].__path__ if parent else self.path
        m.__path__ = [pathname]
        # A package without __init__ is one that a *-nspkg.pth declares.
        declared = not any(os.path.isfile(os.path.join(pathname, '__init__' + suffix))
                           for suffix in ('.py', '.pyc'))
        if declared or declares_namespace(pathname):
            m.__path__ += [p for p in (os.path.join(d, fqname.rpartition('.')[2]) for d in search)
                           if os.path.isdir(p) and not os.path.samefile(p, pathname)]
        if declared:
            # No __init__: the .pth file makes the module when Python starts;
            # the application gets an empty one instead.
            m.__code__ = compile('', os.path.join(pathname, '__init__.py'), 'exec')
            m.declared = True
            self.kinds[fqname], self.from_names[fqname] = {}, set()
            return m
        fp, buf, stuff = self.find_module('__init__', m.__path__)
        try:
            self.load_module(fqname, fp, buf, stuff)
        finally:
            if fp:
                fp.close()
        return m

    def find_module(self, name, path, parent=None):
        """As modulefinder finds a module, and a namespace package that a
        *-nspkg.pth file declares, which has no __init__."""
        try:
            return modulefinder.ModuleFinder.find_module(self, name, path, parent)
        except ImportError:
            fullname = parent.__name__ + '.' + name if parent else name
            for d in pth_namespace(fullname, path or self.path):
                if os.path.isdir(os.path.join(d, name)):
                    return None, os.path.join(d, name), ('', '', imp.PKG_DIRECTORY)
            raise

    def add(self, name, shallow=False):
        """Imports `name` as the program would, its imports followed only
        once the program reaches it if `shallow`; False where that fails."""
        self.shallow = shallow
        try:
            self.import_hook(name)
            return True
        except ImportError:
            return False
        finally:
            self.shallow = False

    def excluded(self, name):
        return below(name, self.excludes)


def identity(path):
    """(device, inode) of what path names, links followed; None if nothing."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def walk(directory, loops=None):
    """os.walk with symbolic links followed, as the interpreter follows
    them, but never into a directory that holds the link: such links are
    added to `loops`."""
    chains = {directory: [identity(directory)]}
    for path, dirs, files in os.walk(directory, followlinks=True):
        chain = chains.pop(path)
        kept = []
        for d in dirs:
            inner = os.path.join(path, d)
            key = identity(inner)
            if key in chain:
                if loops is not None:
                    loops.append(inner)
            else:
                chains[inner] = chain + [key]
                kept.append(d)
        dirs[:] = kept
        yield path, dirs, files


def is_test_suite(path):
    """True for a module of a test suite's name (habits.TESTS) that is
    one: its source names a test framework, or it has no source."""
    stem, ext = os.path.splitext(os.path.basename(path))
    if stem not in TESTS:
        return False
    source = os.path.splitext(path)[0] + '.py'
    try:
        with open(source) as f:
            return bool(TEST_FRAMEWORK.search(f.read()))
    except IOError:
        return True


def package_modules(package, directory, skip_tests):
    """Every module and subpackage below a package directory, by name;
    without its test subpackages and modules if `skip_tests`."""
    for path, dirs, files in walk(directory):
        relative = os.path.relpath(path, directory)
        prefix = package if relative == '.' else package + '.' + relative.replace(os.sep, '.')
        dirs[:] = sorted(d for d in dirs if IDENTIFIER.match(d)
                         and not (skip_tests and d in TESTS)
                         and any(os.path.isfile(os.path.join(path, d, '__init__' + s))
                                 for s in ('.py', '.pyc')))
        names = set()
        for f in files:
            stem, ext = os.path.splitext(f)
            if (ext in ('.py', '.pyc', '.so') and IDENTIFIER.match(stem) and stem != '__init__'
                    and not (skip_tests and is_test_suite(os.path.join(path, f)))):
                names.add(stem)
        for name in sorted(names) + dirs:
            yield prefix + '.' + name


def whole(directory):
    """A package is copied whole when it holds anything but Python source
    and bytecode: extension modules, data files, and directories that are
    no packages, whose files are all data."""
    for path, dirs, files in walk(directory):
        dirs[:] = [d for d in dirs if d != '__pycache__' and d not in TESTS]
        if files and not ('__init__.py' in files or '__init__.pyc' in files):
            return True
        if any(os.path.splitext(f)[1] not in ('.py', '.pyc', '.pyo') + WINDOWS_ONLY
               for f in files):
            return True
    return False


class Found(object):
    """The result: modules by name, the top-level packages copied whole
    (name: its directories), modules left out because they do not compile,
    the program's own top-level modules, which ship beside the files of
    SOURCE's top level, the modules that every start imports, the
    modules it starts from, and what only modules that nothing reaches
    import, left out {name: importer}; the finder, which knows what is
    missing."""

    def __init__(self, finder, packages, own, starting, starts, left):
        self.finder = finder
        self.modules = finder.modules
        self.packages = packages
        self.broken = finder.broken
        self.own = own
        self.starting = starting
        self.starts = starts
        self.left = left


def expand(finder, name, log, tests=False, shallow=False):
    """Adds a module, or a package with all its submodules (with its test
    subpackages only if `tests`; `shallow`: the imports of the submodules
    followed only once the program reaches them). Returns False when the
    name itself cannot be found."""
    if finder.excluded(name):
        return True
    if not finder.add(name):
        return False
    m = finder.modules.get(name)
    if m is not None and m.__path__:
        for sub in [s for d in m.__path__ for s in package_modules(name, d, not tests)]:
            if not finder.excluded(sub) and not finder.add(sub, shallow):
                log.detail('module %s cannot be imported here' % sub)
    return True


def reached(finder, roots, full):
    """The modules that some path of the program reaches: those whose
    imports were followed as they were found, `roots`, those below a name
    of `full`, and what they import, in any way (reading.KINDS), or name
    in a string (a plug-in's "twisted.web.tap", which a framework imports
    by that name)."""
    seeds = [n for n in finder.modules
             if n not in finder.deferred or n in roots or below(n, full)]
    return needed(finder, seeds, reading.KINDS, finder.named)


# The largest pure-Python module that a module nothing reaches may bring
# with it: a package copied whole may need it at run time, and it costs
# little.
SMALL = 20000


def locate(finder, name):
    """The file of the module `name` along the search path, or None."""
    path = None
    parts = name.split('.')
    for i, part in enumerate(parts):
        try:
            f, where, (_, _, kind) = finder.find_module(part, path)
        except ImportError:
            return None
        if f:
            f.close()
        if kind == imp.PKG_DIRECTORY:
            path = [where]
            where = os.path.join(where, '__init__.py')
        elif i < len(parts) - 1:
            return None
    return where


def unreached(finder, log):
    """The imports of the modules that nothing reaches, which ship all the
    same as part of their package copied whole: a small pure-Python
    module ships, read likewise; anything else is left out. Returns what
    is left out, {name: its importer}."""
    left = {}
    # Each importer's imports are looked at once, and each name looked
    # for once: a package of a thousand modules takes one round each.
    missing = set()
    scanned = set()
    while True:
        todo = {}
        for importer in sorted(set(finder.deferred) - scanned):
            scanned.add(importer)
            for name in sorted(finder.kinds.get(importer, {})):
                if (name not in finder.modules and name not in left and name not in missing
                        and not finder.excluded(name)):
                    todo.setdefault(name, importer)
        if not todo:
            return left
        for name, importer in sorted(todo.items()):
            where = locate(finder, name)
            if where is None:
                missing.add(name)
            if where is None or name in finder.modules:
                continue
            if where.endswith('.py') and os.path.getsize(where) <= SMALL:
                finder.add(name, shallow=True)
            else:
                left[name] = importer
                log.detail('module %s left out: only %s imports it, which nothing reaches'
                           % (name, importer))


def find(startup, required, search_path, source, options, log):
    """Finds what the program needs. `startup` is (path, text) of the
    __startup__ module, `required` the modules that must be found, each
    with who needs it."""
    finder = Finder(search_path, source, options.exclude, log)
    path, text = startup
    try:
        finder.load_module('__startup__', StringIO.StringIO(text), path,
                           ('.py', 'r', imp.PY_SOURCE))
    except ImportError:
        raise Failure(finder.broken['__startup__'][1])
    if options.entry:
        # The __startup__ that --entry writes imports by name what `required` names.
        finder.by_name.pop('__startup__', None)
    for name, who in sorted(required.items()):
        if finder.excluded(name):
            raise Failure('module %s, %s, is left out by --exclude' % (name, who))
    lost = [name for name in sorted(required)
            if name not in finder.modules and not expand(finder, name, log)
            and not six_of(finder, name)]
    # The program's own modules that it imports must compile.
    for where, why in sorted(finder.broken.values()):
        if inside(where, source):
            raise Failure(why)
    for name in lost:
        if name in finder.broken:
            raise Failure(finder.broken[name][1])
        raise Failure('module %s, %s, cannot be found' % (name, required[name]))
    for name in options.include:
        if not expand(finder, name, log, tests=True):
            raise Failure('module %s (--include) cannot be found' % name)
    packages = ship_source(finder, source, log)

    roots = list(ALWAYS) + (['zlib'] if options.compress else [])
    done = set()
    full = set(options.include + list(PLUGIN_PACKAGES))  # every submodule of them is reached
    named = []  # names among an extension module's strings: modules alone, where found
    while True:
        before = len(finder.modules)
        for name in roots:
            done.add(name)
            # The submodules of a package copied whole ship, but what they
            # import only where the program reaches them.
            expand(finder, name, log, shallow=name in packages)
        for name in named:
            done.add(name)
            finder.add(name)
        reach = reached(finder, done | set(required), full)
        for name in sorted(set(finder.deferred) & reach):
            code, m = finder.deferred.pop(name)
            finder.scan_code(code, m)
        named = sorted(set(n for i, names in finder.from_c.items() if i in reach
                           for n in names) - done)
        by_name = set(n for i, names in finder.by_name.items()
                      if i in reach and not below(i, BUILD_HELPERS) for n in names if n)
        full |= by_name
        roots = [n for n in moved(finder) + plugins(finder) + sorted(by_name) if n not in done]
        for name, m in sorted(finder.modules.items()):
            roots += [n for n in HIDDEN.get(name, ()) if n not in done]
            if m.__path__ and '.' not in name and name not in packages:
                if any(whole(d) for d in m.__path__) or any(below(n, [name])
                                                            for n in finder.directories):
                    packages[name] = m.__path__
                    if name not in done:
                        roots.append(name)
        if not roots and not named and len(finder.modules) == before and not (
                set(finder.deferred) & reached(finder, done | set(required), full)):
            break
    left = unreached(finder, log)

    starts = ['__startup__'] + sorted(required)
    home = source and os.path.realpath(source)
    own = set(name for name, m in finder.modules.items()
              if '.' not in name and name != '__startup__' and not m.__path__
              and (m.__file__ or '').endswith(('.py', '.pyc'))
              and os.path.dirname(os.path.realpath(m.__file__)) == home)
    starting = needed(finder, starts, ('module level', 'conditional', 'optional'))
    return Found(finder, packages, own, starting, starts, left)


def source_modules(source):
    """The top-level modules and packages of SOURCE but its test suites,
    setup.py and conftest.py."""
    names = []
    for entry in sorted(os.listdir(source) if source else []):
        path = os.path.join(source, entry)
        stem, ext = os.path.splitext(entry)
        if os.path.isdir(path):
            if (IDENTIFIER.match(entry) and entry not in TESTS
                    and os.path.isfile(os.path.join(path, '__init__.py'))):
                names.append(entry)
        elif (ext == '.py' and IDENTIFIER.match(stem) and not is_test_suite(path)
              and stem not in ('__startup__', 'setup', 'conftest')
              and not stem.startswith('test_') and not stem.endswith('_test')):
            names.append(stem)
    return names


def ship_source(finder, source, log):
    """SOURCE is the program: every module and package of it ships, what it
    imports followed, whether or not reading finds it imported (settings
    named in the environment, applications named in settings). A module
    of it that does not compile ships as it is, and importing it raises
    SyntaxError, as under the interpreter: one of the top level beside the
    others, one of a package with the package copied whole. Returns those
    packages {name: directories}."""
    for name in source_modules(source):
        if not finder.excluded(name):
            expand(finder, name, log)
    packages = {}
    for name, (path, why) in sorted(finder.broken.items()):
        if not inside(path, source):
            continue
        log.warn('%s does not compile, and ships as it is (importing it raises SyntaxError): %s'
                 % (name, why))
        del finder.broken[name]
        finder.badmodules.pop(name, None)
        top = name.split('.')[0]
        if top == name:
            finder.add_module(name).__file__ = path
        elif top in finder.modules:
            packages[top] = finder.modules[top].__path__
    return packages


SIX_MOVES = re.compile(r'((?:.+\.)?six)\.moves(?:\.(.+))?\Z')


def six_of(finder, name):
    """(the copy of six, the name below its moves) for a name that a
    shipped copy of six serves under six.moves, also through an import
    hook of VENDORED; None otherwise."""
    m = SIX_MOVES.match(name)
    if not m:
        return None
    six = m.group(1)
    for alias, target in VENDORED.items():
        if six.startswith(alias + '.'):
            six = target + six[len(alias):]
    return (six, m.group(2)) if six in finder.modules else None


def moved(finder):
    """The Python 2 modules behind every name below six.moves that a
    shipped module imports, from the table of its copy of six."""
    tables = {}
    result = set()
    for names in finder.kinds.values():
        for name in names:
            served = six_of(finder, name)
            if not served or not served[1]:
                continue
            six, below_moves = served
            if six not in tables:
                path = finder.modules[six].__file__ or ''
                tables[six] = {}
                if path.endswith('.py'):
                    with open(path, 'rU') as f:
                        tables[six] = reading.six_moves(ast.parse(f.read(), path))
            parts = below_moves.split('.')
            for i in range(len(parts), 0, -1):
                if '.'.join(parts[:i]) in tables[six]:
                    result.update(tables[six]['.'.join(parts[:i])])
                    break
    return sorted(result)


def needed(finder, roots, kinds=('module level',), named=None):
    """The modules that importing `roots` imports for certain: those
    imported unconditionally at module level, and their packages, from
    the roots on; with more `kinds` (reading.KINDS), those it may import;
    with `named`, {module: names}, those each module names too."""
    seen = set()
    todo = list(roots)
    while todo:
        name = todo.pop()
        if name in seen or name not in finder.modules:
            continue
        seen.add(name)
        parts = name.split('.')
        todo += ['.'.join(parts[:i]) for i in range(1, len(parts))]
        todo += [n for n, kind in finder.kinds.get(name, {}).items() if kind in kinds]
        todo += (named or {}).get(name, ())
    return seen
