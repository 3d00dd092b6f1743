"""What reading a module's code tells the finder: where each of its
imports sits, and which of them are never followed.

Where an import sits decides what its absence means:
  module level  at the top of the module, unconditional: the module
                cannot be imported without it
  optional      in a `try:` statement with a handler of ImportError (or of
                any exception), its handlers and `else:` too: the module
                does without it, or has another way
  conditional   under `if`: another system's or version's branch; or in
                the handlers or `else:` of a `try:` statement that does
                not handle ImportError, which run only if its body fails,
                or only if it works (`try: compile(...)`, `except
                SyntaxError:`, `else: import feature`)
  delayed       inside a function: needed when, and if, it runs
Inside a function counts before a handler, a handler before an `if`.

Never followed:
- blocks that never run: `if False:`, `if 0:`, and the type checkers'
  `if TYPE_CHECKING:` and its spellings (NEVER below);
- `if __name__ == '__main__':` blocks of modules outside SOURCE, and the
  private functions only they call (see without_script);
- the optional-feature chains in habits.CHAINS: imports that lead from a module
  of the standard library, or of a third-party package that others vendor,
  to a large optional feature that a program uses only if it imports the
  feature itself, which it then ships.
"""

import ast
import bisect
import re
import types

from .habits import CHAINS

KINDS = ('module level', 'conditional', 'optional', 'delayed')  # weakest first

# Names of constants that are false whenever the program runs: the type
# checkers set them.
NEVER = frozenset(['TYPE_CHECKING', 'MYPY_CHECK_RUNNING'])

def text(node):
    """The string of a string constant as the interpreter takes a module's
    name: a byte string, or a unicode one (under unicode_literals) in the
    default encoding, ASCII; None for anything else."""
    s = node.s if isinstance(node, ast.Str) else node
    if isinstance(s, unicode):
        try:
            return s.encode('ascii')
        except UnicodeError:
            return None
    return s if isinstance(s, str) else None


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


def never(test):
    """True for the test of an `if` that never holds when the program runs."""
    if isinstance(test, ast.Name):
        return test.id in NEVER or test.id == 'False'
    if isinstance(test, ast.Attribute):
        return test.attr in NEVER
    return isinstance(test, ast.Num) and test.n == 0


# The fields of a statement that hold statements: imports and `if` are
# statements, so reading needs to go no deeper than these.
BODIES = ('body', 'orelse', 'handlers', 'finalbody')


def statements(node):
    """The statement lists directly inside a statement (or module)."""
    return [getattr(node, field) for field in BODIES
            if isinstance(getattr(node, field, None), list)]


def chained(node, ends):
    """True for an import statement that leads to one of `ends`."""
    if isinstance(node, ast.Import):
        return any(alias.name.split('.')[0] in ends for alias in node.names)
    return (isinstance(node, ast.ImportFrom) and node.level == 0
            and (node.module or '').split('.')[0] in ends)


def loaded(test):
    """The top-level module that the test of an `if` requires already
    imported (`if 'setuptools' in sys.modules:`), or None: the imports of it
    inside reuse what the program imported, and bring nothing."""
    if (isinstance(test, ast.Compare) and isinstance(test.left, ast.Str)
            and len(test.ops) == 1 and isinstance(test.ops[0], ast.In)
            and dotted(test.comparators[0]) == 'sys.modules'):
        return (text(test.left) or '').split('.')[0] or None
    return None


def flags(body):
    """The names that a statement list sets to True."""
    return set(t.id for n in body if isinstance(n, ast.Assign)
               and isinstance(n.value, ast.Name) and n.value.id == 'True'
               for t in n.targets if isinstance(t, ast.Name))


def prune_body(body, ends, removed, given=None):
    """A statement list without the blocks that never run and the imports
    of `ends`, which are added to `removed`; nor, in the body of an `if`
    that requires a module already imported, the imports of that module,
    nor any import in the body of an `if` on a flag that such a body sets
    True (`given`, which this fills): what they import serves a module
    the program imported itself (numpy.distutils' setuptools commands).
    An emptied list holds `pass`."""
    given = set() if given is None else given
    kept = []
    for node in body:
        if isinstance(node, ast.If) and never(node.test):
            removed.append(node)
            kept += prune_body(node.orelse, ends, removed, given) if node.orelse else []
            continue
        if chained(node, ends) or (isinstance(node, (ast.Import, ast.ImportFrom))
                                   and '*' in ends):
            removed.append(node)
            continue
        if isinstance(node, ast.If) and (loaded(node.test) or (
                isinstance(node.test, ast.Name) and node.test.id in given)):
            if loaded(node.test):
                given |= flags(node.body)
            inner = ('*',) if isinstance(node.test, ast.Name) else (loaded(node.test),)
            node.body = prune_body(node.body, tuple(ends) + inner, removed, given)
            node.orelse = prune_body(node.orelse, ends, removed, given) if node.orelse else []
            kept.append(node)
            continue
        for inner in statements(node):
            inner[:] = prune_body(inner, ends, removed, given) if inner else inner
        kept.append(node)
    if body and not kept:
        kept = [ast.copy_location(ast.Pass(), body[0])]
    return kept


