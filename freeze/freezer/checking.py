"""--check: after freezing, each ARGS runs twice, each time in a fresh
copy of --check-dir (an empty directory by default), with standard input
from --check-input (empty by default) and a time limit (--check-timeout):
under the interpreter that froze, on the sources the freeze took
(module running), and frozen, from a copy of the output in a temporary
directory, in the empty root where the system allows it (module
emptyroot). The copy is made while the first run runs under the
interpreter; in the root it is read-only, and made of hard links where
the file system allows; in place, of copied files. Each run prints one
line: `check: ARGS: same` with the two times, or the first difference.
freeze-app then fails unless every run is the same; the output stays
either way.

What is compared, after the places are told apart (below): the status,
standard error and standard output line by line, and the files that each
run leaves in its working directory, bytecode (.pyc, .pyo) aside: only
the frozen program writes that of the modules it imports from there, as
the interpreter started with -B does not. A traceback that one run ends
in and the other does not (or another one) is the first difference said.

Places that are not differences: the sources (SOURCE, the --path
directories, the interpreter's library and site directories) and where
the application has them (lib/library-source, lib/python2.7, lib), with a
module's bytecode (x.pyc) taken for its source (x.py); the application
directory; sys.executable and argv[0], the interpreter and the copied
command, which argv[0] names in both runs; the working directories; the
temporary directory; and the frame "<string>" that begins the
interpreter's tracebacks. With --no-source, the source lines of
tracebacks too, which only the interpreter has.
"""

import os
import re
import stat
import sys
import threading

from . import emptyroot, output, running
from .log import Failure

WIDTH = 100  # of a line quoted in a difference
FRAME = '  File "<string>", line 1, in <module>\n'
TRACEBACK = 'Traceback (most recent call last):'


def copy(source, target, link=False):
    """A copy of the file or directory `source` at `target`: each file's
    content and mode, links as links, and nothing else, which would only
    cost time; with `link`, a file is a hard link to the source's where
    the file system allows it."""
    st = os.lstat(source)
    if stat.S_ISLNK(st.st_mode):
        os.symlink(os.readlink(source), target)
        return
    if stat.S_ISDIR(st.st_mode):
        os.mkdir(target)
        for entry in os.listdir(source):
            copy(os.path.join(source, entry), os.path.join(target, entry), link)
    else:
        try:
            if link:
                os.link(source, target)
                return
        except OSError:
            pass
        with open(source, 'rb') as f, open(target, 'wb') as g:
            g.write(f.read())
    os.chmod(target, stat.S_IMODE(st.st_mode))


class Copying(threading.Thread):
    """copy(), in a thread of its own: wait() for it, and for what it
    raised."""

    def __init__(self, *places):
        threading.Thread.__init__(self)
        self.places = places
        self.failed = None
        self.start()

    def run(self):
        try:
            copy(*self.places)
        except BaseException:
            self.failed = sys.exc_info()

    def wait(self):
        self.join()
        if self.failed:
            raise self.failed[0], self.failed[1], self.failed[2]


def unpacked(cache):
    """The directories that a one file unpacked into the cache `cache`."""
    top = os.path.join(cache, 'freeze-app')
    return [os.path.join(top, d) for d in sorted(os.listdir(top)) if '.' not in d] \
        if os.path.isdir(top) else []


class Places(object):
    """How the paths of the two runs are told apart from differences:
    each place (a path), where a path ends or goes on below it, stands
    for its name; the longest first."""

    def __init__(self, pairs, no_source):
        self.no_source = no_source
        self.names = dict(pairs)
        self.places = re.compile('(%s)(?![\\w.-])' % '|'.join(
            re.escape(place) for place in sorted(self.names, key=len, reverse=True)))

    def normal(self, text):
        text = self.places.sub(lambda m: self.names[m.group(1)], text)
        text = re.sub(r'(<source>/\S*?\.py)[co](?![\w.])', r'\1', text)
        if self.no_source:
            text = re.sub(r'(?m)^(  File "[^\n]*\n)    [^\n]*\n', r'\1', text)
        return text.replace(FRAME, '')


def sources(app):
    """The places where an application (`app`, its directory) has its
    modules and files, with what they stand for."""
    return [(app + '/lib/library-source', '<source>'), (app + '/lib/python2.7', '<source>'),
            (app + '/lib', '<source>'), (app, '<app>')]


def quoted(line):
    if line is None:
        return 'nothing'
    return repr(line if len(line) <= WIDTH else line[:WIDTH] + '...')


def ending(err):
    """The exception that a traceback in `err` ends in, or None."""
    lines = err.splitlines()
    if TRACEBACK not in lines:
        return None
    after = lines[len(lines) - 1 - lines[::-1].index(TRACEBACK) + 1:]
    ends = [line for line in after if line and not line.startswith(' ')]
    return ends[0] if ends else ''


def lines(what, plain, frozen):
    """The first line that differs, said; None if none does."""
    a, b = plain.splitlines(), frozen.splitlines()
    for n in range(max(len(a), len(b))):
        x = a[n] if n < len(a) else None
        y = b[n] if n < len(b) else None
        if x != y:
            return '%s line %d: %s under the interpreter, %s frozen' % (
                what, n + 1, quoted(x), quoted(y))
    if plain != frozen:
        return '%s: the end of its last line' % what
    return None


