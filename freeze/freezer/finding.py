"""Finding the modules a program needs.

The standard library's modulefinder reads the bytecode of every module it
reaches and follows its imports. On top of it:
- the imports that no reading of the importer's code can see (made from C,
  by name, lazily) come from the table HIDDEN below;
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
from .interpreter import inside, is_stdlib
from .log import Failure

# Shipped with every program: the interpreter imports them by name.
ALWAYS = (
    'copy_reg',   # object.__reduce_ex__ imports it from C: pickle, copy.copy
    'encodings',  # codecs are looked up by name: u'x'.encode('idna'), 'x'.encode('hex')
)

# Imports that no reading of their importer's code sees, by importer. Each
# ships whenever its importer does; a package ships with its submodules.
HIDDEN = {
    'cPickle': ('copy_reg',),                 # imported from C when cPickle loads
    'datetime': ('time', '_strptime'),        # strftime and strptime import them from C
    'time': ('_strptime',),                   # time.strptime imports it from C
    '_elementtree': ('copy', 'xml.etree.ElementTree'),  # Python code run by its C init
    'email': ('email',),                      # old names (email.Utils, email.MIMEText) load by string
    'xml.sax': ('xml.sax.expatreader',),      # make_parser imports its default parser by name
    'anydbm': ('dbhash', 'gdbm', 'dbm', 'dumbdbm'),    # picks a database module by name
    'xml.dom.domreg': ('xml.dom.minidom',),    # getDOMImplementation() imports it by name
    'distutils.command.build_scripts': ('sysconfig',),  # __import__('sysconfig')
    '_sqlite3': ('sqlite3.dump',),            # Connection.iterdump() imports it from C
    '_ssl': ('_socket',),                     # its C init takes _socket's C interface
    '_curses_panel': ('_curses',),            # likewise _curses's
    '_multiprocessing': ('cPickle', 'multiprocessing'),  # its C init imports both
    'pkg_resources.extern': ('pkg_resources._vendor',),  # vendored packages load through a hook
    'setuptools.extern': ('setuptools._vendor',),        # the same hook, setuptools' copy
}

# Import hooks that serve a package's vendored copies under another
# name: setuptools.extern.six is setuptools._vendor.six.
VENDORED = {
    'pkg_resources.extern': 'pkg_resources._vendor',
    'setuptools.extern': 'setuptools._vendor',
}

# Names that imports reach but that no file provides, by design, with
# everything below them.
ALIASES = (
    'os.path',               # os puts its path module there itself
    'pkg_resources.extern',  # served from pkg_resources._vendor by an import hook
    'setuptools.extern',     # served from setuptools._vendor likewise
)

# Entry-point groups that only setuptools reads, as it builds or installs
# (`setup.py flake8`): their plug-ins ship only where setuptools ships for
# another reason.
SETUPTOOLS_GROUPS = frozenset(['distutils.commands', 'distutils.setup_keywords',
                               'egg_info.writers', 'setuptools.installation',
                               'setuptools.file_finders',
                               'setuptools.finalize_distribution_options'])

# Modules of other systems (Windows, Jython) and of Python 3, with
# everything below them, which optional imports try: missing here by
# nature, so said only in verbose mode.
ELSEWHERE = (
    '_winreg', 'winreg', 'msvcrt', '_subprocess', 'nt', 'win32api', 'win32con', 'win32com',
    'java', 'com.sun', 'org.python',
    '_thread', 'builtins', 'queue', 'collections.abc', 'importlib.machinery', '_imp',
    'urllib.parse', 'urllib.request', 'http.client',
)

# Top-level modules that import by a computed name the targets of entry
# points, which plugins() ships from the distribution metadata: no
# warning that reading cannot tell what they import.
LOADS_ENTRY_POINTS = ('entrypoints',)

# Files of Windows programs that packages carry to write Windows
# installers and launchers (distutils' wininst-*.exe, setuptools' and
# distlib's launchers) or to run there: never used on Linux, not shipped.
WINDOWS_ONLY = ('.exe', '.dll', '.pyd')

# Subpackages and modules that hold test suites (enum34's enum/test.py,
# the standard library's package test): not read as part of a package
# copied whole, and shipped only where a shipped module imports them or
# --include names them.
TESTS = frozenset(['test', 'tests', 'testing', 'idle_test'])

IDENTIFIER = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')


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


def pth_namespace(fullname, directories):
    """The directories whose *-nspkg.pth files (which pip writes for the
    namespace packages of setuptools) declare the namespace package
    `fullname`: they name it as the tuple of its parts."""
    parts = repr(tuple(fullname.split('.')))
    found = []
    for d in directories:
        if not os.path.isdir(d):
            continue
        for entry in sorted(os.listdir(d)):
            if entry.endswith('-nspkg.pth'):
                with open(os.path.join(d, entry)) as f:
                    if parts in f.read():
                        found.append(d)
                        break
    return found


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

    def load_module(self, fqname, fp, pathname, file_info):
        self.log.status('finding modules: %d' % len(self.modules))
        if file_info[2] != imp.PY_SOURCE:
            return modulefinder.ModuleFinder.load_module(self, fqname, fp, pathname, file_info)
        try:
            text = fp.read()
            check_coding(text, pathname)
            tree = ast.parse(text + '\n', pathname)
            pristine = not reading.prune(tree, fqname)
            if not inside(pathname, self.source):
                body = reading.without_script(tree.body)
                pristine = pristine and len(body) == len(tree.body)
                tree.body = body
            code = (pristine and cached(pathname)) or compile(tree, pathname, 'exec', 0, True)
        except (SyntaxError, TypeError, ValueError) as e:
            self.broken[fqname] = (pathname, describe(e, pathname))
            self.modules.pop(fqname, None)
            raise ImportError('%s does not compile' % fqname)
        m = self.add_module(fqname)
        m.__file__ = pathname
        m.__code__ = code
        m.pristine = pristine  # the code is that of the whole source, as shipped
        is_package = os.path.basename(pathname) == '__init__.py'
        self.kinds[fqname], self.from_names[fqname] = reading.imports(tree, fqname, is_package)
        if not is_stdlib(pathname):
            if reading.MAY_IMPORT_BY_NAME.search(text):
                self.by_name[fqname] = reading.by_name(tree, fqname, is_package)
            self.strings.update(reading.strings(code))
            if '__path__' in text and reading.hands_out_path(tree):
                self.directories.add(fqname)
        self.scan_code(code, m)
        return m

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
                    and not (skip_tests and stem in TESTS)):
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
    SOURCE's top level, and the modules that every start imports."""

    def __init__(self, modules, packages, broken, own, starting):
        self.modules = modules
        self.packages = packages
        self.broken = broken
        self.own = own
        self.starting = starting


