"""The empty root that the frozen runs of --check run in where the system
allows it: it holds the application, the C library's own files (those the
freezer never ships, elf.SYSTEM) where this system has them, /dev/null,
/dev/urandom, a /dev/shm of its own and /proc, and nothing else: no
Python, no other library, no /etc, no /tmp.

A run enters it in a mount namespace of its own, which ends with it: as
root, or, for another user, in a user namespace too, whose one user is
that user (Debian and Ubuntu allow unprivileged ones). The files come in
by bind mounts, nothing is copied. Where neither way is allowed, the
frozen runs run in place, which one line says.

The root mirrors the temporary directory of the runs: what lies below it
at a path lies below the root at the same path, so that a run sees the
same paths in the root as out of it. The directories named read_only
are read-only there: a run writes nothing into them, nor, through hard
links, into what they link to.
"""

import ctypes
import os

from . import running
from .elf import SYSTEM

# Where the dynamic loader is, as every x86-64 executable names it, and
# where the C library's files lie: the first of these that holds one.
LOADER = '/lib64/ld-linux-x86-64.so.2'
DIRECTORIES = ('/lib/x86_64-linux-gnu', '/usr/lib/x86_64-linux-gnu', '/lib64', '/usr/lib64')
CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC, MS_REMOUNT = 1, 2, 4, 8, 32
MS_NOATIME, MS_NODIRATIME, MS_BIND, MS_REC, MS_RELATIME, MS_PRIVATE = \
    1024, 2048, 4096, 16384, 1 << 21, 1 << 18
# The flags of a mount that a user namespace may not drop, as statvfs
# gives them (the same bits): a read-only bind mount keeps them.
KEPT = MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME | MS_NODIRATIME | MS_RELATIME


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
        # The ways to enter it that are left to try, in namespaces of these kinds.
        self.ways = ([CLONE_NEWNS] if os.geteuid() == 0 else []) + [CLONE_NEWUSER | CLONE_NEWNS]
        self.why = []  # why each way tried failed
        self.read_only = []  # the root's directories that are read-only in it

    def inside(self, path):
        """The place of the root's `path` here."""
        return self.top + path

    def fail(self, what):
        e = ctypes.get_errno()
        raise OSError(e, '%s: %s' % (what, os.strerror(e)))

    def run(self, argv, cwd, stdin, env, limit, log, in_place):
        """Runs argv(seen) in `cwd` of the root, as running.run does, in
        the root where the system allows it, else in place, which one line
        says the first time, after in_place() is called; seen(path) is the
        path of the root's `path` that the run sees. Returns (its Result,
        seen)."""
        while self.ways:
            try:
                return running.run(argv(lambda path: path), cwd, stdin, env, limit,
                                   self.enter(self.ways[0], cwd)), lambda path: path
            except EnvironmentError as e:
                self.ways.pop(0)
                self.why.append('%s: %s' % (e.filename, e.strerror) if e.filename
                                else e.strerror or str(e))
                if not self.ways:
                    log.say('check: no empty root here (%s): the frozen runs run in place'
                            % '; '.join(self.why))
                    in_place()
        return running.run(argv(self.inside), self.inside(cwd), stdin, env, limit), self.inside

    def seen(self):
        """What makes a path of the root the one that a run sees: in the
        root, unless there is no way left into it."""
        return (lambda path: path) if self.ways else self.inside

    def enter(self, flags, cwd):
        """What a run calls in its own process before it starts: it enters
        the root in namespaces of the kinds `flags`, in `cwd` there."""
        uid, gid = os.getuid(), os.getgid()

        def entering():
            if self.libc.unshare(flags) != 0:
                self.fail('unshare')
            if flags & CLONE_NEWUSER:
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
            for directory in self.read_only:
                self.mount(self.inside(directory), self.inside(directory), None, MS_BIND | MS_REC)
                self.mount(None, self.inside(directory), None, MS_REMOUNT | MS_BIND | MS_RDONLY
                           | os.statvfs(self.inside(directory)).f_flag & KEPT)
            os.chroot(self.top)
            os.chdir(cwd)
        return entering

    def mount(self, source, target, kind, flags, data=None):
        if self.libc.mount(source, target, kind, flags, data) != 0:
            self.fail('mount %s' % target)