def chain_ends(name):
    """The ends of the chains in CHAINS that start at the module `name`,
    or at the module of which it is a vendored copy."""
    return CHAINS.get(name.rpartition('._vendor.')[2], ())


def prune(tree, name):
    """Takes out of the module `name`'s tree what is never followed (but
    its main blocks, which without_script takes out where that applies);
    returns what was: (whether anything was, the modules that the chains
    of CHAINS cut off, which are left out on purpose)."""
    removed = []
    ends = chain_ends(name)
    tree.body = prune_body(tree.body, ends, removed)
    cut = [alias.name for node in removed if isinstance(node, ast.Import) and chained(node, ends)
           for alias in node.names] + \
          [node.module for node in removed if isinstance(node, ast.ImportFrom)
           and chained(node, ends)]
    return bool(removed), cut


def handles_import_error(handlers):
    for handler in handlers:
        names = handler.type.elts if isinstance(handler.type, ast.Tuple) else [handler.type]
        if any(n is None or (isinstance(n, ast.Name) and n.id in (
                'ImportError', 'Exception', 'BaseException')) or (
                isinstance(n, ast.Attribute) and n.attr == 'ImportError') for n in names):
            return True
    return False


def stronger(kind, other):
    return max(kind, other, key=KINDS.index)


def placed(tree):
    """Every statement of a module's tree, each with where it sits (KINDS),
    in the order of the source."""
    found = []

    def visit(node, kind):
        for body, inner in bodies(node, kind):
            for child in body:
                found.append((child, inner))
                visit(child, inner)

    visit(tree, 'module level')
    return found


def bodies(node, kind):
    """The statement lists directly inside a statement, each with where its
    statements sit: inside a function, delayed; in a `try:` statement that
    handles ImportError, optional (its `else:` runs only if the body's
    imports worked, a handler only if they did not: each is one of two
    ways); in the handlers and `else:` of any other `try:`, which run only
    on the body's outcome, and under `if`, conditional."""
    if isinstance(node, ast.FunctionDef):
        kind = stronger(kind, 'delayed')
    if isinstance(node, ast.TryExcept) and handles_import_error(node.handlers):
        kind = stronger(kind, 'optional')
    elif isinstance(node, ast.TryExcept):
        return [(node.body, kind)] + [(h.body, stronger(kind, 'conditional'))
                                      for h in node.handlers] + \
            [(node.orelse, stronger(kind, 'conditional'))]
    elif isinstance(node, ast.If):
        kind = stronger(kind, 'conditional')
    return [(body, kind) for body in statements(node)]


def package_of(name, is_package):
    return name if is_package else name.rpartition('.')[0]


def absolute(body):
    """True for a module, of statements `body`, that imports
    absolute_import from __future__: its imports are absolute."""
    return any(isinstance(node, ast.ImportFrom) and node.module == '__future__'
               and any(a.name == 'absolute_import' for a in node.names) for node in body)


def readings(module, level, package, absolute_only):
    """The absolute names of the module that an import statement imports,
    as the interpreter tries them: an implicit relative one (Python 2
    without absolute_import, in a package) is first the package's own
    module of that name, then the top-level one; an explicit relative one
    is its package's."""
    if level > 0:
        parts = package.split('.') if package else []
        return ['.'.join(parts[:len(parts) - level + 1] + ([module] if module else []))]
    if not module:
        return []
    return ([package + '.' + module] if package and not absolute_only else []) + [module]


def imports(statements, name, is_package):
    """({imported name: kind}, the names that only a from-import names,
    {absolute reading: package reading}) of a module's statements (placed),
    every name absolute: the module imported, and each name of a
    from-import below it (which may be a module or not); an implicit
    relative import gives both readings, the third value pairs them."""
    package = package_of(name, is_package)
    only = absolute(node for node, _ in statements)
    found = {}
    modules = set()
    twins = {}

    def add(names, kind, is_module=True):
        for module in names:
            found[module] = min(found.get(module, kind), kind, key=KINDS.index)
            if is_module:
                modules.add(module)
        if len(names) == 2:
            twins[names[1]] = names[0]

    for node, kind in statements:
        if isinstance(node, ast.Import):
            for alias in node.names:
                add(readings(alias.name, 0, package, only), kind)
        elif isinstance(node, ast.ImportFrom):
            bases = readings(node.module, node.level, package, only)
            add(bases, kind)
            for alias in node.names:
                if alias.name != '*':
                    add([base + '.' + alias.name for base in bases], kind, False)
    return found, set(found) - modules, twins


