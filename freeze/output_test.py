"""freeze-app never destroys what it did not make: careless spellings of
OUTPUT, directories it must not touch, earlier outputs that cannot be
removed, and freezes killed midway.
"""

import os
import signal
import subprocess
import sys
import sysconfig
import time
import unittest

from test_support import FREEZE_APP, LAUNCHER, TOOLS, TempTest, start, write

MARK_TEXT = 'This directory was made by freeze-app; freeze-app --force may replace it.\n'
GREET = {'__startup__.py': 'import greet\nrun = greet.run\n',
         'greet.py': 'def run():\n    print "hello"\n'}


def snapshot(root):
    """Every entry below root: its kind, mode, size, time and, for files,
    contents (directories of the interpreter: no contents)."""
    result = {}
    for path, dirs, files in os.walk(root):
        for name in dirs + files:
            full = os.path.join(path, name)
            st = os.lstat(full)
            data = None
            if os.path.isfile(full) and not os.path.islink(full) and st.st_size < 1 << 20:
                with open(full, 'rb') as f:
                    data = f.read()
            result[os.path.relpath(full, root)] = (st.st_mode, st.st_size, st.st_mtime, data,
                                                   os.path.islink(full) and os.readlink(full))
    return result


def work_dirs(parent):
    return [e for e in os.listdir(parent) if '.freeze-app.' in e]


