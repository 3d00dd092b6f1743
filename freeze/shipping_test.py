"""What ships and what the user is told: warnings that name only what
can break the program, optional features and test suites left out, debug
information stripped, commands taken from distribution metadata, and the
names that a copy of six serves.
"""

import ast
import imp
import os
import re
import stat
import subprocess
import sys
import unittest
import zipfile

from test_support import (FREEZE_APP, LAUNCHER, TOOLS, TempTest, build_extension, compile_c,
                          plain, start, write)

# A third-party package that imports in every way a missing module can be
# imported: the warnings name only what its import cannot do without.
IMPORTS = {
    'lib3p/__init__.py': 'import os\n'
                         'try:\n    import fastjson\nexcept ImportError:\n    fastjson = None\n'
                         'if os.name == "nt":\n    import winthing\n'
                         'def later():\n    import lazything\n'
                         'TYPE_CHECKING = False\nif TYPE_CHECKING:\n    import typing\n'
                         'from .sub import helper\n'
                         'from .nothere import thing\n'
                         'import required_missing\n'
                         'from . import py3only\n'
                         'try:\n    compile("x", "", "eval")\nexcept SyntaxError:\n'
                         '    import oldparser\nelse:\n    from . import py3feature\n'
                         'def newer():\n    from . import py3late\n',
    'lib3p/sub.py': 'def helper():\n    pass\n',
    'lib3p/py3only.py': 'def f(*, key):\n    return key\n',
    'lib3p/py3late.py': 'def f(*, key):\n    return key\n',
    'lib3p/py3feature.py': 'def f(*, key):\n    return key\n',
}

# A package copied whole (it holds an extension module) whose tests import
# the standard library's test suite.
TESTED = {
    'speedy/__init__.py': 'from speedy._fast import twice\n',
    'speedy/tests/__init__.py': '',
    'speedy/tests/test_speedy.py': 'from test import test_support\nimport unittest, speedy\n',
    'speedy/test.py': 'import unittest, doctest\n',
    # A command named like a test suite, that names a test framework,
    # found by listing its directory.
    'speedy/commands/__init__.py': 'import os\n'
                                   'def names():\n'
                                   '    return sorted(f for f in os.listdir(os.path.dirname(__file__))'
                                   ' if f.endswith(".py"))\n',
    'speedy/commands/test.py': 'HELP = "runs the tests with unittest"\n',
    # Plug-ins in a package named like a test package, which holds no
    # tests: a template engine's tests, loaded by a name in a string.
    'tmpl/__init__.py': '',
    'tmpl/plugins/__init__.py': '',
    'tmpl/plugins/test/__init__.py': 'from tmpl.plugins.test.core import TESTS\n',
    'tmpl/plugins/test/core.py': 'TESTS = {"even": lambda n: n % 2 == 0}\n',
    # A test package that the program imports: a web framework's test
    # client, beside its own tests.
    'web/__init__.py': '',
    'web/page.html': '<p>page</p>\n',
    'web/test/__init__.py': 'from web.test.client import Client\n',
    'web/test/client.py': 'import unittest\nclass Client(object):\n    GOT = "200"\n',
    'web/test/test_client.py': 'import unittest\n',
    'tmpl/loader.py': 'class Loader(object):\n'
                      '    def __init__(self, package):\n'
                      '        self.package = package\n'
                      '    def load(self):\n'
                      '        return __import__(self.package, fromlist=["TESTS"]).TESTS\n'
                      'TESTS = Loader("tmpl.plugins.test")\n',
}

# Third-party packages, one vendored, that lead to optional features in
# functions that the program never calls.
CHAINED = {
    'pyparsing.py': 'def setBreak():\n    import pdb\n    pdb.set_trace()\n',
    'tool/__init__.py': '',
    'tool/_vendor/__init__.py': '',
    'tool/_vendor/lockfile/__init__.py': '',
    'tool/_vendor/lockfile/sqlitelockfile.py': 'class SQLiteLockFile(object):\n'
                                               '    def __init__(self):\n'
                                               '        import sqlite3\n',
    # python-future: its test.support, made of the standard library's test suite
    'future/__init__.py': '',
    'future/standard_library/__init__.py': 'def install_aliases():\n'
                                           '    try:\n        import test\n'
                                           '    except ImportError:\n        pass\n'
                                           '    try:\n'
                                           '        from future.moves.test import support\n'
                                           '    except ImportError:\n        pass\n',
    'future/moves/__init__.py': '',
    'future/moves/test/__init__.py': '',
    'future/moves/test/support.py': 'import sys\n'
                                    'if sys.version_info[0] == 3:\n'
                                    '    from test.support import *\n'
                                    'else:\n    from test.test_support import *\n',
    # Pillow: Tk photo images, which a plug-in offers
    'PIL/__init__.py': '',
    'PIL/SpiderImagePlugin.py': 'def tkPhotoImage():\n    from PIL import ImageTk\n',
    'PIL/ImageTk.py': 'import sys\nif sys.version_info.major > 2:\n    import tkinter\n'
                      'else:\n    import Tkinter as tkinter\n',
    # cffi: what builds C code from a build script
    'cffi/__init__.py': 'from cffi.api import FFI\n',
    'cffi/api.py': 'class FFI(object):\n    def compile(self):\n'
                   '        from distutils import sysconfig\n'
                   '        from .recompiler import recompile\n',
    'cffi/recompiler.py': 'def recompile():\n    from distutils.core import Extension\n',
}

