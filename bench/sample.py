"""The real application: the sample, frozen as the freezer builds it by
default, pretty-printing a file of 200 records, against the plain
interpreter running the sample's sources with their bytecode cached; and
variants of the frozen directory that show where its cost lies."""

import json
import os
import shutil
import subprocess
import zipfile

from measure import annotate, callgrind, cost, peak_rss, wall

REFERENCE = 'python2.7 -S -E, sources'
FROZEN = 'frozen, default'
COMPRESSED = 'frozen, `--compress`'
SITE = 'python2.7 with site, sources'
TRIMMED = 'variant: archive holds only the modules this run loads'
STORED = 'variant: archive stored whole, nothing deflated'
NO_BOOT = 'variant: zipimport loads the archive, no `_boot`'
INSTRUCTION_TARGET = 1.01
WALL_TARGET = 1.00
SIZE_TARGET = 6500000
TABLE = "inside the program: reading the archive's table (`open_archive`, `zipimporter_init`)"
LOADED = ('import sys; sys.path.insert(0, sys.argv.pop(1)); import __startup__\n'
          'try:\n    __startup__.run()\nexcept SystemExit:\n    pass\n'
          'sys.stderr.write(" ".join(sorted(sys.modules)))\n')


def records(path):
    rows = [{'id': i, 'name': 'user %d' % i, 'tags': ['a', 'b', 'c'][:i % 4],
             'score': i * 1.5, 'active': i % 2 == 0, 'note': 'gr\u00fc\u00df %d' % i}
            for i in range(200)]
    with open(path, 'w') as f:
        json.dump(rows, f)
    return path


def freeze(args, output, *options):
    subprocess.run([args.python2, '-B', args.freeze_app, '--force', '--launcher', args.launcher]
                   + list(options) + [args.sample, output], check=True,
                   stdout=subprocess.DEVNULL)
    return output


def variant(default, work, name, change):
    app = os.path.join(work, name, 'jsonpp')
    if os.path.exists(os.path.dirname(app)):
        shutil.rmtree(os.path.dirname(app))
    shutil.copytree(default, app, symlinks=True)
    change(app)
    return os.path.join(app, 'jsonpp')


def trim(app, loaded):
    """Keeps in the archive only the members of modules in `loaded`."""
    path = os.path.join(app, 'lib', 'library.zip')
    with zipfile.ZipFile(path) as z:
        members = {i.filename: z.read(i) for i in z.infolist()}
    with zipfile.ZipFile(path, 'w') as z:
        for name, data in sorted(members.items()):
            module = name[:-len('.pyc')].replace('/__init__', '').replace('/', '.')
            if module in loaded or name in ('__boot__.pyc', '__startup__.app'):
                z.writestr(name, data)


def stored(app):
    """Every member of the archive stored, none deflated."""
    path = os.path.join(app, 'lib', 'library.zip')
    with zipfile.ZipFile(path) as z:
        members = [(i, z.read(i)) for i in z.infolist()]
    with zipfile.ZipFile(path, 'w') as z:
        for info, data in members:
            info.compress_type = zipfile.ZIP_STORED
            z.writestr(info, data)


def without_boot(app):
    """The program's own __startup__ code in the archive's __startup__, as
    zipimport would load it: no _boot, no file names made absolute."""
    os.remove(os.path.join(app, 'lib', '__startup__.pyc'))
    path = os.path.join(app, 'lib', 'library.zip')
    with zipfile.ZipFile(path) as z:
        members = {i.filename: z.read(i) for i in z.infolist()}
    members['__startup__.pyc'] = members.pop('__startup__.app')
    del members['__boot__.pyc']
    with zipfile.ZipFile(path, 'w') as z:
        for name, data in sorted(members.items()):
            z.writestr(name, data)


def size(path):
    return sum(os.path.getsize(os.path.join(p, f)) for p, _, files in os.walk(path)
               for f in files)


