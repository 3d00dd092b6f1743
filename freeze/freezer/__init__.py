"""Freezes a Python 2.7 program into an application directory; the manual
is freeze_app.py's. One concern a module: finding the modules (finding,
with finder and walking), placing the files (placing; home, packages and
archiving, in bytecode that compiling makes), the system libraries (elf),
building the directory safely (output), the Python that freezes
(interpreter); the program's own runs, which --record learns from
(recording) and --check compares frozen and not (checking, in the empty
root of emptyroot), both started as running says."""

import ast
import os
import re
import sys
import warnings

from . import (archiving, checking, compiling, elf, finder, finding, home, interpreter, metadata,
               onefile, output, packages, placing, recording, report, running)
from .log import Failure, Log

__version__ = '0.4'

GLIBC = re.compile(r'\d+(\.\d+)+\Z')
ENTRY = re.compile(r'([^=]*)=([A-Za-z_][\w.]*):([A-Za-z_][\w.]*)\Z')
# A command's name: what a shell user can type without quoting, and no option.
COMMAND = re.compile(r'[A-Za-z0-9_][A-Za-z0-9_.+-]*\Z')

# The startup module of an application frozen by its entry points: the
# name of the executable (after symbolic links are resolved) picks one.
# Under the interpreter (--record, --check), the line PICK names the
# command instead, on the same line.
PICK = "    name = sys.executable.rsplit('/', 1)[-1]\n"
COMMANDS = '''import sys

COMMANDS = dict(%r)


def run():
''' + PICK + '''    if name not in COMMANDS:
        sys.stderr.write('%%s: not a command of this application; its commands: %%s\\n'
                         %% (name, ', '.join(sorted(COMMANDS))))
        sys.exit(2)
    module, attribute = COMMANDS[name]
    __import__(module)
    function = sys.modules[module]
    for part in attribute.split('.'):
        function = getattr(function, part)
    sys.exit(function())
'''


def check_name(name):
    if name in ('lib', 'libpython2.7.so.1.0') or not COMMAND.match(name):
        raise Failure('%r cannot be the name of an executable here' % name)
    return name


def console_scripts(directories):
    """{name: MODULE:FUNCTION} of the console scripts that the distribution
    metadata in `directories` declares (entry_points.txt of *.dist-info and
    *.egg-info), as pip installs them; the first directory wins."""
    found = {}
    for meta in metadata.distributions(reversed(directories)):
        path = os.path.join(meta, 'entry_points.txt')
        if os.path.isfile(path):
            found.update((name, target) for group, name, target in metadata.entry_points(path)
                         if group == 'console_scripts')
    return found


def entries(given, directories):
    """NAME=MODULE:FUNCTION, or NAME of a console script declared in
    `directories`, each: name: (module, function)."""
    commands = {}
    scripts = None
    for entry in given:
        if '=' not in entry:
            if scripts is None:
                scripts = console_scripts(directories)
            if entry not in scripts:
                raise Failure('--entry %s: no console script of that name; found: %s'
                              % (entry, ', '.join(sorted(scripts)) or 'none'))
            entry = '%s=%s' % (entry, scripts[entry])
        m = ENTRY.match(entry)
        if not m:
            raise Failure('--entry %s: expected NAME=MODULE:FUNCTION' % entry)
        name = check_name(m.group(1))
        if name in commands:
            raise Failure('--entry %s: the command %s is named twice' % (entry, name))
        commands[name] = (m.group(2), m.group(3))
    return commands


def startup(options, default, search_path):
    """The startup module: (path, text, the modules it must find, the
    executables' names, the commands). `default` names the executable
    when neither --name nor --entry does."""
    path = os.path.join(options.source or '', '__startup__.py')
    if options.entry:
        if options.source and os.path.exists(path):
            raise Failure('%s holds __startup__.py and --entry is given: use one or the other'
                          % options.source)
        if options.name:
            raise Failure('--name and --entry exclude each other: --entry names the commands')
        commands = entries(options.entry, sources(options) + search_path)
        text = COMMANDS % sorted(commands.items())
        required = dict((module, 'named by --entry %s' % name)
                        for name, (module, _) in sorted(commands.items(), reverse=True))
        return '__startup__.py', text, required, sorted(commands), commands
    if not options.source or not os.path.isfile(path):
        raise Failure('no __startup__.py in %s (or use --entry)' % options.source)
    with open(path) as f:
        text = f.read()
    try:
        finder.check_coding(text, path)
        tree = ast.parse(text, path)
    except (SyntaxError, TypeError, ValueError) as e:
        raise Failure(finder.describe(e, path))
    if not finding.binds(tree.body, 'run'):
        raise Failure('%s defines no run()' % path)
    name = check_name(options.name or default)
    required = dict((module, 'imported by __startup__')
                    for module in finding.required_imports(tree))
    return path, text + '\n', required, [name], {}


