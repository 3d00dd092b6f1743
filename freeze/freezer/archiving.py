"""The archive, lib/library.zip: the bytecode of every pure-Python
module, its source in lib/library-source, where its file name leads (or,
where no sources ship, that bytecode beside where the source would lie),
and of the sources placed below lib; with __boot__ and the program's own
__startup__ code, and lib's __startup__ that hands over to them."""

import os
import time
import zipfile

from .compiling import bytecode, code_bytes, rewritten
from .placing import SOURCES, is_extension

# Provided under lib/python2.7 rather than in the archive.
BOOT_MODULES = ('codecs', 'encodings')
# lib's __startup__: _boot runs the program's own; with a third argument,
# 1, where no sources ship.
STARTUP = "__import__('_boot').run(globals(), %r%s)\n"
# What ships into every application lies beside this package, in runtime/.
BOOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'runtime',
                    'boot.py')


# The members that say why a name was left out, for the finder of _boot.
LEFT = '__left__/'


def said(name, why):
    """How an import of a name left out fails, after "No module named
    LAST": in one line, why, and how to ship it."""
    how = ('freeze without %s to ship it' % why if why.startswith('--exclude')
           else '--include %s ships it' % name)
    return '%s was left out when freezing: %s; %s' % (name, why, how)


def is_boot(name):
    return name.split('.')[0] in BOOT_MODULES


def write(placer, found, startup_text, deflate, environment, source):
    """Bytecode of every pure-Python module in lib/library.zip, and its
    source in lib/library-source, where its file name leads; with the
    bytecode of the sources placed below lib. The archive's __startup__
    hands over to __boot__, which takes over the imports, sets
    `environment` and then runs the program's own __startup__ code.
    What is deflated, where zlib ships to inflate it: all of it where
    `deflate` is 'all', none where 'none', and where 'late' what not
    every start imports (found.starting, and __boot__): tables of data
    that every start imports stay stored too, which pip's start would
    otherwise spend 0.6% of its instructions inflating. A module of SOURCE
    reached through a link out of it is named in a warning."""
    # lib's __startup__, which the launcher imports: its one frame is
    # the one the interpreter's own -c shows.
    stub = STARTUP % (sorted(environment.items()), ', 1' if placer.compiled else '')
    placer.write(os.path.join(placer.lib, '__startup__.pyc'),
                 code_bytes(compile(stub, '<string>', 'exec'), placer.when))
    members = dict(placer.members, **{
        '__boot__.pyc': ('__boot__', bytecode(BOOT, '<freeze-app>', placer.when)),
        '__startup__.app': ('__startup__', code_bytes(compile(
            startup_text, SOURCES + '__startup__.py', 'exec', 0, True), placer.when))})
    if not placer.compiled:
        placer.write_source(SOURCES + '__startup__.py', startup_text)
    for name, m in sorted(found.modules.items()):
        placer.log.status('compiling: %s' % name)
        if (name == '__startup__' or not m.__file__ or is_boot(name)
                or name.split('.')[0] in found.packages or is_extension(m.__file__)
                or name in found.own):
            continue
        member = name.replace('.', '/') + ('/__init__' if m.__path__ else '')
        text = rewritten(name, m.__file__, placer.answers)
        if text is not None:
            members[member + '.pyc'] = name, code_bytes(compile(
                text, SOURCES + member + '.py', 'exec'), placer.when)
            if not placer.compiled:
                placer.write_source(SOURCES + member + '.py', text)
        elif m.__file__.endswith('.py'):
            members[member + '.pyc'] = name, bytecode(m.__file__, SOURCES + member + '.py',
                                                      placer.when, m)
            target = os.path.join(placer.root, SOURCES + member + '.py')
            placer.mkdir(os.path.dirname(target))
            if not placer.compiled:
                placer.copy(m.__file__, target, 0o644)
            if source:
                placer.linked(m.__file__, source, 'SOURCE')
        else:
            members[member + '.pyc'] = name, code_bytes(m.__code__, placer.when)
        if placer.compiled:
            placer.write_source(SOURCES + member + '.pyc', members[member + '.pyc'][1])
        placer.log.detail('module %s -> lib/library.zip/%s.pyc' % (name, member))
    # What was left out on purpose: why, and how to ship it, which an
    # import of it that fails says.
    for name, why in sorted(found.left.items()):
        members[LEFT + name] = None, said(name, why)
    starting = found.starting | set(['__boot__'])
    stamp = time.gmtime(placer.when)[:6]
    path = os.path.join(placer.lib, 'library.zip')
    with zipfile.ZipFile(path, 'w') as z:
        for member in sorted(members):
            name, data = members[member]
            info = zipfile.ZipInfo(member, stamp)
            info.compress_type = zipfile.ZIP_STORED
            if name and 'zlib' in found.modules and (deflate == 'all' or (
                    deflate == 'late' and name not in starting)):
                info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
    os.chmod(path, 0o644)
    placer.counts['modules'] = len(members) - len(found.left)
    placer.counts['archive'] = os.path.getsize(path)
