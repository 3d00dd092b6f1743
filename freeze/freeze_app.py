#!/usr/bin/env python2.7
"""Assembles a frozen application directory from a Python 2.7 package.

usage: freeze-app [--name NAME] [--launcher FILE] [--force] SOURCE OUTPUT

SOURCE holds __startup__.py, which defines run(), and the application's own
modules and packages. OUTPUT becomes:

  OUTPUT/NAME                  the launcher (NAME defaults to OUTPUT's name)
  OUTPUT/libpython2.7.so.1.0   the interpreter library, copied
  OUTPUT/lib/library.zip       bytecode of __startup__, of the application
                               and of every standard module it imports
  OUTPUT/lib/*.so              the extension modules it imports
  OUTPUT/lib/python2.7/        codecs and encodings, which the interpreter
                               looks up under its home while it starts

Run it with the Python 2.7 whose library and modules are to be frozen.
"""

import ast
import modulefinder
import optparse
import os
import py_compile
import shutil
import sys
import sysconfig
import tempfile
import zipfile

# Provided under lib/python2.7 rather than in the archive.
BOOT_MODULES = ('codecs', 'encodings')
# Fixed time stamp for archive members, so that equal input gives an equal archive.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


class Failure(Exception):
    pass


def check_startup(source):
    """Fails unless SOURCE/__startup__.py compiles and binds run at top level."""
    path = os.path.join(source, '__startup__.py')
    if not os.path.isfile(path):
        raise Failure('no __startup__.py in %s' % source)
    with open(path) as f:
        text = f.read()
    try:
        tree = ast.parse(text, path)
    except SyntaxError as e:
        raise Failure('%s:%s: %s' % (path, e.lineno, e.msg))
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name == 'run':
            return path
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == 'run' for t in node.targets):
            return path
        if isinstance(node, (ast.Import, ast.ImportFrom)) and any(
                (a.asname or a.name) == 'run' for a in node.names):
            return path
    raise Failure('%s defines no run()' % path)


def find_modules(source, startup):
    """Returns the modules that __startup__ needs, found from SOURCE first."""
    finder = modulefinder.ModuleFinder(path=[source] + sys.path[1:])
    try:
        finder.load_file(startup)
    except SyntaxError as e:
        raise Failure('%s:%s: %s' % (e.filename, e.lineno, e.msg))
    source = os.path.realpath(source)
    missing, _ = finder.any_missing_maybe()
    for name in missing:
        importers = [finder.modules[i].__file__ for i in finder.badmodules[name]
                     if i in finder.modules and finder.modules[i].__file__]
        own = [f for f in importers if os.path.realpath(f).startswith(source + os.sep)]
        if own:
            raise Failure('module %s, imported by %s, cannot be found' % (name, own[0]))
    return finder.modules.values()


def is_boot(name):
    return name.split('.')[0] in BOOT_MODULES


def compile_to(path, target, display):
    try:
        py_compile.compile(path, target, display, doraise=True)
    except py_compile.PyCompileError as e:
        raise Failure(e.msg.strip())


def archive_name(module):
    base = module.__name__.replace('.', '/')
    return base + '/__init__.pyc' if module.__path__ else base + '.pyc'


def build_archive(modules, archive, scratch):
    members = {}
    for module in modules:
        path = module.__file__
        if not path or is_boot(module.__name__) or path.endswith('.so'):
            continue
        name = archive_name(module)
        if path.endswith('.py'):
            compiled = os.path.join(scratch, name)
            if not os.path.isdir(os.path.dirname(compiled)):
                os.makedirs(os.path.dirname(compiled))
            compile_to(path, compiled, name[:-1])
            path = compiled
        members[name] = path
    with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as z:
        for name in sorted(members):
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(members[name], 'rb') as f:
                z.writestr(info, f.read())


def copy_extensions(modules, lib):
    # The archive is compressed: zipimport needs zlib to read it.
    dynload = os.path.join(sysconfig.get_path('stdlib'), 'lib-dynload')
    files = {'zlib': os.path.join(dynload, 'zlib.so')}
    for module in modules:
        if module.__file__ and module.__file__.endswith('.so'):
            if '.' in module.__name__:
                raise Failure('extension module %s inside a package is not supported'
                              % module.__name__)
            files[module.__name__] = module.__file__
    for name, path in sorted(files.items()):
        if not os.path.isfile(path):
            raise Failure('extension module %s cannot be found' % name)
        shutil.copy(path, os.path.join(lib, name + '.so'))


def copy_boot_modules(lib):
    stdlib = sysconfig.get_path('stdlib')
    target = os.path.join(lib, 'python2.7')
    os.makedirs(os.path.join(target, 'encodings'))
    compile_to(os.path.join(stdlib, 'codecs.py'), os.path.join(target, 'codecs.pyc'),
               'codecs.py')
    encodings = os.path.join(stdlib, 'encodings')
    for entry in sorted(os.listdir(encodings)):
        if entry.endswith('.py'):
            display = 'encodings/' + entry
            compile_to(os.path.join(encodings, entry), os.path.join(target, display + 'c'),
                       display)


def copy_interpreter(output):
    library = os.path.join(sysconfig.get_config_var('LIBDIR'),
                           sysconfig.get_config_var('INSTSONAME'))
    if not os.path.isfile(library):
        raise Failure('interpreter library %s cannot be found' % library)
    shutil.copy(library, os.path.join(output, os.path.basename(library)))


def prepare(output, force):
    if os.path.lexists(output):
        if not force:
            raise Failure('%s exists (use --force to replace it)' % output)
        shutil.rmtree(output)
    os.makedirs(os.path.join(output, 'lib'))


def freeze(source, output, name, launcher, force):
    if not os.path.isfile(launcher):
        raise Failure('launcher %s cannot be found (use --launcher)' % launcher)
    startup = check_startup(source)
    modules = find_modules(source, startup)
    prepare(output, force)
    lib = os.path.join(output, 'lib')
    scratch = tempfile.mkdtemp()
    try:
        build_archive(modules, os.path.join(lib, 'library.zip'), scratch)
    finally:
        shutil.rmtree(scratch)
    copy_extensions(modules, lib)
    copy_boot_modules(lib)
    copy_interpreter(output)
    shutil.copy(launcher, os.path.join(output, name))


def main(argv):
    here = os.path.dirname(os.path.realpath(__file__))
    parser = optparse.OptionParser(usage='%prog [options] SOURCE OUTPUT',
                                   description='Assembles a frozen application directory.')
    parser.add_option('--name', help="the executable's name (default: OUTPUT's name)")
    parser.add_option('--launcher', help='the launcher to copy',
                      default=os.path.join(here, os.pardir, 'libexec', 'launcher', 'launcher'))
    parser.add_option('--force', action='store_true', help='replace OUTPUT if it exists')
    options, args = parser.parse_args(argv[1:])
    if len(args) != 2:
        parser.error('expected SOURCE and OUTPUT')
    source, output = args
    name = options.name or os.path.basename(os.path.normpath(output))
    try:
        freeze(source, output, name, options.launcher, options.force)
    except (Failure, EnvironmentError) as e:
        sys.stderr.write('freeze-app: %s\n' % e)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
