"""The empty root that the frozen runs of --check run in where the system
allows it: it holds the application, the C library's own files (those the
freezer never ships, elf.SYSTEM) where this system has them, /dev/null,
/dev/urandom, a /dev/shm of its own and /proc, and nothing else: no
Python, no other library, no /etc, no /tmp.

A run enters it in a mount namespace of its own, which ends with it: as
root, or, for another user, in a user namespace too, whose one user is
that user (Debian and Ubuntu allow unprivileged ones). The files come in
by bind mounts, nothing is copied. Where neither way is allowed, make()
says so in one line and the frozen runs run in place.

The root mirrors the temporary directory of the runs: what lies below it
at a path lies below the root at the same path, so that a run sees the
same paths in the root as out of it.
"""

import ctypes
import os
import subprocess

from .elf import SYSTEM

# Where the dynamic loader is, as every x86-64 executable names it, and
# where the C library's files lie: the first of these that holds one.
LOADER = '/lib64/ld-linux-x86-64.so.2'
DIRECTORIES = ('/lib/x86_64-linux-gnu', '/usr/lib/x86_64-linux-gnu', '/lib64', '/usr/lib64')
CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_NOSUID, MS_NODEV, MS_BIND, MS_REC, MS_PRIVATE = 2, 4, 4096, 16384, 1 << 18


class Root(object):
    """An empty root at `top` that mirrors the directory `mirrored`."""

    def __init__(self, top, mirrored):
        self.top = top
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
        self.binds = [('/dev/null', '/dev/null'), ('/dev/urandom', '/dev/urandom')]
        for name in sorted(SYSTEM):
            for directory in DIRECTORIES:
                if os.path.exists(os.path.join(directory, name)):
                    self.binds.append((os.path.join(directory, name),
                                       os.path.join(directory, name)))
                    break
        if os.path.exists(LOADER):
            self.binds.append((LOADER, LOADER))
        for _, target in self.binds:
            if not os.path.isdir(self.inside(os.path.dirname(target))):
                os.makedirs(self.inside(os.path.dirname(target)))
            open(self.inside(target), 'a').close()
        for directory in ('/proc', '/dev/shm', mirrored):
            os.makedirs(self.inside(directory))
        self.flags = None

    def inside(self, path):
        """The place of the root's `path` here."""
        return self.top + path

    def fail(self, what):
        e = ctypes.get_errno()
        raise OSError(e, '%s: %s' % (what, os.strerror(e)))

    def enter(self, cwd):
        """What a run calls in its own process before it starts: it enters
        the root, in `cwd` there."""
        uid, gid = os.getuid(), os.getgid()

        def entering():
            if self.libc.unshare(self.flags) != 0:
                self.fail('unshare')
            if self.flags & CLONE_NEWUSER:
                for name, text in (('setgroups', 'deny'), ('uid_map', '%d %d 1' % (uid, uid)),
                                   ('gid_map', '%d %d 1' % (gid, gid))):
                    with open('/proc/self/' + name, 'w') as f:
                        f.write(text)
            self.mount(None, '/', None, MS_REC | MS_PRIVATE)
            for source, target in self.binds:
                self.mount(source, self.inside(target), None, MS_BIND)
            self.mount('/proc', self.inside('/proc'), None, MS_BIND | MS_REC)
            self.mount('tmpfs', self.inside('/dev/shm'), 'tmpfs', MS_NOSUID | MS_NODEV,
                       'mode=1777')
            os.chroot(self.top)
            os.chdir(cwd)
        return entering

    def mount(self, source, target, kind, flags, data=None):
        if self.libc.mount(source, target, kind, flags, data) != 0:
            self.fail('mount %s' % target)


def make(top, mirrored, log):
    """An empty root at `top`, or None where the system allows none, which
    one line says."""
    root = Root(top, mirrored)
    ways = ([CLONE_NEWNS] if os.geteuid() == 0 else []) + [CLONE_NEWUSER | CLONE_NEWNS]
    why = ''
    for flags in ways:
        root.flags = flags
        try:
            with open(os.devnull, 'r+') as null:
                # The loader itself runs there, on the C library alone.
                status = subprocess.call([LOADER, '--version'], stdin=null, stdout=null,
                                         stderr=null, close_fds=True, preexec_fn=root.enter('/'))
        except EnvironmentError as e:
            why = '%s: %s' % (e.filename, e.strerror) if e.filename else e.strerror or str(e)
            continue
        if status == 0:
            return root
        why = '%s exits with %d there' % (LOADER, status)
    log.say('check: no empty root here (%s): the frozen runs run in place' % why)
    return None
