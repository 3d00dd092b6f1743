"""What is left out on purpose, and why: the application records it, and
a frozen program's import of such a name says how to bring it back.

A module ships with everything it imports unconditionally at module
level (its closure), whatever brought it in: no rule ships part of a
package's import graph. What nothing reaches may be left out, and only
that:
- a module of a package copied whole that nothing reaches ships with its
  package where its closure can: the modules that would ship for it
  alone are each pure Python of at most SMALL bytes. Else it is left out,
  with what it imports (a GUI client inside a networking framework
  brings no Tk and X11, nor ships without them). What it imports
  otherwise (in functions, under `if` or `try`) ships on the same terms,
  or is left out;
- test packages of packages read whole (walking.is_test_package), which
  nothing imports or names;
- what the optional-feature chains of habits.CHAINS cut off, and what
  --exclude names.
"""

import os

from .binding import six_of
from .walking import package_modules

# The largest pure-Python module that a module nothing reaches may bring
# with it: a package copied whole may need it at run time, and it costs
# little.
SMALL = 20000


def required(finder, name):
    """The modules that importing `name` imports for certain: its package,
    and what it imports unconditionally at module level that is a module
    here, of an implicit relative import the reading the interpreter
    takes (its package's module, where there is one)."""
    parent = name.rpartition('.')[0]
    twins = finder.twins.get(name, {})
    names = [parent] if parent else []
    names += [n for n, kind in finder.kinds.get(name, {}).items() if kind == 'module level'
              and (n not in finder.from_names.get(name, ()) or finder.locate(n))
              and not (n in twins and finder.locate(twins[n]))]
    return [n for n in names if not finder.excluded(n) and not six_of(finder, n)]


def small(path):
    """True for a module, of file `path`, that may ship for a module that
    nothing reaches: pure-Python source of at most SMALL bytes, or a
    namespace package that has no __init__ at all."""
    return (path.endswith('.py') and os.path.isfile(path) and os.path.getsize(path) <= SMALL
            or os.path.isdir(path))


def unreached(finder):
    """Settles what the modules that nothing reaches (finder.deferred)
    bring: each small pure-Python module they import is read (shallow);
    a module whose closure holds one that is not so (and is here) is left
    out, and what only such modules import. Returns what is left out,
    {name: why}."""
    members = set(finder.deferred)
    by = {}  # what they import that is here: {name: an importer}
    large = set()  # what of it cannot ship for them
    scanned = set()
    while set(finder.deferred) - scanned:
        todo = {}
        for importer in sorted(set(finder.deferred) - scanned):
            scanned.add(importer)
            twins = finder.twins.get(importer, {})
            for name in sorted(finder.kinds.get(importer, {})):
                if (name not in finder.modules and name not in by and not finder.excluded(name)
                        and not (name in twins and finder.locate(twins[name]))):
                    todo.setdefault(name, importer)
        for name, importer in sorted(todo.items()):
            where = finder.locate(name)
            if where is not None and name not in finder.modules:
                by[name] = importer
                if not small(where) or not finder.add(name, shallow=True):
                    large.add(name)
    # A module is left out when its closure holds one that cannot ship:
    # until nothing changes, as modules import each other.
    added = set(finder.deferred) - members
    out = dict((name, name) for name in added
               if not small(finder.modules[name].__file__ or ''))
    changed = True
    while changed:
        changed = False
        for name in sorted(set(finder.deferred) - set(out)):
            blocking = [n for n in required(finder, name) if n in out or n in large]
            if blocking:
                out[name] = blocking[0]
                changed = True
    # What ships: the members that can, and what they import, of any kind,
    # that can ship for them.
    keep = set()
    todo = sorted(members - set(out))
    while todo:
        name = todo.pop()
        if name not in keep:
            keep.add(name)
            todo += [n for n in finder.kinds.get(name, {}).keys() + [name.rpartition('.')[0]]
                     if n in added and n not in out]
    for name in sorted(set(finder.deferred) - keep):
        finder.modules.pop(name)
        finder.deferred.pop(name)
    left = dict((name, 'only %s imports it, which nothing reaches' % importer)
                for name, importer in by.items() if name not in keep)
    left.update((name, 'nothing reaches it, and it needs %s, which ships only where something '
                       'does' % out[name]) for name in members & set(out))
    return left


def on_purpose(finder, left, excludes, log):
    """Adds to `left` the rest of what is left out on purpose: test
    packages, what chains cut off, each where it is a module here, and
    what --exclude names. --verbose lists them all."""
    for name in sorted(finder.tests):
        m = finder.modules.get(name)
        if m is None:
            left.setdefault(name, 'a test suite')
        elif m.__path__:
            # Of a test package that something reaches, the rest stays out.
            left.update((sub, 'a test suite') for d in m.__path__
                        for sub in package_modules(name, d, False) if sub not in finder.modules)
    for name, importer in sorted(finder.cut.items()):
        if name not in finder.modules and finder.locate(name):
            left.setdefault(name, 'an optional feature of %s' % importer)
    for name in excludes:
        left.setdefault(name, '--exclude %s' % name)
    for name, why in sorted(left.items()):
        log.detail('module %s left out: %s' % (name, why))
    return left