def defines(body, chain):
    """False when a statement list surely does not define the dotted
    attribute chain: its first name is not bound, or it is a class of
    this list that does not define the rest."""
    if not finding.binds(body, chain[0]):
        return False
    classes = [n for n in body if isinstance(n, ast.ClassDef) and n.name == chain[0]]
    return len(chain) == 1 or not classes or defines(classes[-1].body, chain[1:])


def check_commands(commands, found):
    """Each command's function is defined in its module, where that can be read."""
    for name, (module, function) in sorted(commands.items()):
        path = found.modules[module].__file__ or ''
        if path.endswith('.py'):
            with open(path, 'rU') as f:
                tree = ast.parse(f.read(), path)
            if not defines(tree.body, function.split('.')):
                raise Failure('--entry %s: module %s defines no %s' % (name, module, function))


def sources(options):
    """SOURCE, where given, and the --path directories."""
    return ([options.source] if options.source else []) + options.path


def check_options(options):
    """What can be told wrong from the options and the interpreter alone;
    returns the interpreter library."""
    library = interpreter.library()
    if library is None:
        raise Failure('%s has no shared library %s, which every application needs: use a '
                      'Python built with --enable-shared (pyenv: PYTHON_CONFIGURE_OPTS='
                      '--enable-shared pyenv install 2.7.18)' % (sys.executable, interpreter.SONAME))
    if not os.path.isfile(options.launcher):
        raise Failure('launcher %s cannot be found (use --launcher)' % options.launcher)
    here = os.path.dirname(options.launcher)
    for name in (placing.LOADER + '.so', interpreter.BUILT_FOR) + \
            ((onefile.HEAD, onefile.LAUNCHER) if options.onefile else ()):
        if not os.path.isfile(os.path.join(here, name)):
            raise Failure('%s, which is built with the launcher, cannot be found beside it'
                          % os.path.join(here, name))
    built, this = interpreter.built_for(options.launcher), interpreter.identity()
    if built != this:
        raise Failure('launcher %s is built for Python %s, and this is Python %s: use a '
                      'launcher built for this interpreter (--launcher)'
                      % (options.launcher, built, this))
    if options.glibc and not GLIBC.match(options.glibc):
        raise Failure('--glibc %s: expected a version such as 2.17' % options.glibc)
    for what, directory in ([('SOURCE', options.source)] if options.source else []) + \
            [('--path', p) for p in options.path]:
        if not os.path.isdir(directory):
            raise Failure('%s %s is not a directory' % (what, directory))
    if options.compress and options.store:
        raise Failure('--compress deflates all of the archive, and --store stores all of it: '
                      'give one')
    if options.compress and finder.below('zlib', options.exclude):
        raise Failure('--compress needs zlib to read the archive, and --exclude leaves it out')
    if options.check_dir and not os.path.isdir(options.check_dir):
        raise Failure('--check-dir %s is not a directory' % options.check_dir)
    if not os.path.isfile(options.check_input) and options.check_input != os.devnull:
        raise Failure('--check-input %s is not a file' % options.check_input)
    if not options.check_timeout > 0:
        raise Failure('--check-timeout %g: expected a number of seconds above 0'
                      % options.check_timeout)
    return library


def size(root):
    return sum(os.path.getsize(os.path.join(path, f))
               for path, _, files in os.walk(root) for f in files)


def check_glibc(needs, oldest, log):
    """Refuses files that need a newer C library than `oldest`: one line
    each, with a symbol of the version it needs."""
    limit = elf.version(oldest)
    late = sorted((path, version, symbol) for path, (version, symbol) in needs.items()
                  if version > limit)
    for path, version, symbol in late:
        log.error('%s needs glibc %s (%s)' % (path, elf.spelled(version), symbol))
    if late:
        raise Failure('%d files need a C library newer than glibc %s (--glibc)'
                      % (len(late), oldest))


