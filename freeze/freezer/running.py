"""Running the program for --record and --check: under the interpreter
that freezes, on the sources the freeze takes, started as the launcher
starts the program, or frozen; each run in a fresh copy of a directory,
standard input from a file, within a time limit, and nothing it started
left running.

A run's ARGS are split as a shell splits words; where the application
has several commands, the first word names one (`NAME ARGS`).

Under the interpreter, the program starts as the launcher starts it:
without site (-S), the environment's PYTHON* variables without effect
(-E, -s), the search path the freeze took (SOURCE, the --path
directories, the interpreter's library and site directories) in place of
the interpreter's own, the namespace packages of *-nspkg.pth files made
(the application has them as packages), exit() and quit() as site makes
them (the application has them), sys.argv[0] what the frozen run gets,
and __startup__'s run() called; no bytecode is written (-B). Both
runs get the same environment: this one without its PYTHON* variables,
which neither run may act on.

Each run is the leader of a session of its own (so of a process group),
and this process is the subreaper of what it starts: a run that outlives
its limit is killed with its process group, and whatever a run leaves
running, in that group or out of it, is killed when it ends.
"""

import contextlib
import ctypes
import errno
import fcntl
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from .log import Failure
from .output import remove

PR_SET_CHILD_SUBREAPER = 36
# The one line the interpreter runs: the boot below, then __startup__'s
# run(), all on line 1, which is the frame "<string>" that the frozen
# run's traceback of an import shows too.
LINE = ("exec compile(%r, '<freeze-app>', 'exec'); __freeze_app__(%r, %r, %r, %r); "
        "del __freeze_app__, __freeze_app_nspkg__, __freeze_app_record__; "
        "import __startup__; __startup__.run()")
# Runs in the interpreter before the program, from built-in modules alone.
BOOT = r'''
def __freeze_app__(path, argv0, nspkg, record):
    import __builtin__, sys

    class Quitter(object):
        # exit() and quit(), as site makes them and the application has them.
        def __init__(self, name):
            self.name = name

        def __repr__(self):
            return 'Use %s() or Ctrl-D (i.e. EOF) to exit' % self.name

        def __call__(self, code=None):
            try:
                sys.stdin.close()
            except Exception:
                pass
            raise SystemExit(code)

    Quitter.__module__ = 'site'
    __builtin__.quit, __builtin__.exit = Quitter('quit'), Quitter('exit')
    sys.path[:] = path
    sys.argv[0] = argv0
    if 'encodings' not in sys.modules:
        # A virtualenv's interpreter without site starts without them, and
        # with no codec to look up until they register theirs.
        import encodings
    if record:
        __freeze_app_record__(record)
    for sitedir, line in nspkg:
        __freeze_app_nspkg__(sitedir, line)


def __freeze_app_nspkg__(sitedir, line):
    # As site runs the lines of a .pth file that import: they read sitedir
    # from the frame that runs them.
    exec line


def __freeze_app_record__(where):
    # --record: every module the run imports or tries to, and every file it
    # opens to read, one line each in the file `where`.
    import __builtin__, _io, imp, posix, sys
    cloexec = 0o2000000
    fd = posix.open(where, posix.O_WRONLY | posix.O_APPEND | posix.O_CREAT | cloexec, 0o600)
    seen = set()

    def note(kind, name):
        if (kind, name) not in seen:
            seen.add((kind, name))
            try:
                posix.write(fd, '%s %s\n' % (kind, name))
            except OSError:
                pass

    def read(path):
        try:
            if isinstance(path, unicode):
                path = path.encode(sys.getfilesystemencoding() or 'utf-8')
            if isinstance(path, str) and path and '\n' not in path:
                note('f', path if path.startswith('/') else posix.getcwd() + '/' + path)
        except Exception:
            pass

    class Recorder(object):
        def find_module(self, name, path=None):
            note('m', name)

    def reads(mode):
        return isinstance(mode, str) and mode[:1] in ('r', 'U')

    def builtin_open(name, mode='r', *args, **kw):
        f = real['open'](name, mode, *args, **kw)
        if reads(mode):
            read(name)
        return f

    def io_open(file, mode='r', *args, **kw):
        f = real['io'](file, mode, *args, **kw)
        if reads(mode) and not isinstance(file, (int, long)):
            read(file)
        return f

    def os_open(path, flags, *args):
        fd = real['os'](path, flags, *args)
        if flags & 3 != posix.O_WRONLY and not flags & posix.O_TRUNC:
            read(path)
        return fd

    def execfile(path, *args):
        read(path)
        return real['execfile'](path, *args)

    def find_module(name, *args):
        found = real['find_module'](name, *args)
        if found[0] is not None:
            read(found[1])
        return found

    def loading(kind, at):
        def load(*args):
            if len(args) > at:
                read(args[at])
            return real[kind](*args)
        return load

    real = dict(open=__builtin__.open, io=_io.open, os=posix.open, execfile=__builtin__.execfile,
                find_module=imp.find_module, load_source=imp.load_source,
                load_compiled=imp.load_compiled, load_module=imp.load_module)
    __builtin__.open, _io.open, posix.open = builtin_open, io_open, os_open
    __builtin__.execfile, imp.find_module = execfile, find_module
    imp.load_source = loading('load_source', 1)
    imp.load_compiled = loading('load_compiled', 1)
    imp.load_module = loading('load_module', 2)
    sys.meta_path.append(Recorder())
'''


