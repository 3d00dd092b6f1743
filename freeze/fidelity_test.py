"""A frozen program behaves as under the plain interpreter on the same
sources: the same status, output and tracebacks (source lines included),
started from a directory that holds decoy files of the same names, and it
never writes into its own directory.

Each case freezes a small program that reproduces one mechanism, moves
the application and compares it with the plain interpreter, paths
replaced.
"""

import io
import os
import py_compile
import re
import shutil
import struct
import sys
import sysconfig
import unittest
import zipfile
import zlib

from test_support import TOOLS, TempTest, build_extension, compile_c, plain, start, write

STDLIB = sysconfig.get_path('stdlib')
DECOY = ''.join('decoy line %d of a stranger\'s file\n' % n for n in range(1, 400))

# Tracebacks through the program's own modules and the standard library,
# printed by the interpreter and by the traceback module; sources read
# back through inspect and linecache.
TRACEBACKS = {
    '__startup__.py': 'import greet\nrun = greet.run\n',
    'greet.py': 'import inspect, json, linecache, sys, traceback\n'
                'class Oops(Exception):\n    pass\n'
                'def fail():\n    json.loads("{")\n'
                'def run():\n'
                '    try:\n        fail()\n    except ValueError:\n'
                '        traceback.print_exc(file=sys.stdout)\n'
                '    print inspect.getsource(fail)\n'
                '    print linecache.getline(json.__file__.rstrip("c"), 1)\n'
                '    print len(inspect.getsource(json.decoder)) > 1000\n'
                '    raise Oops("for the interpreter to print")  \n',
}

# Errors inside the codecs that the interpreter imported while it started,
# printed by the program and by the interpreter.
CODEC = {'__startup__.py': 'import codecs, StringIO, sys, traceback\n'
                           'def run():\n'
                           '    try:\n'
                           '        codecs.getreader("utf-8")(StringIO.StringIO("\\xff")).read()\n'
                           '    except UnicodeDecodeError:\n'
                           '        traceback.print_exc(file=sys.stdout)\n'
                           '    "\\xff".decode("utf-8")\n'}

# An error while a module of the program is imported.
IMPORT_ERROR = {
    '__startup__.py': 'import broken\nrun = broken.run\n',
    'broken.py': 'import os\n\nraise KeyError(os.sep)\n',
}

# A package holding files that are ELF but no loadable library: a helper
# executable, a static binary, an object file. Each ships byte for byte.
ELF_FILES = {
    '__startup__.py': 'import hashlib, os, subprocess, tools\n'
                      'def run():\n'
                      '    here = os.path.dirname(tools.__file__)\n'
                      '    for name in ("bin/helper", "bin/static", "bin/pie", "obj.o"):\n'
                      '        with open(os.path.join(here, name), "rb") as f:\n'
                      '            print name, hashlib.md5(f.read()).hexdigest()\n'
                      '    for name in ("bin/helper", "bin/static", "bin/pie"):\n'
                      '        print subprocess.check_output([os.path.join(here, name)])\n',
    'tools/__init__.py': '',
}

# A bytecode-only package, copied whole for its data file.
BYTECODE_ONLY = {
    '__startup__.py': 'import pkgutil, blob\nfrom blob import inner\n'
                      'def run():\n    print blob.NAME, inner.twice(21), '
                      'pkgutil.get_data("blob", "data.txt")\n',
}

# Links inside a package copied whole: a linked data directory, a linked
# subpackage, and a link to the package itself.
LINKS = {
    '__startup__.py': 'import pkgutil, linked.sub\n'
                      'def run():\n    print pkgutil.get_data("linked", "templates/page.html"),\n'
                      '    print linked.sub.NAME\n',
    'real/templates/page.html': '<p>page</p>\n',
    'real/sub/__init__.py': 'NAME = "the linked subpackage"\n',
    'linked/__init__.py': '',
}

# Python files that are data: a template in a directory that is no
# package, and a module of Python 3 that code reads as text. Data files
# beside the program's own top-level modules.
PY_AS_DATA = {
    '__startup__.py': 'import settings\nrun = settings.run\n',
    'settings.py': 'import os, gen\n'
                   'HERE = os.path.dirname(__file__)\n'
                   'def run():\n'
                   '    print open(os.path.join(HERE, "settings.ini")).read(),\n'
                   '    base = os.path.dirname(gen.__file__)\n'
                   '    print open(os.path.join(base, "templates", "setup.py")).read(),\n'
                   '    print open(os.path.join(base, "modern.py")).read(),\n',
    'settings.ini': '[main]\nname = frozen\n',
    'gen/__init__.py': '',
    'gen/templates/setup.py': 'from setuptools import setup\nsetup(name="{name}")\n',
    'gen/modern.py': 'def f(*, key):\n    return key\n',
}

# A namespace package whose halves lie in SOURCE and in a --path directory.
NAMESPACE = {
    '__startup__.py': 'import nsp.one, nsp.two\n'
                      'def run():\n    print nsp.one.NAME, nsp.two.NAME\n',
    'nsp/__init__.py': 'from pkgutil import extend_path\n__path__ = extend_path(__path__, __name__)\n',
    'nsp/one.py': 'NAME = "one"\n',
}
NAMESPACE_SITE = {
    'nsp/__init__.py': 'from pkgutil import extend_path\n__path__ = extend_path(__path__, __name__)\n',
    'nsp/two.py': 'NAME = "two"\n',
}