def assemble(args):
    """The programs to measure, by name, as argument vectors."""
    work = os.path.join(args.work, 'sample')
    os.makedirs(work, exist_ok=True)
    data = records(os.path.join(work, 'records.json'))
    default = freeze(args, os.path.join(work, 'default', 'jsonpp'))
    compressed = freeze(args, os.path.join(work, 'compressed', 'jsonpp'), '--compress')
    plain = os.path.join(work, 'plain')
    if os.path.exists(plain):
        shutil.rmtree(plain)
    shutil.copytree(args.sample, plain, ignore=shutil.ignore_patterns('*.pyc', '*.json'))
    with open(os.path.join(plain, 'main.py'), 'w') as f:
        f.write('import __startup__\n__startup__.run()\n')
    subprocess.run([args.python2, '-m', 'compileall', '-q', plain], check=True)
    loaded = set(subprocess.run([args.python2, '-S', '-E', '-c', LOADED, plain, data],
                                capture_output=True, text=True, check=True).stderr.split())
    python = args.python2
    main = os.path.join(plain, 'main.py')
    return {
        FROZEN: [os.path.join(default, 'jsonpp'), data],
        REFERENCE: [python, '-S', '-E', main, data],
        SITE: [python, main, data],
        COMPRESSED: [os.path.join(compressed, 'jsonpp'), data],
        TRIMMED: [variant(default, work, 'trimmed', lambda app: trim(app, loaded)), data],
        STORED: [variant(default, work, 'stored', stored), data],
        NO_BOOT: [variant(default, work, 'no-boot', without_boot), data],
    }


def parts(out, program, initial_imports):
    """Where a program's instructions go, by the top-level calls of the
    launcher's main or the interpreter's Py_Main, and inside them. The
    imports Py_Initialize makes, which cost `initial_imports`, count there."""
    total, rows = annotate(out, 'yes')
    found = {
        'interpreter start (`Py_Initialize`)': cost(rows, 'Py_Initialize'),
        'startup script (`PyRun_SimpleStringFlags`)': cost(rows, 'PyRun_SimpleStringFlags'),
        # The sample ends with sys.exit: under the plain interpreter that
        # finalises from inside the script's run, through Py_Exit.
        'the program: its imports and its run': (
            cost(rows, 'PyImport_Import') - initial_imports + cost(rows, 'PyObject_CallObject')
            if program == FROZEN
            else cost(rows, 'PyRun_SimpleFileExFlags') - cost(rows, 'Py_Exit')),
        'interpreter finalisation (`Py_Finalize`)': cost(rows, 'Py_Finalize'),
    }
    found['the rest: loading, process start and exit, own code'] = total - sum(found.values())
    found[TABLE] = cost(rows, 'open_archive') + cost(rows, 'zipimporter_init')
    found['inside the program: finding modules (`find_module`)'] = cost(rows, 'find_module')
    found['inside the program: parsing source (`PyParser_ParseFileFlagsEx`)'] = \
        cost(rows, 'PyParser_ParseFileFlagsEx')
    return total, found


def archive_members(app):
    with zipfile.ZipFile(os.path.join(app, 'lib', 'library.zip')) as z:
        return len(z.infolist())


