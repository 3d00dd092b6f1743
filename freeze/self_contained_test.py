"""A frozen application needs nothing of the machine it was frozen on but
the C library: it runs in an empty root that holds only the C library's
own files, and with the build's Python installation hidden, and no run
path of its files points outside it.
"""

import os
import re
import shutil
import sys
import unittest

from test_support import (FREEZE_APP, LAUNCHER, SAMPLE_APP, TOOLS, TempTest, compile_c, plain,
                          start)

SAMPLE_SOURCE = os.environ['SAMPLE_SOURCE']
# The C library's own files, which every target system has.
C_LIBRARY = ('ld-linux-x86-64.so.2', 'libc.so.6', 'libm.so.6', 'libmvec.so.1',
             'libpthread.so.0', 'libdl.so.2', 'librt.so.1', 'libutil.so.1', 'libresolv.so.2',
             'libanl.so.1')
NOBODY = 65534
MULTIARCH = '/lib/x86_64-linux-gnu'
LOADER = '/lib64/ld-linux-x86-64.so.2'
COMPRESSING = ('import bz2, zlib\ndef run():\n'
               '    print len(zlib.compress("x" * 1000)), bz2.decompress(bz2.compress("hi"))\n')
# An extension module that calls greet() of a library of the user's.
GREETER = ('#include <Python.h>\nconst char *greet(void);\n'
           'static PyObject *hello(PyObject *self, PyObject *unused)\n'
           '{ return PyString_FromString(greet()); }\n'
           'static PyMethodDef methods[] = {{"hello", hello, METH_NOARGS, NULL}, {NULL}};\n'
           'PyMODINIT_FUNC initgreeter(void) { Py_InitModule("greeter", methods); }\n')

# Loads libraries by name, as python-magic and cairocffi do: one of the
# user's, and libmagic, which reads its database of file types.
BY_NAME = ('import ctypes, ctypes.util\n'
           'def dlopen(loader, *names):  # cairocffi loads cairo so\n'
           '    return loader.LoadLibrary(ctypes.util.find_library(names[0]))\n'
           'greet = dlopen(ctypes.cdll, "greet", "greet-1")\n'
           'magic = ctypes.CDLL(ctypes.util.find_library("magic"))\n'
           'def function(library, name, result, *args):\n'
           '    f = getattr(library, name)\n'
           '    f.restype, f.argtypes = result, list(args)\n'
           '    return f\n'
           'def run():\n'
           '    print greet._name, function(greet, "greet", ctypes.c_char_p)()\n'
           '    cookie = function(magic, "magic_open", ctypes.c_void_p, ctypes.c_int)(0)\n'
           '    print function(magic, "magic_load", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)(\n'
           '        cookie, None), function(magic, "magic_buffer", ctypes.c_char_p, ctypes.c_void_p,\n'
           '                                ctypes.c_char_p, ctypes.c_size_t)(cookie, "#!/bin/sh\\n", 10)\n')


def isolated(script, *args):
    """Runs a shell script in a mount namespace of its own, as root."""
    return start(['unshare', '--mount', '--', 'sh', '-ec', script, 'sh'] + list(args), env=TOOLS)


