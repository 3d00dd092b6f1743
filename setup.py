"""Installs freeze-app into the Python 2.7 that runs it, as Python tools
are installed:

    python2.7 -m pip install .          (or a virtualenv's pip)

It builds the launcher and _boot for that very interpreter with CMake, as
CMakeLists.txt describes them, installs that build into a staging prefix
and hands the tree to pip as it lies: bin/freeze-app goes onto the
Python's script path, lib/freeze-app and libexec/launcher below its data
prefix (the virtualenv, or /usr/local for a distribution's python2.7),
where bin/freeze-app finds them as it does in CMake's own install.

The build needs CMake 3.16 or newer, a C and a C++ compiler, and Ninja or
make: with Ninja installed it builds with Ninja, as the presets do, unless
CMAKE_GENERATOR names another generator; else with make. A program that
is missing is named in one line, with the package that brings it.
"""

import os
import re
import subprocess
import sys
from distutils.command.build import build
from distutils.errors import DistutilsError
from distutils.spawn import find_executable

from setuptools import setup
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, 'freeze', 'freezer', '__init__.py')) as f:
    VERSION = re.search(r"^__version__ = '(.*)'", f.read(), re.M).group(1)


# The compilers that CMake takes: the variable that names one, else the
# names searched along PATH; what it is, and the Debian package that
# brings it.
COMPILERS = [
    ('CC', ['cc', 'gcc'], 'a C compiler', 'gcc'),
    ('CXX', ['c++', 'g++'], 'a C++ compiler', 'g++'),
]


def tool(variable, names, what, package):
    """The program that does a part of the build, or one line that says
    which is missing and how to install it."""
    names = [os.environ[variable]] if os.environ.get(variable) else names
    for name in names:
        if find_executable(name):
            return name
    raise DistutilsError('building freeze-app needs %s (%s), which is not installed: '
                         'apt-get install %s' % (what, ' or '.join(names), package))


def generator(work):
    """CMake's generator options: Ninja where it is installed, as the
    presets build, unless CMAKE_GENERATOR names one or the build
    directory has one; else CMake's own, which needs make."""
    if os.environ.get('CMAKE_GENERATOR') or os.path.exists(os.path.join(work, 'CMakeCache.txt')):
        return []
    if find_executable('ninja'):
        return ['-G', 'Ninja']
    if find_executable('make'):
        return []
    raise DistutilsError('building freeze-app needs Ninja or make, and neither is installed: '
                         'apt-get install ninja-build')


def run(argv):
    """Runs a step of the CMake build; its messages tell why it failed."""
    try:
        subprocess.check_call(argv)
    except subprocess.CalledProcessError:
        raise DistutilsError('the CMake build of freeze-app failed: its messages are above')


class Build(build):
    """Builds with CMake for this interpreter, then lets distutils take
    the staged tree as scripts and data."""

    def run(self):
        work = os.path.abspath(os.path.join(self.build_temp, 'cmake'))
        stage = os.path.abspath(os.path.join(self.build_temp, 'stage'))
        cmake = tool('CMAKE', ['cmake'], 'CMake 3.16 or newer', 'cmake')
        for each in COMPILERS:
            tool(*each)
        run([cmake, '-S', HERE, '-B', work] + generator(work) +
            ['-DCMAKE_BUILD_TYPE=Release', '-DBUILD_TESTING=OFF',
             '-DPython2_EXECUTABLE=' + sys.executable])
        run([cmake, '--build', work, '--target', 'launcher', '_boot', 'onefile',
             'launcher_module'])
        run([cmake, '--install', work, '--prefix', stage])
        data = []
        for path, _, files in sorted(os.walk(stage)):
            relative = os.path.relpath(path, stage)
            if files and relative != 'bin':
                data.append((relative, [os.path.join(path, f) for f in sorted(files)]))
        self.distribution.scripts = [os.path.join(stage, 'bin', 'freeze-app')]
        self.distribution.data_files = data
        build.run(self)


class Binary(Distribution):
    """The launcher is built for one interpreter on one platform."""

    def has_ext_modules(self):
        return True


setup(name='freeze-app', version=VERSION,
      description='Freezes a Python 2.7 program into a self-contained application directory',
      cmdclass={'build': Build}, distclass=Binary, zip_safe=False)
