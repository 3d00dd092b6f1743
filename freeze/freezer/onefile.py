"""The one-file form (--onefile): the application directory packed behind
its head, runtime/onefile.c built as `onefile` beside the launcher, which
unpacks it into the user's cache at its first start and runs it from
there.

  head          the program `onefile`, as built
  pack          the application directory: each directory and file, in
                sorted order, a directory before what it holds, as
                ENTRY (kind 'd' or 'f', mode, length of the path, size of
                the data), the path relative to the directory, the data
  trailer       MAGIC, the offset and size of the pack, the command to
                run (NUL-padded to NAME_SIZE) and HASH_SIZE hexadecimal
                digits of the SHA-256 of head and pack, which name the
                cache directory

Numbers are little endian. The same directory gives the same file, byte
for byte.
"""

import hashlib
import os
import shutil
import stat
import struct

from .log import Failure

MAGIC = b'freeze-app one file 1\n'
NAME_SIZE = 256
HASH_SIZE = 32
# The longest name the head makes in the cache, NAME-HASH.tmp-PID (a PID
# has at most 7 digits), must fit in a file name of 255 bytes.
LONGEST_NAME = 255 - len('-' + '0' * HASH_SIZE + '.tmp-' + '0' * 7)
ENTRY = struct.Struct('<BIIQ')
TRAILER = len(MAGIC) + 16 + NAME_SIZE + HASH_SIZE
HEAD = 'onefile'  # beside the launcher
# The launcher's code as a library, beside the launcher, which the head
# runs in its own process; at the top of the application as MODULE.
LAUNCHER = 'launcher.so'
MODULE = '.launcher.so'


def entries(root):
    """(path relative to root, its lstat) of everything below root, in
    the order the head makes them."""
    for path, dirs, files in os.walk(root):
        dirs.sort()
        relative = os.path.relpath(path, root)
        for name in sorted(dirs + files):
            inner = os.path.join(path, name)
            st = os.lstat(inner)
            if not (stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode)):
                raise Failure('%s is neither a file nor a directory: a one file cannot hold it'
                              % inner)
            yield os.path.normpath(os.path.join(relative, name)), st


def place(launcher, root):
    """Puts the launcher's code as a library at the top of `root`."""
    shutil.copyfile(os.path.join(os.path.dirname(launcher), LAUNCHER), os.path.join(root, MODULE))
    os.chmod(os.path.join(root, MODULE), 0o755)


def command(names, wanted):
    """The command the one file runs: OUTPUT's name, or the only one."""
    if wanted not in names and len(names) != 1:
        raise Failure('--onefile runs one command: name OUTPUT after one of %s'
                      % ', '.join(sorted(names)))
    name = wanted if wanted in names else names[0]
    if len(name) > LONGEST_NAME:
        raise Failure('--onefile: the command name %s is too long: the cache directory that it '
                      'names must fit in 255 bytes, which leaves %d for it'
                      % (name, LONGEST_NAME))
    return name


def pack(root, name, head, target):
    """Writes the one file `target`: `head`, then `root` packed, running
    the command `name`; returns its size. It holds the bytes of every
    file, so it grants group and others no more than the narrowest of
    them (a 0600 file in it makes it 0700)."""
    if len(name) > NAME_SIZE:
        raise Failure('--onefile: the command name %s is too long' % name)
    digest = hashlib.sha256()
    with open(target, 'wb') as out:

        def put(data):
            digest.update(data)
            out.write(data)

        with open(head, 'rb') as f:
            put(f.read())
        start = out.tell()
        mode = 0o755
        for relative, st in entries(root):
            kind = b'd' if stat.S_ISDIR(st.st_mode) else b'f'
            size = st.st_size if kind == b'f' else 0
            put(ENTRY.pack(ord(kind), stat.S_IMODE(st.st_mode), len(relative), size))
            put(relative)
            if kind == b'f':
                mode &= st.st_mode | 0o700
                with open(os.path.join(root, relative), 'rb') as f:
                    for block in iter(lambda: f.read(1 << 20), b''):
                        put(block)
        end = out.tell()
        out.write(MAGIC + struct.pack('<QQ', start, end - start) + name.ljust(NAME_SIZE, b'\0')
                  + digest.hexdigest()[:HASH_SIZE])
    os.chmod(target, mode)
    return os.path.getsize(target)


def made_here(path):
    """True for a regular file (not a link) that ends in a trailer."""
    try:
        st = os.lstat(path)
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or st.st_size < TRAILER:
        return False
    with open(path, 'rb') as f:
        f.seek(-TRAILER, os.SEEK_END)
        return f.read(len(MAGIC)) == MAGIC
