"""Finding the modules a program needs.

The standard library's modulefinder reads the bytecode of every module it
reaches and follows its imports (module finder, which reads each module;
module walking, the directories of packages). On top of it:
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
import os
import re
import StringIO

from . import reading
from .finder import Finder, below
from .habits import (ALWAYS, BUILD_HELPERS, EVERY_USE, HIDDEN, LIBRARIES, PLUGIN_PACKAGES,
                     TESTS, VENDORED)
from .interpreter import inside
from .log import Failure
from .metadata import plugins
from .walking import IDENTIFIER, is_test_suite, package_modules, whole


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


class Found(object):
    """The result: modules by name, the top-level packages copied whole
    (name: its directories), modules left out because they do not compile,
    the program's own top-level modules, which ship beside the files of
    SOURCE's top level, the modules that every start imports, the
    modules it starts from, what only modules that nothing reaches
    import, left out {name: importer}, the modules that only runs of
    --record found {name: run}, and the shared libraries that modules
    load by name {module: names}; the finder, which knows what is
    missing."""

    def __init__(self, finder, packages, own, starting, starts, left, recorded):
        self.finder = finder
        self.modules = finder.modules
        self.packages = packages
        self.broken = finder.broken
        self.own = own
        self.starting = starting
        self.starts = starts
        self.left = left
        self.recorded = recorded
        self.libraries = dict(
            (name, finder.libraries.get(name, set()) | set(LIBRARIES.get(name, ())))
            for name in set(finder.libraries) | set(LIBRARIES) if name in finder.modules)


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


def find(startup, required, search_path, source, options, recorded, log):
    """Finds what the program needs. `startup` is (path, text) of the
    __startup__ module, `required` the modules that must be found, each
    with who needs it, `recorded` the modules that runs of --record
    imported, each with the run."""
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
    added = {}  # what runs of --record reached that nothing else finds: name: run
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
            # Then what the runs of --record imported, as reached as the rest.
            late = sorted(set(recorded) - done)
            for name in late:
                if name not in finder.modules and not finder.excluded(name) and finder.add(name):
                    added[name] = recorded[name]
                    log.detail('module %s, which --record %s reached' % (name, recorded[name]))
            done.update(n for n in late if n in finder.modules)
            if not any(n in finder.modules for n in late):
                break
    left = unreached(finder, log)

    starts = ['__startup__'] + sorted(required)
    home = source and os.path.realpath(source)
    own = set(name for name, m in finder.modules.items()
              if '.' not in name and name != '__startup__' and not m.__path__
              and (m.__file__ or '').endswith(('.py', '.pyc'))
              and os.path.dirname(os.path.realpath(m.__file__)) == home)
    every_use = dict((importer, [n for n in finder.modules if re.match(pattern, n)])
                     for importer, pattern in EVERY_USE.items())
    starting = needed(finder, starts, ('module level', 'conditional', 'optional'), every_use)
    return Found(finder, packages, own, starting, starts, left, added)


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