# A vendored six, as small as it can be: its table and the importer that
# serves six.moves at run time.
SIX = ('import sys, types\n'
       '__path__ = []  # six.moves is imported below it\n'
       'class MovedModule(object):\n'
       '    def __init__(self, name, old, new=None):\n'
       '        self.name, self.mod = name, old\n'
       '_moved_attributes = [MovedModule("html_parser", "HTMLParser", "html.parser"),\n'
       '                     MovedModule("tkinter", "Tkinter")]\n'
       '_moved = dict((m.name, m) for m in _moved_attributes)\n'
       'class _Importer(object):\n'
       '    def find_module(self, fullname, path=None):\n'
       '        return self if fullname.startswith(__name__ + ".moves") else None\n'
       '    def load_module(self, fullname):\n'
       '        if fullname not in sys.modules:\n'
       '            if fullname == __name__ + ".moves":\n'
       '                mod = types.ModuleType(fullname)\n'
       '                mod.__path__ = []\n'
       '            else:\n'
       '                __import__(_moved[fullname.rpartition(".")[2]].mod)\n'
       '                mod = sys.modules[_moved[fullname.rpartition(".")[2]].mod]\n'
       '            sys.modules[fullname] = mod\n'
       '        return sys.modules[fullname]\n'
       'sys.meta_path.append(_Importer())\n'
       'class _Moves(types.ModuleType):\n'
       '    def __getattr__(self, name):\n'
       '        return _Importer().load_module(__name__.rpartition(".")[0] + "." + name)\n'
       'moves = sys.modules[__name__ + ".moves"] = _Moves(__name__ + ".moves")\n')


# Modules that programs load by name: a plug-in declared as an entry point,
# a package that imports its submodules from a table of names or from a
# name it builds, and one that lists its own directory.
BY_NAME = {
    'plugged/__init__.py': '',
    'plugged/alpha.py': 'class Plugin(object):\n    NAME = "alpha plug-in"\n',
    'plugged-1.0.dist-info/METADATA': 'Metadata-Version: 2.1\nName: plugged\nVersion: 1.0\n',
    'plugged-1.0.dist-info/top_level.txt': 'plugged\n',
    'plugged-1.0.dist-info/entry_points.txt': '[demo.plugins]\nalpha = plugged.alpha:Plugin\n'
                                              '[distutils.commands]\n'
                                              'plugged = plugged.command:Command\n',
    # A command of `setup.py`, which only setuptools loads.
    'plugged/command.py': 'import setuptools\nclass Command(setuptools.Command):\n    pass\n',
    # Nothing imports this one: the program names its group.
    'extra.py': 'class Plugin(object):\n    NAME = "extra plug-in"\n',
    'extra-1.0.dist-info/METADATA': 'Metadata-Version: 2.1\nName: extra\nVersion: 1.0\n',
    'extra-1.0.dist-info/top_level.txt': 'extra\n',
    'extra-1.0.dist-info/entry_points.txt': '[demo.plugins]\nbeta = extra:Plugin\n',
    'lexers/__init__.py': 'MAPPING = {"py": "lexers.python"}\n'
                          'def get(name):\n'
                          '    return __import__(MAPPING[name], None, None, ["NAME"]).NAME\n',
    'lexers/python.py': 'NAME = "python lexer"\n',
    'styles/__init__.py': 'def get(name):\n'
                          '    return __import__("styles." + name, None, None, ["NAME"]).NAME\n',
    'styles/dark.py': 'NAME = "dark style"\n',
    'listed/__init__.py': 'import os\n'
                          'def load():\n'
                          '    names = sorted(f[:-3] for f in os.listdir(os.path.dirname(__file__))\n'
                          '                   if f.endswith(".py") and f != "__init__.py")\n'
                          '    return [__import__("listed." + n, None, None, ["N"]).N for n in names]\n',
    'listed/one.py': 'N = 1\n',
    # Names given as unicode, under unicode_literals.
    'unicoded.py': 'from __future__ import unicode_literals\nimport importlib\n'
                   'def get():\n'
                   '    return importlib.import_module("colorsys").__name__\n',
    'listed/two.py': 'N = 2\n',
    # Lists its __path__, as pylint finds its checkers, and loads each by
    # its file, as pylint does.
    'checks/__init__.py': 'import imp, os\n'
                          'def load():\n'
                          '    found = []\n'
                          '    for f in sorted(os.listdir(__path__[0])):\n'
                          '        stem, ext = os.path.splitext(f)\n'
                          '        if ext == ".py" and stem != "__init__":\n'
                          '            path = os.path.join(__path__[0], f)\n'
                          '            found.append(imp.load_source("checks." + stem, path).N)\n'
                          '    return found\n',
    'checks/style.py': 'N = "style"\n',
}