def expand(finder, name, log, tests=False):
    """Adds a module, or a package with all its submodules (with its test
    subpackages only if `tests`). Returns False when the name itself
    cannot be found."""
    if finder.excluded(name):
        return True
    try:
        finder.import_hook(name)
    except ImportError:
        return False
    m = finder.modules.get(name)
    if m is not None and m.__path__:
        for sub in [s for d in m.__path__ for s in package_modules(name, d, not tests)]:
            if not finder.excluded(sub):
                try:
                    finder.import_hook(sub)
                except ImportError:
                    log.detail('module %s cannot be imported here' % sub)
    return True


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

    roots = list(ALWAYS) + (['zlib'] if options.compress else [])
    done = set()
    packages = {}
    while roots:
        for name in roots:
            done.add(name)
            expand(finder, name, log)
        roots = [n for n in moved(finder) + plugins(finder) + sorted(
            set(n for names in finder.by_name.values() for n in names if n)) if n not in done]
        for name, m in sorted(finder.modules.items()):
            roots += [n for n in HIDDEN.get(name, ()) if n not in done]
            if m.__path__ and '.' not in name and name not in packages:
                if any(whole(d) for d in m.__path__) or any(below(n, [name])
                                                            for n in finder.directories):
                    packages[name] = m.__path__
                    if name not in done:
                        roots.append(name)

    starts = ['__startup__'] + sorted(required)
    report(finder, packages, starts, log)
    warn_unused(finder, source, log)
    home = source and os.path.realpath(source)
    own = set(name for name, m in finder.modules.items()
              if '.' not in name and name != '__startup__' and not m.__path__
              and (m.__file__ or '').endswith(('.py', '.pyc'))
              and os.path.dirname(os.path.realpath(m.__file__)) == home)
    starting = needed(finder, starts, ('module level', 'conditional', 'optional'))
    return Found(finder.modules, packages, finder.broken, own, starting)


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