# A program that reads a module's source as linters do: found along
# sys.path as a file, not imported.
READS_SOURCES = {
    '__startup__.py': 'import ast, imp, json\n'
                      'def run():\n'
                      '    f, path, _ = imp.find_module("json")\n'
                      '    f, path, _ = imp.find_module("decoder", [path])\n'
                      '    tree = ast.parse(f.read())\n'
                      '    print [n.name for n in tree.body if isinstance(n, ast.FunctionDef)]\n',
}

# Imports made from C or by name.
HIDDEN = {
    '__startup__.py': 'import sqlite3, xml.dom\nimport _ssl, _curses_panel, _multiprocessing\n'
                      'def run():\n'
                      '    db = sqlite3.connect(":memory:")\n'
                      '    db.execute("create table t (x)")\n'
                      '    print list(db.iterdump())\n'
                      '    print xml.dom.getDOMImplementation().createDocument(None, "a", None)'
                      '.toxml()\n',
}

# A source of a package copied whole that does not compile raises
# SyntaxError when imported; a test subpackage ships when --include names
# its package.
NAMED_TESTS = {
    '__startup__.py': 'import pkgutil, withdata\n'
                      'def run():\n'
                      '    import withdata.tests.test_it\n'
                      '    print sorted(n for _, n, _ in pkgutil.iter_modules(withdata.__path__))\n'
                      '    import withdata.modern\n',
}
NAMED_TESTS_SITE = {
    'withdata/__init__.py': '',
    'withdata/data.txt': 'data\n',
    'withdata/modern.py': 'def f(*, key):\n    return key\n',
    'withdata/test.py': 'NAME = "test"\n',
    'withdata/tests/__init__.py': '',
    'withdata/tests/test_it.py': 'NAME = "it"\n',
}


# Modules run by name as scripts, as `python -m` runs them: from a
# package copied whole, the program's own top-level module and a package
# in the archive, one of them failing.
RUNPY = {
    '__startup__.py': 'import runpy\n'
                      'def run():\n'
                      '    runpy.run_module("tools.hello", run_name="__main__")\n'
                      '    runpy.run_module("top", run_name="__main__")\n'
                      '    runpy.run_module("pkg.sub", run_name="__main__")\n',
    'tools/__init__.py': '',
    'tools/d.txt': 'data\n',
    'tools/hello.py': 'print "hello from", __name__, __file__\n',
    'top.py': 'print "top", __name__, __file__\n',
    'pkg/__init__.py': '',
    'pkg/sub.py': 'print "archive", __name__, __file__\n1 / 0\n',
}

# Modules of the archive and of lib, a package among them, reloaded,
# listed, run by name and raising as any other module.
RELOADED = {
    '__startup__.py': 'import pkgutil, runpy, mine, pkg.one, pkg.two\n'
                      'def run():\n'
                      '    import pkg.three\n'
                      '    print mine.COUNT, reload(mine).COUNT, reload(pkg.one).COUNT, reload(pkg)\n'
                      '    print sorted(n for _, n, _ in pkgutil.iter_modules(pkg.__path__))\n'
                      '    print pkgutil.get_loader("pkg.one").get_filename("pkg.one")\n'
                      '    runpy.run_module("pkg.two", run_name="__main__")\n'
                      '    pkg.one.fail()\n',
    'mine.py': 'import sys\nsys.counted = getattr(sys, "counted", 0) + 1\nCOUNT = sys.counted\n',
    'pkg/__init__.py': 'import mine\n',
    'pkg/one.py': 'import mine\nCOUNT = mine.COUNT\ndef fail():\n    return {}["one"]\n',
    'pkg/two.py': 'print "two", __name__, __file__\n',
    'pkg/three.py': 'import pkg.one\n',
}

# The application's modules as its importers load them: those of the
# archive stored, and deflated (imported only late, with zlib shipped);
# those of a package copied whole into lib, where a package and an
# extension module come before sources of the same names; modules whose
# code raises, forgotten and raising again; a module found after the
# program put a directory of its own first on sys.path, and a submodule
# after it added one to its package's path.
BODY = ('def f():\n    pass\n'
        'class C(object):\n    def g(self):\n        raise ValueError(__name__)\n')
LOADING = {
    '__startup__.py': 'import inspect, sys, tempfile, traceback, zlib, early, deep.er\n'
                      'def show(m):\n'
                      '    print m.__name__, m.__file__, hasattr(m, "__path__"),\n'
                      '    print m.f.__code__.co_filename, m.C.g.__func__.__code__.co_filename\n'
                      'def run():\n'
                      '    show(early), show(deep), show(deep.er)\n'
                      '    import late, deep.later as later\n'
                      '    show(late), show(deep.later)\n'
                      '    print inspect.getsource(late.C)\n'
                      '    import tools.sub.mod as mod, tools.shadow as shadow, tools.fast as fast\n'
                      '    for m in sys.modules["tools"], sys.modules["tools.sub"], mod, shadow:\n'
                      '        show(m)\n'
                      '        print getattr(m, "__path__", None), hasattr(m, "__loader__")\n'
                      '    print inspect.getsource(mod.C), fast.twice(21)\n'
                      '    for n in range(2):\n'
                      '        try:\n'
                      '            import failing\n'
                      '        except ZeroDivisionError:\n'
                      '            traceback.print_exc(file=sys.stdout)\n'
                      '        try:\n'
                      '            import tools.failing\n'
                      '        except ZeroDivisionError:\n'
                      '            traceback.print_exc(file=sys.stdout)\n'
                      '        print "failing" in sys.modules, "tools.failing" in sys.modules\n'
                      '    mine = tempfile.mkdtemp()\n'
                      '    sys.path.insert(0, mine)\n'
                      '    deep.__path__.append(mine)\n'
                      '    import after, deep.after as deep_after\n'
                      '    show(after), show(deep.after)\n'
                      '    late.C().g()\n',
}
LOADING_SITE = dict([('deep/__init__.py', BODY), ('failing.py', 'import os\nx = 1 / 0\n'),
                     ('tools/data.txt', 'data\n'), ('tools/fast.py', 'raise ImportError\n'),
                     ('tools/shadow.py', 'raise ImportError\n'),
                     ('tools/failing.py', 'import os\nx = 1 / 0\n')] +
                    [(name, BODY) for name in ('early.py', 'late.py', 'after.py', 'deep/er.py',
                                               'deep/later.py', 'deep/after.py',
                                               'tools/__init__.py', 'tools/sub/__init__.py',
                                               'tools/sub/mod.py', 'tools/shadow/__init__.py')])

