"""Walking installed directories as the interpreter reads them: links
followed but never in a loop, test suites told from modules of their
names, and the packages that must be copied whole told from the rest."""

import os
import re

from .habits import TEST_FRAMEWORK, TESTS, WINDOWS_ONLY

IDENTIFIER = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')


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
