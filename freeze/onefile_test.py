"""The one-file form against the directory form of the same program, and
its cache: concurrent and killed first starts, pruned, unsafe, read-only,
noexec and full places, another user's exchanges, a held lock, damaged
one files."""

import fcntl
import json
import os
import py_compile
import shutil
import stat
import struct
import subprocess
import tempfile
import time
import unittest

from test_support import SAMPLE_APP, TOOLS, TempTest, start, write

PROGRAM = r'''import os, signal, sys
def run():
    what = sys.argv[1:2]
    if what == ['exit']:
        sys.exit(int(sys.argv[2]))
    if what == ['raise']:
        import helper
        helper.fail()
    if what == ['signal']:
        os.kill(os.getpid(), signal.SIGTERM)
    if what == ['stdin']:
        sys.stdout.write(sys.stdin.read().upper())
        return
    import site  # which adds no user site directory
    try:
        import decoy
    except ImportError:
        decoy = None
    import json
    print json.dumps([sys.argv, sys.executable, decoy is None, os.environ.get('PYTHONPATH')])
'''
HELPER = 'def fail():\n    raise ValueError("no")\n'
ROOT = os.geteuid() == 0
# Exchanges two directories as fast as it can, as another user would.
EXCHANGE = ('#define _GNU_SOURCE\n#include <fcntl.h>\n#include <stdio.h>\n'
            'int main(int c, char **v) { for (;;) renameat2(AT_FDCWD, v[1], AT_FDCWD, v[2], '
            'RENAME_EXCHANGE); }\n')
ENTRY = struct.Struct('<BIIQ')  # as freezer/onefile.py packs each entry
TRAILER = 22 + 16 + 256 + 32


