#!/usr/bin/env python2.7
"""Freezes a Python 2.7 program into a self-contained application directory.

usage: freeze-app [--name NAME] [--launcher FILE] [--force]
                  [--entry NAME=MODULE:FUNCTION]... [--include MODULE]...
                  [--exclude MODULE]... [--exclude-library SONAME]...
                  [--path DIR]... [--compress | --store] [--keep-debug]
                  [--glibc VERSION] [--no-source]
                  [--record ARGS]... [--check ARGS]... [--check-dir DIR]
                  [--check-input FILE] [--check-timeout SECONDS]
                  [--onefile] [--verbose] SOURCE OUTPUT
       freeze-app --entry NAME... [OPTION]... OUTPUT
       freeze-app @FILE [OPTION]...
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
  --no-source               ship bytecode alone: no .py file at all
  --onefile                 make OUTPUT one executable file that holds the
                            application and runs the command named as
                            OUTPUT, or the only one; its first start
                            unpacks it into the user's cache, once
  --record ARGS             before freezing, run the program on ARGS under
                            the interpreter, and ship what the run
                            imports and the files it reads (below)
  --check ARGS              after freezing, run the program on ARGS under
                            the interpreter and frozen, and compare
  --check-dir DIR           each run's working directory is a fresh copy
                            of DIR (default: an empty directory)
  --check-input FILE        each run's standard input (default: empty)
  --check-timeout SECONDS   each run's time limit (default: 60)
  --verbose                 list every file as it is placed
  @FILE                     read options from FILE, one a line

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
  OUTPUT/lib/library-source/ their sources, for tracebacks and tools (their
                             bytecode with --no-source)
  OUTPUT/lib/_boot.so        the importers of the application's modules,
                             in C, which lies beside the launcher
  OUTPUT/lib/NAME.py         the program's own top-level modules, beside
                             the other files of SOURCE's top level (.pyc
                             with --no-source)
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

With --no-source, no .py file ships, the standard library's neither:
where a source would lie (lib/library-source, lib/NAME.py, in packages
copied whole) lies its bytecode, X.pyc for X.py, which a module's
__file__ names, and sources that do not compile and .py files that are
data stay out. The program behaves as under the interpreter given .pyc
files alone: tracebacks name the file and line without its text,
inspect.getsource fails, and pkgutil and pkg_resources list the modules
of a package's __path__, data files and __file__-relative paths are
found. The summary line says that no sources ship.

The program's own runs. ARGS is split as a shell splits words; where the
application has several commands (--entry), its first word names the
command to run. Each run of --record and --check runs in a fresh copy of
--check-dir, its standard input from --check-input, and ends at
--check-timeout, killed with its process group; whatever a run left
running is killed when it ends. They write nothing outside their
temporary directories and OUTPUT.

Under the interpreter, a run is the interpreter that freezes running the
sources the freeze takes, started as the launcher starts the program: no
site, the PYTHON* variables without effect, sys.path SOURCE, the --path
directories and the interpreter's library and site directories, the
namespace packages of *-nspkg.pth files made, __startup__'s run() (or
the command's function) called; no bytecode written. Both runs get this
environment, without its PYTHON* variables.

--record ARGS (repeatable) runs ARGS so before freezing, and notes every
module the run imports or tries to import, and every file it opens to
read (open, io.open, os.open, execfile, imp's loaders) under SOURCE or a
--path directory. What the runs reached ships: a module that reading the
code did not find, as --include ships it (alone, not a package's
submodules), and a file that would not ship, where the modules beside it
find it through __file__ (lib for SOURCE's top level and packages copied
whole, lib/library-source for the archive's modules and the --path
directories' top level). The summary counts what --record added;
--verbose names each with the run that reached it.

--check ARGS (repeatable) runs ARGS twice after freezing: under the
interpreter, and frozen, from a copy of the output in a temporary
directory, with the environment shut out as the launcher shuts it; where
the system allows it (root, or unprivileged user and mount namespaces),
in an empty root that holds only the application, the C library's own
files, /dev/null, /dev/urandom, a /dev/shm and /proc (no /etc, no /tmp,
no user names, the time zone UTC), or else in place, which one line says.
There a run sees no file of this machine but those of its working
directory: give the files it reads in --check-dir, by relative paths.
There the application is read-only, as an installation of it may be (it
is a copy of hard links where the file system allows): a program that
writes into its own directory differs.
Each run prints one line: `check: ARGS: same` with the two times, or
`check: ARGS: differs:` and the first difference: a run that outlived its
limit, a traceback that only one run ends in, a line of standard output
or error, a file that the runs leave in their working directory
(bytecode aside), the status. The places of the sources and of the
application, sys.executable and argv[0] (the copied command's path in
both runs), the working directories and the interpreter's frame
"<string>" are no differences. freeze-app then exits 0 only if every run
is the same; the output is kept either way. A program that needs a
terminal, the network or a display is the user's to leave out of
--check; point one that talks to a server at 127.0.0.1.

@FILE reads options and arguments from FILE, one a line, as Python's
argparse reads fromfile_prefix_chars: a line is one argument, spaces
and all (--check=ls -l, or --check and the ARGS on the next line), paths
are taken from the current directory, and an @FILE in it is read too.

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


def from_files(args, reading=()):
    """The arguments with each @FILE replaced by the lines of FILE, one
    argument a line, as argparse reads them with fromfile_prefix_chars;
    an @FILE among them is read likewise, but not one that holds itself."""
    result = []
    for arg in args:
        if not arg.startswith('@'):
            result.append(arg)
            continue
        path = os.path.realpath(arg[1:])
        if path in reading:
            raise IOError(0, 'read again from itself', arg[1:])
        with open(arg[1:]) as f:
            result += from_files(f.read().splitlines(), reading + (path,))
    return result


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
    parser.add_option('--no-source', action='store_true')
    parser.add_option('--check-dir')
    parser.add_option('--check-input', default=os.devnull)
    parser.add_option('--check-timeout', type='float', default=60.0)
    for option in ('--entry', '--include', '--exclude', '--exclude-library', '--path', '--check',
                   '--record'):
        parser.add_option(option, action='append', default=[])
    try:
        options, args = parser.parse_args(from_files(argv[1:]))
    except IOError as e:
        parser.error('%s: %s' % (e.filename, e.strerror))
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