def summary(counts, libraries, glibc, total, left, recorded, no_source):
    parts = ['%d modules in lib/library.zip (%d KiB)' % (counts['modules'],
                                                         (counts['archive'] + 1023) // 1024),
             '%d packages copied whole' % counts['packages'],
             '%d extension modules' % counts['extensions'],
             '%d data files' % counts['files'],
             '%d system libraries bundled' % len(libraries.copied)]
    line = ', '.join(parts) + '; %.1f MiB in all; needs glibc %s or newer' % (
        total / 1048576.0, glibc)
    if libraries.expected:
        line += '; expected on the target system: ' + ', '.join(sorted(libraries.expected))
    if left:
        line += '; %d modules left out on purpose (--verbose lists them)' % len(left)
    if recorded is not None:
        line += '; --record added %d modules and %d files' % (len(recorded), counts['recorded'])
    if no_source:
        line += '; no sources ship'
    return line


def plain_starts(text, names, commands):
    """The __startup__ of each command under the interpreter, where the
    application has commands of --entry: {name: text}."""
    return dict((name, text.replace(PICK, '    name = %r\n' % name)) for name in names) \
        if commands else {}


def settle(lib, when):
    """One time for every file under lib, which patchelf rewrote in part:
    sources and their bytecode agree on it, and data files compare equal.
    The executables keep the time they were made at, as build tools expect."""
    for path, dirs, files in os.walk(lib):
        for name in dirs + files:
            os.utime(os.path.join(path, name), (when, when))


def freeze(options, search_path):
    """Freezes options.source into options.output; returns the summary."""
    log = Log(options.verbose)
    # Sources of other packages' test data may hold what Python warns of
    # while compiling: the user cannot act on it.
    warnings.simplefilter('ignore', SyntaxWarning)
    library = check_options(options)
    elf.check_tools()
    compiling.epoch()
    target = output.check(options.output, sources(options), search_path, options.force,
                          options.onefile)
    path, text, required, names, commands = startup(options, target.name, search_path)
    starts = plain_starts(text, names, commands)
    if options.onefile:
        command = onefile.command(names, target.name)
        # The one file runs its command, whatever its own name.
        text = starts.get(command, text)
    runs = [command] if options.onefile else names
    checks = running.commands(options.check, runs, '--check')
    reached = recording.record(
        running.commands(options.record, runs, '--record'), sources(options) + search_path,
        starts, sources(options), lambda name: target.path if options.onefile else
        os.path.join(target.path, name), options, log)
    found = finding.find((path, text), required, sources(options) + search_path,
                         options.source, options, reached.modules, log)
    report.missing(found.finder, found.packages, found.starts, log)
    check_commands(commands, found)
    if placing.LOADER in found.modules:
        raise Failure('the program imports a module %s: the application\'s own importers have '
                      'that name' % placing.LOADER)

    def fill(root):
        shipped = os.path.basename(library)
        loaded, answers = elf.by_name(found.libraries, set([shipped]),
                                      set(options.exclude_library), log)
        placer = placing.Placer(root, log, answers, options.no_source)
        home.launchers(placer, options.launcher, names)
        home.interpreter(placer, library)
        home.codecs(placer)
        placer.extensions(found)
        placer.own(found, options.source)
        packages.place(placer, found, options.exclude, options.include, options.source)
        placer.metadata(found)
        placer.counts['recorded'] = recording.place(placer, reached, found, options.source,
                                                    sources(options))
        libraries = elf.bundle(root, placer.elves, loaded, set([shipped]),
                               set(options.exclude_library), options.keep_debug, log)
        if options.onefile:
            onefile.place(options.launcher, root)
        environment = placer.data(elf.runtime_data(libraries.copied))
        archiving.write(placer, found, text, 'all' if options.compress else
                        'none' if options.store else 'late', environment, options.source)
        needs = elf.needs(root)
        if options.onefile:
            # The one file's head runs first, on the same C library.
            head = elf.needs(os.path.dirname(options.launcher)).get(onefile.HEAD)
            if head:
                needs[onefile.HEAD + ' (the one file\'s head)'] = head
        if options.glibc:
            check_glibc(needs, options.glibc, log)
        line = summary(placer.counts, libraries, elf.newest(needs), size(root), found.left,
                       found.recorded if options.record else None, options.no_source)
        settle(placer.lib, placer.when)
        return line

    if options.onefile:
        head = os.path.join(os.path.dirname(options.launcher), onefile.HEAD)
        line, packed = output.build_file(
            target, fill, lambda root, path: onefile.pack(root, command, head, path), log)
        line += '; one file of %.1f MiB running %s' % (packed / 1048576.0, command)
    else:
        line = output.build(target, fill, log)
    log.say('%s: %s' % (options.output, line))
    if checks:
        checking.check(checks, target, sources(options) + search_path, starts, options, log)
    return line