class Command(object):
    """One --record or --check: its text as given, the command it runs
    and its arguments."""

    def __init__(self, text, name, args):
        self.text = text
        self.name = name
        self.args = args


def commands(texts, names, option):
    """The Commands of the ARGS given to `option`, for an application whose
    commands are `names`."""
    result = []
    for text in texts:
        try:
            words = shlex.split(text)
        except ValueError as e:
            raise Failure('%s %s: %s' % (option, text, e))
        name = names[0]
        if len(names) > 1:
            if not words or words[0] not in names:
                raise Failure('%s %s: begin with the command to run, one of %s'
                              % (option, text, ', '.join(names)))
            name = words.pop(0)
        result.append(Command(text, name, words))
    return result


def environment(**extra):
    """What both runs get: this environment, without PYTHON* variables."""
    env = dict((k, v) for k, v in os.environ.items() if not k.startswith('PYTHON'))
    env.update(extra)
    return env


def nspkg(directories):
    """(directory, line) of each line of the *-nspkg.pth files of
    `directories` that site would run: those that begin with import."""
    lines = []
    for directory in directories:
        for entry in sorted(os.listdir(directory)) if os.path.isdir(directory) else ():
            if entry.endswith('-nspkg.pth'):
                with open(os.path.join(directory, entry)) as f:
                    lines += [(directory, line.rstrip()) for line in f
                              if line.startswith(('import ', 'import\t'))]
    return lines


class Plain(object):
    """How the interpreter runs the program: on the search path `path`,
    which begins with SOURCE, which holds its __startup__; or, for an
    application of several commands (--entry), the text of the __startup__
    of each, {name: text}, written below `tmp`."""

    def __init__(self, path, starts, tmp):
        self.path = [os.path.abspath(p) for p in path]
        self.nspkg = nspkg(self.path)
        self.starts = {}
        for name, text in starts.items():
            self.starts[name] = os.path.join(tmp, 'start-' + name)
            os.mkdir(self.starts[name])
            with open(os.path.join(self.starts[name], '__startup__.py'), 'w') as f:
                f.write(text)

    def places(self):
        """Where the run's modules come from."""
        return self.path + self.starts.values()

    def argv(self, command, argv0, record=''):
        path = ([self.starts[command.name]] if self.starts else []) + self.path
        line = LINE % (BOOT, path, argv0, self.nspkg, record)
        return [sys.executable, '-S', '-E', '-s', '-B', '-c', line] + command.args


