"""Placing files in the application directory.

  NAME                     the launcher, one copy for each command
  libpython2.7.so.1.0      the interpreter library
  lib/library.zip          bytecode of __startup__ and of every pure-Python
                           module and package
  lib/NAME.so              top-level extension modules
  lib/PACKAGE/             a package that holds extension modules or data
                           files, copied whole as installed, with bytecode
                           that agrees with its sources
  lib/*.dist-info,         metadata of the distributions shipped, where
  lib/*.egg-info           pkg_resources looks for it
  lib/python2.7/           codecs and encodings, which the interpreter
                           imports from its home while it starts

Every file gets a fixed mode, every file under lib a fixed time, and
bytecode the same time, so that the same sources give the same tree byte
for byte.
"""

import imp
import marshal
import os
import shutil
import struct
import sysconfig
import time
import zipfile

from .elf import is_shared_object
from .finding import IDENTIFIER, STDLIB_TESTS, below, check_coding, describe, is_stdlib
from .log import Failure

# Provided under lib/python2.7 rather than in the archive.
BOOT_MODULES = ('codecs', 'encodings')
DEFAULT_EPOCH = 315532800  # 1980-01-01, the earliest time a zip archive holds
LATEST_EPOCH = 2 ** 32 - 1  # 2106-02-07, the latest time bytecode holds


def epoch():
    """The time written into the output: SOURCE_DATE_EPOCH, or a fixed one."""
    value = os.environ.get('SOURCE_DATE_EPOCH', '')
    if not value:
        return DEFAULT_EPOCH
    if not value.isdigit():
        raise Failure('SOURCE_DATE_EPOCH is not a number of seconds: %r' % value)
    if int(value) > LATEST_EPOCH:
        raise Failure('SOURCE_DATE_EPOCH %s is later than bytecode can record (%d)'
                      % (value, LATEST_EPOCH))
    return max(int(value), DEFAULT_EPOCH)


def bytecode(path, display, when):
    """Compiles a source file as py_compile does, with a fixed time."""
    with open(path, 'rU') as f:
        text = f.read()
    check_coding(text, path)
    if text and not text.endswith('\n'):
        text += '\n'
    return code_bytes(compile(text, display, 'exec', 0, True), when)


def code_bytes(code, when):
    return imp.get_magic() + struct.pack('<I', when) + marshal.dumps(code)


def is_boot(name):
    return name.split('.')[0] in BOOT_MODULES


def is_extension(path):
    return path.endswith('.so')


