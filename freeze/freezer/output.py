"""Where the application directory is built, and what may be replaced.

OUTPUT is resolved once, before anything is written: the directory that
holds it, with symbolic links and '..' resolved as the kernel resolves
them, and its last name. Every check, the build and the final rename use
that one place. Directories are compared by device and inode, never by
their spelling, so a link, a '..' or a bind mount cannot make two names of
one directory look different.

Refused, with or without --force, before anything is written: an empty
OUTPUT; the root directory; a directory that is or contains the current or
the home directory; SOURCE, a --path directory and every directory the
interpreter searches or lives in (its prefix, library, site-packages,
lib-dynload), and anything inside or containing one of them; an OUTPUT that
is or holds a mount point; a path that holds ':', where the launcher cannot
start.

Without --force nothing that exists at OUTPUT is touched. With --force only
an earlier output of freeze-app is replaced: every output holds the file
MARK with the text MARK_TEXT, and a directory without it is refused
unless it is empty. With --onefile, only an earlier one file: a regular
file that ends in its trailer.

The new tree is built beside OUTPUT under the name .NAME.freeze-app.XXXXXX
and renamed into place only when complete; a one file is packed inside
that directory and renamed into place from there. The earlier output is renamed
away first and removed afterwards, without following links or crossing
mount points; if that removal fails the new output stays, and a warning
names what is left. A freeze that is killed leaves its temporary
directory, and the next freeze of the same OUTPUT removes it.
"""

import contextlib
import errno
import fcntl
import os
import re
import stat
import sys
import sysconfig
import tempfile

from . import onefile
from .walking import identity
from .interpreter import SITE, STDLIB
from .log import Failure

MARK = '.freeze-app'
MARK_TEXT = 'This directory was made by freeze-app; freeze-app --force may replace it.\n'
WORK = '.%s.freeze-app.'
ONE = '.one'  # the one file being packed, beside its directory


class Target(object):
    """OUTPUT, resolved: its real parent directory and its name."""

    def __init__(self, parent, name):
        self.parent = parent
        self.name = name
        self.path = os.path.join(parent, name)
        self.identity = identity(self.path)


def resolve(output):
    """The one place OUTPUT names."""
    if not output:
        raise Failure('OUTPUT is empty')
    if '\0' in output:
        raise Failure('OUTPUT holds a NUL byte')
    head, name = os.path.split(output.rstrip('/') or '/')
    head = os.path.join(os.getcwd(), head)
    if '..' in head.split('/') and not os.path.isdir(head):
        raise Failure('OUTPUT %s: %s is not a directory' % (output, head))
    parent = os.path.realpath(head)
    if os.path.isdir(head) and identity(head) != identity(parent):
        raise Failure('OUTPUT %s: cannot tell which directory %s is' % (output, head))
    if name in ('', '.', '..'):
        parent, name = os.path.split(os.path.realpath(os.path.join(parent, name)))
    if not name:
        raise Failure('OUTPUT %s is the root directory' % output)
    return Target(parent, name)


def ancestors(path):
    """path and every directory above it that exists, by identity; path
    has no links in it, so its parents are those of its spelling."""
    result = []
    while True:
        found = identity(path)
        if found:
            result.append(found)
        if path == '/':
            return result
        path = os.path.dirname(path)


def protected(search_path):
    """The interpreter's own directories, which OUTPUT must neither be, lie
    inside nor contain: (what they are, path)."""
    places = [('the interpreter\'s directory', p) for p in
              [sys.prefix, sys.exec_prefix] + search_path +
              [sysconfig.get_path(n) for n in ('stdlib', 'platstdlib', 'purelib', 'platlib')] +
              [os.path.join(sysconfig.get_path('stdlib'), 'lib-dynload')] +
              [STDLIB, os.path.join(STDLIB, 'lib-dynload')] + sorted(SITE)]
    return [(what, os.path.realpath(p)) for what, p in places if p and os.path.isdir(p)]


def check(output, sources, search_path, force, one_file=False):
    """Resolves OUTPUT and refuses what must not be touched: `sources` are
    SOURCE and the --path directories, `search_path` the interpreter's own
    module search path; `one_file` for --onefile, whose OUTPUT is a file.
    Returns the Target."""
    target = resolve(output)
    path = target.path
    if ':' in path:
        raise Failure('OUTPUT %s: the launcher cannot start from a path that holds \':\''
                      % path)
    above = ancestors(path)
    mine = target.identity
    for what, place in [('the current directory', os.getcwd()),
                        ('the home directory', os.path.expanduser('~'))]:
        if mine and os.path.isdir(place) and mine in ancestors(os.path.realpath(place)):
            raise Failure('OUTPUT %s is or contains %s %s' % (path, what, place))
    for what, place in [('the sources in', s) for s in sources] + protected(search_path):
        if not os.path.isdir(place):
            continue
        theirs = ancestors(os.path.realpath(place))
        if identity(place) in above or (mine and mine in theirs):
            raise Failure('OUTPUT %s is, lies inside or contains %s %s' % (path, what, place))
    if not os.path.lexists(path):
        return target
    if not force:
        raise Failure('%s exists (use --force to replace it)' % path)
    if one_file and not onefile.made_here(path):
        raise Failure('%s exists and is no one file made by freeze-app' % path)
    if not one_file and not made_here(path) and not empty(path):
        raise Failure('%s exists and was not made by freeze-app' % path)
    for point in mount_points():
        if mine in ancestors(point):
            raise Failure('OUTPUT %s is or holds the mount point %s' % (path, point))
    return target


