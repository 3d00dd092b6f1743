#!/usr/bin/env python2.7
"""Freezes a Python 2.7 program into a self-contained application directory.

usage: freeze-app [--name NAME] [--launcher FILE] [--force]
                  [--entry NAME=MODULE:FUNCTION]... [--include MODULE]...
                  [--exclude MODULE]... [--exclude-library SONAME]...
                  [--path DIR]... [--compress | --store] [--keep-debug]
                  [--glibc VERSION]
                  [--onefile] [--verbose] SOURCE OUTPUT
       freeze-app --entry NAME... [OPTION]... OUTPUT
       freeze-app --version

SOURCE is searched first for modules. It holds __startup__.py, which
defines run(), unless the program is frozen by its entry points:
--entry NAME=MODULE:FUNCTION makes OUTPUT/NAME a command that calls
MODULE.FUNCTION() and exits with what it returns; give it once for each
command. --entry NAME takes the console script NAME that the distribution
metadata on the search path declares, as pip would install it; a program
frozen by its entry points needs no SOURCE. Then --path DIRs are searched,
then the interpreter's own library and site directories.

  --name NAME               the executable's name (default: OUTPUT's name)
  --launcher FILE           the launcher to copy
  --force                   replace an earlier output of freeze-app at OUTPUT
  --include MODULE          ship a module, or a package with all its
                            submodules, that the program imports by name
  --exclude MODULE          leave a module or package out, and what only
                            it pulls in
  --exclude-library SONAME  leave a system library to the target system
  --path DIR                another directory to search for modules
  --compress                deflate all of lib/library.zip (by default
                            what every start imports is stored, the rest
                            deflated)
  --store                   store all of lib/library.zip: no start
                            inflates, and the directory is larger
  --keep-debug              keep the debug information and symbol tables
                            of the ELF files (stripped by default)
  --glibc VERSION           refuse files that need a newer GNU C library
                            than VERSION (2.17, say), one line each
  --onefile                 make OUTPUT one executable file that holds the
                            application and runs the command named as
                            OUTPUT, or the only one; its first start
                            unpacks it into the user's cache, once
  --verbose                 list every file as it is placed

OUTPUT becomes:

  OUTPUT/NAME                the launcher, one copy for each command
  OUTPUT/.freeze-app         the mark of freeze-app's output, which --force
                             alone replaces
  OUTPUT/libpython2.7.so.1.0 the interpreter library
  OUTPUT/lib/__startup__.pyc what the launcher imports: it hands over to
                             _boot
  OUTPUT/lib/library.zip     bytecode of every pure-Python module and of
                             the sources below lib, and of __boot__, what
                             _boot leaves to Python
  OUTPUT/lib/library-source/ their sources, for tracebacks and tools
  OUTPUT/lib/_boot.so        the importers of the application's modules,
                             in C, which lies beside the launcher
  OUTPUT/lib/NAME.py         the program's own top-level modules, beside
                             the other files of SOURCE's top level
  OUTPUT/lib/NAME.so         top-level extension modules
  OUTPUT/lib/PACKAGE/        packages that hold extension modules or data
                             files, copied whole
  OUTPUT/lib/*.dist-info     distribution metadata, for pkg_resources
  OUTPUT/lib/lib*.so.*       the system libraries those need, and those
                             that modules load by name through ctypes or
                             cffi, but the C library's own
  OUTPUT/lib/python2.7/      codecs and encodings, which the interpreter
                             imports from its home while it starts
  OUTPUT/lib/tcl8.6, tk8.6,  the files that bundled libraries read: Tcl's
  magic.mgc                  and Tk's scripts, libmagic's file types

Warnings name the missing modules that a module the program needs imports
at module level; one line counts the rest (--verbose lists them).

Only what nothing the program reaches may be left out: test packages, a
module of a package copied whole that needs what would not ship for it
alone (a GUI toolkit), what an optional feature of a module needs, what
--exclude names. A module ships with everything it imports at its top.
The summary counts what is left out on purpose, --verbose says why for
each, and the frozen program's import of such a name fails saying that
it was left out, why, and that --include NAME ships it.

With --onefile, OUTPUT is one file that holds that directory (below).

It is built beside OUTPUT and renamed into place when complete. OUTPUT
must not be, hold or lie inside the sources, the current or the home
directory, or the interpreter's own directories. Run the
tool with the Python 2.7 whose library and modules are to be shipped; it
needs patchelf, ldd, objdump and strip. The launcher must be built for
that Python, as the installed one is. A library that a module loads by
name is looked for as this Python's ctypes.util.find_library and the
dynamic loader find it, LD_LIBRARY_PATH first.

The one file (--onefile) needs nothing of the target system but what the
directory needs. Its first start unpacks the directory into
$XDG_CACHE_HOME/freeze-app/NAME-HASH (else ~/.cache/freeze-app, else
$TMPDIR or /tmp/freeze-app-UID), a directory of the user's own, and every
start runs it from there: sys.executable and sys.argv[0] are the one
file's. Removing that directory is safe; the next start unpacks again.
"""

import optparse
import os
import sys

if sys.version_info[:2] != (2, 7):
    sys.stderr.write('freeze-app: runs under Python 2.7, and this is Python %d.%d: '
                     'start it with python2.7\n' % sys.version_info[:2])
    sys.exit(1)

# The modules are searched along the interpreter's path, not the tool's.
SEARCH_PATH = sys.path[1:]
HERE = os.path.dirname(os.path.realpath(__file__))
for home in (HERE, os.path.join(HERE, os.pardir, 'lib', 'freeze-app')):
    if os.path.isdir(os.path.join(home, 'freezer')):
        sys.path.insert(0, home)
        break

import freezer  # noqa: E402 (found through the path set above)


def parse(argv):
    parser = optparse.OptionParser(usage=__doc__.split('\n\n')[1][len('usage: '):],
                                   version='freeze-app ' + freezer.__version__)
    parser.format_help = lambda formatter=None: __doc__
    parser.add_option('--name')
    parser.add_option('--launcher',
                      default=os.path.join(HERE, os.pardir, 'libexec', 'launcher', 'launcher'))
    parser.add_option('--force', action='store_true')
    parser.add_option('--verbose', action='store_true')
    parser.add_option('--compress', action='store_true')
    parser.add_option('--store', action='store_true')
    parser.add_option('--keep-debug', action='store_true')
    parser.add_option('--onefile', action='store_true')
    parser.add_option('--glibc')
    for option in ('--entry', '--include', '--exclude', '--exclude-library', '--path'):
        parser.add_option(option, action='append', default=[])
    options, args = parser.parse_args(argv[1:])
    if options.entry and len(args) == 1:
        args = [None] + args
    if len(args) != 2:
        parser.error('expected SOURCE and OUTPUT' + (' (or OUTPUT alone with --entry)'
                                                     if options.entry else ''))
    options.source, options.output = args
    return options


def main(argv=None):
    options = parse(argv or sys.argv)
    try:
        freezer.freeze(options, freezer.interpreter.search_path(SEARCH_PATH))
    except (freezer.Failure, EnvironmentError) as e:
        sys.stderr.write('freeze-app: %s\n' % e)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