def size(root):
    return sum(os.path.getsize(os.path.join(p, f)) for p, _, files in os.walk(root) for f in files)


def here(name, path):
    """True if the interpreter that freezes finds the module `name` along
    `path` (its own, with the --path directories first)."""
    parts = name.split('.')
    for i, part in enumerate(parts):
        try:
            f, where, (_, _, kind) = imp.find_module(part, path)
        except ImportError:
            return False
        if f:
            f.close()
        if kind != imp.PKG_DIRECTORY and i < len(parts) - 1:
            return False
        path = [where]
    return True


def closure_faults(app, path):
    """The imports at the top of the shipped modules of an application,
    unconditional, that do not resolve in it though they resolve here and
    were not left out on purpose by an optional-feature chain or by
    --exclude: no module ships without what it needs to import."""
    lib = os.path.join(app, 'lib')
    members = zipfile.ZipFile(os.path.join(lib, 'library.zip')).namelist()
    left = dict((m[len('__left__/'):], m) for m in members if m.startswith('__left__/'))
    left = dict((name, zipfile.ZipFile(os.path.join(lib, 'library.zip')).read(member))
                for name, member in left.items())
    sources = {}
    for member in members:
        if member.endswith('.pyc') and member != '__boot__.pyc':
            relative = member[len('lib/'):] if member.startswith('lib/') else member
            source = os.path.join(lib if member.startswith('lib/') else
                                  os.path.join(lib, 'library-source'), relative[:-1])
            name = relative[:-4].replace('/', '.')
            sources[name[:-len('.__init__')] if name.endswith('.__init__') else name] = source
    codecs = os.path.join(lib, 'python2.7')
    shipped = set(sources) | set(sys.builtin_module_names) | set(
        os.path.relpath(os.path.join(p, f), lib)[:-3].replace('/', '.')
        for p, _, files in os.walk(lib) for f in files if f.endswith('.so')) | set(
        re.sub(r'\.__init__$', '', os.path.relpath(os.path.join(p, f), codecs)[:-4].replace('/', '.'))
        for p, _, files in os.walk(codecs) for f in files)
    faults = []
    for name, source in sorted(sources.items()):
        if not os.path.isfile(source):
            continue
        package = name if source.endswith('__init__.py') else name.rpartition('.')[0]
        with open(source) as f:
            tree = ast.parse(f.read())
        for node in tree.body:
            if isinstance(node, ast.Import):
                wanted = [([package + '.' + a.name] if package else []) + [a.name]
                          for a in node.names]
            elif isinstance(node, ast.ImportFrom) and node.module != '__future__':
                if node.level:
                    bases = ['.'.join(package.split('.')[:len(package.split('.')) - node.level + 1]
                                      + ([node.module] if node.module else []))]
                else:
                    bases = ([package + '.' + node.module] if package else []) + [node.module]
                base = ([b for b in bases if here(b, path)] + bases)[0]
                wanted = [[base]] + [[base + '.' + a.name] for a in node.names
                                     if here(base + '.' + a.name, path)]
            else:
                continue
            for readings in wanted:
                found = [r for r in readings if here(r, path)]
                parts = found and found[0].split('.')
                for i in range(1, len(parts or []) + 1):
                    needed = '.'.join(parts[:i])
                    if needed not in shipped and not re.search(
                            r'optional feature|--exclude', left.get(needed, '')):
                        faults.append('%s imports %s' % (name, needed))
    return faults