# What a program sees of how it was started: the files beside
# __startup__, a warning's line, the build's configuration, finders asked
# with unicode names.
MACHINERY = {
    '__startup__.py': 'import os, sys\n'
                      'events = []\n'
                      'def trace(frame, event, arg):\n'
                      '    events.append((event, frame.f_code.co_name,\n'
                      '                   os.path.basename(frame.f_code.co_filename)))\n'
                      'sys.settrace(trace)\n'
                      'import apkg.later, helper\n'
                      'sys.path.insert(0, "/nonexistent")\n'
                      'import helper2\n'
                      'del sys.path[0]\n'
                      'import imp\n'
                      'imp.load_source("helper3", helper.__file__.rstrip("c"))\n'
                      'sys.settrace(None)\n'
                      'import imp, pkgutil, sysconfig, apkg.sub\n'
                      'import pkg_resources\n'
                      'from distutils import sysconfig as build\n'
                      'def run():\n'
                      '    for finder in sys.meta_path:\n'
                      '        finder.find_module(u"apkg.sub", apkg.__path__)\n'
                      '    print pkg_resources.resource_exists("apkg", "__init__.py"),\n'
                      '    print pkg_resources.resource_string("apkg", "sub.py"),\n'
                      '    print pkgutil.get_data("apkg", "sub.py"), apkg.sub.__file__\n'
                      '    f, where, kind = imp.find_module("sub", apkg.__path__)\n'
                      '    f.close()\n'
                      '    print where, kind, [(name, is_package) for _, name, is_package\n'
                      '                        in pkgutil.walk_packages(apkg.__path__, "apkg.")]\n'
                      '    print [n for n in ("__boot__", "_boot") if n in sys.modules],\n'
                      '    print len(sys.path_hooks), sys.excepthook is sys.__excepthook__\n'
                      '    print events\n'
                      '    print open(os.path.join(os.path.dirname(__file__), "settings.ini")).read()\n'
                      '    apkg.careful()\n'
                      '    for name in ("prefix", "exec_prefix", "LIBDIR", "BINDIR", "INCLUDEPY",\n'
                      '                 "LIBDEST"):\n'
                      '        print name, os.path.relpath(sysconfig.get_config_var(name), '
                      'sys.prefix),\n'
                      '        print os.path.relpath(build.get_config_var(name), sys.prefix)\n'
                      '    import email.utils, site\n'
                      '    print sorted(m for m in sys.modules if m.startswith("email.mime")),\n'
                      '    print hasattr(sys, "setdefaultencoding"), callable(license)\n'
                      '    print repr(quit)\n'
                      '    exit(3)\n',
    'settings.ini': 'answer = 42\n',
    'helper.py': '',
    'helper2.py': 'H = 2\n',
    'apkg/__init__.py': 'import warnings\n'
                        'def careful():\n'
                        '    warnings.warn("careful", stacklevel=1)\n',
    'apkg/sub.py': 'SUB = 1\n',
    'apkg/inner/__init__.py': '',
    'apkg/later.py': 'import apkg.inner.deep\n',
    'apkg/inner/deep.py': '',
}