def report(args, runs, initial_imports):
    programs = assemble(args)
    ir, split = {}, {}
    for i, (name, argv) in enumerate(programs.items()):
        out = callgrind(argv, os.path.join(args.work, 'sample-callgrind-%d' % i))
        ir[name] = annotate(out, 'no')[0]
        if name == REFERENCE:
            split[name] = parts(out, name, initial_imports)[1]
    # The default build has no symbol table, in which callgrind finds the
    # names of the interpreter's own functions: the same build with it
    # runs the same instructions and names them.
    debug = freeze(args, os.path.join(args.work, 'sample', 'debug', 'jsonpp'), '--keep-debug')
    out = callgrind([os.path.join(debug, 'jsonpp')] + programs[FROZEN][1:],
                    os.path.join(args.work, 'sample-callgrind-debug'))
    split[FROZEN] = parts(out, FROZEN, initial_imports)[1]
    timing = wall(programs, REFERENCE, runs)
    rss = {name: peak_rss(argv, args.work, min(runs, 20)) for name, argv in programs.items()}

    lines = ['## A real application', '',
             'The sample `jsonpp` pretty-printing a file of 200 records, frozen as',
             '`freeze-app` builds it by default, against the plain interpreter running',
             'the sample\'s sources (`main.py` imports `__startup__` and calls `run()`)',
             'with their bytecode cached. The time ratio is the median of the ratios',
             'of each round\'s runs to the `%s` run of the same round.' % REFERENCE, '',
             '| program | instructions | vs %s | median time | vs %s | peak RSS |'
             % (REFERENCE, REFERENCE), '|---|---:|---:|---:|---:|---:|']
    for name in programs:
        lines.append('| %s | %s | %.3f | %.2f ms | %.3f | %d KiB |' % (
            name, format(ir[name], ','), ir[name] / ir[REFERENCE], timing[name][0] * 1e3,
            timing[name][1], rss[name]))
    lines += ['', '### Where the frozen program\'s instructions go that the plain '
              'interpreter\'s do not', '',
              '| part | %s | %s | difference |' % (FROZEN, REFERENCE), '|---|---:|---:|---:|']
    for part, frozen in split[FROZEN].items():
        plain = split[REFERENCE][part]
        lines.append('| %s | %s | %s | %+d |' % (part, format(frozen, ','), format(plain, ','),
                                                frozen - plain))

    members = archive_members(os.path.dirname(programs[FROZEN][0]))
    kept = archive_members(os.path.dirname(programs[TRIMMED][0]))
    directory = split[FROZEN][TABLE]
    ratio = ir[FROZEN] / ir[REFERENCE]
    ratio_time = timing[FROZEN][1]
    lines += ['', '### What was tried', '',
              '- Deflating the whole archive: `--compress` takes %.3f of the default\'s'
              % (ir[COMPRESSED] / ir[FROZEN]),
              '  instructions and %.3f of its time. The default stores the modules that'
              % (timing[COMPRESSED][1] / ratio_time),
              '  every start imports and deflates the rest; storing all of it (%s)'
              % STORED.split(': ')[1],
              '  takes %.3f of the default\'s instructions and %.3f of its time.'
              % (ir[STORED] / ir[FROZEN], timing[STORED][1] / ratio_time),
              '- Reading the archive: `_boot` reads the whole table of `library.zip`',
              '  once, in one piece, %s instructions for %d members, about %s each.'
              % (format(directory, ','), members, format(directory // max(members, 1), ',')),
              '  The members are every module the program can reach, as the freezer',
              '  finds them; this run loads %d of them. Keeping only those (%s) takes'
              % (kept, TRIMMED.split(': ')[1]),
              '  %.3f of the reference\'s instructions and %.3f of its time: the cost of'
              % (ir[TRIMMED] / ir[REFERENCE], timing[TRIMMED][1]),
              '  shipping modules that another run may import, which the freezer keeps.']
    app = os.path.dirname(programs[FROZEN][0])
    sources = size(os.path.join(app, 'lib', 'library-source'))
    lines += ['', '### Size of the frozen directories', '',
              'Sums of file sizes, of the directories measured above.', '',
              '| directory | in all | interpreter library | `library.zip` | '
              '`library-source` |', '|---|---:|---:|---:|---:|']
    for name in (FROZEN, COMPRESSED, STORED, NO_BOOT):
        where = os.path.dirname(programs[name][0])
        lines.append('| %s | %s | %s | %s | %s |' % (name, format(size(where), ','), format(
            os.path.getsize(os.path.join(where, 'libpython2.7.so.1.0')), ','), format(
            os.path.getsize(os.path.join(where, 'lib', 'library.zip')), ','), format(
            size(os.path.join(where, 'lib', 'library-source')), ',')))
    lines.append('| frozen with `--keep-debug` | %s | %s | | |' % (format(size(debug), ','), format(
        os.path.getsize(os.path.join(debug, 'libpython2.7.so.1.0')), ',')))
    lines += ['', '### What shipping sources and `_boot` cost', '',
              '`_boot` loads every module of the application itself, so that nothing',
              'is compiled or written at run time and the file names in the bytecode are',
              'absolute and name the shipped sources. Without it (%s) the' % NO_BOOT.split(': ')[1],
              'program takes %.3f of the default\'s instructions and %.3f of its time.'
              % (ir[NO_BOOT] / ir[FROZEN], timing[NO_BOOT][1] / ratio_time),
              'The sources in `lib/library-source` take %s KiB of the directory\'s %s KiB.'
              % (format(sources // 1024, ','), format(size(app) // 1024, ','))]
    frozen, plain = split[FROZEN], split[REFERENCE]
    program = 'the program: its imports and its run'
    script = 'startup script (`PyRun_SimpleStringFlags`)'
    parse = 'inside the program: parsing source (`PyParser_ParseFileFlagsEx`)'
    lines += ['', 'Both run the same interpreter on the same modules and the same input: the',
              'program itself takes %s instructions frozen and %s plain, where the'
              % (format(frozen[program], ','), format(plain[program], ',')),
              'plain interpreter parses `main.py` (%s) and the frozen one reads the'
              % format(plain[parse], ','),
              "archive's table instead; the startup script adds %s, about what parsing"
              % format(frozen[script], ','),
              '`main.py` costs.']
    targets = [
        ('instructions of the default freeze at most %.2f of %s' % (INSTRUCTION_TARGET, REFERENCE),
         ratio, ratio <= INSTRUCTION_TARGET),
        ('time of the default freeze at most %.2f of %s' % (WALL_TARGET, REFERENCE),
         ratio_time, ratio_time <= WALL_TARGET),
        ('size of the default freeze at most %.1f MB (millions of bytes)' % (SIZE_TARGET / 1e6),
         size(app) / 1e6, size(app) <= SIZE_TARGET),
    ]
    return lines, targets