def made_here(path):
    """True for a directory (not a link) that holds freeze-app's mark."""
    if os.path.islink(path) or not os.path.isdir(path):
        return False
    mark = os.path.join(path, MARK)
    if os.path.islink(mark) or not os.path.isfile(mark):
        return False
    with open(mark) as f:
        return f.read(len(MARK_TEXT) + 1) == MARK_TEXT


def empty(path):
    """True for an empty directory (not a link): there is nothing to lose."""
    return not os.path.islink(path) and os.path.isdir(path) and not os.listdir(path)


def mount_points():
    """Every mount point of this process, from /proc/self/mountinfo."""
    try:
        with open('/proc/self/mountinfo') as f:
            lines = f.read().splitlines()
    except IOError as e:
        raise Failure('cannot read /proc/self/mountinfo to look for mount points: %s'
                      % e.strerror)
    unescape = lambda m: chr(int(m.group(1), 8))
    return [re.sub(r'\\([0-7]{3})', unescape, line.split(' ')[4]) for line in lines]


def remove(path):
    """Removes a tree without following links, and never below a mount
    point: another file system, or a directory mounted on this one."""
    top = os.lstat(path)
    mounts = set(filter(None, (identity(p) for p in mount_points())))

    def empty(directory):
        # The mark goes last: a removal that fails midway leaves a tree
        # that the next freeze still knows for its own.
        for entry in sorted(os.listdir(directory), key=lambda e: e == MARK):
            inner = os.path.join(directory, entry)
            st = os.lstat(inner)
            if not stat.S_ISDIR(st.st_mode):
                os.unlink(inner)
                continue
            if st.st_dev != top.st_dev or (st.st_dev, st.st_ino) in mounts:
                raise OSError(errno.EBUSY, 'a mount point, not removed', inner)
            empty(inner)
            os.rmdir(inner)

    if stat.S_ISDIR(top.st_mode):
        empty(path)
        os.rmdir(path)
    else:
        os.unlink(path)


def clear(target, log):
    """Removes what interrupted freezes of the same OUTPUT left: their
    temporary directories, recognised by name and mark, unless a running
    freeze holds them."""
    stale = re.compile(re.escape(WORK % target.name) + r'[A-Za-z0-9_]{6}(\.old)?\Z')
    one = re.compile(re.escape(WORK % target.name) + r'[A-Za-z0-9_]{6}' + re.escape(ONE) + r'\Z')
    if not os.path.isdir(target.parent):
        return
    # Sorted, a directory comes before the one file packed beside it,
    # which goes once the directory, its freeze's, is gone.
    for entry in sorted(os.listdir(target.parent)):
        path = os.path.join(target.parent, entry)
        if (one.match(entry) and os.path.isfile(path) and not os.path.islink(path)
                and not os.path.lexists(path[:-len(ONE)])):
            os.unlink(path)
            continue
        if not stale.match(entry) or os.path.islink(path) or not os.path.isdir(path):
            continue
        if os.listdir(path) and not made_here(path):
            continue
        if os.listdir(path):
            with open(os.path.join(path, MARK)) as mark:
                try:
                    fcntl.flock(mark, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except IOError:
                    continue
        try:
            remove(path)
            log.detail('removed %s, left by an interrupted freeze' % path)
        except EnvironmentError as e:
            log.warn('cannot remove %s, left by an interrupted freeze: %s' % (path, e))


def workplace(target, log):
    """A new directory beside OUTPUT, after what interrupted freezes left."""
    clear(target, log)
    if not os.path.isdir(target.parent):
        os.makedirs(target.parent)
    return tempfile.mkdtemp(prefix=WORK % target.name, dir=target.parent)


@contextlib.contextmanager
def marked(work):
    """Holds the lock of the mark of `work`, which it writes, while the
    output is made and put in place: clear() leaves it alone."""
    with open(os.path.join(work, MARK), 'w') as mark:
        fcntl.flock(mark, fcntl.LOCK_EX)
        mark.write(MARK_TEXT)
        mark.flush()
        os.chmod(mark.name, 0o644)
        yield


def unchanged(target):
    if identity(target.path) != target.identity:
        raise Failure('%s changed while it was frozen: left as it is' % target.path)


def build(target, fill, log):
    """Calls fill(directory) on a new directory beside OUTPUT, then puts it
    in OUTPUT's place; returns what fill returned."""
    work = workplace(target, log)
    old = work + '.old' if target.identity else None
    try:
        with marked(work):
            result = fill(work)
            os.chmod(work, 0o755)
            unchanged(target)
            if old:
                os.rename(target.path, old)
            try:
                os.rename(work, target.path)
            except BaseException:
                if old:
                    os.rename(old, target.path)
                raise
    except BaseException:
        if os.path.lexists(work):
            remove(work)
        raise
    if old:
        try:
            remove(old)
        except EnvironmentError as e:
            log.warn('the earlier output is left in %s, which cannot be removed: %s' % (old, e))
    return result


def build_file(target, fill, pack, log):
    """Calls fill(directory) on a new directory beside OUTPUT, then
    pack(directory, file) on a new file beside it, and puts that file in
    OUTPUT's place; returns what fill and pack returned."""
    work = workplace(target, log)
    packed = work + ONE
    try:
        with marked(work):
            result = fill(work)
            os.chmod(work, 0o755)
            size = pack(work, packed)
            unchanged(target)
            os.rename(packed, target.path)
    finally:
        for path in (packed, work):
            if os.path.lexists(path):
                remove(path)
    return result, size