# The ways a program reaches its modules: a relative name, a module that
# replaces itself in sys.modules, its own meta-path importer and path hook,
# a circular import, pickling, threads importing at once, unittest
# discovery and doctest over a package of the archive.
IMPORTING = {
    '__startup__.py': (
        'import StringIO, doctest, importlib, pickle, sys, threading, unittest\n'
        'import apkg\n'
        '\n'
        '\n'
        'class Virtual(object):\n'
        '    asked = []\n'
        '\n'
        '    def find_module(self, name, path=None):\n'
        '        Virtual.asked.append(name)\n'
        "        return self if name in ('virtual', 'magicmod') else None\n"
        '\n'
        '    def load_module(self, name):\n'
        '        module = sys.modules.setdefault(name, type(sys)(name))\n'
        '        module.X = name\n'
        '        return module\n'
        '\n'
        '\n'
        'def hook(entry):\n'
        "    if entry != 'magic:':\n"
        '        raise ImportError(entry)\n'
        '    return Virtual()\n'
        '\n'
        '\n'
        'def run():\n'
        "    print importlib.import_module('.sub', 'apkg').SUB\n"
        '    import apkg.selfrep\n'
        "    print sys.modules['apkg.selfrep'], apkg.selfrep\n"
        '    sys.meta_path.append(Virtual())\n'
        '    import virtual\n'
        '    print virtual.X\n'
        '    sys.path_hooks.append(hook)\n'
        "    sys.path.append('magic:')\n"
        '    import magicmod\n'
        '    print magicmod.X\n'
        '    import apkg.circ_a\n'
        '    print apkg.circ_a.B, apkg.circ_b.A\n'
        "    print [n in Virtual.asked for n in ('apkg.circ_a', 'apkg.circ_b')]\n"
        '    import imp, os, shutil, tempfile, traceback\n'
        '    outside = tempfile.mkdtemp()\n'
        "    with open(os.path.join(outside, 'outside.py'), 'w') as f:\n"
        "        f.write('raise ValueError(1)\\n')\n"
        '    try:\n'
        "        imp.load_source('outside', os.path.join(outside, 'outside.py'))\n"
        '    except ValueError:\n'
        '        print [os.path.basename(t[0]) for t in traceback.extract_tb(sys.exc_info()[2])]\n'
        '    shutil.rmtree(outside)\n'
        '    print pickle.loads(pickle.dumps(apkg.Thing(3))).n\n'
        '    found = []\n'
        '    threads = [threading.Thread(target=lambda i=i: found.append(\n'
        "        importlib.import_module('apkg.t%d' % (i % 3)).N)) for i in range(6)]\n"
        '    for t in threads:\n'
        '        t.start()\n'
        '    for t in threads:\n'
        '        t.join()\n'
        '    print sorted(found)\n'
        "    suite = unittest.defaultTestLoader.discover('apkg.checks', pattern='check*.py')\n"
        '    result = unittest.TextTestRunner(stream=StringIO.StringIO(), verbosity=0).run(suite)\n'
        '    print result.testsRun, len(result.failures)\n'
        '    import apkg.doc\n'
        '    print doctest.testmod(apkg.doc)\n'),
    'apkg/__init__.py': (
        'class Thing(object):\n'
        '    def __init__(self, n):\n'
        '        self.n = n\n'),
    'apkg/checks/__init__.py': '',
    'apkg/checks/check_one.py': (
        'import unittest\n'
        'class T(unittest.TestCase):\n'
        '    def test_one(self):\n'
        '        self.assertEqual(1, 1)\n'
        '    def test_two(self):\n'
        '        self.assertTrue(True)\n'),
    'apkg/circ_a.py': (
        'import apkg.circ_b\n'
        'B = "b"\n'),
    'apkg/circ_b.py': (
        'import apkg.circ_a\n'
        'A = "a"\n'),
    'apkg/doc.py': (
        'def twice(n):\n'
        '    """\n'
        '    >>> twice(2)\n'
        '    4\n'
        '    """\n'
        '    return 2 * n\n'),
    'apkg/selfrep.py': (
        'import sys\n'
        'sys.modules[__name__] = 42\n'),
    'apkg/sub.py': (
        'SUB = "sub"\n'),
    'apkg/t0.py': (
        'import time\n'
        'time.sleep(0.05)\n'
        'N = 0\n'),
    'apkg/t1.py': (
        'import time\n'
        'time.sleep(0.05)\n'
        'N = 1\n'),
    'apkg/t2.py': (
        'import time\n'
        'time.sleep(0.05)\n'
        'N = 2\n'),
}

# Objects that hash by their address, which lies in the interpreter
# library: the order of a set keyed by them is the plain interpreter's.
ADDRESSES = {
    '__startup__.py': 'import types\n'
                      'def run():\n'
                      '    print hash(None) & 0xff, hash(types.InstanceType) & 0xff\n'
                      '    print list(set((None, n) for n in range(16)))\n'
                      '    print repr(exit)\n'  # a program that ships no site
                      '    exit(3)\n',
}


# Without sources (--no-source) as with them: plug-ins that pkgutil and
# pkg_resources list, a package's data file found through pkgutil,
# pkg_resources and __file__, source read back and a traceback; under the
# interpreter given bytecode alone, and frozen without sources.
BYTECODE = {
    '__startup__.py': 'import inspect, os, pkgutil, pkg_resources, plugins, tools.helper\n'
                      'def run():\n'
                      '    names = sorted(n for _, n, _ in pkgutil.iter_modules(plugins.__path__))\n'
                      '    print names, [n for _, n, _ in pkgutil.iter_modules(tools.__path__)]\n'
                      '    for name in names:\n'
                      '        print __import__("plugins." + name, fromlist=["NAME"]).NAME\n'
                      '    print pkgutil.get_data("tools", "data.txt"),\n'
                      '    print open(os.path.join(os.path.dirname(tools.__file__), "data.txt")).read(),\n'
                      '    print pkg_resources.resource_string("tools", "data.txt"),\n'
                      '    print sorted(pkg_resources.resource_listdir("plugins", ""))\n'
                      '    print [os.path.basename(m.__file__) for m in (plugins, tools.helper)]\n'
                      '    try:\n'
                      '        print inspect.getsource(tools.helper.fail)\n'
                      '    except IOError as e:\n'
                      '        print e\n'
                      '    tools.helper.fail()\n',
    'plugins/__init__.py': '',
    'plugins/one.py': 'NAME = "one"\n',
    'plugins/two.py': 'NAME = "two"\n',
    'tools/__init__.py': '',
    'tools/data.txt': 'data\n',
    'tools/helper.py': 'def fail():\n    raise ValueError("helper")\n',
}