def module_level(body):
    """The statements of a module that bind its own names: those of its
    body and of the blocks in it (if, try, with, loops), not those of its
    functions and classes."""
    for node in body:
        yield node
        if not isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            for inner in statements(node):
                for found in module_level(inner):
                    yield found


def bindings(tree, name, is_package):
    """({name: its readings} of the names that a module binds to modules,
    or to what may be modules, at module level; the same of the names its
    imports bind anywhere, in functions too). A reading is (a module the
    interpreter would import, the attribute chain read from it, or ''),
    in the order the interpreter tries them: `import a.b` binds a to
    (a, ''), `import a.b as c` binds c to (a.b, ''), `from a import b as
    c` binds c to (a, 'b'), which is a module where a binds one as b; an
    assignment of such a name, or of an attribute chain of one, binds its
    target likewise (`json = _json`, `etree = xml.etree`)."""
    package = package_of(name, is_package)
    only = absolute(tree.body)
    top, anywhere = {}, {}

    def bind(node, bound):
        if isinstance(node, ast.Import):
            for alias in node.names:
                module = alias.name if alias.asname else alias.name.split('.')[0]
                bound[alias.asname or module] = [(r, '') for r in readings(module, 0, package, only)]
        elif isinstance(node, ast.ImportFrom):
            bases = readings(node.module, node.level, package, only)
            for alias in node.names:
                if alias.name != '*':
                    bound[alias.asname or alias.name] = [(base, alias.name) for base in bases]
        elif isinstance(node, ast.Assign):
            source = dotted(node.value) or ''
            root, rest = source.partition('.')[::2]
            if root in bound:
                for target in node.targets:
                    if isinstance(target, ast.Name):
                        bound[target.id] = [(module, '.'.join(filter(None, (attributes, rest))))
                                            for module, attributes in bound[root]]

    for node in module_level(tree.body):
        bind(node, top)
    for node in ast.walk(tree):
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            bind(node, anywhere)
    anywhere.update(top)
    return top, anywhere


def chains(statements, bound, text):
    """{dotted name: where it sits (KINDS)} of the attribute chains that a
    module, of source `text`, reads through the names it binds to modules
    (`bound`, bindings' second): six.moves.html_parser.HTMLParser read
    through `from compat import six`. Where a chain leads through a module
    that another module binds by name, the module it reaches is needed as
    if imported. Only the statements on whose lines such a name is
    followed by a dot are read: the expressions of one lie between its
    line and the next statement's."""
    found = {}
    if not bound:
        return found
    used = re.compile(r'\b(?:%s)\s*\.' % '|'.join(sorted(map(re.escape, bound))))
    lines = [n for n, line in enumerate(text.split('\n'), 1) if used.search(line)]

    def read(node, kind):
        chain = dotted(node) if isinstance(node, ast.Attribute) else None
        if chain and chain.split('.')[0] in bound:
            found[chain] = min(found.get(chain, kind), kind, key=KINDS.index)
            return
        for child in ast.iter_child_nodes(node):
            if not isinstance(child, (ast.stmt, ast.excepthandler)):
                read(child, kind)

    ends = [node.lineno for node, _ in statements[1:]] + [len(text)]
    for (node, kind), end in zip(statements, ends):
        at = bisect.bisect_left(lines, node.lineno)
        if at < len(lines) and lines[at] < max(end, node.lineno + 1):
            read(node, kind)
    return found


def six_moves(tree):
    """{name below six.moves: the Python 2 modules behind it}, read from
    a copy of six: its MovedModule(name, old, ...) and MovedAttribute(name,
    old_module, ...) entries, and the lists of the urllib submodules
    (_urllib_parse_moved_attributes and the like), which six.moves.urllib
    and six.moves.urllib.parse serve."""
    table = {}

    def entries(node):
        for call in ast.walk(node):
            if (isinstance(call, ast.Call) and isinstance(call.func, ast.Name)
                    and call.func.id in ('MovedModule', 'MovedAttribute')
                    and len(call.args) >= 2
                    and all(text(a) for a in call.args[:2])):
                yield text(call.args[0]), text(call.args[1])

    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(
                node.targets[0], ast.Name):
            target = node.targets[0].id
            if target.startswith('_urllib_') and target.endswith('_moved_attributes'):
                sub = 'urllib.' + target[len('_urllib_'):-len('_moved_attributes')]
                for _, old in entries(node.value):
                    table.setdefault(sub, set()).add(old)
                    table.setdefault('urllib', set()).add(old)
                continue
            for name, old in entries(node.value):
                table.setdefault(name, set()).add(old)
    return table