class Placer(object):
    """Writes files into the application directory and counts them."""

    def __init__(self, root, log):
        self.root = root
        self.lib = os.path.join(root, 'lib')
        self.log = log
        self.when = epoch()
        self.counts = dict(modules=0, archive=0, packages=0, extensions=0, files=0)
        self.elves = {}  # ELF files placed, but the launchers: placed path: original
        self.mkdir(self.lib)

    def write(self, target, data, mode=0o644):
        with open(target, 'wb') as f:
            f.write(data)
        os.chmod(target, mode)

    def copy(self, source, target, mode=None):
        shutil.copyfile(source, target)
        if mode is None:
            mode = 0o755 if os.stat(source).st_mode & 0o111 else 0o644
        os.chmod(target, mode)
        if is_shared_object(target):
            self.elves[target] = source

    def mkdir(self, target):
        if not os.path.isdir(target):
            os.makedirs(target)
        os.chmod(target, 0o755)

    def archive(self, found, startup_text, compress):
        """Bytecode of every pure-Python module in lib/library.zip."""
        members = {'__startup__.pyc': code_bytes(
            compile(startup_text, '__startup__.py', 'exec', 0, True), self.when)}
        for name, m in sorted(found.modules.items()):
            if (name == '__startup__' or not m.__file__ or is_boot(name)
                    or name.split('.')[0] in found.packages or is_extension(m.__file__)):
                continue
            member = name.replace('.', '/') + ('/__init__.pyc' if m.__path__ else '.pyc')
            if m.__file__.endswith('.py'):
                members[member] = bytecode(m.__file__, member[:-1], self.when)
            else:
                members[member] = code_bytes(m.__code__, self.when)
            self.log.detail('module %s -> lib/library.zip/%s' % (name, member))
        method = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
        stamp = time.gmtime(self.when)[:6]
        path = os.path.join(self.lib, 'library.zip')
        with zipfile.ZipFile(path, 'w', method) as z:
            for member in sorted(members):
                info = zipfile.ZipInfo(member, stamp)
                info.compress_type = method
                info.external_attr = 0o644 << 16
                z.writestr(info, members[member])
        os.chmod(path, 0o644)
        self.counts['modules'] = len(members)
        self.counts['archive'] = os.path.getsize(path)

    def extensions(self, found):
        for name, m in sorted(found.modules.items()):
            if not m.__file__ or not is_extension(m.__file__):
                continue
            if name.split('.')[0] in found.packages:
                continue
            if '.' in name:
                raise Failure('extension module %s lies outside its package' % name)
            self.copy(m.__file__, os.path.join(self.lib, name + '.so'), 0o755)
            self.counts['extensions'] += 1
            self.log.detail('extension module %s -> lib/%s.so' % (name, name))

    def packages(self, found, exclude):
        for name, directory in sorted(found.packages.items()):
            self.log.detail('package %s -> lib/%s/ (copied whole)' % (name, name))
            self.package(name, directory, found, exclude)
            self.counts['packages'] += 1

    def package(self, name, directory, found, exclude):
        """Copies a package as installed, with bytecode of its sources, but
        what `exclude` names."""
        stdlib = is_stdlib(directory)
        for path, dirs, files in os.walk(directory):
            dirs[:] = sorted(d for d in dirs if d != '__pycache__'
                             and not (stdlib and d in STDLIB_TESTS))
            relative = os.path.normpath(os.path.relpath(path, directory))
            parts = [name] + ([] if relative == '.' else relative.split(os.sep))
            if below('.'.join(parts), exclude):
                dirs[:] = []
                continue
            target = os.path.join(self.lib, *parts)
            self.mkdir(target)
            for f in sorted(files):
                stem, ext = os.path.splitext(f)
                module = '.'.join(parts + ([] if stem == '__init__' else [stem]))
                if ext in ('.pyc', '.pyo') or below(module, exclude):
                    continue
                source = os.path.join(path, f)
                display = '/'.join(parts + [f])
                if ext == '.py' and IDENTIFIER.match(stem):
                    try:
                        code = bytecode(source, display, self.when)
                    except (SyntaxError, TypeError, ValueError) as e:
                        if module not in found.broken:
                            self.log.warn('left out %s, which does not compile: %s'
                                          % (module, describe(e, source)))
                        continue
                    self.copy(source, os.path.join(target, f), 0o644)
                    self.write(os.path.join(target, f + 'c'), code)
                    self.log.detail('module %s -> lib/%s' % (module, display))
                elif is_extension(f):
                    self.copy(source, os.path.join(target, f), 0o755)
                    self.counts['extensions'] += 1
                    self.log.detail('extension module %s -> lib/%s' % (module, display))
                else:
                    self.copy(source, os.path.join(target, f))
                    self.counts['files'] += 1
                    self.log.detail('file lib/%s' % display)

    def metadata(self, found):
        """Distribution metadata of every top-level module or package that
        ships from outside the standard library."""
        homes = {}
        for name, m in found.modules.items():
            if '.' in name or not m.__file__ or is_stdlib(m.__file__) or name == '__startup__':
                continue
            home = os.path.dirname(m.__path__[0] if m.__path__ else m.__file__)
            homes.setdefault(home, set()).add(name)
        for home, names in sorted(homes.items()):
            for entry in sorted(os.listdir(home)):
                meta = os.path.join(home, entry)
                if entry.endswith(('.dist-info', '.egg-info')) and top_names(meta) & names:
                    self.copy_tree(meta, os.path.join(self.lib, entry))
                    self.log.detail('metadata %s -> lib/%s' % (entry, entry))

    def copy_tree(self, source, target):
        if not os.path.isdir(source):
            self.copy(source, target, 0o644)
            return
        self.mkdir(target)
        for entry in sorted(os.listdir(source)):
            self.copy_tree(os.path.join(source, entry), os.path.join(target, entry))

    def boot(self):
        """codecs and encodings, compiled, under lib/python2.7."""
        stdlib = sysconfig.get_path('stdlib')
        target = os.path.join(self.lib, 'python2.7')
        self.mkdir(target)
        self.mkdir(os.path.join(target, 'encodings'))
        self.write(os.path.join(target, 'codecs.pyc'),
                   bytecode(os.path.join(stdlib, 'codecs.py'), 'codecs.py', self.when))
        encodings = os.path.join(stdlib, 'encodings')
        for entry in sorted(os.listdir(encodings)):
            if entry.endswith('.py'):
                display = 'encodings/' + entry
                self.write(os.path.join(target, display + 'c'),
                           bytecode(os.path.join(encodings, entry), display, self.when))

    def interpreter(self):
        library = os.path.join(sysconfig.get_config_var('LIBDIR'),
                               sysconfig.get_config_var('INSTSONAME'))
        if not os.path.isfile(library):
            raise Failure('interpreter library %s cannot be found' % library)
        self.copy(library, os.path.join(self.root, os.path.basename(library)), 0o755)
        return os.path.basename(library)

    def launchers(self, launcher, names):
        """The launcher keeps its own run path: it is not examined."""
        for name in names:
            target = os.path.join(self.root, name)
            shutil.copyfile(launcher, target)
            os.chmod(target, 0o755)


def top_names(meta):
    """The top-level modules a distribution's metadata says it installs."""
    if os.path.isdir(meta):
        top_level = os.path.join(meta, 'top_level.txt')
        if os.path.isfile(top_level):
            with open(top_level) as f:
                return set(line.strip() for line in f if line.strip())
        record = os.path.join(meta, 'RECORD')
        if os.path.isfile(record):
            with open(record) as f:
                return set(os.path.splitext(line.split(',')[0].split('/')[0])[0] for line in f)
    project = os.path.basename(meta).split('-')[0]
    return set([project, project.replace('.', '_'), project.lower().replace('.', '_')])
