"""Tests of the assembly tool and of the sample application it assembles.

The sample is copied away from the build tree before it is started, so a
reference back into the build tree (a link, a run path) would show.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

SAMPLE_APP = os.environ['SAMPLE_APP']
FREEZE_APP = os.environ['FREEZE_APP']
LAUNCHER = os.environ['LAUNCHER']
PRETTY = '{\n  "a": [\n    1,\n    "\xc3\xa9"\n  ]\n}\n'


def start(argv, executable=None, cwd='/', stdin='', env=None):
    """Runs a program with exactly this environment; returns (status, out, err)."""
    p = subprocess.Popen(argv, executable=executable, cwd=cwd, env=env or {},
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    out, err = p.communicate(stdin)
    return p.returncode, out, err


def write(path, text):
    if not os.path.isdir(os.path.dirname(path)):
        os.makedirs(os.path.dirname(path))
    with open(path, 'w') as f:
        f.write(text)


class TempTest(unittest.TestCase):
    def setUp(self):
        self.tmp = os.path.realpath(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)

    def freeze(self, source, *extra):
        return start(['python2.7', FREEZE_APP] + list(extra) +
                     [source, os.path.join(self.tmp, 'out', 'app')], executable=sys.executable)


class SampleTest(TempTest):
    def setUp(self):
        TempTest.setUp(self)
        self.dir = os.path.join(self.tmp, 'moved', 'jsonpp')
        shutil.copytree(SAMPLE_APP, self.dir, symlinks=True)
        self.exe = os.path.join(self.dir, 'jsonpp')
        self.data = os.path.join(self.tmp, 'data.json')
        write(self.data, '{"a": [1, "\\u00e9"]}')

    def test_ships_a_library_copy_and_bytecode_only(self):
        # A link would still resolve in the moved copy, so only this shows it.
        self.assertFalse(os.path.islink(os.path.join(self.dir, 'libpython2.7.so.1.0')))
        names = zipfile.ZipFile(os.path.join(self.dir, 'lib', 'library.zip')).namelist()
        self.assertIn('jsonpp/__init__.pyc', names)
        self.assertEqual([n for n in names if not n.endswith('.pyc')], [])

    def test_reads_file_and_standard_input_by_path(self):
        self.assertEqual(start([self.exe, self.data]), (0, PRETTY, ''))
        self.assertEqual(start(['./jsonpp'], cwd=self.dir, stdin=open(self.data).read()),
                         (0, PRETTY, ''))

    def test_starts_by_bare_name_from_another_directory(self):
        env = {'PATH': '/nonexistent:' + self.dir}
        self.assertEqual(start(['jsonpp', self.data], self.exe, self.tmp, env=env),
                         (0, PRETTY, ''))
        status, out, _ = start(['jsonpp', '--where'], self.exe, self.tmp, env=env)
        self.assertEqual(out.splitlines()[:2], [
            'executable: ' + self.exe,
            'path: %s/lib %s/lib/library.zip' % (self.dir, self.dir)])

    def test_missing_file_and_bad_input(self):
        status, out, err = start([self.exe, os.path.join(self.tmp, 'none.json')])
        self.assertEqual((status, out), (2, ''))
        self.assertIn('cannot read', err)
        self.assertNotIn('Traceback', err)
        status, out, err = start([self.exe], stdin='[1,')
        self.assertEqual((status, out), (1, ''))
        self.assertIn('not JSON', err)

    def test_non_ascii_file_name_needs_the_encodings_at_startup(self):
        name = os.path.join(self.tmp, '\xc3\xa9t\xc3\xa9.json')
        shutil.copy(self.data, name)
        env = {'LC_ALL': 'C.UTF-8'}
        self.assertEqual(start([self.exe, '--where'], env=env)[1].splitlines()[2],
                         'file system encoding: UTF-8')
        self.assertEqual(start([self.exe, name], env=env), (0, PRETTY, ''))


class FreezeTest(TempTest):
    def test_freezes_a_small_package_of_ones_own(self):
        source = os.path.join(self.tmp, 'src')
        write(os.path.join(source, '__startup__.py'), 'import hello\nrun = hello.run\n')
        write(os.path.join(source, 'hello.py'),
              'import datetime\ndef run():\n    print datetime.date(2000, 1, 2)\n')
        self.assertEqual(self.freeze(source, '--launcher', LAUNCHER), (0, '', ''))
        exe = os.path.join(self.tmp, 'out', 'app', 'app')
        self.assertEqual(start([exe]), (0, '2000-01-02\n', ''))
        # An existing output is replaced only when asked to.
        status, _, err = self.freeze(source, '--launcher', LAUNCHER)
        self.assertEqual(status, 1)
        self.assertIn('use --force', err)
        self.assertEqual(self.freeze(source, '--launcher', LAUNCHER, '--force')[0], 0)

    def test_failures_are_one_clear_message(self):
        cases = [
            ({}, 'no __startup__.py in'),
            ({'__startup__.py': 'def start():\n    pass\n'}, 'defines no run()'),
            ({'__startup__.py': 'def run(:\n'}, 'invalid syntax'),
            ({'__startup__.py': 'import missing_mod\ndef run(): pass\n'},
             'module missing_mod, imported by'),
            ({'__startup__.py': 'import helper\nrun = helper.run\n',
              'helper.py': 'def run(:\n'}, 'helper.py'),
        ]
        for files, message in cases:
            source = tempfile.mkdtemp(dir=self.tmp)
            for name, text in files.items():
                write(os.path.join(source, name), text)
            status, out, err = self.freeze(source, '--launcher', LAUNCHER)
            self.assertEqual(status, 1, message)
            self.assertTrue(err.startswith('freeze-app: ') and message in err, err)
            self.assertNotIn('Traceback', err)
            self.assertFalse(os.path.exists(os.path.join(self.tmp, 'out', 'app', 'app')))

    def test_installed_tool_and_launcher_work_together(self):
        prefix = os.path.join(self.tmp, 'prefix')
        status, out, err = start([os.environ['CMAKE'], '--install', os.environ['BUILD_DIR'],
                                  '--prefix', prefix])
        self.assertEqual(status, 0, err)
        installed = os.path.join(prefix, 'libexec', 'launcher', 'launcher')
        dynamic = start(['readelf', '-d', installed], '/usr/bin/readelf')[1]
        self.assertIn('Library runpath: [${ORIGIN}:${ORIGIN}/../lib]', dynamic)
        source = os.path.join(self.tmp, 'src')
        write(os.path.join(source, '__startup__.py'), 'def run():\n    print "hi"\n')
        app = os.path.join(self.tmp, 'app')
        self.assertEqual(start([os.path.join(prefix, 'bin', 'freeze-app'), source, app]),
                         (0, '', ''))
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hi\n', ''))


if __name__ == '__main__':
    unittest.main(verbosity=2)