@contextlib.contextmanager
def workshop(log):
    """A temporary directory for the runs, its path without links; removed
    at the end, without crossing a mount point or following a link."""
    tmp = os.path.realpath(tempfile.mkdtemp(prefix='freeze-app.'))
    try:
        yield tmp
    finally:
        try:
            remove(tmp)
        except EnvironmentError as e:
            log.warn('cannot remove %s, where the runs ran: %s' % (tmp, e))


class Result(object):
    """What a run did: its status, standard output and error, its time,
    and whether it outlived its limit."""

    def __init__(self, status, out, err, seconds, expired):
        self.status = status
        self.out = out
        self.err = err
        self.seconds = seconds
        self.expired = expired


class Expired(Exception):
    pass


def expire(signum, frame):
    raise Expired()


def libc():
    return ctypes.CDLL(None, use_errno=True)


def adopt():
    """Makes this process the subreaper of what the runs start: what they
    leave running becomes its child, which ends() finds."""
    libc().prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def children():
    """The processes whose parent this process is: as its threads' lists
    of children tell, where the kernel keeps them, else as every
    process's status does."""
    me = os.getpid()
    try:
        found = []
        for task in os.listdir('/proc/%d/task' % me):
            with open('/proc/%d/task/%s/children' % (me, task)) as f:
                found += [int(pid) for pid in f.read().split()]
        return found
    except (IOError, OSError):
        pass
    found = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                stat = f.read()
        except IOError:
            continue
        if int(stat[stat.rindex(')') + 2:].split()[1]) == me:
            found.append(int(entry))
    return found


def ends():
    """Kills and reaps whatever the runs left running, until nothing is."""
    while True:
        left = children()
        if not left:
            return
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        for pid in left:
            try:
                os.waitpid(pid, 0)
            except OSError:
                pass


def status_of(code):
    return -os.WTERMSIG(code) if os.WIFSIGNALED(code) else os.WEXITSTATUS(code)


def wait(pid, limit):
    """(status, whether it outlived `limit` seconds) of the run `pid`; one
    that does is killed with its process group."""
    old = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, limit)
    code = None
    try:
        try:
            code = os.waitpid(pid, 0)[1]
        except Expired:
            pass
    except BaseException:
        os.killpg(pid, signal.SIGKILL)
        raise
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    if code is not None:
        return status_of(code), False
    try:
        os.killpg(pid, signal.SIGKILL)
    except OSError:
        pass
    try:
        code = os.waitpid(pid, 0)[1]
    except OSError as e:
        if e.errno != errno.ECHILD:
            raise
        return -signal.SIGKILL, True
    return status_of(code), True


def inherit_none():
    """Closes at exec every descriptor but the standard three, as
    subprocess's close_fds would, but only those that are open: it closes
    each possible one, a million where the limit is that high."""
    for name in os.listdir('/proc/self/fd'):
        if int(name) > 2:
            try:
                fcntl.fcntl(int(name), fcntl.F_SETFD,
                            fcntl.fcntl(int(name), fcntl.F_GETFD) | fcntl.FD_CLOEXEC)
            except IOError:
                pass  # the listing's own, closed by now


def run(argv, cwd, stdin, env, limit, enter=None):
    """Runs argv in `cwd` (inside the root that enter(), run in the child,
    enters, if given), standard input from the file `stdin`; returns its
    Result. What it left running is ended."""
    with open(stdin, 'rb') as given:
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        try:
            def start():
                os.setsid()
                inherit_none()
                if enter:
                    enter()
            begin = time.time()
            p = subprocess.Popen(argv, stdin=given, stdout=out, stderr=err, env=env,
                                 cwd=None if enter else cwd, preexec_fn=start)
            try:
                status, expired = wait(p.pid, limit)
                p.returncode = status
            finally:
                seconds = time.time() - begin
                ends()
            out.seek(0)
            err.seek(0)
            return Result(status, out.read(), err.read(), seconds, expired)
        finally:
            out.close()
            err.close()


def fresh(template, where):
    """A fresh copy of the directory `template` (or an empty directory) at
    `where`, which does not exist yet."""
    if template:
        shutil.copytree(template, where, symlinks=True)
    else:
        os.makedirs(where)
    return where
