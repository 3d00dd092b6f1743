"""What names lead to: a name that a module binds to a module is that
module wherever it is read from, and a copy of six serves modules by the
names of its table.

- A module imported under another name (`import simplejson as json`),
  taken from another module (`from botocore.compat import six`, where
  botocore.compat imported it from botocore.vendored) or assigned at
  module level (`yaml = _yaml`) is the module it names: the attribute
  chains read through such a name (`six.moves.html_parser.HTMLParser`,
  `compat.json.dumps`) and the names imported from a module that binds
  them are resolved as the interpreter follows them, and the module they
  reach is one the reader imports, where it sits (reading.KINDS).
- The Python 2 modules behind the names that a copy of six serves under
  six.moves (also through an import hook of habits.VENDORED) are read
  from that copy's own table.
"""

import ast
import re

from . import reading
from .habits import VENDORED

# How many names a chain may lead through: more is a loop of names.
HOPS = 16


def chosen(finder, readings):
    """The name that the first of `readings` (module, attribute chain)
    whose module is here stands for, as the interpreter tries them; None
    if none is."""
    for module, attributes in readings:
        if module in finder.modules or finder.locate(module):
            return '.'.join(filter(None, (module, attributes)))
    return None


def resolve(finder, name):
    """The dotted `name` as the interpreter follows it: wherever a part of
    it is an attribute of a module (the longest module before it) that
    the module binds at module level to another name, that name instead,
    and so on. A submodule of that name comes before a binding."""
    parts = name.split('.')
    for _ in range(HOPS):
        heads = [i for i in range(len(parts) - 1, 0, -1) if '.'.join(parts[:i]) in finder.modules]
        if not heads:
            break
        i = heads[0]
        head = '.'.join(parts[:i])
        target = chosen(finder, finder.bound.get(head, {}).get(parts[i], ()))
        if (not target or target == head + '.' + parts[i]
                or finder.locate(head + '.' + parts[i])):
            break
        parts = target.split('.') + parts[i + 1:]
    return '.'.join(parts)


def module_of(finder, name):
    """The longest module at the head of a dotted name, found or to be
    found; None if there is none."""
    parts = name.split('.')
    for i in range(len(parts), 0, -1):
        head = '.'.join(parts[:i])
        if head in finder.modules or finder.locate(head):
            return head
    return None


def through(finder, reach):
    """Adds to each module's imports (finder.kinds) the modules that it
    reaches through names that modules bind to modules: its attribute
    chains and the names it imports from modules, where they lead
    elsewhere than they are spelled, each of the kind where it sits; and
    the names below six.moves that they reach. Returns the modules that
    the modules of `reach` reach so and that are not found yet."""
    new = set()
    for importer, chains in sorted(finder.chains.items()):
        kinds = finder.kinds[importer]
        roots = finder.roots[importer]
        names = {}
        for chain, kind in chains.items():
            root = chain.split('.')[0]
            spelled = chosen(finder, roots[root])
            if spelled:
                names[spelled + chain[len(root):]] = kind
        names.update((n, kinds[n]) for n in finder.from_names.get(importer, ())
                     if n.rpartition('.')[0] in finder.modules)
        for name, kind in sorted(names.items()):
            target = resolve(finder, name)
            if not six_of(finder, target):
                if target == name:
                    continue
                target = module_of(finder, target)
                if target is None:
                    continue
                if importer in reach and target not in finder.modules:
                    new.add(target)
            if target not in kinds or reading.KINDS.index(kind) < reading.KINDS.index(kinds[target]):
                kinds[target] = kind
    return sorted(new)


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
