"""What the freezer knows of other packages' habits, which no reading of
their code tells: each table documents one habit, and is the one place
that knows it.
"""

import re

# Shipped with every program: the interpreter imports them by name.
ALWAYS = (
    'copy_reg',   # object.__reduce_ex__ imports it from C: pickle, copy.copy
    'encodings',  # codecs are looked up by name: u'x'.encode('idna'), 'x'.encode('hex')
)

# Imports that no reading of their importer's code sees, by importer. Each
# ships whenever its importer does; a package ships with its submodules.
HIDDEN = {
    'cPickle': ('copy_reg',),                 # imported from C when cPickle loads
    'datetime': ('time', '_strptime'),        # strftime and strptime import them from C
    'time': ('_strptime',),                   # time.strptime imports it from C
    '_elementtree': ('copy', 'xml.etree.ElementTree'),  # Python code run by its C init
    'email': ('email',),                      # old names (email.Utils, email.MIMEText) load by string
    'xml.sax': ('xml.sax.expatreader',),      # make_parser imports its default parser by name
    'anydbm': ('dbhash', 'gdbm', 'dbm', 'dumbdbm'),    # picks a database module by name
    'xml.dom.domreg': ('xml.dom.minidom',),    # getDOMImplementation() imports it by name
    'distutils.command.build_scripts': ('sysconfig',),  # __import__('sysconfig')
    '_sqlite3': ('sqlite3.dump',),            # Connection.iterdump() imports it from C
    '_ssl': ('_socket',),                     # its C init takes _socket's C interface
    '_curses_panel': ('_curses',),            # likewise _curses's
    '_multiprocessing': ('cPickle', 'multiprocessing'),  # its C init imports both
    'pkg_resources.extern': ('pkg_resources._vendor',),  # vendored packages load through a hook
    'setuptools.extern': ('setuptools._vendor',),        # the same hook, setuptools' copy
}

# Shared libraries that a module loads by name where no constant in a call
# tells (reading.libraries reads find_library('magic')): {module: the names
# it gives ctypes.util.find_library}. pyusb's backends try a tuple of
# candidates each; every one this machine has travels.
LIBRARIES = {
    'usb.backend.libusb1': ('usb-1.0', 'libusb-1.0', 'usb'),
    'usb.backend.libusb0': ('usb-0.1', 'usb'),
    'usb.backend.openusb': ('openusb',),
}

# Bundled libraries that read files of their own when they start: where
# those lie here (the first of the paths that exists; TCL stands for the
# directory that holds the one Tcl reports as its library,
# /usr/share/tcltk on Debian), the name they ship under in lib, and the
# environment variables, with paths below lib, that the application sets
# when it starts to tell the library where they are.
TCL = '{tcl}'
RUNTIME_DATA = {
    # init.tcl, the script library, encodings; Tcl modules such as msgcat
    # lie in its tcl8 on Debian, which no other variable names
    'libtcl8.6.so': ((TCL + '/tcl8.6',), 'tcl8.6',
                     (('TCL_LIBRARY', 'tcl8.6'), ('TCL8_6_TM_PATH', 'tcl8.6/tcl8'))),
    # tk.tcl and the widgets' scripts
    'libtk8.6.so': ((TCL + '/tk8.6',), 'tk8.6', (('TK_LIBRARY', 'tk8.6'),)),
    # the compiled database of file types that magic_load(NULL) reads
    # (python-magic's Magic()): Debian's, Fedora's and file's own place
    'libmagic.so.1': (('/usr/lib/file/magic.mgc', '/usr/share/misc/magic.mgc',
                       '/usr/share/file/magic.mgc'), 'magic.mgc', (('MAGIC', 'magic.mgc'),)),
}

# Plug-ins that a module imports by name whenever the program uses it,
# not only on some runs: {importer: the pattern of their names}. Where
# every start imports the importer, they count among what every start
# imports, and are stored, not deflated.
EVERY_USE = {
    'PIL.Image': r'PIL\.\w+ImagePlugin\Z',  # Image.init(), on every open and save
}

# Import hooks that serve a package's vendored copies under another
# name: setuptools.extern.six is setuptools._vendor.six.
VENDORED = {
    'pkg_resources.extern': 'pkg_resources._vendor',
    'setuptools.extern': 'setuptools._vendor',
}

# Names that imports reach but that no file provides, by design, with
# everything below them.
ALIASES = (
    'os.path',               # os puts its path module there itself
    'pkg_resources.extern',  # served from pkg_resources._vendor by an import hook
    'setuptools.extern',     # served from setuptools._vendor likewise
)

