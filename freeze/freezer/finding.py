"""Finding the modules a program needs.

The standard library's modulefinder reads the bytecode of every module it
reaches and follows its imports. On top of it:
- the imports that no reading of the importer's code can see (made from C,
  by name, lazily) come from the table HIDDEN below;
- `if __name__ == '__main__':` blocks of modules outside SOURCE are not
  followed: they run only when such a module is run as a script;
- a module that does not compile is recorded and left out, not fatal,
  unless it is the program's own and the program imports it;
- a package that is copied whole is read whole, since any of its modules
  may be imported by name.
"""

import ast
import imp
import modulefinder
import os
import re
import StringIO
import sysconfig

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
}

# Names that imports reach but that no file provides, by design, with
# everything below them.
ALIASES = (
    'os.path',               # os puts its path module there itself
    'pkg_resources.extern',  # served from pkg_resources._vendor by an import hook
    'extern',                # the same, reached by a relative import
)

# Modules of other systems (Windows, Jython) and of Python 3, with
# everything below them, which optional imports try: missing here by
# nature, so said only in verbose mode.
ELSEWHERE = (
    '_winreg', 'winreg', 'msvcrt', '_subprocess', 'nt', 'win32api', 'win32con', 'win32com',
    'java', 'com.sun', 'org.python',
    '_thread', 'builtins', 'queue', 'collections.abc', 'importlib.machinery', '_imp',
    'urllib.parse', 'urllib.request', 'http.client',
)

# Subpackages of the standard library's packages that hold their test suites.
STDLIB_TESTS = frozenset(['test', 'tests', 'idle_test'])

STDLIB = os.path.realpath(sysconfig.get_path('stdlib'))
SITE = frozenset(os.path.realpath(sysconfig.get_path(p)) for p in ('purelib', 'platlib'))
IDENTIFIER = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')


def inside(path, directory):
    path = os.path.realpath(path)
    directory = os.path.realpath(directory)
    return path == directory or path.startswith(directory.rstrip('/') + '/')


def below(name, names):
    """True if the module `name` is one of `names` or lies below one."""
    return any(name == n or name.startswith(n + '.') for n in names)


def is_stdlib(path):
    return bool(path) and inside(path, STDLIB) and not any(inside(path, s) for s in SITE)


def is_main_block(node):
    """True for `if __name__ == '__main__':`, either way round."""
    if not isinstance(node, ast.If) or not isinstance(node.test, ast.Compare):
        return False
    test = node.test
    if len(test.ops) != 1 or not isinstance(test.ops[0], ast.Eq):
        return False
    sides = [test.left, test.comparators[0]]
    names = [s.id for s in sides if isinstance(s, ast.Name)]
    strings = [s.s for s in sides if isinstance(s, ast.Str)]
    return names == ['__name__'] and strings == ['__main__']


def names_used(nodes):
    return set(n.id for node in nodes for n in ast.walk(node)
               if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load))


def without_script(body):
    """A module's statements without what runs only when it is a script:
    its `if __name__ == '__main__':` blocks, and the private top-level
    functions that only those blocks call (such as _test), and so on. A
    public one (main, cli) may be another program's entry point: it stays."""
    dropped = [node for node in body if is_main_block(node)]
    body = [node for node in body if node not in dropped]
    while True:
        wanted = names_used(dropped)
        only = [node for node in body if isinstance(node, ast.FunctionDef)
                and node.name in wanted and node.name.startswith('_')
                and node.name not in names_used([n for n in body if n is not node])]
        if not only:
            return body
        dropped += only
        body = [node for node in body if node not in only]


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


def describe(error, path):
    if isinstance(error, SyntaxError):
        return '%s:%s: %s' % (error.filename or path, error.lineno, error.msg)
    return '%s: %s' % (path, error)


class Finder(modulefinder.ModuleFinder):
    def __init__(self, path, source, excludes):
        modulefinder.ModuleFinder.__init__(self, path, excludes=list(excludes))
        self.source = source
        self.broken = {}  # module name: (file, why it does not compile)

    def load_module(self, fqname, fp, pathname, file_info):
        if file_info[2] != imp.PY_SOURCE:
            return modulefinder.ModuleFinder.load_module(self, fqname, fp, pathname, file_info)
        try:
            text = fp.read()
            check_coding(text, pathname)
            tree = ast.parse(text + '\n', pathname)
            if not inside(pathname, self.source):
                tree.body = without_script(tree.body)
            code = compile(tree, pathname, 'exec', 0, True)
        except (SyntaxError, TypeError, ValueError) as e:
            self.broken[fqname] = (pathname, describe(e, pathname))
            self.modules.pop(fqname, None)
            raise ImportError('%s does not compile' % fqname)
        m = self.add_module(fqname)
        m.__file__ = pathname
        m.__code__ = code
        self.scan_code(code, m)
        return m

    def load_package(self, fqname, pathname):
        """As modulefinder loads a package, but a namespace package takes
        in its namesakes in every other search directory, as its own
        __init__ does at run time."""
        m = self.add_module(fqname)
        m.__file__ = pathname
        parent = fqname.rpartition('.')[0]
        search = self.modules[parent].__path__ if parent else self.path
        m.__path__ = [pathname]
        if declares_namespace(pathname):
            m.__path__ += [p for p in (os.path.join(d, fqname.rpartition('.')[2]) for d in search)
                           if os.path.isdir(p) and not os.path.samefile(p, pathname)]
        fp, buf, stuff = self.find_module('__init__', m.__path__)
        try:
            self.load_module(fqname, fp, buf, stuff)
        finally:
            if fp:
                fp.close()
        return m

    def excluded(self, name):
        return below(name, self.excludes)