def tree(directory, places):
    """{path: what it is} of everything below `directory`, but bytecode:
    a directory, a link and where it leads, a file and its content."""
    found = {}
    for path, dirs, files in os.walk(directory):
        for name in dirs + files:
            full = os.path.join(path, name)
            relative = os.path.relpath(full, directory)
            if os.path.islink(full):
                found[relative] = 'a link to ' + places.normal(os.readlink(full))
            elif os.path.isdir(full):
                found[relative] = 'a directory'
            elif not name.endswith(('.pyc', '.pyo')):
                with open(full, 'rb') as f:
                    found[relative] = places.normal(f.read())
    return found


def difference(plain, frozen, works, places):
    """The first difference of two runs (Results) said, or None."""
    for result, who in ((plain, 'under the interpreter'), (frozen, 'frozen')):
        if result.expired:
            return 'the run %s outlived its limit: ended with its process group' % who
    out = [places.normal(r.out) for r in (plain, frozen)]
    err = [places.normal(r.err) for r in (plain, frozen)]
    ends = [ending(e) for e in err]
    if ends[0] != ends[1]:
        if ends[0] is not None and ends[1] is not None:
            return 'the tracebacks end in %s under the interpreter, %s frozen' % (
                quoted(ends[0]), quoted(ends[1]))
        who, end, other = (('frozen', ends[1], plain) if ends[0] is None
                           else ('under the interpreter', ends[0], frozen))
        return 'the run %s ends in a traceback, %s; the other in none, with status %d' % (
            who, quoted(end), other.status)
    said = lines('standard error', *err) or lines('standard output', *out)
    if said:
        return said
    trees = [tree(w, places) for w in works]
    for path in sorted(set(trees[0]) | set(trees[1])):
        if path not in trees[1]:
            return 'file %s: left under the interpreter only' % path
        if path not in trees[0]:
            return 'file %s: left frozen only' % path
        if trees[0][path] != trees[1][path]:
            binary = '\0' in trees[0][path] + trees[1][path]
            return 'file %s: %s' % (path, not binary and lines('its', trees[0][path],
                                                                trees[1][path]) or 'differs')
    if plain.status != frozen.status:
        return 'status %d under the interpreter, %d frozen' % (plain.status, frozen.status)
    return None


def check(commands, target, search, starts, options, log):
    """Runs each command under the interpreter, on the search path
    `search` (and the __startup__ texts `starts`, as running.Plain takes
    them), and frozen from a copy of the output (`target`), and says how
    they compare; fails unless every one is the same."""
    running.adopt()
    with running.workshop(log) as tmp:
        plain = running.Plain(search, starts, tmp)
        root = emptyroot.Root(os.path.join(tmp, 'root'), tmp)
        app = os.path.join(tmp, 'app', target.name)
        os.makedirs(root.inside(os.path.dirname(app)))
        # The copy is made while the first run runs under the interpreter:
        # of hard links, read-only in the root; a copy of each file where
        # the runs run in place.
        copying = Copying(target.path, root.inside(app), True)
        root.read_only.append(os.path.dirname(app))

        def in_place():
            copying.wait()
            output.remove(root.inside(app))
            copy(target.path, root.inside(app))
        # A one file's cache, in the root and out of it.
        cache = os.path.join(tmp, 'cache')
        os.makedirs(root.inside(cache))
        os.makedirs(cache)
        env = running.environment(**({'XDG_CACHE_HOME': cache} if options.onefile else {}))
        differ = 0
        for n, command in enumerate(commands):
            def command_of(seen):
                return ([seen(app)] if options.onefile else
                        [os.path.join(seen(app), command.name)]) + command.args
            frozen = os.path.join(tmp, 'frozen-%d' % n)
            works = [running.fresh(options.check_dir, os.path.join(tmp, 'plain-%d' % n)),
                     running.fresh(options.check_dir, root.inside(frozen))]
            a = running.run(plain.argv(command, command_of(root.seen())[0]), works[0],
                            options.check_input, env, options.check_timeout)
            copying.wait()
            b, seen = root.run(command_of, frozen, options.check_input, env,
                               options.check_timeout, log, in_place)
            # The executables last: a one file is the application too.
            pairs = [(p, '<source>') for p in plain.places()] + [
                (works[0], '<cwd>'), (seen(frozen), '<cwd>'), (seen(tmp), '<tmp>'),
                (tmp, '<tmp>')] + sources(seen(app))
            pairs += sum([sources(d) for d in unpacked(cache)], []) + sum(
                [sources(d[len(root.inside('')):]) for d in unpacked(root.inside(cache))], [])
            pairs += [(sys.executable, '<executable>'), (command_of(seen)[0], '<executable>'),
                      (command_of(root.seen())[0], '<executable>')]
            said = difference(a, b, works, Places(pairs, options.no_source))
            if said:
                differ += 1
                log.say('check: %s: differs: %s' % (command.text, said))
            else:
                log.say('check: %s: same (%.2f s under the interpreter, %.2f s frozen)'
                        % (command.text, a.seconds, b.seconds))
    if differ:
        raise Failure('%d of %d checks differ from the interpreter; %s is kept'
                      % (differ, len(commands), target.path))
