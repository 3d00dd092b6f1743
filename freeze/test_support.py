"""What the freezer's tests share: running programs with exactly the
environment given, writing fixtures, freezing into a temporary directory."""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

FREEZE_APP = os.environ['FREEZE_APP']
LAUNCHER = os.environ['LAUNCHER']
SAMPLE_APP = os.environ['SAMPLE_APP']
TOOLS = {'PATH': os.environ.get('PATH', '/usr/bin:/bin')}


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


def plain(source, args=(), cwd='/', path=(), env=None):
    """Runs SOURCE's __startup__.run() under the plain interpreter, with
    site, as a user runs a script: SOURCE, not the current directory,
    first on the path."""
    code = ('import sys; sys.path[:1] = %r; sys.argv[1:] = %r; '
            'import __startup__; __startup__.run()' % ([source] + list(path), list(args)))
    return start([sys.executable, '-B', '-c', code], cwd=cwd, env=env)


def compile_c(target, source, *options):
    """Builds a shared object from C source, with this Python's headers."""
    c = target + '.c'
    write(c, source)
    status, _, err = start(['cc', '-shared', '-fPIC', '-I', sysconfig.get_config_var('INCLUDEPY'),
                            '-o', target, c] + list(options), env=TOOLS)
    assert status == 0, err
    os.remove(c)


def build_extension(target, name):
    """A C extension module `name` with twice(n), built with this Python."""
    compile_c(target, '#include <Python.h>\n'
              'static PyObject *twice(PyObject *self, PyObject *n)\n'
              '{ long v = PyInt_AsLong(n); if (v == -1 && PyErr_Occurred()) return NULL;\n'
              '  return PyInt_FromLong(2 * v); }\n'
              'static PyMethodDef methods[] = {{"twice", twice, METH_O, NULL}, {NULL}};\n'
              'PyMODINIT_FUNC init%s(void) { Py_InitModule("%s", methods); }\n' % (name, name))


class TempTest(unittest.TestCase):
    def setUp(self):
        self.tmp = os.path.realpath(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)

    def source(self, files, name='src'):
        """A source directory holding these files."""
        source = os.path.join(self.tmp, name)
        os.makedirs(source)
        for path, text in files.items():
            write(os.path.join(source, path), text)
        return source

    def freeze(self, source, *options, **kw):
        """Freezes into tmp/out/app (or `output`), from `cwd`, after the
        shell commands `before` in a mount namespace of its own where they
        are given; returns (status, out, err)."""
        output = kw.get('output', os.path.join(self.tmp, 'out', 'app'))
        argv = ([sys.executable, '-B', FREEZE_APP, '--launcher', LAUNCHER] +
                list(options) + [source] * bool(source) + [output])
        if kw.get('before'):
            argv = ['unshare', '--mount', '--', 'sh', '-ec', kw['before'] + '; exec "$@"',
                    'sh'] + argv
        return start(argv, cwd=kw.get('cwd', '/'), env=dict(TOOLS, **kw.get('env', {})))

    def frozen(self, source, *options):
        """Freezes, expecting success; returns the output directory."""
        status, out, err = self.freeze(source, *options)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith('freeze-app: '), out)
        return os.path.join(self.tmp, 'out', 'app')