# Runs that --check compares: a plug-in imported by a name computed at
# run time and a data file opened by a computed path, which only --record
# finds; paths, argv[0] and sys.executable, which are no differences; a
# file written and a line printed that differ; a run that hangs, with a
# child that left its process group.
CHECKED = {
    '__startup__.py': 'import os, sys, time\n'
                      'def run():\n'
                      '    kind = sys.argv[1]\n'
                      '    if kind == "paths":\n'
                      '        import json\n'
                      '        print __file__, json.__file__, sys.argv[0], sys.executable\n'
                      '        print open(os.path.join(os.getcwd(), "given.txt")).read()\n'
                      '        raise KeyError(os.getcwd())\n'
                      '    elif kind == "file":\n'
                      '        open("out.txt", "w").write(os.path.basename(sys.executable))\n'
                      '    elif kind == "line":\n'
                      '        print "one\\n", os.path.basename(sys.executable)\n'
                      '    elif kind == "hang":\n'
                      '        if os.fork() == 0:\n'
                      '            os.setsid()\n'
                      '        time.sleep(600)\n'
                      '    plugin = __import__("pl" + "ugin_" + kind)\n'
                      '    path = os.path.join(os.path.dirname(__file__), "data", kind + ".txt")\n'
                      '    print plugin.NAME, open(path).read(), sys.argv[2:]\n',
    'data/a.txt': 'data a\n',
}
CHECKED_SITE = {'plugin_a.py': 'NAME = "plugin a"\n'}


class FidelityTest(TempTest):
    maxDiff = None

    def compare(self, files, options=(), site=None, args=(), setup=None, compiled=False):
        """Freezes `files` (and a --path directory of `site`, after
        setup(source, site)), moves the application, runs it from a
        directory of decoys and compares it with the plain interpreter,
        given bytecode alone if `compiled`; returns what the freeze said."""
        source = self.source(files)
        path = []
        if site is not None:
            path = [self.source(site, name='site')]
            options = tuple(options) + ('--path', path[0])
        if setup:
            setup(source, path and path[0])
        status, self.summary, err = self.freeze(source, *options)
        self.assertEqual(status, 0, err)
        app = os.path.join(self.tmp, 'moved')
        os.rename(os.path.join(self.tmp, 'out', 'app'), app)
        decoys = os.path.join(self.tmp, 'decoys')
        for name in list(files) + ['json/__init__.py', 'json/decoder.py', 'lib/greet.py',
                                   'encodings/utf_8.py', 'lib/library-source/encodings/utf_8.py']:
            write(os.path.join(decoys, name), DECOY)
        places = [app + '/lib/library-source/', app + '/lib/', STDLIB + '/', source + '/'] + \
            [p + '/' for p in path]
        self.frozen = start([os.path.join(app, 'app')] + list(args), cwd=decoys)
        for directory in [source] * compiled + path * compiled:
            for where, _, names in os.walk(directory):
                for name in names:
                    if name.endswith('.py'):
                        py_compile.compile(os.path.join(where, name), doraise=True)
                        os.remove(os.path.join(where, name))
        expected = plain(source, args, cwd=decoys, path=path)
        self.assertEqual(self.normal(self.frozen, places), self.normal(expected, places))
        return err

    def normal(self, result, places):
        status, out, err = result
        for place in places:
            out, err = out.replace(place, '<>/'), err.replace(place, '<>/')
        return status, out, err.replace('  File "<string>", line 1, in <module>\n', '')

    def test_tracebacks_show_the_shipped_lines_whatever_the_current_directory_holds(self):
        self.compare(TRACEBACKS)

    def test_an_error_in_a_codec_of_the_interpreter_start_shows_its_line(self):
        self.compare(CODEC)

    def test_an_error_while_importing_shows_no_frames_of_the_freezer(self):
        self.compare(IMPORT_ERROR)

    def test_elf_files_that_are_no_libraries_ship_byte_for_byte(self):
        def setup(source, _):
            tools = os.path.join(source, 'tools')
            main = 'int main(void) { puts("%s"); return 0; }\n'
            for name, flags in (('bin/helper', []), ('bin/static', ['-static']),
                                ('bin/pie', ['-static-pie'])):
                write(os.path.join(tools, name + '.c'),
                      '#include <stdio.h>\n' + main % name.split('/')[1])
                status, _, err = start(['cc', '-o', os.path.join(tools, name),
                                        os.path.join(tools, name + '.c')] + flags, env=TOOLS)
                self.assertEqual(status, 0, err)
                os.remove(os.path.join(tools, name + '.c'))
            write(os.path.join(tools, 'obj.c'), 'int f(void) { return 1; }\n')
            status, _, err = start(['cc', '-c', '-o', os.path.join(tools, 'obj.o'),
                                    os.path.join(tools, 'obj.c')], env=TOOLS)
            self.assertEqual(status, 0, err)
            os.remove(os.path.join(tools, 'obj.c'))
        self.compare(ELF_FILES, setup=setup)

    def test_a_bytecode_only_package_imports(self):
        def setup(_, site):
            blob = os.path.join(site, 'blob')
            write(os.path.join(blob, '__init__.py'), 'NAME = "blob"\n')
            write(os.path.join(blob, 'inner.py'), 'def twice(n):\n    return 2 * n\n')
            write(os.path.join(blob, 'data.txt'), 'data\n')
            for name in ('__init__', 'inner'):
                py_compile.compile(os.path.join(blob, name + '.py'), doraise=True)
                os.remove(os.path.join(blob, name + '.py'))
        self.compare(BYTECODE_ONLY, site={}, setup=setup)

    def test_links_in_a_package_are_followed_and_a_loop_is_one_warning(self):
        def setup(source, _):
            os.symlink('../real/templates', os.path.join(source, 'linked', 'templates'))
            os.symlink('../real/sub', os.path.join(source, 'linked', 'sub'))
            os.symlink('.', os.path.join(source, 'linked', 'selfloop'))
        err = self.compare(LINKS, setup=setup)
        self.assertEqual(err.count('\n'), 1, err)
        self.assertIn('linked/selfloop leads back to a directory that holds it', err)

    def test_python_files_that_are_data_ship_as_files(self):
        self.compare(PY_AS_DATA)

    def test_a_namespace_package_split_across_search_directories_is_one(self):
        self.compare(NAMESPACE, site=NAMESPACE_SITE)

    def test_a_program_that_reads_sources_along_the_path_finds_them(self):
        self.compare(READS_SOURCES)

    def test_modules_run_by_name_run_as_under_the_interpreter(self):
        self.compare(RUNPY)

    def test_modules_reload_list_and_run_by_name_as_under_the_interpreter(self):
        self.compare(RELOADED)

    def test_stored_deflated_failing_and_late_found_modules_load_as_plain(self):
        def setup(_, site):
            build_extension(os.path.join(site, 'tools', 'fast.so'), 'fast')
        self.compare(LOADING, site=LOADING_SITE, setup=setup)
        self.assertTrue(self.frozen[2].endswith('\nValueError: late\n'), self.frozen[2])
        with zipfile.ZipFile(os.path.join(self.tmp, 'moved', 'lib', 'library.zip')) as z:
            kinds = dict((i.filename, i.compress_type) for i in z.infolist())
        self.assertEqual([kinds[m + '.pyc'] for m in ('early', 'deep/er', 'late', 'deep/later')],
                         [zipfile.ZIP_STORED] * 2 + [zipfile.ZIP_DEFLATED] * 2)

    def test_startup_files_warnings_configuration_and_finders_as_under_the_interpreter(self):
        self.compare(MACHINERY)

    def test_modules_reached_every_way_load_as_under_the_interpreter(self):
        self.compare(IMPORTING)

    def test_sets_ordered_by_addresses_iterate_in_the_same_order(self):
        self.compare(ADDRESSES)

    def test_without_sources_as_under_the_interpreter_given_bytecode_alone(self):
        self.compare(BYTECODE)
        self.assertIn('    raise ValueError("helper")\n', self.frozen[2])
        for name in ('src', 'moved', 'decoys', 'out'):
            shutil.rmtree(os.path.join(self.tmp, name))
        self.compare(BYTECODE, ('--no-source',), compiled=True)
        self.assertIn('; no sources ship\n', self.summary)
        self.assertNotIn('    raise ValueError("helper")\n', self.frozen[2])
        app = os.path.join(self.tmp, 'moved')
        self.assertEqual([f for _, _, files in os.walk(app) for f in files if f.endswith('.py')],
                         [])

    def test_modules_imported_from_c_or_by_name_ship(self):
        self.compare(HIDDEN)

    def test_sources_that_do_not_compile_and_named_test_packages_ship(self):
        err = self.compare(NAMED_TESTS, site=NAMED_TESTS_SITE, options=('--include', 'withdata'))
        self.assertIn('sources of packages copied whole that do not compile ship as they are, '
                      'and importing one raises SyntaxError (1): withdata.modern\n', err)