class ShippingTest(TempTest):
    def test_warnings_name_only_what_the_program_cannot_do_without(self):
        site = self.source(IMPORTS, name='site')
        source = self.source({'__startup__.py': 'import lib3p\ndef run():\n    pass\n'})
        status, out, err = self.freeze(source, '--path', site)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, 'freeze-app: warning: module lib3p.nothere, imported by lib3p, '
                              'not found\n'
                              'freeze-app: warning: left out lib3p.py3only, which does not '
                              'compile: %s:1: invalid syntax\n'
                              'freeze-app: warning: module required_missing, imported by lib3p, '
                              'not found\n'
                              'freeze-app: warning: 6 other modules not found, which the program '
                              'imports only where ImportError is handled (1), under an if, except '
                              'or else (3), inside functions (2) (--verbose lists them)\n'
                              % os.path.join(site, 'lib3p', 'py3only.py'))
        status, out, err = self.freeze(source, '--path', site, '--force', '--verbose')
        self.assertEqual(status, 0, err)
        for line in ('module fastjson, imported by lib3p, not found (optional)',
                     'module winthing, imported by lib3p, not found (conditional)',
                     'module oldparser, imported by lib3p, not found (conditional)',
                     'left out lib3p.py3feature, which does not compile: %s:1: invalid syntax '
                     '(conditional)' % os.path.join(site, 'lib3p', 'py3feature.py'),
                     'module lazything, imported by lib3p, not found (delayed)',
                     'left out lib3p.py3late, which does not compile: %s:1: invalid syntax '
                     '(delayed)' % os.path.join(site, 'lib3p', 'py3late.py')):
            self.assertIn(line, out)
        self.assertNotIn('typing', out + err)
        self.assertNotIn('helper', out + err)
        # A name computed at run time in a module of no package: one line.
        source = self.source({'__startup__.py': 'import sys\ndef run():\n'
                                                '    __import__(sys.argv[1])\n'}, name='computed')
        status, out, err = self.freeze(source, '--force')
        self.assertEqual((status, err), (0, 'freeze-app: warning: __startup__ imports modules by '
                                            'names computed at run time: --include MODULE ships '
                                            'each one the program needs\n'))

    def test_links_out_of_source_or_a_package_are_named_and_modes_never_widen(self):
        outside = os.path.join(self.tmp, 'outside')
        for name, mode in (('secret', 0o600), ('group.txt', 0o640), ('dir/inner.txt', 0o644),
                           ('helper.py', 0o600)):
            write(os.path.join(outside, name), 'X = 1\n')
            os.chmod(os.path.join(outside, name), mode)
        site = self.source({'pkg3p/__init__.py': '', 'pkg3p/data.txt': 'data\n'}, name='site')
        source = self.source({'__startup__.py': 'import pkg3p, helper\ndef run():\n    pass\n'})
        links = [(os.path.join(source, 'secret_link'), 'secret', 'SOURCE'),
                 (os.path.join(source, 'group_link'), 'group.txt', 'SOURCE'),
                 (os.path.join(source, 'helper.py'), 'helper.py', 'SOURCE'),
                 (os.path.join(site, 'pkg3p', 'shared'), 'dir',
                  'its package ' + os.path.join(site, 'pkg3p'))]
        for link, target, _ in links:
            os.symlink(os.path.join(outside, target), link)
        status, out, err = self.freeze(source, '--path', site)
        self.assertEqual(status, 0, err)
        self.assertEqual(sorted(err.splitlines()), sorted(
            'freeze-app: warning: %s is a link to %s, outside %s: what it leads to ships'
            % (link, os.path.join(outside, target), what) for link, target, what in links))
        lib = os.path.join(self.tmp, 'out', 'app', 'lib')
        self.assertEqual([stat.S_IMODE(os.stat(os.path.join(lib, name)).st_mode) for name in (
            'secret_link', 'group_link', 'library-source/helper.py', 'pkg3p/shared/inner.txt',
            'pkg3p/data.txt')], [0o600, 0o640, 0o600, 0o644, 0o644])

    def test_test_suites_and_optional_features_stay_out_unless_imported(self):
        site = self.source(dict(TESTED, **CHAINED), name='site')
        build_extension(os.path.join(site, 'speedy', '_fast.so'), '_fast')
        source = self.source({'test_own.py': 'N = 1\n',  # a test module, imported
                              '__startup__.py': 'import speedy, site, pydoc, pyparsing\n'
                                                'import test_own\n'
                                                'import tool._vendor.lockfile.sqlitelockfile\n'
                                                'import future.standard_library, cffi\n'
                                                'import PIL.SpiderImagePlugin\n'
                                                'import speedy.commands, tmpl.loader\n'
                                                'from web.test import Client\n'
                                                'def run():\n    print speedy.twice(2), '
                                                'speedy.commands.names(), '
                                                'sorted(tmpl.loader.TESTS.load()), Client.GOT\n'})
        app = self.frozen(source, '--path', site)
        lib = os.path.join(app, 'lib')
        for name in ('test', 'speedy/tests', '_tkinter.so', 'tcl8.6', 'unittest', 'readline.so',
                     '_sqlite3.so', 'distutils'):
            self.assertFalse(os.path.exists(os.path.join(lib, name)), name)
        names = zipfile.ZipFile(os.path.join(lib, 'library.zip')).namelist()
        self.assertEqual([n for n in names if n.startswith(('pdb.', 'distutils/'))
                          or n == 'lib/speedy/test.pyc'], [])
        self.assertEqual(start([os.path.join(app, 'app')]),
                         (0, "4 ['__init__.py', 'test.py'] ['even'] 200\n", ''))
        with_tests = size(app)
        os.rename(os.path.join(site, 'speedy', 'tests'), os.path.join(self.tmp, 'tests'))
        status, _, err = self.freeze(source, '--path', site, '--force')
        self.assertEqual(status, 0, err)
        self.assertLessEqual(with_tests, 1.2 * size(app))
        # A program that imports the end of a chain itself gets it.
        tk = self.source({'__startup__.py': 'import pydoc, Tkinter\ndef run():\n    pass\n'},
                         name='tk')
        status, _, err = self.freeze(tk, output=os.path.join(self.tmp, 'tk-app'))
        self.assertEqual(status, 0, err)
        self.assertTrue(os.path.exists(os.path.join(self.tmp, 'tk-app', 'lib', '_tkinter.so')))

    def test_what_nothing_reaches_stays_out_whole_and_says_so_when_missed(self):
        # A package copied whole (it has a data file): its GUI module, and
        # one whose import is half of a package of a large module, are
        # reached by nothing, and stay out with what they need; one whose
        # imports are small pure Python ships with them.
        # Its plug-in is named in a string, as frameworks name them.
        site = self.source({'viewer/__init__.py': 'from viewer import core\n'
                                                  'MAKER = "viewer.tap"\n',
                            'viewer/core.py': 'import json, sys\nRESULT = json.dumps([1])\n'
                                              # Only what the program imported itself.
                                              'if "Tkinter" in sys.modules:\n'
                                              '    import Tkinter\n'
                                              '    HAVE_TK = True\n'
                                              'else:\n'
                                              '    HAVE_TK = False\n'
                                              'if HAVE_TK:\n'
                                              '    import turtle\n'
                                              'def load(name):\n'
                                              '    return getattr(__import__("importlib"), '
                                              '"import_module")(name)\n'
                                              # Not the standard library's test suite.
                                              'SUITE = "json.tests"\n',
                            'viewer/tap.py': 'import xml.dom.minidom\n'
                                             'DOM = xml.dom.minidom.Document.__name__\n',
                            'viewer/gui.py': 'import Tkinter, colorsys\n',
                            'viewer/half.py': 'import big\nN = big.N\n',
                            'big/__init__.py': 'from big.core import N\n',
                            'big/core.py': 'N = 1\n' + '#\n' * 25000,
                            'viewer/whole.py': 'import tiny\nN = tiny.N\n',
                            'tiny.py': 'import colorsys\nN = 2\n',
                            # Its own module of a standard module's name.
                            'viewer/rel.py': 'import inspect\nN = inspect.N\n',
                            'viewer/inspect.py': 'N = 3\n',
                            # A name that a function binds is no module's.
                            'viewer/conf.py': 'def loads(s):\n    return s\n'
                                              'def fast(s):\n'
                                              '    from bigmod import loads\n'
                                              '    return loads(s)\n',
                            'viewer/usesconf.py': 'from viewer.conf import loads\nN = loads(4)\n',
                            'bigmod.py': 'def loads(s):\n    return s\n' + '#\n' * 25000,
                            'viewer/icon.txt': 'icon\n'}, name='site')
        source = self.source({'__startup__.py': 'import sys, viewer\ndef run():\n'
                                                '    print viewer.core.RESULT\n'
                                                '    print viewer.core.load(viewer.MAKER).DOM\n'
                                                '    for name in sys.argv[1:]:\n'
                                                '        try:\n'
                                                '            print viewer.core.load(name).N\n'
                                                '        except ImportError as e:\n'
                                                '            print e.args[0]\n'
                                                '            print e\n'})
        status, out, err = self.freeze(source, '--path', site, '--verbose')
        self.assertEqual((status, err), (0, ''))
        for line in ('module Tkinter left out: only viewer.gui imports it, which nothing reaches',
                     'module viewer.gui left out: nothing reaches it, and it needs Tkinter, '
                     'which ships only where something does',
                     'module viewer.half left out: nothing reaches it, and it needs big, which '
                     'ships only where something does',
                     'module big.core left out: only big imports it, which nothing reaches',
                     'module bigmod left out: only viewer.conf imports it, which nothing '
                     'reaches'):
            self.assertIn('  %s\n' % line, out)
        self.assertIn('; 7 modules left out on purpose (--verbose lists them)\n', out)
        lib = os.path.join(self.tmp, 'out', 'app', 'lib')
        names = zipfile.ZipFile(os.path.join(lib, 'library.zip')).namelist()
        self.assertEqual([n for n in ('lib/viewer/gui.pyc', 'lib/viewer/half.pyc',
                                      'lib/viewer/whole.pyc', 'lib/viewer/rel.pyc',
                                      'lib/viewer/usesconf.pyc', 'tiny.pyc', 'colorsys.pyc',
                                      'Tkinter.pyc', 'big/__init__.pyc', 'bigmod.pyc',
                                      'json/__init__.pyc', 'json/tests/__init__.pyc')
                          if n in names],
                         ['lib/viewer/whole.pyc', 'lib/viewer/rel.pyc', 'lib/viewer/usesconf.pyc',
                          'tiny.pyc', 'colorsys.pyc', 'json/__init__.pyc'])
        self.assertFalse(os.path.exists(os.path.join(lib, 'test')))
        # Their files ship as installed, for programs that read them.
        self.assertEqual(sorted(os.listdir(os.path.join(lib, 'viewer'))),
                         ['__init__.py', 'conf.py', 'core.py', 'gui.py', 'half.py', 'icon.txt',
                          'inspect.py', 'rel.py', 'tap.py', 'usesconf.py', 'whole.py'])
        self.assertFalse(os.path.exists(os.path.join(lib, '_tkinter.so')))
        self.assertEqual(closure_faults(os.path.dirname(lib), [site] + sys.path[1:]), [])
        app = os.path.join(self.tmp, 'out', 'app', 'app')
        reached = ['viewer.whole', 'viewer.rel', 'viewer.usesconf']
        self.assertEqual(start([app] + reached), plain(source, reached, path=[site]))
        # What was left out says so, and how to ship it, when it is missed.
        self.assertEqual(start([app, 'viewer.half', 'viewer.gui'])[1].splitlines()[2:], [
            'No module named half',
            'No module named half (viewer.half was left out when freezing: nothing reaches it, '
            'and it needs big, which ships only where something does; --include viewer.half '
            'ships it)',
            'No module named gui',
            'No module named gui (viewer.gui was left out when freezing: nothing reaches it, '
            'and it needs Tkinter, which ships only where something does; --include viewer.gui '
            'ships it)'])
        status, out, err = self.freeze(source, '--path', site, '--force', '--include',
                                       'viewer.half')
        self.assertEqual((status, err), (0, ''))
        self.assertEqual(start([app, 'viewer.half']), plain(source, ['viewer.half'], path=[site]))

    def test_every_module_of_a_real_program_ships_with_what_it_imports(self):
        try:
            import pip  # noqa: F401 (the real program, as the Python that freezes has it)
        except ImportError:
            self.skipTest('this Python has no pip to freeze')
        status, out, err = self.freeze(None, '--entry', 'pip')
        self.assertEqual(status, 0, err)
        app = os.path.join(self.tmp, 'out', 'app')
        self.maxDiff = None
        self.assertEqual(closure_faults(app, sys.path[1:]), [])
        self.assertEqual(start([os.path.join(app, 'pip'), '--version'])[0], 0)

    def test_debug_information_is_stripped_unless_kept(self):
        def debug_sections(path):
            sections = start(['readelf', '-S', path], env=TOOLS)[1]
            return re.findall(r'\.debug_\w+|\.symtab\b', sections)
        library = os.path.join(os.path.dirname(os.path.dirname(sys.executable)), 'lib',
                               'libpython2.7.so.1.0')
        source = self.source({'__startup__.py': 'import zlib\ndef run():\n    pass\n'})
        app = self.frozen(source)
        for name in ('libpython2.7.so.1.0', 'lib/zlib.so', 'lib/libz.so.1'):
            self.assertEqual(debug_sections(os.path.join(app, name)), [], name)
        self.assertEqual(start([os.path.join(app, 'app')]), (0, '', ''))
        if not debug_sections(library):
            self.skipTest('this interpreter library carries no debug information')
        app = self.frozen(source, '--force', '--keep-debug')
        self.assertEqual(debug_sections(os.path.join(app, 'libpython2.7.so.1.0')),
                         debug_sections(library))

    def test_commands_by_console_script_name_and_the_version(self):
        site = self.source({'tool/__init__.py': '',
                            'tool/cli.py': 'def main():\n    print "tool"\n',
                            'tool-1.0.dist-info/entry_points.txt':
                                '[console_scripts]\nhello = tool.cli:main [extra]\n'
                                '[gui_scripts]\nwindow = tool.cli:main\n'}, name='site')
        source = self.source({})
        status, out, err = self.freeze(source, '--path', site, '--entry', 'hello')
        self.assertEqual((status, err), (0, ''))
        app = os.path.join(self.tmp, 'out', 'app')
        self.assertEqual(start([os.path.join(app, 'hello')]), (0, 'tool\n', ''))
        status, out, err = self.freeze(source, '--path', site, '--force', '--entry', 'window')
        self.assertEqual(status, 1)
        self.assertTrue(re.match(r'freeze-app: --entry window: no console script of that '
                                 r'name; found: (.*, )?hello(, .*)?\n\Z', err), err)
        self.assertEqual(start([sys.executable, FREEZE_APP, '--version']),
                         (0, 'freeze-app 0.4\n', ''))

    def test_a_terminal_sees_one_status_line_and_nothing_of_it_at_the_end(self):
        # Many modules, long enough that finding them alone takes more than
        # a second, however fast the machine reads the rest.
        body = ''.join('def f%d(x):\n    return [x + %d for x in range(x)]\n' % (n, n)
                       for n in range(100))
        site = self.source(dict(('many/m%d.py' % i, 'import json, email, xml.dom.minidom\n' + body)
                                for i in range(300)), name='site')
        write(os.path.join(site, 'many', '__init__.py'),
              ''.join('from . import m%d\n' % i for i in range(300)))
        source = self.source({'__startup__.py': 'import many\ndef run():\n    pass\n'})
        master, slave = os.openpty()
        p = subprocess.Popen([sys.executable, '-B', FREEZE_APP, '--launcher', LAUNCHER,
                              '--path', site, source, os.path.join(self.tmp, 'out', 'app')],
                             cwd='/', env=TOOLS, stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        out = p.communicate()[0]
        err = ''
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is closed
                break
            if not chunk:
                break
            err += chunk
        os.close(master)
        self.assertEqual(p.returncode, 0, err)
        self.assertTrue(out.startswith('freeze-app: '), out)
        self.assertIn('\r\033[Kfreeze-app: finding modules: ', err)
        self.assertNotIn('\n', err)
        self.assertTrue(err.endswith('\r\033[K'), repr(err[-80:]))

    def test_modules_loaded_by_name_ship_without_options(self):
        site = self.source(BY_NAME, name='site')
        source = self.source({'__startup__.py':
                              'import pkg_resources, plugged, lexers, styles, listed, checks\n'
                              'import unicoded\n'
                              'def run():\n'
                              '    for point in sorted(pkg_resources.iter_entry_points('
                              '"demo.plugins"), key=lambda p: p.name):\n'
                              '        print point.name, point.load().NAME\n'
                              '    print lexers.get("py"), styles.get("dark"), listed.load()\n'
                              '    print checks.load(), unicoded.get()\n'})
        status, out, err = self.freeze(source, '--path', site)
        self.assertEqual(status, 0, err)
        expected = plain(source, path=[site])
        self.assertEqual(expected, (0, 'alpha alpha plug-in\nbeta extra plug-in\n'
                                       'python lexer dark style [1, 2]\n'
                                       "['style'] colorsys\n", ''))
        self.assertEqual(start([os.path.join(self.tmp, 'out', 'app', 'app')]), expected)
        lib = os.path.join(self.tmp, 'out', 'app', 'lib')
        names = zipfile.ZipFile(os.path.join(lib, 'library.zip')).namelist()
        self.assertEqual([n for n in names if n.startswith(('setuptools', 'plugged/command'))], [])
        self.assertFalse(os.path.exists(os.path.join(lib, 'setuptools')))

    def test_what_extension_modules_import_ships(self):
        """Read from the strings of an extension module, and from the source
        it was compiled from where that ships beside it."""
        site = self.source({'fast/__init__.py': 'from fast import reader, sax\n',
                            'fast/sax.py': 'import json.tool\n'}, name='site')
        # sax.so builds the name it imports: only its source tells it.
        for name, imported in (('reader', '"gzip"'), ('sax', 'name')):
            compile_c(os.path.join(site, 'fast', name + '.so'),
                      '#include <Python.h>\n'
                      'PyMODINIT_FUNC init%s(void) {\n'
                      '  char name[20];\n'
                      '  PyOS_snprintf(name, sizeof name, "%%s.%%s", "json", "tool");\n'
                      '  PyObject *m = Py_InitModule("%s", NULL);\n'
                      '  PyObject *used = PyImport_ImportModule(%s);\n'
                      '  if (m && used) PyModule_AddObject(m, "used", used);\n}\n'
                      % (name, name, imported))
        source = self.source({'__startup__.py': 'import fast\ndef run():\n'
                                                '    print fast.reader.used.__name__, '
                                                'fast.sax.used.__name__\n'})
        status, _, err = self.freeze(source, '--path', site)
        # C code that imports, compiled from no source beside it: one line.
        self.assertEqual((status, err), (0, 'freeze-app: warning: extension module fast.reader '
                                            'imports from its C code: what its strings name '
                                            'ships, and --include MODULE ships a module whose '
                                            'name it builds\n'))
        app = os.path.join(self.tmp, 'out', 'app')
        expected = plain(source, path=[site])
        self.assertEqual(expected, (0, 'gzip json.tool\n', ''))
        self.assertEqual(start([os.path.join(app, 'app')]), expected)

    def test_namespace_packages_of_nspkg_pth_files_import(self):
        pth = ("import sys, types, os;p = os.path.join(sys._getframe(1).f_locals['sitedir'], "
               "*('nsx',));m = sys.modules.setdefault('nsx', types.ModuleType('nsx'));"
               "mp = (m or []) and m.__dict__.setdefault('__path__',[]);"
               "(p not in mp) and mp.append(p)\n")
        site = self.source({'nsx/one/__init__.py': 'NAME = "one"\n',
                            'nsx_one-1.0-py2.7-nspkg.pth': pth}, name='site')
        # A data file: the namespace package is copied whole, as one that
        # holds an extension module is.
        other = self.source({'nsx/two/__init__.py': 'NAME = "two"\n', 'nsx/two/words.txt': 'x\n',
                             'nsx_two-1.0-py2.7-nspkg.pth': pth}, name='other')
        source = self.source({'__startup__.py': 'import nsx.one, nsx.two\n'
                                                'def run():\n    print nsx.one.NAME, nsx.two.NAME\n'})
        status, out, err = self.freeze(source, '--path', site, '--path', other)
        self.assertEqual((status, err), (0, ''))
        self.assertTrue(os.path.isfile(os.path.join(self.tmp, 'out', 'app', 'lib', 'nsx', 'two',
                                                    'words.txt')))
        self.assertEqual(start([os.path.join(self.tmp, 'out', 'app', 'app')]),
                         (0, 'one two\n', ''))

    def test_what_a_copy_of_six_serves_ships_where_it_is_imported(self):
        # A vendored copy, and a top-level one, whose names computed at run
        # time come from its table: no warning. Imported, or reached as
        # attributes of six.
        vendored = {'vend/__init__.py': '', 'vend/six.py': SIX}
        # A copy bound by another module's name, as a cloud tool's core
        # library binds its vendored six in its compat module, and again
        # by an assignment.
        bound = dict(vendored, **{'core/__init__.py': '',
                                  'core/compat.py': 'from vend import six\nmy_six = six\n'})
        for number, (files, startup) in enumerate((
                (vendored, 'from vend.six.moves import html_parser\n'),
                ({'six.py': SIX}, 'from six.moves import html_parser\n'),
                ({'six.py': SIX}, 'import six\nhtml_parser = six.moves.html_parser\n'),
                (vendored, 'from vend import six as s\n'
                           'def parser():\n    return s.moves.html_parser\n'
                           'class html_parser:\n    HTMLParser = parser().HTMLParser\n'),
                (bound, 'from core.compat import six\n'
                        'def run_parser():\n    return six.moves.html_parser.HTMLParser\n'
                        'class html_parser:\n    HTMLParser = run_parser()\n'),
                (bound, 'from core import compat\n'
                        'html_parser = compat.my_six.moves.html_parser\n'),
                # Bound by implicit relative imports, which Python 2 reads
                # in the package first: not the top-level compat.
                ({'pkgw/__init__.py': '', 'pkgw/vendored/__init__.py': '',
                  'pkgw/vendored/six.py': SIX, 'pkgw/compat.py': 'from vendored import six\n',
                  'pkgw/page.py': 'from compat import six\n'
                                  'Parser = six.moves.html_parser.HTMLParser\n',
                  'compat.py': 'import Tkinter\nsix = Tkinter\n'},
                 'from pkgw.page import Parser\nclass html_parser:\n    HTMLParser = Parser\n'))):
            site = self.source(files, name='site%d' % number)
            source = self.source({'__startup__.py': startup + 'def run():\n'
                                                    '    print html_parser.HTMLParser.__name__\n'},
                                 name='source%d' % number)
            status, out, err = self.freeze(source, '--path', site, '--force')
            self.assertEqual((status, err), (0, ''))
            app = os.path.join(self.tmp, 'out', 'app')
            self.assertEqual(start([os.path.join(app, 'app')]), plain(source, path=[site]))
            self.assertFalse(os.path.exists(os.path.join(app, 'lib', '_tkinter.so')))


if __name__ == '__main__':
    unittest.main(verbosity=2)