# Entry-point groups that only setuptools reads, as it builds or installs
# (`setup.py flake8`): their plug-ins ship only where setuptools ships for
# another reason.
SETUPTOOLS_GROUPS = frozenset(['distutils.commands', 'distutils.setup_keywords',
                               'egg_info.writers', 'setuptools.installation',
                               'setuptools.file_finders',
                               'setuptools.finalize_distribution_options'])

# Modules of other systems (Windows, Jython) and of Python 3, with
# everything below them, which optional imports try: missing here by
# nature, so said only in verbose mode.
ELSEWHERE = (
    '_winreg', 'winreg', 'msvcrt', '_subprocess', 'nt', 'win32api', 'win32con', 'win32com',
    'java', 'com.sun', 'org.python',
    '_thread', 'builtins', 'queue', 'collections.abc', 'importlib.machinery', '_imp',
    'urllib.parse', 'urllib.request', 'http.client',
)

# Packages whose modules a framework imports by listing the package's
# directories, which no reading of the lister tells: every module of them
# that ships is reached. Twisted's getPlugins() imports every module of
# twisted.plugins, whose plug-ins name their modules in strings.
PLUGIN_PACKAGES = ('twisted.plugins',)

# Packages that only build software, whose modules import their compilers
# and commands by computed names while they build: those names reach
# nothing. numpy.distutils, which numpy.ctypeslib and numpy's test
# helpers use at run time, would bring every build command, and through
# them setuptools.
BUILD_HELPERS = ('numpy.distutils',)

# Top-level modules that import by a computed name the targets of entry
# points, which plugins() ships from the distribution metadata: no
# warning that reading cannot tell what they import.
LOADS_ENTRY_POINTS = ('entrypoints',)

# Files of Windows programs that packages carry to write Windows
# installers and launchers (distutils' wininst-*.exe, setuptools' and
# distlib's launchers) or to run there: never used on Linux, not shipped.
WINDOWS_ONLY = ('.exe', '.dll', '.pyd')

# The names of test packages (the standard library's package test, a
# package's tests): a directory of such a name is one only if it holds a
# suite of tests, a module named as unittest, pytest and nose find tests
# (TEST_MODULE); ansible's template tests in plugins/test are plug-ins,
# and a web framework's test client in its package test is no suite, for
# all that it names unittest. Not read as part of a package read whole,
# and shipped only where a shipped module imports or names them, or
# --include names them. A module named test.py is a module like any
# other: a web framework's management command `test`.
TESTS = frozenset(['test', 'tests', 'testing', 'idle_test'])
TEST_MODULE = re.compile(r'(test_\w*|\w+_test|tests|conftest)\.pyc?\Z')

# Imports not followed, by importer: each leads to an optional feature
# that the importer offers from inside a function, or that only a tool of
# its own uses. A name stands for its vendored copies too
# (pip._vendor.pyparsing): those packages are seldom installed on their own.
CHAINS = {
    'pydoc': ('Tkinter',),       # pydoc.gui(), the graphical browser: Tk and X11
    '_osx_support': ('distutils',),  # compiler_fixup(), which distutils calls on macOS
    'site': ('pydoc',),          # help() of the interactive prompt, and through it Tk
    'pyparsing': ('pdb',),       # ParserElement.setBreak(), a grammar writer's breakpoint
    'lockfile.sqlitelockfile': ('sqlite3',),  # a lock kept in SQLite, made only by name
    'pep517.colorlog': ('curses',),  # colours of pep517's own command-line tools
    # python-future's install_aliases() gives the standard library's test
    # suite, where it is there, Python 3's test.support, its own alias of
    # test_support: the whole suite, with Tk, for a name
    'future.standard_library': ('test',),
    'future.moves.test.support': ('test',),
    # Pillow's Tk photo images, for a program that shows images in Tk and
    # so imports Tkinter itself (the Spider plug-in offers one)
    'PIL.ImageTk': ('Tkinter', 'tkinter'),
    'PIL._tkinter_finder': ('Tkinter', 'tkinter'),
    # cffi's verify(), compile() and set_source(), and its setuptools
    # commands, which build C code from a build script: distutils and
    # setuptools, from inside their functions
    'cffi.api': ('distutils',),
    'cffi.ffiplatform': ('distutils', 'setuptools'),
    'cffi.recompiler': ('distutils',),
    'cffi.setuptools_ext': ('distutils', 'setuptools'),
}
