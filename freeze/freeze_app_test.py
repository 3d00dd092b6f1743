"""Tests of the freezer and of the sample application it assembles.

Frozen applications are moved away from where they were built before they
are started, so that a reference back (a link, a run path) would show, and
what they print is compared with what the plain interpreter prints.
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import time
import unittest
import zipfile

from test_support import (FREEZE_APP, LAUNCHER, SAMPLE_APP, TOOLS, TempTest, build_extension,
                          plain, start, write)

PRETTY = '{\n  "a": [\n    1,\n    "\xc3\xa9"\n  ]\n}\n'


def virtualenv(venv, *search):
    """An older virtualenv's layout: links to the real modules, and its
    own site.py, which sets sys.real_prefix, appends the standard library,
    its site-packages and SEARCH to the path, and does not add the user
    site directory. Returns its lib."""
    stdlib = os.path.dirname(os.path.realpath(os.__file__))
    lib = os.path.join(venv, 'lib', 'python2.7')
    os.makedirs(os.path.join(venv, 'bin'))
    shutil.copy(os.path.realpath(sys.executable), os.path.join(venv, 'bin', 'python2.7'))
    write(os.path.join(lib, 'orig-prefix.txt'), sys.prefix)
    for name in os.listdir(stdlib):
        if name.endswith('.py') and name != 'site.py' or name in ('encodings', 'lib-dynload'):
            os.symlink(os.path.join(stdlib, name), os.path.join(lib, name))
    write(os.path.join(lib, 'site.py'),
          'import os, sys\n'
          'sys.real_prefix = open(os.path.join(os.path.dirname(__file__), '
          '"orig-prefix.txt")).read()\n'
          'sys.path += [%r, os.path.join(sys.prefix, "lib/python2.7/site-packages")] + %r\n'
          'ENABLE_USER_SITE, USER_BASE = False, os.path.expanduser("~/.local")\n'
          'USER_SITE = os.path.join(USER_BASE, "lib/python2.7/site-packages")\n'
          % (stdlib, list(search)))
    return lib


class SampleTest(TempTest):
    def setUp(self):
        TempTest.setUp(self)
        self.dir = os.path.join(self.tmp, 'moved', 'jsonpp')
        shutil.copytree(SAMPLE_APP, self.dir, symlinks=True)
        self.exe = os.path.join(self.dir, 'jsonpp')
        self.data = os.path.join(self.tmp, 'data.json')
        write(self.data, '{"a": [1, "\\u00e9"]}')

    def test_ships_bytecode_of_what_it_can_reach_only(self):
        # A link would still resolve in the moved copy, so only this shows it.
        self.assertFalse(os.path.islink(os.path.join(self.dir, 'libpython2.7.so.1.0')))
        archive = zipfile.ZipFile(os.path.join(self.dir, 'lib', 'library.zip'))
        names = archive.namelist()
        self.assertIn('jsonpp/__init__.pyc', names)
        self.assertEqual([n for n in names if not n.endswith('.pyc')], ['__startup__.app'])
        # The launcher imports lib's __startup__, a stub that hands over to _boot.
        self.assertNotIn('__startup__.pyc', names)
        self.assertTrue(os.path.isfile(os.path.join(self.dir, 'lib', '__startup__.pyc')))
        # What every start imports is stored; what only some runs import,
        # from inside functions, is deflated.
        method = dict((i.filename, i.compress_type) for i in archive.infolist())
        for name in ('__boot__.pyc', '__startup__.app', 'jsonpp/__init__.pyc',
                     'json/decoder.pyc', 're.pyc'):
            self.assertEqual(method[name], zipfile.ZIP_STORED, name)
        for name in ('optparse.pyc', 'subprocess.pyc'):
            self.assertEqual(method[name], zipfile.ZIP_DEFLATED, name)
        # Reached only from `if __name__ == '__main__':` blocks and _test().
        for name in ('pdb.pyc', 'doctest.pyc', 'unittest/__init__.pyc', 'json/tool.pyc'):
            self.assertNotIn(name, names)
        self.assertFalse(os.path.exists(os.path.join(self.dir, 'lib', 'readline.so')))

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
            'path: %s/lib %s/lib/library.zip %s/lib/library-source'
            % (self.dir, self.dir, self.dir)])

    def test_missing_file_bad_input_and_lost_output(self):
        status, out, err = start([self.exe, os.path.join(self.tmp, 'none.json')])
        self.assertEqual((status, out), (2, ''))
        self.assertIn('cannot read', err)
        self.assertNotIn('Traceback', err)
        status, out, err = start([self.exe], stdin='[1,')
        self.assertEqual((status, out), (1, ''))
        self.assertIn('not JSON', err)
        with open('/dev/full', 'w') as full:
            p = subprocess.Popen([self.exe, self.data], stdout=full, stderr=subprocess.PIPE,
                                 env={})
            err = p.communicate()[1]
        self.assertEqual((p.returncode, err), (1, 'IOError: [Errno 28] No space left on device\n'))

    def test_non_ascii_file_name_needs_the_encodings_at_startup(self):
        name = os.path.join(self.tmp, '\xc3\xa9t\xc3\xa9.json')
        shutil.copy(self.data, name)
        env = {'LC_ALL': 'C.UTF-8'}
        self.assertEqual(start([self.exe, '--where'], env=env)[1].splitlines()[2],
                         'file system encoding: UTF-8')
        self.assertEqual(start([self.exe, name], env=env), (0, PRETTY, ''))


class FreezeTest(TempTest):
    def run_moved(self, app, args=(), **kw):
        moved = os.path.join(self.tmp, 'moved')
        if os.path.exists(moved):
            shutil.rmtree(moved)
        os.rename(app, moved)
        self.addCleanup(lambda: os.path.exists(moved) and os.rename(moved, app))
        return start([os.path.join(moved, 'app')] + list(args), **kw)

    def test_package_with_extension_data_and_metadata_runs_as_under_the_interpreter(self):
        site = os.path.join(self.tmp, 'site')
        write(os.path.join(site, 'speedy', '__init__.py'),
              'import os, pkgutil, sys\nfrom speedy._fast import twice\n'
              'HERE = os.path.dirname(__file__)\n'
              'def greeting():\n'
              '    with open(os.path.join(HERE, "data", "greeting.txt")) as f:\n'
              '        return f.read().strip(), pkgutil.get_data("speedy", "data/greeting.txt")\n'
              'if sys.version_info[0] == 3:\n    from speedy._py3 import modern\n')
        write(os.path.join(site, 'speedy', '_py3.py'), 'def modern(*a): print(*a, sep="")\n')
        write(os.path.join(site, 'speedy', 'data', 'greeting.txt'), 'hello from data\n')
        build_extension(os.path.join(site, 'speedy', '_fast.so'), '_fast')
        write(os.path.join(site, 'speedy-1.5.egg-info', 'PKG-INFO'),
              'Metadata-Version: 1.1\nName: speedy\nVersion: 1.5\n')
        write(os.path.join(site, 'speedy-1.5.egg-info', 'top_level.txt'), 'speedy\n')
        source = self.source({'__startup__.py':
            'try:\n    import simplejson as json\nexcept ImportError:\n    import json\n'
            'import pkg_resources, speedy\n'
            'def run():\n    print speedy.twice(21), speedy.greeting()\n'
            '    print pkg_resources.get_distribution("speedy").version, json.dumps([1])\n'})
        status, out, err = self.freeze(source, '--path', site)
        self.assertEqual(status, 0, err)
        # simplejson is tried in a try statement: only counted.
        self.assertNotIn('simplejson', err)
        self.assertIn('other modules not found, which the program imports only where '
                      'ImportError is handled (', err)
        self.assertIn('do not compile ship as they are, and importing one raises SyntaxError '
                      '(1): speedy._py3\n', err)
        lib = os.path.join(self.tmp, 'out', 'app', 'lib')
        for name in ('speedy/_fast.so', 'speedy/__init__.py', 'speedy/data/greeting.txt',
                     'speedy-1.5.egg-info/PKG-INFO'):
            self.assertTrue(os.path.isfile(os.path.join(lib, name)), name)
        self.assertTrue(os.path.isfile(os.path.join(lib, 'speedy', '_py3.py')))
        # The bytecode of a package copied whole lies in the archive, where
        # the interpreter would not look for it; a source that does not
        # compile has none.
        with zipfile.ZipFile(os.path.join(lib, 'library.zip')) as z:
            names = z.namelist()
        self.assertIn('lib/speedy/__init__.pyc', names)
        self.assertNotIn('lib/speedy/_py3.pyc', names)
        expected = plain(source, path=[site])
        self.assertEqual(expected[0], 0, expected[2])
        self.assertEqual(self.run_moved(os.path.join(self.tmp, 'out', 'app')), expected)
        # Nothing was compiled and written where the program ran.
        self.assertEqual([f for f in os.listdir(os.path.join(self.tmp, 'moved', 'lib', 'speedy'))
                          if f.endswith('.pyc')], [])

    def test_a_virtualenv_freezes_as_its_base_interpreter_does(self):
        """An older virtualenv's layout: links to the real modules, its own
        site.py, which sets sys.real_prefix, and its own distutils."""
        venv = os.path.join(self.tmp, 'venv')
        lib = virtualenv(venv)
        write(os.path.join(lib, 'distutils', '__init__.py'), 'OWN = "virtualenv\'s"\n')
        site = os.path.join(lib, 'site-packages')
        write(os.path.join(site, 'thing.py'), 'import distutils.version\n')
        write(os.path.join(site, 'thing-1.0.dist-info', 'top_level.txt'), 'thing\n')
        source = self.source({'__startup__.py': 'import distutils, thing\n'
                                                'def run():\n    print distutils.__version__\n'})
        trees = []
        for python, options in ((os.path.join(venv, 'bin', 'python2.7'), ()),
                                (sys.executable, ('--path', site))):
            status, out, err = start([python, '-B', FREEZE_APP, '--launcher', LAUNCHER, '--force']
                                     + list(options) + [source, os.path.join(self.tmp, 'app')])
            self.assertEqual((status, err), (0, ''), python)
            with zipfile.ZipFile(os.path.join(self.tmp, 'app', 'lib', 'library.zip')) as z:
                trees.append((z.namelist(), sorted(os.listdir(os.path.join(self.tmp, 'app',
                                                                          'lib')))))
            self.assertEqual(start([os.path.join(self.tmp, 'app', 'app')]),
                             (0, '%d.%d.%d\n' % sys.version_info[:3], ''))
        self.assertEqual(trees[0], trees[1])
        self.assertIn('thing-1.0.dist-info', trees[0][1])

    def test_plugins_named_at_run_time_and_all_of_source_ship(self):
        plugins = {'plugins/__init__.py': '',
                   'plugins/alpha.py': 'NAME = "alpha"\n',
                   'plugins/beta.py': 'import colorsys\n'
                                      'NAME = "beta %d" % colorsys.rgb_to_hsv(0, 0, 1)[2]\n'}
        # A name built on the package's own prefix: all its modules ship.
        source = self.source(dict(plugins, **{'__startup__.py':
            'import importlib, sys, plugins\n'
            'def run():\n    for name in sys.argv[1:]:\n'
            '        print importlib.import_module("plugins." + name).NAME\n'}))
        app = self.frozen(source)
        self.assertEqual(self.run_moved(app, ['alpha', 'beta']), (0, 'alpha\nbeta 1\n', ''))
        # SOURCE is the program: what it imports by a name read at run time
        # ships too, and a module that does not compile ships as it is.
        source = self.source(dict(plugins, **{
            '__startup__.py': 'import importlib, os, sys\n'
                              'def run():\n'
                              '    print importlib.import_module(os.environ["SETTINGS"]).NAME\n'
                              '    for name in sys.argv[1:]:\n'
                              '        print importlib.import_module(name).NAME\n',
            'settings.py': 'import colorsys\nNAME = "settings"\n',
            'broken.py': 'NAME = (\n',
            'setup.py': 'import nowhere\n',
            'tests/__init__.py': '', 'tests/test_all.py': 'import unittest\n'}), name='src2')
        status, _, err = self.freeze(source, output=os.path.join(self.tmp, 'out2', 'app'))
        self.assertEqual((status, err), (0, "freeze-app: warning: broken does not compile, and "
                                            "ships as it is (importing it raises SyntaxError): "
                                            "%s/broken.py:2: invalid syntax\n"
                                            "freeze-app: warning: __startup__ imports modules by "
                                            "names computed at run time: --include MODULE ships "
                                            "each one the program needs\n" % source))
        app = os.path.join(self.tmp, 'out2', 'app', 'app')
        env = {'SETTINGS': 'settings'}
        for args in (['plugins.alpha', 'plugins.beta'], ['broken']):
            # The last line of a traceback: the file names differ.
            status, out, err = start([app] + args, env=env)
            expected = plain(source, args, env=env)
            self.assertEqual((status, out, err.splitlines()[-1:]),
                             expected[:2] + (expected[2].splitlines()[-1:],), args)
        lib = os.listdir(os.path.join(self.tmp, 'out2', 'app', 'lib'))
        self.assertEqual([n for n in lib if n.startswith(('setup', 'tests'))], [])

    def test_what_every_start_imports_is_stored_and_store_stores_the_rest(self):
        # Pillow's Image.init() imports its plug-ins by name at every use.
        source = self.source({
            '__startup__.py': 'import table, PIL.Image\n'
                              'def run():\n    import helper\n'
                              '    print len(table.ROWS), helper.twice(2), PIL.Image.init()\n',
            'table.py': 'ROWS = (%s)\n' % ', '.join(str(i % 7) for i in range(3000)),
            'helper.py': 'def twice(n):\n    return 2 * n\n',
            'PIL/__init__.py': '',
            'PIL/Image.py': 'def init():\n    return __import__("PIL." + "PngImagePlugin", '
                            'fromlist=["FORMAT"]).FORMAT\n',
            'PIL/PngImagePlugin.py': 'FORMAT = "PNG"\n'}, name='tables')
        for options, late in (((), zipfile.ZIP_DEFLATED),
                              (('--store',), zipfile.ZIP_STORED),
                              (('--exclude', 'zlib'), zipfile.ZIP_STORED)):
            app = self.frozen(source, '--force', *options)
            with zipfile.ZipFile(os.path.join(app, 'lib', 'library.zip')) as z:
                method = dict((i.filename, i.compress_type) for i in z.infolist())
            self.assertEqual((method['lib/table.pyc'], method['PIL/PngImagePlugin.pyc'],
                              method['lib/helper.pyc']),
                             (zipfile.ZIP_STORED, zipfile.ZIP_STORED, late), options)
            self.assertEqual(self.run_moved(app), (0, '3000 4 PNG\n', ''))

    def test_exclude_leaves_out_a_package_and_what_only_it_needs(self):
        source = self.source({'__startup__.py': 'try:\n    import json\n'
                                                'except ImportError as e:\n'
                                                '    json = None\n    print e.args[0]\n    print e\n'
                                                'def run():\n    print json is None\n'})
        status, _, err = self.freeze(source, '--exclude', 'json')
        self.assertEqual((status, err), (0, ''))
        app = os.path.join(self.tmp, 'out', 'app')
        names = zipfile.ZipFile(os.path.join(app, 'lib', 'library.zip')).namelist()
        self.assertEqual([n for n in names if n.startswith('json')], [])
        self.assertFalse(os.path.exists(os.path.join(app, 'lib', '_json.so')))
        # Its ImportError keeps the interpreter's words, and says why.
        self.assertEqual(self.run_moved(app), (0, 'No module named json\n'
                                                  'No module named json (json was left out when '
                                                  'freezing: --exclude json; freeze without '
                                                  '--exclude json to ship it)\nTrue\n', ''))
        # Without zlib nothing is deflated, and a module imported late loads.
        source = self.source({'__startup__.py': 'def run():\n    import colorsys\n'
                                                '    print colorsys.rgb_to_yiq(1, 1, 1)[0]\n'},
                             name='late')
        app = self.frozen(source, '--exclude', 'zlib', '--force')
        self.assertFalse(os.path.exists(os.path.join(app, 'lib', 'zlib.so')))
        with zipfile.ZipFile(os.path.join(app, 'lib', 'library.zip')) as z:
            self.assertEqual(set(i.compress_type for i in z.infolist()), set([zipfile.ZIP_STORED]))
            self.assertIn('colorsys.pyc', z.namelist())
        self.assertEqual(self.run_moved(app), (0, '1.0\n', ''))

    def test_2to3_prints_what_the_interpreter_prints(self):
        source = self.source({'__startup__.py': 'import sys\nfrom lib2to3.main import main\n'
                                                'def run():\n    sys.exit(main("lib2to3.fixes"))\n'})
        work = os.path.join(self.tmp, 'work')
        write(os.path.join(work, 'old.py'), 'print "hi"\nif {}.has_key(1): exec "x = 1"\n')
        app = self.frozen(source)
        self.assertTrue(os.path.isfile(os.path.join(app, 'lib', 'lib2to3', 'Grammar.txt')))
        expected = start([sys.executable, '-m', 'lib2to3', 'old.py'], cwd=work)
        self.assertIn('+print("hi")', expected[1])
        self.assertEqual(self.run_moved(app, ['old.py'], cwd=work), expected)

    def test_modules_imported_from_c_and_codecs_by_name_work(self):
        source = self.source({'__startup__.py':
            'import cPickle, datetime\n'
            'def run():\n'
            '    print cPickle.loads(cPickle.dumps({"a": [1, 2]}, 2))\n'
            '    print datetime.datetime.strptime("2001-02-03", "%Y-%m-%d").strftime("%d.%m")\n'
            '    print repr(u"b\\xfccher.example".encode("idna")), "ab".encode("hex")\n'
            '    print repr(u"\\u65e5\\u672c".encode("shift_jis")), "hi".encode("base64"),\n'})
        expected = plain(source)
        self.assertEqual(expected[0], 0, expected[2])
        self.assertEqual(self.run_moved(self.frozen(source)), expected)
        # A codec imported after the start names its place in the application.
        source = self.source({'__startup__.py':
            'import encodings.cp1252\n'
            'def run():\n'
            '    print encodings.cp1252.getregentry.__code__.co_filename\n'}, name='codec')
        status, out, err = self.run_moved(self.frozen(source, '--force'))
        self.assertEqual((status, out, err), (0, os.path.join(
            self.tmp, 'moved', 'lib', 'library-source', 'encodings', 'cp1252.py\n'), ''))

    def test_entry_points_are_commands_by_any_name_they_are_started_by(self):
        source = self.source({
            'tools/__init__.py': '',
            'tools/cli.py': 'import sys\ndef hello():\n    print "hello", sys.argv[1:]\n'
                            'class Count(object):\n    @staticmethod\n'
                            '    def main():\n        print len(sys.argv)\n        return 3\n'})
        app = self.frozen(source, '--entry', 'hello=tools.cli:hello',
                          '--entry', 'count=tools.cli:Count.main')
        os.mkdir(os.path.join(self.tmp, 'bin'))
        os.symlink(os.path.join(app, 'hello'), os.path.join(self.tmp, 'bin', 'hi'))
        shutil.copy(os.path.join(app, 'hello'), os.path.join(app, 'other'))
        env = {'PATH': app}
        cases = [
            (['hello', 'a'], os.path.join(app, 'hello'), env, (0, "hello ['a']\n", '')),
            (['count', 'a', 'b'], os.path.join(app, 'count'), env, (3, '3\n', '')),
            ([os.path.join(app, 'count')], None, {}, (3, '1\n', '')),
            (['bin/hi', 'x'], None, {}, (0, "hello ['x']\n", '')),
            (['./other'], None, {}, (2, '', 'other: not a command of this application; '
                                            'its commands: count, hello\n')),
        ]
        for argv, executable, env, expected in cases:
            cwd = app if argv[0] == './other' else self.tmp
            self.assertEqual(start(argv, executable, cwd, env=env), expected, argv)

    def test_a_library_function_that_only_its_main_block_calls_can_be_a_command(self):
        # pydoc imports getopt inside cli(), which only its main block calls.
        # A program frozen by its entry points needs no SOURCE.
        app = self.frozen(None, '--entry', 'pydoc=pydoc:cli')
        status, out, err = start([os.path.join(app, 'pydoc'), 'copy_reg'])
        self.assertEqual((status, err), (0, ''))
        self.assertIn('copy_reg - Helper to provide extensibility for pickle/cPickle.', out)

    def test_failures_are_one_clear_message_and_builds_known_to_fail_are_refused(self):
        entry = ('--entry', 'x=tools:main')
        greet = {'__startup__.py': 'import greet\nrun = greet.run\n',
                 'greet.py': 'def run(): pass\n'}
        cli = {'cli.py': 'class Count(object):\n    @staticmethod\n    def main(): pass\n'
                         'def hello(): pass\n'}
        cases = [
            ({}, (), 'no __startup__.py in'),
            ({'__startup__.py': 'def start():\n    pass\n'}, (), 'defines no run()'),
            ({'__startup__.py': 'def run(:\n'}, (), 'invalid syntax'),
            ({'__startup__.py': 'import missing_mod\ndef run(): pass\n'}, (),
             'module missing_mod, imported by __startup__, cannot be found'),
            ({'__startup__.py': 'import helper\nrun = helper.run\n',
              'helper.py': 'def run(:\n'}, (), 'helper.py:1: invalid syntax'),
            ({'__startup__.py': 'import helper\nrun = helper.run\n',
              'site/helper.py': 'def run(:\n'}, ('--path', '{src}/site'),
             'site/helper.py:1: invalid syntax'),
            (dict(greet, **{'greet.py': 'x = 1\0\ndef run(): pass\n'}), (),
             'greet.py: compile() expected string without null bytes'),
            (dict(greet, **{'greet.py': 'x = "\xe9"\ndef run(): pass\n'}), (),
             "greet.py:1: Non-ASCII character '\\xe9' in file"),
            ({'__startup__.py': 'def run(): pass\n', 'tools.py': 'def main(): pass\n'}, entry,
             'holds __startup__.py and --entry is given'),
            ({'tools.py': 'def other(): pass\n'}, entry, 'module tools defines no main'),
            ({'tools.py': ''}, ('--entry', 'x=tools'), 'expected NAME=MODULE:FUNCTION'),
            ({'tools.py': ''}, ('--entry', 'x=nowhere:main'),
             'module nowhere, named by --entry x, cannot be found'),
            (cli, ('--entry', 'a=cli:Count.nosuch'), '--entry a: module cli defines no Count.nosuch'),
            (cli, ('--entry', 'a=cli:hello', '--exclude', 'cli'),
             'module cli, named by --entry a, is left out by --exclude'),
            (cli, ('--entry', '-x=cli:hello'), "'-x' cannot be the name of an executable"),
            (cli, ('--entry', ' =cli:hello'), "' ' cannot be the name of an executable"),
            (greet, ('--exclude', 'greet'),
             'module greet, imported by __startup__, is left out by --exclude'),
            (greet, ('--compress', '--exclude', 'zlib'), '--compress needs zlib'),
            (greet, ('--store', '--compress'), '--compress deflates all of the archive, and'),
            (greet, ('--path', '/nonexistent'), '--path /nonexistent is not a directory'),
            ({'__startup__.py': 'def run(): pass\n'}, ('--include', 'nowhere'),
             'module nowhere (--include) cannot be found'),
            ({'__startup__.py': 'import _boot\ndef run(): pass\n', '_boot.py': ''}, (),
             "the program imports a module _boot: the application's own importers"),
            (greet, ('--launcher', '{src}/greet.py'),
             '{src}/_boot.so, which is built with the launcher, cannot be found beside it'),
            (dict(greet, **{'_boot.so': ''}), ('--launcher', '{src}/greet.py'),
             '{src}/python, which is built with the launcher, cannot be found beside it'),
            (dict(greet, **{'_boot.so': '', 'python': '2.7.18 (other), UCS2\n'}),
             ('--launcher', '{src}/greet.py'), 'launcher {src}/greet.py is built for Python '
             '2.7.18 (other), UCS2, and this is Python 2.7.'),
            (greet, ('--glibc', '2.x'), '--glibc 2.x: expected a version such as 2.17'),
            (greet, ('--check', "a 'b"), "--check a 'b: No closing quotation"),
            (cli, ('--entry', 'a=cli:hello', '--entry', 'b=cli:hello', '--record', 'c'),
             '--record c: begin with the command to run, one of a, b'),
            (greet, ('--check-dir', '/nonexistent'), '--check-dir /nonexistent is not a directory'),
            (greet, ('--check-input', '/'), '--check-input / is not a file'),
            (greet, ('--check-timeout', '0'), '--check-timeout 0: expected a number of seconds'),
        ]
        for number, (files, options, message) in enumerate(cases):
            source = self.source(files, name='src%d' % number)
            status, out, err = self.freeze(source, *[o.format(src=source) for o in options])
            self.assertEqual(status, 1, message)
            self.assertTrue(err.startswith('freeze-app: ') and message.format(src=source) in err,
                            err)
            self.assertEqual(err.count('\n'), 1, err)
            self.assertFalse(os.path.exists(os.path.join(self.tmp, 'out')))
        status, _, err = self.freeze(self.source(greet, name='late'),
                                     env={'SOURCE_DATE_EPOCH': '4294967296'})
        self.assertEqual((status, err), (1, 'freeze-app: SOURCE_DATE_EPOCH 4294967296 is later '
                                            'than bytecode can record (4294967295)\n'))
        status, _, err = self.freeze(self.source({'__startup__.py': 'def run(): pass\n'}),
                                     env={'PATH': '/nonexistent'})
        self.assertEqual((status, err), (1, 'freeze-app: patchelf is needed to bundle system '
                                            'libraries: install the package patchelf\n'))
        status, out, err = start(['python3', FREEZE_APP, '--help'], env=TOOLS)
        self.assertEqual(status, 1)
        self.assertRegexpMatches(err, r'\Afreeze-app: runs under Python 2.7, and this is Python '
                                      r'3\.\d+: start it with python2.7\n\Z')

    def test_glibc_refuses_each_file_that_needs_a_newer_c_library(self):
        source = self.source({'__startup__.py': 'import bz2\ndef run(): pass\n'})
        out = self.freeze(source)[1]
        newest = re.search(r'needs glibc ([\d.]+) or newer', out).group(1)
        self.assertEqual(self.freeze(source, '--force', '--glibc', newest)[0], 0)
        status, _, err = self.freeze(source, '--force', '--glibc', '2.2.5')
        lines = err.splitlines()
        self.assertEqual(status, 1)
        self.assertEqual(lines[-1], 'freeze-app: %d files need a C library newer than glibc '
                                    '2.2.5 (--glibc)' % (len(lines) - 1))
        for line in lines[:-1]:
            self.assertRegexpMatches(line, r'\Afreeze-app: \S+ needs glibc ([\d.]+) '
                                           r'\(\S+@GLIBC_\1\)\Z')
        self.assertIn('app needs glibc', err)  # the launcher too
        # The earlier output stays as it was.
        self.assertEqual(start([os.path.join(self.tmp, 'out', 'app', 'app')]), (0, '', ''))

    def test_run_bound_inside_if_or_try_is_accepted(self):
        source = self.source({'__startup__.py':
            'import sys\nif sys.version_info < (3,):\n    def run():\n        print "two"\n'
            'else:\n    try:\n        from py3 import run\n    except ImportError:\n'
            '        run = None\n'})
        self.assertEqual(self.run_moved(self.frozen(source)), (0, 'two\n', ''))


class OutputTest(TempTest):
    def tree(self, root):
        """Every file and directory below root: its mode and contents."""
        result = {}
        for path, dirs, files in os.walk(root):
            for name in dirs + files:
                full = os.path.join(path, name)
                content = open(full, 'rb').read() if os.path.isfile(full) else None
                result[os.path.relpath(full, root)] = (os.lstat(full).st_mode, content)
        return result

    def test_output_never_lands_on_or_around_the_sources(self):
        source = self.source({'__startup__.py': 'def run(): pass\n', 'keep.py': 'x = 1\n'})
        before = self.tree(source)
        for output in (source, os.path.join(source, 'out'), self.tmp):
            status, _, err = self.freeze(source, '--force', output=output)
            self.assertEqual(status, 1, output)
            self.assertIn('is, lies inside or contains the sources', err)
        self.assertEqual(self.tree(source), before)

    def test_a_failed_freeze_keeps_the_earlier_output(self):
        source = self.source({'__startup__.py': 'import helper\nrun = helper.run\n',
                              'helper.py': 'def run():\n    print "first"\n'})
        app = self.frozen(source)
        write(os.path.join(source, 'helper.py'), 'def run(:\n')
        self.assertEqual(self.freeze(source, '--force')[0], 1)
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'first\n', ''))
        self.assertEqual(os.listdir(os.path.dirname(app)), ['app'])

    def test_equal_sources_give_equal_trees_whatever_their_times(self):
        files = {'__startup__.py': 'import pkg\ndef run():\n    print pkg.read()\n',
                 'pkg/__init__.py': 'import os\ndef read():\n'
                                    '    return open(os.path.join(os.path.dirname(__file__),'
                                    ' "data.txt")).read()\n',
                 'pkg/data.txt': 'data\n'}
        trees = []
        for name, when in (('one', 1000000000), ('two', 1600000000)):
            source = self.source(files, name=name)
            for path, _, names in os.walk(source):
                for entry in names:
                    os.utime(os.path.join(path, entry), (when, when))
            output = os.path.join(self.tmp, name + '-out', 'app')
            status, _, err = self.freeze(source, output=output)
            self.assertEqual(status, 0, err)
            trees.append(self.tree(output))
        self.assertEqual(trees[0], trees[1])
        self.assertEqual(stat.S_IMODE(trees[0]['lib/pkg/data.txt'][0]), 0o644)
        # A time that must be written is SOURCE_DATE_EPOCH where it is set.
        status, _, err = self.freeze(self.source(files, name='three'), '--compress',
                                     env={'SOURCE_DATE_EPOCH': '1700000000'})
        self.assertEqual(status, 0, err)
        lib = os.path.join(self.tmp, 'out', 'app', 'lib')
        archive = zipfile.ZipFile(os.path.join(lib, 'library.zip'))
        self.assertEqual(set(i.date_time for i in archive.infolist()),
                         set([time.gmtime(1700000000)[:6]]))
        self.assertEqual(set(i.compress_type for i in archive.infolist()),
                         set([zipfile.ZIP_DEFLATED]))
        self.assertEqual(os.stat(os.path.join(lib, 'pkg', '__init__.py')).st_mtime, 1700000000)
        self.assertEqual(start([os.path.join(self.tmp, 'out', 'app', 'app')]), (0, 'data\n\n', ''))

    def test_installed_tool_and_launcher_work_together(self):
        """Installed by CMake, or by pip through the CMake build."""
        source = self.source({'__startup__.py': 'def run():\n    print "hi"\n'})
        top = os.path.dirname(os.path.dirname(FREEZE_APP))
        pip = ['-B', '-m', 'pip', 'install', '--no-index', '--no-cache-dir',
               '--disable-pip-version-check', '--quiet', top, '--prefix']
        # A virtualenv's python, which sees pip where the base interpreter has it.
        venv = os.path.join(self.tmp, 'venv')
        virtualenv(venv, os.path.dirname(os.path.dirname(__import__('pip').__file__)))
        installs = [
            ('cmake', [os.environ['CMAKE'], '--install', os.environ['BUILD_DIR'], '--prefix']),
            ('pip', [sys.executable] + pip),
            ('venv', [os.path.join(venv, 'bin', 'python2.7')] + pip),
        ]
        for name, install in installs:
            prefix = os.path.join(self.tmp, name)
            status, out, err = start(install + [prefix], env=dict(TOOLS, HOME=self.tmp))
            self.assertEqual(status, 0, err)
            installed = os.path.join(prefix, 'libexec', 'launcher', 'launcher')
            dynamic = start(['readelf', '-d', installed], '/usr/bin/readelf')[1]
            self.assertIn('Library runpath: [${ORIGIN}:${ORIGIN}/../lib]', dynamic)
            app = os.path.join(self.tmp, name + '-out', 'app')
            status, out, err = start([os.path.join(prefix, 'bin', 'freeze-app'), source, app],
                                     env={'PATH': os.environ['PATH']})
            self.assertEqual((status, err), (0, ''), name)
            self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hi\n', ''))

    def test_a_missing_build_program_is_named_in_one_line(self):
        """pip's build, and CMake's without a generator, on a PATH that lacks one."""
        top = os.path.dirname(os.path.dirname(FREEZE_APP))
        tools = os.path.join(self.tmp, 'bin')
        os.mkdir(tools)
        setup = [sys.executable, '-B', os.path.join(top, 'setup.py'), '-q', 'build',
                 '--build-base', os.path.join(self.tmp, 'build')]
        needs = 'error: building freeze-app needs '
        rows = [
            (setup, [], needs + 'CMake 3.16 or newer (cmake), which is not installed: '
                                'apt-get install cmake'),
            (setup, ['cmake'], needs + 'a C compiler (cc or gcc), which is not installed: '
                                       'apt-get install gcc'),
            (setup, ['cc', 'c++'], needs + 'Ninja or make, and neither is installed: '
                                           'apt-get install ninja-build'),
            ([os.environ['CMAKE'], '-S', top, '-B', os.path.join(self.tmp, 'cmake')], [],
             'make is not installed, which the generator "Unix Makefiles" needs: configure a '
             'new build directory with -G Ninja, or install make.'),
        ]
        for argv, add, message in rows:
            for name in add:
                path = os.environ['CMAKE'] if name == 'cmake' else start(
                    ['sh', '-c', 'command -v ' + name], env=TOOLS)[1].strip()
                os.symlink(path, os.path.join(tools, name))
            status, out, err = start(argv, env={'PATH': tools, 'HOME': self.tmp})
            self.assertEqual(status, 1, err)
            self.assertIn(message, ' '.join(err.split()))
            self.assertNotIn('Traceback', err)


if __name__ == '__main__':
    unittest.main(verbosity=2)
