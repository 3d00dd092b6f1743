"""Packages copied whole, as installed: those that hold extension
modules or data files, which their code finds beside it."""

import os

from .compiling import code_bytes
from .finder import below
from .habits import WINDOWS_ONLY
from .placing import is_extension
from .walking import IDENTIFIER, is_package, is_test_package, walk


def shadowed(directory, stem, files):
    """True if the interpreter imports something else than the source
    stem.py of `directory`, whose files are `files`: a package or an
    extension module of that name, which it looks for first."""
    return (stem + '.so' in files or stem + 'module.so' in files
            or is_package(os.path.join(directory, stem)))


def place(placer, found, exclude, include, source_dir):
    for name, directories in sorted(found.packages.items()):
        placer.log.detail('package %s -> lib/%s/ (copied whole)' % (name, name))
        for directory in directories:
            package(placer, name, directory, found, exclude, include, source_dir)
        placer.counts['packages'] += 1
    # A namespace package that a *-nspkg.pth file makes when Python
    # starts has no __init__ on disk: the application has no .pth files.
    for name, m in sorted(found.modules.items()):
        if getattr(m, 'declared', False) and name.split('.')[0] in found.packages:
            relative = 'lib/%s/__init__.py' % name.replace('.', '/')
            data = code_bytes(compile('', relative, 'exec', 0, True), placer.when)
            placer.members[relative + 'c'] = name, data
            placer.write(os.path.join(placer.root, relative + 'c' * placer.compiled),
                         data if placer.compiled else '')


def package(placer, name, directory, found, exclude, include, source_dir):
    """Copies a package as installed, links followed (those that lead
    out of SOURCE `source_dir`, for a package of it, else out of the
    package, named in a warning): sources with their bytecode,
    bytecode-only modules, extension modules, and every other file as it
    is; every file of a directory that is not a package is data. Not
    what `exclude` names, nor the test packages that the finder left out,
    nor a directory of test suites that is no package and that `include`
    does not name. A module that the finder left out otherwise (nothing
    reaches it, and it needs what does not ship) ships as a file, without
    bytecode: programs that send such files elsewhere, or list them, find
    them, and importing one fails saying why."""
    loops = []
    relative = os.path.relpath(directory, source_dir) if source_dir else os.pardir
    top, what = ((directory, 'its package ' + directory)
                 if relative.split(os.sep)[0] == os.pardir else (source_dir, 'SOURCE'))
    for path, dirs, files in walk(directory, loops):
        placer.log.status('copying %s' % name)
        relative = os.path.normpath(os.path.relpath(path, directory))
        parts = [name] + ([] if relative == '.' else relative.split(os.sep))
        dotted = '.'.join(parts)
        in_package = is_package(path)
        if below(dotted, exclude) or (dotted in found.finder.tests and dotted in found.left) or (
                not in_package and is_test_package(path) and not below(dotted, include)):
            dirs[:] = []
            continue
        target = os.path.join(placer.lib, *parts)
        placer.mkdir(target)
        for f in sorted(files):
            stem, ext = os.path.splitext(f)
            module = '.'.join(parts + ([] if stem == '__init__' else [stem]))
            source = os.path.join(path, f)
            display = '/'.join(parts + [f])
            if not os.path.exists(source):
                placer.log.warn('%s is a link to nothing: left out' % source)
                continue
            if ext in WINDOWS_ONLY:
                placer.log.detail('file lib/%s left out: a Windows program' % display)
                continue
            if ext == '.py' and placer.compiled and (
                    not in_package or not IDENTIFIER.match(stem) or shadowed(path, stem, files)
                    or module in found.left):
                placer.log.detail('file lib/%s left out: no sources ship' % display)
            elif not in_package or not IDENTIFIER.match(stem):
                placer.copy(source, os.path.join(target, f))
                placer.counts['files'] += 1
                placer.log.detail('file lib/%s' % display)
            elif below(module, exclude) or ext == '.pyo' or (ext == '.pyc'
                                                             and stem + '.py' in files):
                continue
            elif ext == '.py' and module in found.left:
                placer.copy(source, os.path.join(target, f), 0o644)
                placer.log.detail('file lib/%s (module %s left out)' % (display, module))
            elif module in found.left:
                continue
            elif ext == '.py' and shadowed(path, stem, files):
                # No bytecode: _boot would take it for what the name imports.
                placer.copy(source, os.path.join(target, f), 0o644)
                placer.log.detail('file lib/%s (a package or extension module of that '
                                'name is imported instead)' % display)
            elif ext == '.py':
                placer.module_file(source, 'lib/' + display, module, found.modules.get(module))
                placer.log.detail('module %s -> lib/%s' % (module, display))
            elif ext == '.pyc':
                placer.copy(source, os.path.join(target, f), 0o644)
                placer.log.detail('module %s -> lib/%s (bytecode only)' % (module, display))
            elif is_extension(f):
                placer.copy(source, os.path.join(target, f), 0o755)
                placer.counts['extensions'] += 1
                placer.log.detail('extension module %s -> lib/%s' % (module, display))
            else:
                placer.copy(source, os.path.join(target, f))
                placer.counts['files'] += 1
                placer.log.detail('file lib/%s' % display)
            placer.linked(source, top, what)
    for loop in loops:
        placer.log.warn('%s leads back to a directory that holds it: left out' % loop)