def identity(path):
    st = os.stat(path)
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
    without the standard library's test suites if `skip_tests`."""
    for path, dirs, files in walk(directory):
        relative = os.path.relpath(path, directory)
        prefix = package if relative == '.' else package + '.' + relative.replace(os.sep, '.')
        dirs[:] = sorted(d for d in dirs if IDENTIFIER.match(d)
                         and not (skip_tests and d in STDLIB_TESTS)
                         and any(os.path.isfile(os.path.join(path, d, '__init__' + s))
                                 for s in ('.py', '.pyc')))
        names = set()
        for f in files:
            stem, ext = os.path.splitext(f)
            if ext in ('.py', '.pyc', '.so') and IDENTIFIER.match(stem) and stem != '__init__':
                names.add(stem)
        for name in sorted(names) + dirs:
            yield prefix + '.' + name


def whole(directory, stdlib):
    """A package is copied whole when it holds anything but Python source
    and bytecode: extension modules, data files, and directories that are
    no packages, whose files are all data."""
    for path, dirs, files in walk(directory):
        dirs[:] = [d for d in dirs if d != '__pycache__' and not (stdlib and d in STDLIB_TESTS)]
        if files and not ('__init__.py' in files or '__init__.pyc' in files):
            return True
        if any(os.path.splitext(f)[1] not in ('.py', '.pyc', '.pyo') for f in files):
            return True
    return False


class Found(object):
    """The result: modules by name, the top-level packages copied whole
    (name: its directories), modules left out because they do not compile, and
    the program's own top-level modules, which ship beside the files of
    SOURCE's top level."""

    def __init__(self, modules, packages, broken, own):
        self.modules = modules
        self.packages = packages
        self.broken = broken
        self.own = own


def expand(finder, name, log, tests=False):
    """Adds a module, or a package with all its submodules (with the
    standard library's test suites only if `tests`). Returns False when
    the name itself cannot be found."""
    if finder.excluded(name):
        return True
    try:
        finder.import_hook(name)
    except ImportError:
        return False
    m = finder.modules.get(name)
    if m is not None and m.__path__:
        skip = is_stdlib(m.__file__) and not tests
        for sub in [s for d in m.__path__ for s in package_modules(name, d, skip)]:
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
    finder = Finder(search_path, source, options.exclude)
    path, text = startup
    try:
        finder.load_module('__startup__', StringIO.StringIO(text), path,
                           ('.py', 'r', imp.PY_SOURCE))
    except ImportError:
        raise Failure(finder.broken['__startup__'][1])
    for name, who in sorted(required.items()):
        if finder.excluded(name):
            raise Failure('module %s, %s, is left out by --exclude' % (name, who))
    lost = [name for name in sorted(required)
            if name not in finder.modules and not expand(finder, name, log)]
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
        roots = []
        for name, m in sorted(finder.modules.items()):
            roots += [n for n in HIDDEN.get(name, ()) if n not in done]
            if m.__path__ and '.' not in name and name not in packages:
                if any(whole(d, is_stdlib(m.__file__)) for d in m.__path__):
                    packages[name] = m.__path__
                    if name not in done:
                        roots.append(name)

    missing, _ = finder.any_missing_maybe()
    for name in missing:
        if (name in finder.modules or name in finder.broken or finder.excluded(name)
                or below(name, ALIASES)):
            continue
        importers = sorted(finder.badmodules[name])
        line = 'module %s, imported by %s, not found' % (name, ', '.join(importers))
        if not below(name, ELSEWHERE) and any(
                not is_stdlib(getattr(finder.modules.get(i), '__file__', None) or '')
                for i in importers if i in finder.modules):
            log.warn(line)
        else:
            log.detail(line)
    for name, (_, why) in sorted(finder.broken.items()):
        if name.split('.')[0] in packages:
            log.warn('%s does not compile, and ships as source: %s' % (name, why))
        else:
            log.warn('left out %s, which does not compile: %s' % (name, why))
    warn_unused(finder, source, log)
    home = os.path.realpath(source)
    own = set(name for name, m in finder.modules.items()
              if '.' not in name and name != '__startup__' and not m.__path__
              and (m.__file__ or '').endswith(('.py', '.pyc'))
              and os.path.dirname(os.path.realpath(m.__file__)) == home)
    return Found(finder.modules, packages, finder.broken, own)


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
