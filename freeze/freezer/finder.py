"""The finder: the standard library's modulefinder, which reads the
bytecode of every module it reaches and follows its imports, with what
reading a module's source tells besides (module reading), extension
modules read for the names their C code imports, modules that do not
compile recorded rather than fatal, and namespace packages taken in as
the interpreter takes them in at run time."""

import ast
import imp
import marshal
import modulefinder
import os
import re
import struct
import types

from . import reading
from .habits import TESTS
from .interpreter import inside, is_stdlib
from .walking import is_package

# A string of a module that may name a module by its full name.
DOTTED = re.compile(r'[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)+\Z')
# A string of an extension module that may name a module: NUL-terminated,
# dotted identifiers.
NAME_IN_C = re.compile(r'(?<=\0)[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*(?=\0)')


def below(name, names):
    """True if the module `name` is one of `names` or lies below one."""
    return any(name == n or name.startswith(n + '.') for n in names)


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
        self.libraries = {}  # module outside the standard library: libraries it loads by name
        self.twins = {}  # module name: {absolute reading: package reading} of implicit relative imports
        self.bound = {}  # module outside the standard library: {name: readings} at module level
        self.roots = {}  # the same: {name: readings} of its imports anywhere, and bound
        self.chains = {}  # module outside the standard library: {attribute chain: kind}
        self.cut = {}  # modules that an optional-feature chain cut off: {name: importer}
        self.tests = set()  # test packages passed over in packages read whole
        self.located = {}  # module name: its file along the search path, or None

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
        pruned, cut = reading.prune(tree, fqname)
        pristine = not pruned
        for name in cut:
            self.cut.setdefault(name, fqname)
        if not inside(pathname, self.source):
            body = reading.without_script(tree.body)
            pristine = pristine and len(body) == len(tree.body)
            tree.body = body
        return tree, (pristine and cached(pathname)) or compile(tree, pathname, 'exec', 0, True), \
            pristine

    def read(self, fqname, text, tree, code, pathname):
        """Records what reading a module's source tells."""
        is_package = os.path.basename(pathname) == '__init__.py'
        statements = reading.placed(tree)
        self.kinds[fqname], self.from_names[fqname], self.twins[fqname] = reading.imports(
            statements, fqname, is_package)
        if not is_stdlib(pathname):
            self.bound[fqname], self.roots[fqname] = reading.bindings(tree, fqname, is_package)
            self.chains[fqname] = reading.chains(statements, self.roots[fqname], text)
            if reading.MAY_IMPORT_BY_NAME.search(text):
                self.by_name[fqname] = reading.by_name(tree, fqname, is_package)
            strings = reading.strings(code)
            self.strings.update(strings)
            self.named[fqname] = set(n for n in strings if DOTTED.match(n))
            if '__path__' in text and reading.hands_out_path(tree):
                self.directories.add(fqname)
            if reading.MAY_LOAD_LIBRARY.search(text):
                self.libraries[fqname] = reading.libraries(tree)

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
        declared = not is_package(pathname)
        if declared or declares_namespace(pathname):
            m.__path__ += [p for p in (os.path.join(d, fqname.rpartition('.')[2]) for d in search)
                           if os.path.isdir(p) and not os.path.samefile(p, pathname)]
        if declared:
            # No __init__: the .pth file makes the module when Python starts;
            # the application gets an empty one instead.
            m.__code__ = compile('', os.path.join(pathname, '__init__.py'), 'exec')
            m.declared = True
            self.kinds[fqname], self.from_names[fqname], self.twins[fqname] = {}, set(), {}
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

    def locate(self, name):
        """The file of the module `name` along the search path (a package's
        __init__.py or .pyc, or the directory of one that has neither), or
        None; looked for once."""
        if name not in self.located:
            self.located[name] = self.look_for(name)
        return self.located[name]

    def look_for(self, name):
        path = None
        parts = name.split('.')
        for i, part in enumerate(parts):
            try:
                f, where, (_, _, kind) = self.find_module(part, path)
            except ImportError:
                return None
            if f:
                f.close()
            if kind == imp.PKG_DIRECTORY:
                path = [where]
                inits = [os.path.join(where, '__init__' + e) for e in ('.py', '.pyc')]
                where = ([i for i in inits if os.path.isfile(i)] + [where])[0]
            elif i < len(parts) - 1:
                return None
        return where
