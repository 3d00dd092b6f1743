"""The Python 2.7 that freezes: where it really takes its standard library
from, which of its directories hold third-party packages, its interpreter
library, and whether a launcher was built for it.

It may be a build of its own (pyenv, python.org), a distribution's
python2.7, or a virtualenv made from either:
- the standard library is the directory of the `os` module the
  interpreter imported, links resolved: a virtualenv's prefix holds only
  a few links and files of its own (virtualenv 20), or links to the real
  modules beside its own site.py and distutils (older virtualenvs, which
  set sys.real_prefix); entries of the search path inside a virtualenv's
  lib/python2.7 stand for the same entries of the real library;
- third-party packages are those of site-packages and dist-packages
  (Debian's, in /usr/lib as well as /usr/local/lib), wherever they lie,
  inside the standard library's directory too;
- the interpreter library is the one this process has loaded, where the
  python2.7 binary is linked to it; else the one its configuration
  names, in LIBDIR or its multiarch directory (Debian's
  /usr/lib/x86_64-linux-gnu);
- a launcher and _boot are built for one interpreter, recorded beside
  them in BUILT_FOR at build time (identity() tells it): its version and
  build, and its Unicode width.
"""

import os
import sys
import sysconfig

BUILT_FOR = 'python'  # beside the launcher: the interpreter it was built for
SONAME = 'libpython2.7.so.1.0'
SITE_NAMES = ('site-packages', 'dist-packages')


def real(path):
    return os.path.realpath(path)


def stdlib():
    """The directory of the os module's source (or else bytecode), links
    resolved: an older virtualenv links its source but compiles its own
    bytecode."""
    source = os.path.splitext(os.__file__)[0] + '.py'
    return os.path.dirname(real(source if os.path.exists(source) else os.__file__))


STDLIB = stdlib()
# Where a virtualenv's own lib/python2.7 is; the same as STDLIB elsewhere.
PREFIX_LIB = sysconfig.get_path('stdlib')


def site_directories():
    names = [sysconfig.get_path('purelib'), sysconfig.get_path('platlib')]
    names += [p for p in sys.path if os.path.basename(p.rstrip('/')) in SITE_NAMES]
    names += [os.path.join(STDLIB, n) for n in SITE_NAMES]
    return frozenset(real(p) for p in names if p)


SITE = site_directories()


def inside(path, directory):
    """True if path is or lies below directory (None is no directory)."""
    if directory is None:
        return False
    path = real(path)
    directory = real(directory)
    return path == directory or path.startswith(directory.rstrip('/') + '/')


def is_site(path):
    return any(inside(path, s) for s in SITE)


def is_stdlib(path):
    return bool(path) and inside(path, STDLIB) and not is_site(path)


def search_path(entries):
    """The interpreter's module search path `entries` as the freezer
    searches it: an entry of a virtualenv's own lib/python2.7 (but its
    site-packages) stands for the same entry of the real standard
    library, where the links lead, and what does not exist is left out."""
    result = []
    own = real(PREFIX_LIB)
    for entry in entries:
        if own != STDLIB and inside(entry, own) and not is_site(entry):
            entry = os.path.join(STDLIB, os.path.relpath(real(entry), own))
        if os.path.isdir(entry) and entry not in result:
            result.append(entry)
    return result


def library():
    """The interpreter library this Python runs on, or None: the one the
    process has loaded, else the one its configuration names."""
    try:
        with open('/proc/self/maps') as f:
            for line in f:
                if line.rstrip().endswith('/' + SONAME):
                    return line.split(None, 5)[5].strip()
    except IOError:
        pass
    if not sysconfig.get_config_var('Py_ENABLE_SHARED'):
        return None
    name = sysconfig.get_config_var('INSTSONAME') or SONAME
    for directory in (sysconfig.get_config_var('LIBDIR'),
                      os.path.join(sysconfig.get_config_var('LIBDIR') or '',
                                   sysconfig.get_config_var('MULTIARCH') or ''),
                      sysconfig.get_config_var('LIBPL')):
        if directory and os.path.isfile(os.path.join(directory, name)):
            return os.path.join(directory, name)
    return None


def identity():
    """The interpreter as the launcher and _boot built for it must match:
    its version and build, and its Unicode width."""
    return '%s, UCS%d' % (' '.join(sys.version.split()), 2 if sys.maxunicode == 0xffff else 4)


def built_for(launcher):
    """The identity recorded beside a launcher, or None."""
    try:
        with open(os.path.join(os.path.dirname(launcher), BUILT_FOR)) as f:
            return f.read().strip()
    except IOError:
        return None
