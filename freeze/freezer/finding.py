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
  packages, since any of its modules may be imported by name; one
  that hands its __path__ to a call (pylint lists its checkers' directory)
  is copied whole too, so that the directory is one;
- a module that a reached module names by its full dotted name in a
  string (a loader's "ansible.plugins.test") is reached;
- names that modules bind to modules lead to those modules, and the
  names that a copy of six serves to the modules of its table (module
  binding);
- what nothing reaches may be left out, and only that; what is, the
  application records (module leaving).
"""

import ast
import imp
import os
import re
import StringIO

from . import reading
from .binding import moved, six_of, through
from .finder import Finder, below
from .habits import (ALWAYS, BUILD_HELPERS, EVERY_USE, HIDDEN, LIBRARIES, PLUGIN_PACKAGES,
                     TESTS)
from .interpreter import inside, is_stdlib
from .leaving import on_purpose, unreached
from .log import Failure
from .metadata import plugins
from .walking import IDENTIFIER, is_test_package, package_modules, whole


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
    modules it starts from, what is left out on purpose {name: why}
    (module leaving), the modules that only runs of --record found {name:
    run}, and the shared libraries that modules load by name {module:
    names}; the finder, which knows what is missing."""

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
        for sub in [s for d in m.__path__
                    for s in package_modules(name, d, not tests, finder.tests)]:
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


def in_strings(finder, reach):
    """The modules that the modules of `reach` name by their full dotted
    name in a string, below a package that ships: a plug-in's
    "twisted.web.tap", a loader's "ansible.plugins.test", a setting's
    "app.middleware.Timing" (the longest head of it that is a module); but
    the standard library's test suites ("json.tests" would bring all of
    its test package)."""
    found = set()
    for importer in reach:
        for name in finder.named.get(importer, ()):
            parts = name.split('.')
            if parts[0] not in finder.modules or name in finder.modules:
                continue
            for i in range(len(parts), 1, -1):
                head = '.'.join(parts[:i])
                if head in finder.modules:
                    break
                where = not finder.excluded(head) and finder.locate(head)
                if where:
                    # The standard library's test suites are no program's.
                    if not (is_stdlib(where) and set(parts[:i]) & TESTS):
                        found.add(head)
                    break
    return sorted(found)


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
                           for n in names) - done) + in_strings(finder, reach)
        by_name = set(n for i, names in finder.by_name.items()
                      if i in reach and not below(i, BUILD_HELPERS) for n in names if n)
        full |= by_name
        bound = through(finder, reach)
        roots = [n for n in moved(finder) + bound + plugins(finder) + sorted(by_name)
                 if n not in done]
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
    left = on_purpose(finder, unreached(finder), options.exclude, log)

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
    """(the top-level modules and packages of SOURCE, its test suites): its
    test packages and its modules test_*.py and *_test.py are the tests;
    setup.py and conftest.py are neither."""
    names, tests = [], []
    for entry in sorted(os.listdir(source) if source else []):
        path = os.path.join(source, entry)
        stem, ext = os.path.splitext(entry)
        if os.path.isdir(path):
            if IDENTIFIER.match(entry) and os.path.isfile(os.path.join(path, '__init__.py')):
                (tests if is_test_package(path) else names).append(entry)
        elif (ext == '.py' and IDENTIFIER.match(stem)
              and stem not in ('__startup__', 'setup', 'conftest')):
            (tests if stem.startswith('test_') or stem.endswith('_test') else names).append(stem)
    return names, tests


def ship_source(finder, source, log):
    """SOURCE is the program: every module and package of it ships, what it
    imports followed, whether or not reading finds it imported (settings
    named in the environment, applications named in settings). A module
    of it that does not compile ships as it is, and importing it raises
    SyntaxError, as under the interpreter: one of the top level beside the
    others, one of a package with the package copied whole. Returns those
    packages {name: directories}."""
    names, tests = source_modules(source)
    for name in names:
        if not finder.excluded(name):
            expand(finder, name, log)
    finder.tests.update(tests)
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
