"""Walking installed directories as the interpreter reads them: links
followed but never in a loop, test suites told from packages of their
names, and the packages that must be copied whole told from the rest."""

import os
import re

from .habits import TEST_MODULE, TESTS, WINDOWS_ONLY

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


def is_package(directory):
    """True for a directory that holds a package's __init__, source or
    bytecode."""
    return any(os.path.isfile(os.path.join(directory, '__init__' + e)) for e in ('.py', '.pyc'))


def is_test_package(directory, known={}):
    """True for a directory named like a test package (habits.TESTS) that
    holds a suite of tests: a module of its tree named as test runners
    find tests (habits.TEST_MODULE). One that holds none is a package like
    any other: ansible's template tests, its plugins/test, are plug-ins,
    and a web framework's `test` package its test client. Looked at
    once."""
    if os.path.basename(os.path.normpath(directory)) not in TESTS:
        return False
    if directory not in known:
        known[directory] = any(TEST_MODULE.match(f) for _, _, files in walk(directory)
                               for f in files)
    return known[directory]


def package_modules(package, directory, skip_tests, skipped=None):
    """Every module and subpackage below a package directory, by name;
    without its test packages if `skip_tests`, whose names are added to
    `skipped`."""
    for path, dirs, files in walk(directory):
        relative = os.path.relpath(path, directory)
        prefix = package if relative == '.' else package + '.' + relative.replace(os.sep, '.')
        dirs[:] = sorted(d for d in dirs if IDENTIFIER.match(d)
                         and is_package(os.path.join(path, d)))
        if skip_tests:
            tests = [d for d in dirs if is_test_package(os.path.join(path, d))]
            dirs[:] = [d for d in dirs if d not in tests]
            if skipped is not None:
                skipped.update(prefix + '.' + d for d in tests)
        names = set()
        for f in files:
            stem, ext = os.path.splitext(f)
            if ext in ('.py', '.pyc', '.so') and IDENTIFIER.match(stem) and stem != '__init__':
                names.add(stem)
        for name in sorted(names) + dirs:
            yield prefix + '.' + name


def whole(directory):
    """A package is copied whole when it holds anything but Python source
    and bytecode: extension modules, data files, and directories that are
    no packages, whose files are all data."""
    for path, dirs, files in walk(directory):
        dirs[:] = [d for d in dirs if d != '__pycache__'
                   and not is_test_package(os.path.join(path, d))]
        if files and not ('__init__.py' in files or '__init__.pyc' in files):
            return True
        if any(os.path.splitext(f)[1] not in ('.py', '.pyc', '.pyo') + WINDOWS_ONLY
               for f in files):
            return True
    return False