def plugins(finder):
    """The plug-ins that programs load by name through entry points
    (pkg_resources, entrypoints): every module that the entry points of a
    shipped distribution name, and those of any distribution on the search
    path outside the standard library whose group a shipped module names
    in a string (flake8's 'flake8.extension'); console and GUI scripts are
    no plug-ins, and setuptools' own plug-ins only where setuptools ships."""
    result = set()
    shipped = set(name for name, m in finder.modules.items()
                  if '.' not in name and name != '__startup__' and m.__file__)
    for meta in distributions(d for d in finder.path if not is_stdlib(d)):
        points = os.path.join(meta, 'entry_points.txt')
        if not os.path.isfile(points):
            continue
        ours = top_names(meta) & shipped
        result.update(target.split(':')[0] for group, _, target in entry_points(points)
                      if group not in ('console_scripts', 'gui_scripts')
                      and (group not in SETUPTOOLS_GROUPS or 'setuptools' in finder.modules)
                      and (ours or group in finder.strings))
    return sorted(result)


def distributions(directories):
    """The distribution metadata directories (*.dist-info, *.egg-info) in
    `directories`, in order."""
    for directory in directories:
        if os.path.isdir(directory):
            for entry in sorted(os.listdir(directory)):
                if entry.endswith(('.dist-info', '.egg-info')):
                    yield os.path.join(directory, entry)


def entry_points(path):
    """(group, name, MODULE:ATTRIBUTE) of each entry point in an
    entry_points.txt, extras left out."""
    result = []
    group = None
    with open(path) as f:
        for line in f:
            line = line.split('#')[0].strip()
            if line.startswith('['):
                group = line.strip('[]').strip()
            elif '=' in line and group:
                name, target = line.split('=', 1)
                result.append((group, name.strip(), target.split('[')[0].strip()))
    return result


def top_names(meta):
    """The top-level modules a distribution's metadata says it installs."""
    if os.path.isdir(meta):
        top_level = os.path.join(meta, 'top_level.txt')
        if os.path.isfile(top_level):
            with open(top_level) as f:
                return set(line.strip() for line in f if line.strip())
        record = os.path.join(meta, 'RECORD')
        if os.path.isfile(record):
            with open(record) as f:
                return set(os.path.splitext(line.split(',')[0].split('/')[0])[0] for line in f)
    project = os.path.basename(meta).split('-')[0]
    return set([project, project.replace('.', '_'), project.lower().replace('.', '_')])


def not_a_module(finder, name, importers):
    """True for pkg.name that the importers name only in `from pkg import
    name` where pkg is found and holds no module `name`: a class or
    function imported from a package, not a module."""
    if not all(name in finder.from_names.get(i, ()) for i in importers):
        return False
    package, _, last = name.rpartition('.')
    m = finder.modules.get(package)
    if m is None or not m.__path__:
        return False
    return not any(os.path.exists(os.path.join(d, last + suffix)) for d in m.__path__
                   for suffix in ('', '.py', '.pyc', '.so', 'module.so'))


def needed(finder, roots, kinds=('module level',)):
    """The modules that importing `roots` imports for certain: those
    imported unconditionally at module level, and their packages, from
    the roots on; with more `kinds` (reading.KINDS), those it may import."""
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
    return seen