class OneFileTest(TempTest):
    def setUp(self):
        # Outside /tmp, over which a test mounts a file system of its own.
        self.tmp = os.path.realpath(tempfile.mkdtemp(dir='/var/tmp'))
        self.addCleanup(shutil.rmtree, self.tmp)
        self.src = self.source({'__startup__.py': PROGRAM, 'helper.py': HELPER})
        self.one = os.path.join(self.tmp, 'bin', 'app')
        status, out, err = self.freeze(self.src, '--onefile', output=self.one)
        self.assertEqual(status, 0, err)
        self.assertRegexpMatches(out, r'; one file of [\d.]+ MiB running app\n\Z')
        self.home = os.path.join(self.tmp, 'home')
        os.mkdir(self.home)
        self.env = dict(TOOLS, HOME=self.home, PYTHONPATH=self.tmp, LC_ALL='C.UTF-8')
        write(os.path.join(self.tmp, 'decoy.py'), 'print "decoy"\n')
        user_site = os.path.join(self.home, '.local', 'lib', 'python2.7', 'site-packages')
        for name in ('decoy.py', 'usercustomize.py'):
            write(os.path.join(user_site, name), 'print "decoy"\n')

    def cache(self, home=None):
        """The directories and files in the cache root."""
        root = os.path.join(home or self.home, '.cache', 'freeze-app')
        return sorted(os.listdir(root)) if os.path.isdir(root) else []

    def run_one(self, args=(), env=None, before=None, **kw):
        """Runs the one file, after the shell commands `before` in a mount
        namespace of its own where they are given."""
        argv = [self.one] + list(args)
        if before:
            argv = ['unshare', '--mount', '--', 'sh', '-ec', before + '; exec "$@"', 'sh'] + argv
        return start(argv, env=env or self.env, **kw)

    def read_only(self, path):
        return 'mount --bind %s %s; mount -o remount,bind,ro %s' % (path, path, path)

    def unpacked(self):
        root = os.path.join(self.home, '.cache', 'freeze-app')
        return os.path.join(root, [e for e in self.cache() if '.' not in e][0])

    def entries(self, data):
        """(offset, kind, mode, path) of each entry of a one file's pack."""
        at, size = struct.unpack('<QQ', data[-TRAILER + 22:-TRAILER + 38])
        end = at + size
        while at < end:
            kind, mode, length, size = ENTRY.unpack(data[at:at + ENTRY.size])
            yield at, chr(kind), mode, data[at + ENTRY.size:at + ENTRY.size + length]
            at += ENTRY.size + length + size

    def test_runs_as_the_directory_form_does(self):
        directory = self.frozen(self.src)
        app = os.path.join(directory, 'app')
        for args, stdin in [((), ''), (('a b', '\xc3\xa9'), ''), (('exit', '3'), ''),
                            (('exit', '0'), ''), (('raise',), ''), (('signal',), ''),
                            (('stdin',), 'some input\n')]:
            mine = self.run_one(args, stdin=stdin)
            theirs = start([app] + list(args), env=self.env, stdin=stdin)
            cached = os.path.join(self.home, '.cache', 'freeze-app', self.cache()[0])
            self.assertEqual(mine, tuple(t.replace(app, self.one).replace(directory, cached)
                                         if isinstance(t, str) else t for t in theirs), args)
        self.assertEqual(theirs[0], 0)
        self.assertEqual(mine[0], 0)
        # Started by a relative path, a link and along PATH: argv[0] as given.
        os.symlink(self.one, os.path.join(self.tmp, 'link'))
        for argv, cwd, path in [(['./app'], os.path.dirname(self.one), '/usr/bin'),
                                ([os.path.join(self.tmp, 'link')], '/', '/usr/bin'),
                                (['app'], '/', os.path.dirname(self.one) + ':/usr/bin')]:
            status, out, err = start(argv, cwd=cwd, env=dict(self.env, PATH=path))
            self.assertEqual((status, err), (0, ''), argv)
            self.assertEqual(json.loads(out), [[argv[0]], self.one, True, self.tmp])
        self.assertEqual(len(self.cache()), 2)  # the directory and its lock
        # The sample, a real program, prints what its directory form prints.
        sample = os.path.join(self.tmp, 'bin', 'jsonpp')
        status, _, err = self.freeze(os.environ['SAMPLE_SOURCE'], '--onefile', output=sample)
        self.assertEqual(status, 0, err)
        example = os.path.join(os.environ['SAMPLE_SOURCE'], 'example.json')
        for args in ([example], ['--where'], ['/no/such/file']):
            theirs = start([os.path.join(SAMPLE_APP, 'jsonpp')] + args, env=self.env)
            mine = start([sample] + args, env=self.env)
            self.assertEqual(mine[0], theirs[0], args)
            if args != ['--where']:
                self.assertEqual(mine, theirs, args)
        # One command of entry points, in a one file of another name.
        tools = self.source({'tools/__init__.py': '',
                             'tools/cli.py': 'def hello():\n    print "hello"\n'}, name='tools')
        hello = os.path.join(self.tmp, 'bin', 'hello1')
        status, _, err = self.freeze(tools, '--onefile', '--entry', 'hello=tools.cli:hello',
                                     output=hello)
        self.assertEqual(status, 0, err)
        self.assertEqual(start([hello], env=self.env), (0, 'hello\n', ''))

    def test_the_same_program_gives_the_same_file_and_force_replaces_only_its_kind(self):
        with open(self.one, 'rb') as f:
            first = f.read()
        status, _, err = self.freeze(self.src, '--onefile', output=self.one)
        self.assertIn('exists (use --force', err)
        status, _, err = self.freeze(self.src, '--onefile', '--force', output=self.one)
        self.assertEqual(status, 0, err)
        with open(self.one, 'rb') as f:
            self.assertTrue(f.read() == first, 'the one file differs from the last')
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.one))), ['app'])
        other = os.path.join(self.tmp, 'bin', 'other')
        write(other, 'precious\n')
        directory = self.frozen(self.src)
        for target in (other, directory):
            status, _, err = self.freeze(self.src, '--onefile', '--force', output=target)
            self.assertEqual(status, 1)
            self.assertIn('is no one file made by freeze-app', err)
        with open(other) as f:
            self.assertEqual(f.read(), 'precious\n')

    def test_first_starts_at_once_or_killed_leave_one_complete_directory(self):
        starts = [subprocess.Popen([self.one], env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE) for _ in range(8)]
        results = [(p.wait(), p.stdout.read(), p.stderr.read()) for p in starts]
        self.assertEqual(set(r[0] for r in results), set([0]), results)
        self.assertEqual(len(set(results)), 1)
        self.assertEqual(len(self.cache()), 2, self.cache())
        good = results[0]
        for moment in (0.0, 0.005, 0.02, 0.05):
            shutil.rmtree(os.path.join(self.home, '.cache'))
            p = subprocess.Popen([self.one], env=self.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            time.sleep(moment)
            p.kill()
            p.wait()
            self.assertEqual(self.run_one(), good, moment)
            self.assertEqual([e for e in self.cache() if '.tmp-' in e], [], moment)

    def test_a_pruned_cache_is_unpacked_again_and_a_later_start_writes_nothing(self):
        self.assertEqual(self.run_one()[0], 0)
        directory = os.path.join(self.home, '.cache', 'freeze-app', self.cache()[0])
        archive = os.path.join(directory, 'lib', 'library.zip')
        os.remove(archive)
        self.assertEqual(self.run_one()[0], 0)
        self.assertTrue(os.path.isfile(archive))
        if not ROOT:
            return
        # Read-only, the cache still serves a later start.
        self.assertEqual(self.run_one(before=self.read_only(self.home))[0], 0)

    @unittest.skipUnless(ROOT, 'another user needs root')
    def test_another_user_who_can_write_above_the_cache_cannot_run_code_in_it(self):
        # The user's cache in HOME; a cache place P that `nobody` owns holds
        # an earlier one, and nobody's copy of it, whose __startup__ writes
        # a mark, which nobody exchanges with it, again and again.
        self.assertEqual(self.run_one()[0], 0)
        mine = self.unpacked()
        os.chmod(self.tmp, 0o755)
        place = os.path.join(self.tmp, 'P')
        mark = os.path.join(self.tmp, 'ran')
        for leaf in ('freeze-app', 'fake'):
            os.makedirs(os.path.join(place, leaf), 0o700)
            status, _, err = start(['cp', '-a', mine, os.path.join(place, leaf)], env=TOOLS)
            self.assertEqual(status, 0, err)
        theirs = os.path.join(place, 'fake', os.path.basename(mine))
        write(os.path.join(self.tmp, 'evil.py'), 'open(%r, "w").write("ran")\n' % mark)
        py_compile.compile(os.path.join(self.tmp, 'evil.py'), os.path.join(self.tmp, 'evil.pyc'))
        with open(os.path.join(self.tmp, 'evil.pyc'), 'rb') as f:
            evil = f.read()
        with open(os.path.join(theirs, 'lib', '__startup__.pyc'), 'r+b') as f:
            f.truncate(0)
            f.write(evil)  # in place: lib keeps its time
        exchange = os.path.join(self.tmp, 'exchange')
        status, _, err = start(['cc', '-o', exchange, '-x', 'c', '-'], stdin=EXCHANGE, env=TOOLS)
        self.assertEqual(status, 0, err)
        for path in [place, os.path.join(place, 'fake')] + [
                os.path.join(d, n) for d, dirs, files in os.walk(theirs) for n in dirs + files]:
            os.lchown(path, 65534, 65534)
        attacker = subprocess.Popen(['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups',
                                     exchange, os.path.join(place, 'freeze-app'),
                                     os.path.join(place, 'fake')])
        self.addCleanup(attacker.wait)
        self.addCleanup(attacker.kill)
        env = dict(self.env, XDG_CACHE_HOME=place)
        results = set()
        deadline = time.time() + 10
        while time.time() < deadline and not os.path.exists(mark):
            results.add(self.run_one(env=env)[:2])
        self.assertFalse(os.path.exists(mark), 'the other user\'s code ran')
        self.assertEqual(results, set([(0, self.run_one()[1])]))

    def test_a_start_that_finds_the_lock_held_says_so_and_gives_up_in_time(self):
        self.assertEqual(self.run_one()[0], 0)
        directory = self.unpacked()
        shutil.rmtree(directory)
        lock = open(directory + '.lock', 'a')
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        begun = time.time()
        status, out, err = start(['timeout', '-s', 'KILL', '60', self.one], env=self.env)
        self.assertEqual((status, out), (1, ''), err)
        self.assertGreater(time.time() - begun, 29)
        self.assertRegexpMatches(err, r'\AWaiting for the lock %s\.lock, .*\n'
                                      r'Fatal error: gave up waiting for the lock, .*: %s\.lock\n\Z'
                                 % (directory, directory))
        fcntl.flock(lock, fcntl.LOCK_UN)
        self.assertEqual(self.run_one()[0], 0)

    def test_a_damaged_one_file_is_refused_in_one_line_and_modes_are_its_own(self):
        with open(self.one, 'rb') as f:
            good = f.read()
        entries = list(self.entries(good))
        directory, executable = [(at, path) for at, kind, mode, path in entries
                                 if (kind, path) in (('d', 'lib'), ('f', 'app'))]
        trailer = len(good) - 32
        outside = [at for at, kind, mode, path in entries if path == 'lib/helper.py'][0]
        damages = [
            # setuid and writable by all, a directory of mode 0: its own modes.
            ([(directory[0] + 1, struct.pack('<I', 0)),
              (executable[0] + 1, struct.pack('<I', 0o4777))], None),
            ([(trailer, '/..' * 8 + '/tmp/xx/')], 'is damaged: ' + self.one),
            ([(trailer + 8, '\n')], 'is damaged: ' + self.one),
            ([(outside + ENTRY.size, '../../')], 'names a path outside it: ../../lper.py'),
        ]
        for changes, message in damages:
            shutil.rmtree(os.path.join(self.home, '.cache'), ignore_errors=True)
            data = bytearray(good)
            for at, replacement in changes:
                data[at:at + len(replacement)] = replacement
            with open(self.one, 'wb') as f:
                f.write(data)
            status, out, err = self.run_one()
            if message is None:
                self.assertEqual(status, 0, err)
                modes = set(stat.S_IMODE(os.lstat(os.path.join(d, n)).st_mode)
                            for d, dirs, files in os.walk(self.unpacked())
                            for n in dirs + files if n != '.unpacked')
                self.assertEqual(modes, set([0o755, 0o644]))
            else:
                self.assertEqual((status, out, err),
                                 (1, '', 'Fatal error: the packed application %s\n' % message))
        # A file that others may not read: nor may they read the one file.
        write(os.path.join(self.src, 'secret.txt'), 'secret\n')
        os.chmod(os.path.join(self.src, 'secret.txt'), 0o600)
        kept = os.path.join(self.tmp, 'bin', 'kept')
        status, _, err = self.freeze(self.src, '--onefile', output=kept)
        self.assertEqual(status, 0, err)
        self.assertEqual(stat.S_IMODE(os.stat(kept).st_mode), 0o700)

    def test_a_command_name_too_long_for_the_cache_is_refused_as_it_is_frozen(self):
        status, out, err = self.freeze(self.src, '--onefile',
                                       output=os.path.join(self.tmp, 'x' * 211))
        self.assertEqual((status, out), (1, ''))
        self.assertRegexpMatches(err, r'\Afreeze-app: --onefile: the command name x{211} is too '
                                      r'long[^\n]*\n\Z')

    @unittest.skipUnless(ROOT, 'mounts need root')
    def test_unsafe_read_only_noexec_and_full_places_end_in_one_line(self):
        tmp = os.path.join(self.tmp, 'tmpdir')
        os.mkdir(tmp)
        env = dict(self.env, TMPDIR=tmp)
        ro_home = self.read_only(self.home)
        # Home read-only: TMPDIR serves.
        self.assertEqual(self.run_one(env=env, before=ro_home)[0], 0)
        self.assertEqual(os.listdir(tmp), ['freeze-app-0'])
        shutil.rmtree(os.path.join(tmp, 'freeze-app-0'))
        # Prepared in advance in the shared place: refused, left as it is.
        elsewhere = os.path.join(self.tmp, 'elsewhere')
        os.mkdir(elsewhere)
        place = os.path.join(tmp, 'freeze-app-0')
        for prepare in (lambda: os.symlink(elsewhere, place),
                        lambda: (os.mkdir(place), os.chown(place, 1234, 1234)),
                        lambda: (os.mkdir(place), os.chmod(place, 0o777))):
            prepare()
            before = os.lstat(place)
            status, out, err = self.run_one(env=env, before=ro_home)
            self.assertEqual((status, out), (1, ''))
            self.assertRegexpMatches(err, r'\AFatal error: refusing the cache directory, .*'
                                          r'freeze-app-0\n\Z')
            after = os.lstat(place)
            self.assertEqual((before.st_ino, before.st_mode, before.st_uid),
                             (after.st_ino, after.st_mode, after.st_uid))
            self.assertEqual(os.listdir(elsewhere), [])
            os.unlink(place) if os.path.islink(place) else os.rmdir(place)
        # /tmp noexec: without home it fails, with home it is not needed.
        noexec = 'mount -t tmpfs -o noexec none /tmp'
        status, out, err = self.run_one(before=noexec + '; ' + ro_home)
        self.assertEqual((status, out), (1, ''))
        self.assertRegexpMatches(err, r'\AFatal error: no cache directory can be made.*\n\Z')
        self.assertEqual(self.run_one(before=noexec)[0], 0)
        # Full: one line, nothing half-unpacked left.
        shutil.rmtree(os.path.join(self.home, '.cache'))
        status, out, err = start(['unshare', '--mount', '--', 'sh', '-c',
                                  'mount -t tmpfs -o size=1m none "$HOME"; "$0"; s=$?; '
                                  'ls -a "$HOME/.cache/freeze-app"; exit $s', self.one],
                                 env=self.env)
        self.assertEqual(status, 1)
        self.assertRegexpMatches(err, r'\AFatal error: cannot write .*: No space left on device\n\Z')
        self.assertEqual([e for e in out.split() if '.tmp-' in e], [])


if __name__ == '__main__':
    unittest.main(verbosity=2)