class OutputSafetyTest(TempTest):
    def workspace(self):
        """A directory with sources, a --path directory, a link, files and
        directories of the user's, and an earlier output."""
        ws = os.path.join(self.tmp, 'ws')
        src = self.source(GREET, name='ws/src')
        write(os.path.join(ws, 'site', 'extra.py'), 'X = 1\n')
        write(os.path.join(ws, 'other', 'mine.txt'), 'mine\n')
        write(os.path.join(ws, 'victim', 'v.txt'), 'precious\n')
        write(os.path.join(ws, 'somefile'), 'a file\n')
        write(os.path.join(ws, 'home', '.profile'), 'profile\n')
        write(os.path.join(ws, 'keep', 'k.txt'), 'kept\n')
        write(os.path.join(ws, 'c:d', 'x'), '')
        os.makedirs(os.path.join(ws, 'mnt', 'b'))
        os.symlink('other', os.path.join(ws, 'lnk'))
        status, _, err = self.freeze(src, output=os.path.join(ws, 'made', 'app'))
        self.assertEqual(status, 0, err)
        os.makedirs(os.path.join(ws, 'made', 'app', 'lib', 'm'))
        os.symlink('made/app', os.path.join(ws, 'applink'))
        return ws, src

    def test_hostile_outputs_are_refused_and_every_file_stays_as_it_was(self):
        ws, src = self.workspace()
        site = os.path.join(ws, 'site')
        packages = sysconfig.get_path('purelib')
        root = os.geteuid() == 0
        # OUTPUT, options, what precedes the freeze in a mount namespace of
        # its own (root only), the message.
        cases = [
            ('lnk/../src', (), None, 'contains the sources in'),
            ('lnk/..', ('--force', '--name', 'app'), None, 'contains the current directory'),
            ('nonexist/../victim', (), None, 'nonexist/.. is not a directory'),
            ('victim', (), None, 'victim exists (use --force to replace it)'),
            ('victim', ('--force',), None, 'victim exists and was not made by freeze-app'),
            ('somefile/', (), None, 'somefile exists (use --force'),
            ('somefile/', ('--force',), None, 'somefile exists and was not made by freeze-app'),
            ('applink', ('--force',), None, 'applink exists and was not made by freeze-app'),
            ('', ('--force', '--name', 'app'), None, 'OUTPUT is empty'),
            ('.', ('--force', '--name', 'app'), None, 'contains the current directory'),
            ('/', ('--force', '--name', 'app'), None, 'OUTPUT / is the root directory'),
            (os.path.join(ws, 'home'), ('--force',), None, 'contains the home directory'),
            (self.tmp, ('--force', '--name', 'app'), None, 'contains the current directory'),
            ('site/app', ('--path', site), None, 'contains the sources in ' + site),
            ('src/../site', ('--force', '--path', site), None, 'contains the sources in'),
            (packages, ('--force',), None, "the interpreter's directory"),
            (os.path.join(sys.prefix, 'app'), (), None, "the interpreter's directory"),
            ('c:d/app', (), None, "path that holds ':'"),
        ]
        if root:
            bind = 'mount --bind %s %s' % (ws, os.path.join(ws, 'mnt', 'b'))
            inside = 'mount --bind %s %s' % (os.path.join(ws, 'keep'),
                                             os.path.join(ws, 'made', 'app', 'lib', 'm'))
            whole = 'mount --bind %s %s' % (os.path.join(ws, 'keep'),
                                            os.path.join(ws, 'made', 'app'))
            cases += [
                ('mnt/b/src', ('--force',), bind, 'contains the sources in'),
                ('made/app', ('--force',), inside, 'holds the mount point %s/made/app/lib/m' % ws),
                ('made/app', ('--force',), whole, 'was not made by freeze-app'),
            ]
        before = snapshot(self.tmp)
        interpreter = snapshot(packages)
        for output, options, mounts, message in cases:
            status, out, err = self.freeze(src, *options, output=output, cwd=ws,
                                           before=mounts, env={'HOME': os.path.join(ws, 'home')})
            self.assertEqual((status, out), (1, ''), (output, err))
            self.assertTrue(err.startswith('freeze-app: ') and message in err, (output, err))
            self.assertEqual(err.count('\n'), 1, err)
        self.assertEqual(snapshot(self.tmp), before)
        self.assertEqual(snapshot(packages), interpreter)
        self.assertFalse(os.path.exists(os.path.join(sys.prefix, 'app')))

    def test_force_replaces_only_an_earlier_output_whole(self):
        src = self.source(GREET)
        app = self.frozen(src)
        with open(os.path.join(app, '.freeze-app')) as f:
            self.assertEqual(f.read(), MARK_TEXT)
        write(os.path.join(src, 'greet.py'), 'def run():\n    print "second"\n')
        status, _, err = self.freeze(src)
        self.assertEqual((status, err), (1, 'freeze-app: %s exists (use --force to replace it)\n'
                                         % app))
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hello\n', ''))
        self.frozen(src, '--force')
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'second\n', ''))
        self.assertEqual(os.listdir(os.path.dirname(app)), ['app'])

    def test_an_earlier_output_that_cannot_be_removed_is_left_with_a_warning(self):
        src = self.source(GREET)
        app = self.frozen(src)
        stuck = os.path.join(app, 'lib', 'library.zip')
        status, _, err = start(['chattr', '+i', stuck], env=TOOLS)
        if status != 0:
            self.skipTest('no immutable files here: ' + err.strip())
        self.addCleanup(start, ['chattr', '-R', '-i', self.tmp], env=TOOLS)
        write(os.path.join(src, 'greet.py'), 'def run():\n    print "second"\n')
        status, out, err = self.freeze(src, '--force')
        self.assertEqual(status, 0, err)
        left = work_dirs(os.path.dirname(app))
        self.assertEqual(len(left), 1, left)
        self.assertEqual(err, 'freeze-app: warning: the earlier output is left in %s, which '
                         "cannot be removed: [Errno 1] Operation not permitted: '%s'\n"
                         % (os.path.join(os.path.dirname(app), left[0]),
                            os.path.join(os.path.dirname(app), left[0], 'lib', 'library.zip')))
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'second\n', ''))
        # Once it can be, the next freeze removes what is left.
        start(['chattr', '-i', os.path.join(os.path.dirname(app), left[0], 'lib',
                                            'library.zip')], env=TOOLS)
        self.frozen(src, '--force')
        self.assertEqual(os.listdir(os.path.dirname(app)), ['app'])

    def test_a_freeze_killed_midway_keeps_the_earlier_output_and_the_next_cleans_up(self):
        src = self.source(GREET)
        app = self.frozen(src)
        parent = os.path.dirname(app)
        p = subprocess.Popen([sys.executable, '-B', FREEZE_APP, '--launcher', LAUNCHER,
                              '--force', src, app], env=TOOLS,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 30
        while time.time() < deadline and not any(
                os.path.exists(os.path.join(parent, w, 'lib', 'library.zip'))
                for w in work_dirs(parent)):
            time.sleep(0.01)
        os.kill(p.pid, signal.SIGKILL)
        p.communicate()
        self.assertEqual(p.returncode, -signal.SIGKILL)
        self.assertEqual(len(work_dirs(parent)), 1, os.listdir(parent))
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hello\n', ''))
        self.frozen(src, '--force')
        self.assertEqual(os.listdir(parent), ['app'])
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hello\n', ''))


if __name__ == '__main__':
    unittest.main(verbosity=2)