def report(finder, packages, roots, log):
    """Tells the user what is missing: on the terminal, one line for each
    module that a module the program needs for certain (needed(roots))
    imports unconditionally at module level, with its importers, or that
    does not compile, and one line that counts the rest by where they are
    imported (reading.KINDS, or by name); --verbose lists every one with
    its kind. Names that are no modules (a class imported from a package),
    that six serves, or that other systems provide are no missing modules."""
    missing, _ = finder.any_missing_maybe()
    certain = needed(finder, roots)
    counts = {}
    # Modules outside packages copied whole that do not compile are left
    # out, and missing as the others are.
    broken = sorted(n for n in finder.broken if n.split('.')[0] in packages)
    for name in sorted(set(missing) | (set(finder.broken) - set(broken))):
        if (name in finder.modules or name in broken or finder.excluded(name)
                or below(name, ALIASES) or six_of(finder, name)):
            continue
        # modulefinder also names as importers the modules that import
        # another name of the same spelling from a module that has it.
        importers = sorted(i for i in finder.badmodules.get(name, ())
                           if name in finder.kinds.get(i, [name]))
        if name in finder.broken:
            line = 'left out %s, which does not compile: %s' % (name, finder.broken[name][1])
            # Without importers it ships as a module of a package that
            # imports its modules by name.
            kind = where(finder, name, importers, certain) if importers else 'by name'
        elif not importers or not_a_module(finder, name, importers):
            continue
        else:
            line = 'module %s, imported by %s, not found' % (name, ', '.join(importers))
            kind = where(finder, name, importers, certain)
        if kind == 'module level':
            log.warn(line)
        elif importers and all(is_stdlib(getattr(finder.modules.get(i), '__file__', None) or '')
                               for i in importers):
            log.detail('%s (%s, in the standard library)' % (line, kind))
        else:
            counts[kind] = counts.get(kind, 0) + 1
            log.detail('%s (%s)' % (line, kind))
    for name in broken:
        log.detail('%s does not compile, and ships as source: %s'
                   % (name, finder.broken[name][1]))
    if broken:
        log.warn('sources of packages copied whole that do not compile ship as they are, '
                 'and importing one raises SyntaxError (%d): %s'
                 % (len(broken), ', '.join(broken[:3]) + (', ...' if len(broken) > 3 else '')))
    # A computed name in a module of no package: nothing to ship by reading.
    # A copy of six imports what its table names, which moved() reads.
    computed = sorted(name for name, names in finder.by_name.items()
                      if None in names and name not in LOADS_ENTRY_POINTS
                      and not six_of(finder, name + '.moves'))
    if computed:
        log.warn('%s import%s modules by names computed at run time: --include MODULE '
                 'ships each one the program needs' % (', '.join(computed),
                                                        's' if len(computed) == 1 else ''))
    if counts:
        log.warn('%d other modules not found, which the program imports only %s '
                 '(--verbose lists them)' % (sum(counts.values()), ', '.join(
                     '%s (%d)' % (WHERE[k], counts[k]) for k in sorted(counts, key=ORDER.index))))


def where(finder, name, importers, certain):
    """Where the imports of a missing module sit, the strongest of them:
    reading.KINDS, 'indirect' for module level in a module that the
    program may not import (not in `certain`), or 'of other systems'."""
    if below(name, ELSEWHERE):
        return 'of other systems'
    kinds = [finder.kinds.get(i, {}).get(name, 'module level') if i != '-' else 'delayed'
             for i in importers]
    kinds = ['indirect' if k == 'module level' and i not in certain else k
             for i, k in zip(importers, kinds)]
    return min(kinds, key=(reading.KINDS + ('indirect',)).index)


# How the summary line says where the imports of missing modules sit.
WHERE = {'conditional': 'under an if, except or else', 'optional': 'where ImportError is handled',
         'delayed': 'inside functions', 'of other systems': 'for other systems and Python 3',
         'indirect': 'in modules imported so', 'by name': 'by name'}
ORDER = ['optional', 'conditional', 'delayed', 'indirect', 'by name', 'of other systems']


def warn_unused(finder, source, log):
    """A package of SOURCE whose modules are not all imported may import
    the rest by name (plug-ins): say which are left out."""
    for name, m in sorted(finder.modules.items()):
        if not m.__path__ or not inside(m.__path__[0], source):
            continue
        left = [sub for sub in package_modules(name, m.__path__[0], False)
                if sub.count('.') == name.count('.') + 1
                and sub not in finder.modules and sub not in finder.broken
                and not finder.excluded(sub)]
        if left:
            log.warn('%s not imported by the program and left out: %s '
                     '(--include %s ships them)' % (name, ', '.join(left), name))
