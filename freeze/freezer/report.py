"""Telling the user what is missing: the modules that cannot be found or
do not compile, by where their imports sit.
"""

import os

from . import reading
from .finder import below
from .binding import six_of
from .finding import needed
from .habits import ALIASES, ELSEWHERE, LOADS_ENTRY_POINTS
from .interpreter import is_stdlib


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


def missing(finder, packages, roots, log):
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
    for name in sorted(finder.unsure):
        log.warn('extension module %s imports from its C code: what its strings name ships, and '
                 '--include MODULE ships a module whose name it builds' % name)
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