class SelfContainedTest(TempTest):
    def setUp(self):
        TempTest.setUp(self)
        if os.geteuid() != 0:
            self.skipTest('chroot and unshare --mount need root, and this is not root')
        status, _, err = isolated('true')
        if status != 0:
            self.skipTest('unshare --mount is not permitted here: ' + err.strip())

    def empty_root(self, apps):
        """A root directory with the applications and the C library alone."""
        root = os.path.join(self.tmp, 'root')
        for name, app in apps.items():
            shutil.copytree(app, os.path.join(root, name), symlinks=True)
        os.makedirs(root + MULTIARCH)
        for name in C_LIBRARY:
            if os.path.exists(os.path.join(MULTIARCH, name)):
                shutil.copy(os.path.join(MULTIARCH, name), root + MULTIARCH)
        os.makedirs(os.path.join(root, 'lib64'))
        shutil.copy(LOADER, root + LOADER)
        for directory in ('dev', 'proc'):
            os.makedirs(os.path.join(root, directory))
        for device in ('null', 'urandom'):
            open(os.path.join(root, 'dev', device), 'w').close()
        shutil.copy(os.path.join(SAMPLE_SOURCE, 'example.json'), root)
        return root

    def in_root(self, root, *argv):
        return isolated('mount -t proc proc "$1/proc"; mount --bind /dev/null "$1/dev/null"; '
                        'mount --bind /dev/urandom "$1/dev/urandom"; exec chroot "$@"',
                        root, *argv)

    @unittest.skipIf(os.environ.get('SANITIZED') == '1',
                     "a sanitizer build's launcher needs the sanitizer runtime too")
    def test_runs_in_a_root_that_holds_only_the_c_library(self):
        compressing = self.source({'__startup__.py': COMPRESSING})
        app = self.frozen(compressing, '--compress')
        root = self.empty_root({'jsonpp': SAMPLE_APP, 'app': app})
        sample = plain(SAMPLE_SOURCE, [os.path.join(SAMPLE_SOURCE, 'example.json')])
        self.assertEqual(sample[0], 0, sample[2])
        self.assertEqual(self.in_root(root, '/jsonpp/jsonpp', '/example.json'), sample)
        self.assertEqual(self.in_root(root, '/app/app'), plain(compressing))
        # Without the libraries it bundled the same application fails there.
        shutil.rmtree(os.path.join(self.tmp, 'out'))
        status, out, err = self.freeze(compressing, '--compress', '--exclude-library',
                                       'libz.so.1', '--exclude-library', 'libbz2.so.1.0')
        self.assertEqual(status, 0, err)
        self.assertIn('expected on the target system: libbz2.so.1.0, libz.so.1', out)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, 'out', 'app', 'lib', 'libz.so.1')))
        shutil.rmtree(os.path.join(root, 'app'))
        shutil.copytree(os.path.join(self.tmp, 'out', 'app'), os.path.join(root, 'app'))
        status, out, err = self.in_root(root, '/app/app')
        self.assertNotEqual(status, 0)
        self.assertIn('zlib not available', err)

    @unittest.skipIf(os.environ.get('SANITIZED') == '1',
                     "a sanitizer build's launcher needs the sanitizer runtime too")
    def test_tcl_finds_its_script_library_in_the_application(self):
        source = self.source({'__startup__.py':
                              'import os, Tkinter\ndef run():\n    tcl = Tkinter.Tcl()\n'
                              '    print tcl.eval("expr {6 * 7}"), tcl.eval("clock format 0 '
                              '-gmt 1 -format %Y"), os.path.relpath(tcl.eval("info library"), '
                              'os.path.dirname(os.environ["TCL_LIBRARY"]))\n'})
        app = self.frozen(source)
        self.assertTrue(os.path.isfile(os.path.join(app, 'lib', 'tcl8.6', 'init.tcl')))
        root = self.empty_root({'app': app})
        self.assertEqual(self.in_root(root, '/app/app'), (0, '42 1970 tcl8.6\n', ''))

    def test_runs_with_the_build_python_hidden(self):
        moved = os.path.join(self.tmp, 'jsonpp')
        shutil.copytree(SAMPLE_APP, moved, symlinks=True)
        example = os.path.join(SAMPLE_SOURCE, 'example.json')
        hide = 'mount -t tmpfs none "$1"; shift; exec "$@"'
        status, _, _ = isolated(hide, sys.prefix, sys.executable, '-c', 'pass')
        self.assertNotEqual(status, 0, 'the Python installation was not hidden')
        self.assertEqual(isolated(hide, sys.prefix, os.path.join(moved, 'jsonpp'), example),
                         plain(SAMPLE_SOURCE, [example]))

    def test_a_library_of_ones_own_travels_and_one_not_found_stops_the_freeze(self):
        libs = os.path.join(self.tmp, 'libs')
        os.makedirs(libs)
        compile_c(os.path.join(libs, 'libgreet.so.1'),
                  'const char *greet(void) { return "hello from libgreet"; }\n',
                  '-Wl,-soname,libgreet.so.1')
        os.symlink('libgreet.so.1', os.path.join(libs, 'libgreet.so'))
        source = self.source({'__startup__.py': 'import greeter\n'
                                                'def run():\n    print greeter.hello()\n'})
        compile_c(os.path.join(source, 'greeter.so'), GREETER, '-L' + libs, '-lgreet')
        status, out, err = self.freeze(source, '--verbose', env={'LD_LIBRARY_PATH': libs})
        self.assertEqual(status, 0, err)
        self.assertIn('library libgreet.so.1 -> lib/libgreet.so.1 (needed by lib/greeter.so)', out)
        shutil.rmtree(libs)
        app = os.path.join(self.tmp, 'out', 'app')
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hello from libgreet\n', ''))
        status, out, err = self.freeze(source, '--force')
        self.assertEqual(status, 1)
        self.assertEqual(err, 'freeze-app: library libgreet.so.1, needed by %s, cannot be found\n'
                         % os.path.join(source, 'greeter.so'))
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hello from libgreet\n', ''))

    def test_a_library_needed_by_its_absolute_path_travels_under_its_file_name(self):
        libs = os.path.join(self.tmp, 'libs')
        compile_c(os.path.join(libs, 'libabs.so'),
                  'const char *greet(void) { return "hello from libabs"; }\n')
        source = self.source({'__startup__.py': 'import greeter\n'
                                                'def run():\n    print greeter.hello()\n'})
        # An old-style run path (DT_RPATH) too, which the loader would
        # search before LD_LIBRARY_PATH: it becomes the application's.
        compile_c(os.path.join(source, 'greeter.so'), GREETER, os.path.join(libs, 'libabs.so'),
                  '-Wl,--disable-new-dtags,-rpath,' + libs)
        needed = start(['readelf', '-d', os.path.join(source, 'greeter.so')], env=TOOLS)[1]
        self.assertIn('Shared library: [%s/libabs.so]' % libs, needed)
        self.assertIn('(RPATH)', needed)
        app = self.frozen(source)
        shutil.rmtree(libs)
        self.assertEqual(start([os.path.join(app, 'app')]), (0, 'hello from libabs\n', ''))
        dynamic = start(['readelf', '-d', os.path.join(app, 'lib', 'greeter.so')], env=TOOLS)[1]
        self.assertNotIn('(RPATH)', dynamic)
        self.assertIn('Library runpath: [$ORIGIN]', dynamic)

    @unittest.skipIf(os.environ.get('SANITIZED') == '1',
                     "a sanitizer build's launcher needs the sanitizer runtime too")
    def test_libraries_loaded_by_name_travel_and_find_library_names_them(self):
        libs = os.path.join(self.tmp, 'libs')
        compile_c(os.path.join(libs, 'libgreet.so.1'),
                  'const char *greet(void) { return "hello from libgreet"; }\n',
                  '-Wl,-soname,libgreet.so.1')
        os.symlink('libgreet.so.1', os.path.join(libs, 'libgreet.so'))
        source = self.source({'__startup__.py': BY_NAME})
        here = dict(TOOLS, LD_LIBRARY_PATH=libs, LIBRARY_PATH=libs)
        expected = plain(source, env=here)
        self.assertEqual(expected[::2], (0, ''), expected)
        status, out, err = self.freeze(source, '--verbose', env=here)
        self.assertEqual(status, 0, err)
        self.assertIn('library libgreet.so.1 -> lib/libgreet.so.1 (needed by __startup__ (by '
                      'name))', out)
        # In a root without them, and without ldconfig's cache or a compiler
        # for find_library to ask, the application has its own.
        root = self.empty_root({'app': os.path.join(self.tmp, 'out', 'app')})
        self.assertEqual(self.in_root(root, '/app/app'), expected)
        # Left to the target system, it is said to be expected there.
        status, out, err = self.freeze(source, '--force', '--exclude-library', 'libgreet.so.1',
                                       env=here)
        self.assertEqual(status, 0, err)
        self.assertIn('expected on the target system: libgreet.so.1', out)

    @unittest.skipIf(os.environ.get('SANITIZED') == '1',
                     "a sanitizer build's launcher needs the sanitizer runtime too")
    def test_check_runs_frozen_in_an_empty_root_as_any_user_or_says_it_cannot(self):
        source = self.source({'__startup__.py': 'import os\ndef run():\n'
                                                '    print os.path.isdir("/etc")\n'})
        os.chmod(self.tmp, 0o755)
        os.mkdir(os.path.join(self.tmp, 'out'))
        os.chown(os.path.join(self.tmp, 'out'), NOBODY, NOBODY)
        # The user reaches the interpreter and the tool: a directory above
        # them that only root may search is replaced by one that holds them.
        reach = []
        for needed in (sys.prefix, LAUNCHER, FREEZE_APP):
            parts = os.path.realpath(needed).split('/')
            for n in range(2, len(parts)):
                top = '/'.join(parts[:n])
                if not os.stat(top).st_mode & 0o001:
                    keep = os.path.join(self.tmp, 'keep%d' % len(reach))
                    reach.append('mkdir -p %s; mount --bind %s/%s %s; mount -t tmpfs -o mode=755 '
                                 'tmpfs %s; mkdir %s/%s; mount --bind %s %s/%s'
                                 % (keep, top, parts[n], keep, top, top, parts[n], keep, top,
                                    parts[n]))
                    break
        user = 'set -- setpriv --reuid %d --regid %d --clear-groups -- "$@"' % (NOBODY, NOBODY)
        # /etc is only where the interpreter runs: the frozen run's root has none.
        status, out, err = self.freeze(source, '--check', 'x', before='; '.join(reach + [user]))
        self.assertEqual(status, 1, err)
        self.assertIn("check: x: differs: standard output line 1: 'True' under the interpreter, "
                      "'False' frozen\n", out)
        # Where no namespace may be made, the frozen runs run in place.
        status, out, err = self.freeze(source, '--force', '--check', 'x', before='; '.join(
            ['mount -o remount,bind,ro /proc'] + reach + [user]))
        self.assertEqual((status, err), (0, ''))
        lines = out.splitlines()
        self.assertEqual(lines[1], 'freeze-app: check: no empty root here (/proc/self/setgroups: '
                                   'Read-only file system): the frozen runs run in place')
        self.assertRegexpMatches(lines[2], r'\Afreeze-app: check: x: same \([\d.]+ s under the '
                                           r'interpreter, [\d.]+ s frozen\)\Z')
        self.assertEqual(len(lines), 3, out)

    def test_run_paths_name_only_the_application_directory(self):
        apps = [SAMPLE_APP, self.frozen(self.source({'__startup__.py': COMPRESSING}))]
        for app in apps:
            names = os.listdir(app)
            elves = [os.path.join(path, f) for path, _, files in os.walk(app) for f in files
                     if f not in names and open(os.path.join(path, f), 'rb').read(4) == '\x7fELF']
            self.assertIn(os.path.join(app, 'lib', 'libz.so.1'), elves)
            elves.append(os.path.join(app, 'libpython2.7.so.1.0'))
            # Only what needs a bundled library searches: zlib.so needs
            # lib/libz.so.1; the interpreter library needs the C library.
            searching = set()
            for elf in elves:
                dynamic = start(['readelf', '-d', elf], env=TOOLS)[1]
                self.assertNotIn('(RPATH)', dynamic, elf)
                runpath = re.search(r'\(RUNPATH\)\s+Library runpath: \[(.*)\]', dynamic)
                if not runpath:
                    continue
                searching.add(os.path.basename(elf))
                for entry in runpath.group(1).split(':'):
                    self.assertTrue(entry.startswith('$ORIGIN'), (elf, entry))
                    where = os.path.realpath(entry.replace('$ORIGIN', os.path.dirname(elf)))
                    self.assertTrue(where.startswith(os.path.realpath(app) + '/'), (elf, entry))
            self.assertIn('zlib.so', searching)
            self.assertNotIn('libpython2.7.so.1.0', searching)
            self.assertNotIn('_boot.so', searching)


if __name__ == '__main__':
    unittest.main(verbosity=2)
