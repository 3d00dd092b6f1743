"""Bytecode as an application ships it: compiled as the interpreter
compiles it, with a fixed time and the file name it is read by; and the
modules whose source the application ships changed (rewritten): the
build's configuration made the application's, and ctypes' find_library
answering for the libraries it bundles."""

import imp
import importlib
import marshal
import os
import re
import struct
import types

from .finder import cached, check_coding
from .log import Failure

DEFAULT_EPOCH = 315532800  # 1980-01-01, the earliest time a zip archive holds
LATEST_EPOCH = 2 ** 32 - 1  # 2106-02-07, the latest time bytecode holds


def epoch():
    """The time written into the output: SOURCE_DATE_EPOCH, or a fixed one."""
    value = os.environ.get('SOURCE_DATE_EPOCH', '')
    if not value:
        return DEFAULT_EPOCH
    if not value.isdigit():
        raise Failure('SOURCE_DATE_EPOCH is not a number of seconds: %r' % value)
    if int(value) > LATEST_EPOCH:
        raise Failure('SOURCE_DATE_EPOCH %s is later than bytecode can record (%d)'
                      % (value, LATEST_EPOCH))
    return max(int(value), DEFAULT_EPOCH)


def bytecode(path, display, when, module=None):
    """Compiles a source file as py_compile does, with a fixed time. The
    finder's code of the whole source (`module`'s), if there is one, or
    the bytecode the interpreter would take for it, is taken instead:
    compiling is most of the time a freeze takes."""
    if getattr(module, 'pristine', False) and module.__file__ == path:
        return code_bytes(renamed(module.__code__, display), when)
    code = cached(path)
    if code is not None:
        return code_bytes(renamed(code, display), when)
    with open(path, 'rU') as f:
        text = f.read()
    check_coding(text, path)
    if text and not text.endswith('\n'):
        text += '\n'
    return code_bytes(renamed(compile(text, display, 'exec', 0, True), display), when)


def renamed(code, filename):
    """The code with the file name `filename`, one interned string for all
    of its code objects: marshal writes it once, and the others refer to
    it, so __boot__ finds the first and replaces it alone."""
    filename = intern(filename)
    consts = tuple(renamed(c, filename) if isinstance(c, types.CodeType) else c
                   for c in code.co_consts)
    return types.CodeType(code.co_argcount, code.co_nlocals, code.co_stacksize, code.co_flags,
                          code.co_code, consts, code.co_names, code.co_varnames, filename,
                          code.co_name, code.co_firstlineno, code.co_lnotab, code.co_freevars,
                          code.co_cellvars)


def code_bytes(code, when):
    return imp.get_magic() + struct.pack('<I', when) + marshal.dumps(code)


# The modules that hold the build's configuration variables, which
# sysconfig and distutils.sysconfig read (_sysconfigdata, and Debian's
# _sysconfigdata_nd behind it).
CONFIGURATION = re.compile(r'_sysconfigdata(_\w+)?\Z')
RELOCATE = """import re as _re
import sys as _sys

# The build's paths, in the application directory instead.
_BUILT = _re.compile(%r)


def _here(value):
    return _BUILT.sub(lambda m: _sys.prefix, value) if isinstance(value, str) else value


build_time_vars = dict((_k, _here(_v)) for _k, _v in {
%s}.items())
"""


def configuration(name):
    """The source of a module of the build's configuration variables, in
    which every path below the build's prefix or exec_prefix names the
    same place below the application directory, sys.prefix, when it
    runs: sysconfig and distutils.sysconfig answer for the application.
    None for any other module."""
    if not CONFIGURATION.match(name):
        return None
    variables = getattr(importlib.import_module(name), 'build_time_vars', None)
    if not isinstance(variables, dict):
        return None
    prefixes = sorted(set(p.rstrip('/') for p in (variables.get('prefix'),
                                                  variables.get('exec_prefix')) if p), key=len)
    if not prefixes:
        return None
    built = '(%s)(?=/|\\s|$|:)' % '|'.join(re.escape(p) for p in reversed(prefixes))
    return RELOCATE % (built, ''.join('    %r: %r,\n' % item for item in sorted(variables.items())))


# What the application's ctypes.util ends with where it bundles libraries
# that its modules load by name: find_library answers for those as it
# answered on the machine that froze it, without asking the target
# system, which has none of them; the loader then finds them in lib.
FIND_LIBRARY = """

# The application bundles these libraries (freeze-app).
_BUNDLED = %r
_find_library = find_library


def find_library(name):
    return _BUNDLED.get(name) or _find_library(name)
"""


def rewritten(name, path, answers):
    """The source that the application ships for the module `name`, whose
    file is `path`, instead of that file's: the build's configuration
    variables (configuration), or ctypes.util with find_library's
    `answers` ({name: soname}). None for any other module."""
    if name == 'ctypes.util' and answers and path.endswith('.py'):
        with open(path, 'rU') as f:
            return f.read() + FIND_LIBRARY % (answers,)
    return configuration(name)
