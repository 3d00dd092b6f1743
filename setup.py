"""Installs freeze-app into the Python 2.7 that runs it, as Python tools
are installed:

    python2.7 -m pip install .          (or a virtualenv's pip)

It builds the launcher and _boot for that very interpreter with CMake, as
CMakeLists.txt describes them (CMake 3.16 or newer, a C and C++ compiler
and make or Ninja), installs that build into a staging prefix and hands
the tree to pip as it lies: bin/freeze-app goes onto the Python's script
path, lib/freeze-app and libexec/launcher below its data prefix (the
virtualenv, or /usr/local for a distribution's python2.7), where
bin/freeze-app finds them as it does in CMake's own install.
"""

import os
import re
import subprocess
import sys
from distutils.command.build import build

from setuptools import setup
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, 'freeze', 'freezer', '__init__.py')) as f:
    VERSION = re.search(r"^__version__ = '(.*)'", f.read(), re.M).group(1)


class Build(build):
    """Builds with CMake for this interpreter, then lets distutils take
    the staged tree as scripts and data."""

    def run(self):
        work = os.path.abspath(os.path.join(self.build_temp, 'cmake'))
        stage = os.path.abspath(os.path.join(self.build_temp, 'stage'))
        cmake = os.environ.get('CMAKE', 'cmake')
        subprocess.check_call([cmake, '-S', HERE, '-B', work, '-DCMAKE_BUILD_TYPE=Release',
                               '-DBUILD_TESTING=OFF', '-DPython2_EXECUTABLE=' + sys.executable])
        subprocess.check_call([cmake, '--build', work, '--target', 'launcher', '_boot', 'onefile',
                               'launcher_module'])
        subprocess.check_call([cmake, '--install', work, '--prefix', stage])
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