def members(whole):
    """[name, method, CRC-32, size, size inflated, bytes, offset] of each
    member of the zip archive `whole`."""
    found = []
    for i in zipfile.ZipFile(io.BytesIO(whole)).infolist():
        at = i.header_offset + 30 + sum(struct.unpack('<HH', whole[i.header_offset + 26:][:4]))
        found.append([i.filename, i.compress_type, i.CRC, i.compress_size, i.file_size,
                      whole[at:at + i.compress_size], None])
    return found


def zipped(entries, count=None, table_at=None):
    """A zip archive of `entries`, as members() gives them, their sizes
    recorded as given, whatever their bytes; an offset, their count and
    the table's offset where given, else where they lie."""
    local = table = ''
    for name, method, crc, size, full, data, offset in entries:
        table += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 20, 0, method, 0, 0, crc, size,
                             full, len(name), 0, 0, 0, 0, 0,
                             len(local) if offset is None else offset) + name
        local += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, method, 0, 0, crc, size, full,
                             len(name), 0) + name + data
    count = len(entries) if count is None else count
    return local + table + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, count, count, len(table),
                                       len(local) if table_at is None else table_at, 0)


def changed(entries, name, **fields):
    """`entries` with fields of the member `name` changed."""
    order = ['name', 'method', 'crc', 'size', 'full', 'data', 'offset']
    return [[fields.get(f, v) for f, v in zip(order, e)] if e[0] == name else e for e in entries]


def bomb(size):
    """Raw deflated bytes that inflate to `size` zero bytes."""
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    return ''.join(z.compress('\0' * (1 << 20)) for _ in range(size >> 20)) + z.flush()


@unittest.skipIf(os.environ.get('SANITIZED') == '1',
                 "a sanitizer build's launcher needs the sanitizer runtime, which the empty "
                 "root of the frozen runs lacks")
