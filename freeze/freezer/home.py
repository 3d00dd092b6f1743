"""The interpreter's part of the application: the launchers, the
interpreter library, and the codecs it imports from its home while it
starts."""

import os
import shutil

from .compiling import bytecode
from .interpreter import STDLIB
from .placing import LOADER, SOURCES

# The modules of lib/python2.7 that the interpreter imports while it
# starts, and the codecs it is most often seen in: their sources ship.
STARTING = frozenset(['codecs.py', 'encodings/__init__.py', 'encodings/aliases.py',
                      'encodings/utf_8.py', 'encodings/ascii.py', 'encodings/latin_1.py'])


def launchers(placer, launcher, names):
    """The launcher keeps its own run path: it is not examined. Beside
    it lies the extension module of __boot__'s importers, LOADER."""
    for name in names:
        target = os.path.join(placer.root, name)
        shutil.copyfile(launcher, target)
        os.chmod(target, 0o755)
    placer.mkdir(placer.lib)
    placer.copy(os.path.join(os.path.dirname(launcher), LOADER + '.so'),
                os.path.join(placer.lib, LOADER + '.so'), 0o755)


def interpreter(placer, library):
    placer.copy(library, os.path.join(placer.root, os.path.basename(library)), 0o755)


def codecs(placer):
    """codecs and encodings, compiled, under lib/python2.7. Their file
    names lead into lib/library-source like the archive's, and the
    sources of those the interpreter imports while it starts (STARTING)
    ship there: the others would double the size of the sample."""
    target = os.path.join(placer.lib, 'python2.7')
    placer.mkdir(os.path.join(target, 'encodings'))
    names = ['codecs.py'] + ['encodings/' + e for e in sorted(os.listdir(
        os.path.join(STDLIB, 'encodings'))) if e.endswith('.py')]
    for name in names:
        placer.write(os.path.join(target, name + 'c'),
                     bytecode(os.path.join(STDLIB, name), SOURCES + name, placer.when))
        if name in STARTING and not placer.compiled:
            with open(os.path.join(STDLIB, name)) as f:
                placer.write_source(SOURCES + name, f.read())