# Calls that import a module by name, and calls that list a directory,
# which a package does to find its own modules; a source without these
# words makes none of them.
IMPORT_CALLS = frozenset(['__import__', 'import_module', 'importlib.import_module',
                          'runpy.run_module', 'run_module'])
LISTING_CALLS = frozenset(['pkgutil.iter_modules', 'pkgutil.walk_packages', 'iter_modules',
                           'walk_packages', 'os.listdir', 'listdir', 'glob.glob'])


MAY_IMPORT_BY_NAME = re.compile(r'__import__|import_module|run_module|iter_modules|'
                                r'walk_packages|listdir|glob')


def strings(code):
    """The short strings among the constants of a code object and of the
    code inside it, unicode ones (unicode_literals) in ASCII."""
    found = set()
    todo = [code]
    while todo:
        for constant in todo.pop().co_consts:
            if isinstance(constant, basestring) and len(constant) < 80 and text(constant):
                found.add(text(constant))
            elif isinstance(constant, types.CodeType):
                todo.append(constant)
    return found


def dotted(node):
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        inner = dotted(node.value)
        return inner and inner + '.' + node.attr
    return None


def by_name(tree, name, is_package):
    """The modules and packages that a module imports by name: a constant
    name is that module; a name built on a constant prefix ('pkg.sub.' +
    x) is every module of that package; any other computed name, and a
    listing of the module's own directory (__file__, __path__), is every
    module of the module's own package. None stands for a computed name
    in a module of no package, which cannot be decided."""
    package = name if is_package else name.rpartition('.')[0]
    found = set()
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call) or not node.args:
            continue
        call, first = dotted(node.func), node.args[0]
        if call in IMPORT_CALLS:
            if text(first):
                found.add(text(first))
            elif (isinstance(first, ast.BinOp) and isinstance(first.op, ast.Add)
                  and (text(first.left) or '').endswith('.')):
                found.add(text(first.left)[:-1])
            else:
                found.add(package or None)
        elif call in LISTING_CALLS and package and any(
                isinstance(n, ast.Name) and n.id in ('__file__', '__path__')
                for n in ast.walk(first)):
            found.add(package)
    return found


# Calls that load a shared library by name: ctypes' find_library, which
# answers with the library's soname, and the loaders, which take a soname,
# or a bare name, which cffi's dlopen hands to find_library; a source
# without these words makes none of them.
LIBRARY_CALLS = frozenset(['find_library', 'CDLL', 'PyDLL', 'LoadLibrary', 'dlopen'])
MAY_LOAD_LIBRARY = re.compile(r'find_library|CDLL|PyDLL|LoadLibrary|dlopen')


def libraries(tree):
    """The shared libraries that a module loads by constant names: the
    sonames ('libmagic.so.1') and names for find_library ('magic') among
    the arguments of those calls, also of a helper of the module's own
    of such a name (cairocffi's dlopen(ffi, 'cairo', 'cairo-2')). A path
    is a file of its package's own, which ships with it."""
    return set(text(a) for n in ast.walk(tree)
               if isinstance(n, ast.Call)
               and (dotted(n.func) or '').rpartition('.')[2] in LIBRARY_CALLS
               for a in n.args if text(a) and '/' not in text(a))


# Calls that take a package's __path__ and know archives: pkgutil's.
PATH_CALLS = frozenset(['pkgutil.extend_path', 'extend_path', 'pkgutil.iter_modules',
                        'iter_modules', 'pkgutil.walk_packages', 'walk_packages'])


def hands_out_path(tree):
    """True for a module that gives its package's __path__ to a call that
    may take it for a directory, as pylint lists its checkers
    (register_plugins(linter, __path__[0])): the package must then be a
    directory, not a path inside an archive."""
    return any(isinstance(n, ast.Call) and dotted(n.func) not in PATH_CALLS
               and any(isinstance(m, ast.Name) and m.id == '__path__'
                       for arg in n.args + [k.value for k in n.keywords] for m in ast.walk(arg))
               for n in ast.walk(tree))