class CheckTest(TempTest):
    def test_check_compares_runs_with_the_interpreter_and_record_adds_what_they_reach(self):
        source = self.source(CHECKED)
        site = self.source(CHECKED_SITE, name='site')
        given = self.source({'given.txt': 'given\n'}, name='given')
        status, out, err = self.freeze(source, '--path', site, '--check', 'a')
        self.assertEqual(status, 1, err)
        self.assertIn("check: a: differs: the run frozen ends in a traceback, 'ImportError: No "
                      "module named plugin_a'; the other in none, with status 0\n", out)
        self.assertTrue(err.endswith('freeze-app: 1 of 1 checks differ from the interpreter; '
                                     '%s/out/app is kept\n' % self.tmp), err)
        # Options one a line in a file, as argparse reads them.
        marker = os.path.basename(self.tmp)
        write(os.path.join(self.tmp, 'options'), '\n'.join(
            ['--force', '--verbose', '--path', site, '--record=a', '--check=a', '--check',
             "a 'one more'", '--check=paths', '--check=file', '--check=line',
             '--check=hang ' + marker, '--check-timeout=5', '--check-dir=' + given, source]))
        status, out, err = self.freeze(None, '@' + os.path.join(self.tmp, 'options'))
        self.assertEqual(status, 1, err)
        self.assertIn('  module plugin_a, which --record a reached\n', out)
        self.assertIn('  file lib/data/a.txt, which --record a reached\n', out)
        self.assertIn('; --record added 1 modules and 1 files\n', out)
        checks = [line for line in out.splitlines() if line.startswith('freeze-app: check: ')]
        self.assertEqual([re.sub(r'same \(.*\)', 'same', line[len('freeze-app: check: '):])
                          for line in checks], [
            'a: same', "a 'one more': same", 'paths: same',
            "file: differs: file out.txt: its line 1: %r under the interpreter, 'app' frozen"
            % os.path.basename(sys.executable),
            "line: differs: standard output line 2: %r under the interpreter, 'app' frozen"
            % os.path.basename(sys.executable),
            'hang %s: differs: the run under the interpreter outlived its limit: ended with its '
            'process group' % marker])
        # Nothing that the hanging runs started is left running.
        left = []
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                left += [pid] if marker in open('/proc/%s/cmdline' % pid).read() else []
            except IOError:
                pass
        self.assertEqual(left, [])

    def test_check_runs_the_command_named_and_the_one_file(self):
        source = self.source({'tools/__init__.py': '',
                              'tools/cli.py': 'import os, sys\n'
                                              'def hello():\n    print sys.argv, sys.executable\n'
                                              'def count():\n    return len(sys.argv)\n'})
        entries = ('--entry', 'app=tools.cli:hello', '--entry', 'count=tools.cli:count')
        for options, checks in (((), ('count a b', 'app c')), (('--onefile',), ('d e',))):
            status, out, err = self.freeze(source, *(entries + options + sum(
                [('--check', c) for c in checks], ())), output=os.path.join(
                    self.tmp, 'out%d' % len(options), 'app'))
            self.assertEqual((status, err), (0, ''))
            self.assertEqual(re.findall(r'check: (.*): same \(', out), list(checks))


class DamageTest(TempTest):
    def test_a_damaged_archive_or_bytecode_fails_with_a_message_never_a_signal(self):
        # json is an optional import here: its damage must not pass for its absence.
        source = self.source({'__startup__.py': 'import tools, tools.old\n'
                                                'try:\n'
                                                '    import json\n'
                                                'except ImportError:\n'
                                                '    json = None\n'
                                                'def run():\n'
                                                '    print json.dumps([tools.NAME, tools.old.N])\n',
                              'tools/__init__.py': 'NAME = "tools"\n',
                              'tools/data.txt': 'data\n'})
        compiled = os.path.join(source, 'tools', 'old.pyc')
        write(compiled[:-1], 'N = 1\n')
        py_compile.compile(compiled[:-1], compiled)
        os.remove(compiled[:-1])
        app = self.frozen(source)
        archive = os.path.join(app, 'lib', 'library.zip')
        with open(archive, 'rb') as f:
            whole = f.read()
        with open(os.path.join(app, 'lib', 'tools', 'old.pyc'), 'rb') as f:
            old = f.read()
        # Structural damage, each a row of (file, its bytes or what makes it,
        # the last line, None if it starts): sizes, offsets and counts that
        # lie, a deflate bomb, special files. Sizes are believed only where
        # the archive holds them, under a memory limit of 256 MiB.
        good = members(whole)
        member = 'lib/tools/__init__.pyc'
        broken = archive + '/' + member + ' is damaged: '
        damages = [(archive, zipped(e), re.escape(broken + why)) for e, why in [
            (changed(good, member, size=0xffffffff),
             "its recorded size runs past the archive's end"),
            (changed(good, member, method=8, data=bomb(400 << 20)),
             'its size is not the one recorded'),
            (changed(good, member, offset=0xfffffff0), 'its header or bytes cannot be read')]]
        # Recorded as it is, but larger than memory allows: no damage.
        honest = bomb(400 << 20)
        zeros = reduce(lambda crc, _: zlib.crc32('\0' * (1 << 20), crc), range(400), 0)
        damages.append((archive, zipped(changed(good, member, method=8, data=honest,
                                                size=len(honest), full=400 << 20,
                                                crc=zeros & 0xffffffff)), '^MemoryError$'))
        damages += [(archive, zipped(good, table_at=len(whole)), 'its table lies past its end'),
                    (archive, zipped(good, count=0xffff), None)]
        damages += [(archive, make, "ZipImportError: can't open Zip file %s: %s$" % (archive, why))
                    for make, why in [(os.mkfifo, 'not a regular file'),
                                      (os.mkdir, 'Is a directory'),
                                      (lambda p: os.symlink(os.path.basename(p), p),
                                       'Too many levels of symbolic links')]]
        # Bit flips and cuts, which may leave it starting.
        flipped = r'library\.zip(/\S+)? is damaged|Bad magic number in \S+\.pyc'
        damages += [(archive, whole[:at] + chr(ord(whole[at]) ^ 0x10) + whole[at + 1:], flipped)
                    for at in range(0, len(whole), len(whole) // 97 + 1)]
        damages += [(archive, whole[:at], flipped)
                    for at in range(0, len(whole), len(whole) // 13 + 1)]
        with open(os.path.join(app, 'lib', '__startup__.pyc'), 'rb') as f:
            stub = f.read()
        for path, data in [(os.path.join(app, 'lib', '__startup__.pyc'), stub),
                           (os.path.join(app, 'lib', 'tools', 'old.pyc'), old)]:
            damages.append((path, chr(ord(data[0]) ^ 1) + data[1:], flipped))
        limit = (dict(TOOLS, ASAN_OPTIONS='allocator_may_return_null=1:max_allocation_size_mb=256')
                 if os.environ.get('SANITIZED') == '1' else dict(TOOLS, LIMIT='262144'))
        for path, data, message in damages:
            os.rename(path, path + '.good')
            if callable(data):
                data(path)
            else:
                with open(path, 'wb') as f:
                    f.write(data)
            status, out, err = start(['timeout', '-s', 'KILL', '20', 'sh', '-c',
                                      'ulimit -v ${LIMIT:-unlimited}; exec "$0"',
                                      os.path.join(app, 'app')], env=limit)
            os.rmdir(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
            os.rename(path + '.good', path)
            self.assertIn(status, (0, 1) if message == flipped else (1,) if message else (0,),
                          (path, message, err))
            if status:
                # One line names what is damaged and why: the archive, a member, a file.
                self.assertRegexpMatches(err.splitlines()[-1], message)
        self.assertEqual(status, 1)
        self.assertTrue(err.endswith('ImportError: Bad magic number in %s/lib/tools/old.pyc\n'
                                     % app), err)
        self.assertEqual(start([os.path.join(app, 'app')]), (0, '["tools", 1]\n', ''))


class NoWritesTest(TempTest):
    @unittest.skipIf(os.environ.get('SANITIZED') == '1',
                     "a sanitizer build's launcher cannot run under strace")
    def test_nothing_is_written_into_the_application_copied_or_read_only(self):
        if os.geteuid() != 0:
            self.skipTest('a read-only bind mount needs root, and this is not root')
        # With an argument, a second load goes past __boot__'s importers, as
        # linters load their checkers: it runs the shipped bytecode too.
        source = self.source({'__startup__.py': 'import imp, os, sys, pkg\ndef run():\n'
                                                '    print pkg.read()\n'
                                                '    where = os.path.dirname(os.path.dirname('
                                                'pkg.__file__))\n'
                                                '    if sys.argv[1:]:\n'
                                                '        imp.load_module("again", *imp.find_module('
                                                '"pkg", [where]))\n'
                                                '        print imp.load_source("checker", os.path.'
                                                'join(where, "pkg", "checker.py")).NAME\n'
                                                '        print imp.load_source("tpl", os.path.join('
                                                'where, "pkg", "templates", "tpl.py")).NAME\n'
                                                '        sys.path.insert(0, sys.argv[1])\n'
                                                '        import mine, helper\n'
                                                '        print sorted(os.listdir(sys.argv[1]))\n',
                              'pkg/__init__.py': 'import os\ndef read():\n    return open(os.path.'
                                                 'join(os.path.dirname(__file__), "d.txt")).read()\n',
                              'pkg/checker.py': 'NAME = "checker"\n',
                              'helper.py': 'X = 2\n',
                              'pkg/templates/tpl.py': 'NAME = "template"\n',
                              'pkg/d.txt': 'data\n'})
        app = self.frozen(source)
        copy = os.path.join(self.tmp, 'copy')
        status, _, err = start(['cp', '-r', app, copy], env=TOOLS)
        self.assertEqual(status, 0, err)
        log = os.path.join(self.tmp, 'trace')
        # Elsewhere, as under the interpreter, bytecode is written.
        mine = os.path.join(self.tmp, 'mine')
        write(os.path.join(mine, 'mine.py'), 'X = 1\n')
        for script in ('shift; exec "$@"', 'mount --bind -o ro "$1" "$1"; shift; exec "$@"'):
            for args in ([], [mine]):
                if os.path.exists(os.path.join(mine, 'mine.pyc')):
                    os.remove(os.path.join(mine, 'mine.pyc'))
                status, out, err = start(['unshare', '--mount', '--', 'sh', '-ec', script, 'sh',
                                          copy, 'strace', '-f', '-e',
                                          'trace=openat,open,mkdir,rename', '-o', log,
                                          os.path.join(copy, 'app')] + args, env=TOOLS)
                self.assertEqual((status, out), (0, 'data\n\n' + (
                    "checker\ntemplate\n['mine.py', 'mine.pyc']\n" if args else '')), err)
                with open(log) as f:
                    calls = [line for line in f if copy in line]
                written = [line for line in calls
                           if 'O_WRONLY' in line or 'O_RDWR' in line or 'O_CREAT' in line
                           or 'mkdir(' in line or 'rename(' in line]
                self.assertEqual(written, [])
                self.assertFalse(any('pkg/__init__.py"' in line or 'pkg/checker.py"' in line
                                     for line in calls), calls)


if __name__ == '__main__':
    unittest.main(verbosity=2)
