"""The system libraries that the placed ELF files need travel with them.

Every ELF file placed in the application directory (the interpreter
library, the extension modules, and each library copied for them) is read
for the libraries it needs (DT_NEEDED), which are resolved as the dynamic
loader resolves them, with ldd, from the file's original place.
Each needed library that is not part of the C library is copied into lib/
under its soname and read in turn. Then each placed ELF file that needs
one of those libraries gets the one directory where they are, relative to
$ORIGIN, as its run path (DT_RUNPATH); every other one but the launchers
loses the run path it had: most need nothing but the C library and the
interpreter library, which the launcher has loaded, and a run path would
only send the loader searching, or rewriting its program headers cost
a mapping more at every load. Nothing points back at the machine the
application was frozen on. Their debug information and
symbol tables are stripped (strip --strip-unneeded: what the dynamic
loader reads, their dynamic symbols and relocations, stays), unless the
user keeps them. Last, the versions of the GNU C
library that the files require are read with objdump: the highest is the
oldest C library the application runs with.
"""

import os
import re
import struct
import subprocess

from .log import Failure

# The C library's own files. They are never copied: each must match the
# others and the target system's dynamic loader, and every Linux system
# with the GNU C library has them.
SYSTEM = frozenset([
    'ld-linux-x86-64.so.2',  # the dynamic loader itself
    'libc.so.6',             # the C library
    'libm.so.6',             # its mathematics
    'libmvec.so.1',          # vector mathematics, used by libm
    'libpthread.so.0',       # threads, part of libc.so.6 since glibc 2.34
    'libdl.so.2',            # dlopen, part of libc.so.6 since glibc 2.34
    'librt.so.1',            # clocks, timers, shared memory; part of libc.so.6 since 2.34
    'libutil.so.1',          # openpty and forkpty, part of libc.so.6 since 2.34
    'libresolv.so.2',        # the DNS resolver, which libc's name lookup loads
    'libanl.so.1',           # asynchronous name lookup
])
# Bundled libraries that read files of their own when they start: the
# directory that holds them, which lies beside the one Tcl reports as its
# library (/usr/share/tcltk/tcl8.6 and tk8.6 on Debian) and ships as
# lib/NAME, and the environment variables, with paths below lib, that the
# application sets when it starts to tell the library where they are.
RUNTIME_DATA = {
    # init.tcl, the script library, encodings; Tcl modules such as msgcat
    # lie in its tcl8 on Debian, which no other variable names
    'libtcl8.6.so': ('tcl8.6', (('TCL_LIBRARY', 'tcl8.6'), ('TCL8_6_TM_PATH', 'tcl8.6/tcl8'))),
    # tk.tcl and the widgets' scripts
    'libtk8.6.so': ('tk8.6', (('TK_LIBRARY', 'tk8.6'),)),
}
PT_LOAD, PT_DYNAMIC, PT_INTERP = 1, 2, 3
DT_NULL, DT_NEEDED, DT_STRTAB, DT_RPATH, DT_RUNPATH, DT_FLAGS_1 = 0, 1, 5, 15, 29, 0x6ffffffb
DF_1_PIE = 0x08000000
# How objdump heads what it prints of each file.
FORMAT = ':     file format elf64-x86-64'
TOOLS = (('patchelf', 'patchelf'), ('ldd', 'libc-bin'), ('objdump', 'binutils'),
         ('strip', 'binutils'))


def segments(f):
    """(ELF type, [(type, file offset, address, size in the file)] of its
    program headers) of an open 64-bit little-endian ELF file; (None, [])
    for anything else."""
    header = f.read(64)
    if len(header) < 64 or header[:6] != '\x7fELF\x02\x01':
        return None, []
    kind, = struct.unpack_from('<H', header, 16)
    offset, = struct.unpack_from('<Q', header, 32)
    size, count = struct.unpack_from('<HH', header, 54)
    f.seek(offset)
    table = f.read(size * count)
    if size < 56 or len(table) < size * count:
        return kind, []
    return kind, [struct.unpack_from('<I4xQQ8xQ', table, i * size) for i in range(count)]


def is_dynamic(path):
    """True for an ELF file that the dynamic loader links: it has a
    dynamic section."""
    with open(path, 'rb') as f:
        return any(t == PT_DYNAMIC for t, _, _, _ in segments(f)[1])


def is_shared_object(path):
    """True for what the dynamic loader loads into a process: a 64-bit
    little-endian ELF shared object with a dynamic section and no program
    interpreter. Executables, object files and static binaries are not,
    nor a static position-independent executable, which has a dynamic
    section that it relocates itself, and says so (DF_1_PIE)."""
    with open(path, 'rb') as f:
        kind, table = segments(f)
        types = set(t for t, _, _, _ in table)
        if kind != 3 or PT_DYNAMIC not in types or PT_INTERP in types:
            return False
        return not any(tag == DT_FLAGS_1 and value & DF_1_PIE for tag, value in tags(f, table))


def tags(f, table):
    """(tag, value) of each entry of the dynamic section of an open ELF
    file whose program headers are `table`."""
    dynamic = [(offset, size) for t, offset, _, size in table if t == PT_DYNAMIC]
    f.seek(dynamic[0][0] if dynamic else 0)
    data = f.read(dynamic[0][1] if dynamic else 0)
    found = []
    for i in range(0, len(data) - 15, 16):
        tag, value = struct.unpack_from('<qQ', data, i)
        if tag == DT_NULL:
            break
        found.append((tag, value))
    return found


def has_run_path(path):
    with open(path, 'rb') as f:
        return any(tag in (DT_RPATH, DT_RUNPATH) for tag, _ in tags(f, segments(f)[1]))


def needed(path):
    """The libraries a shared object names in its dynamic section
    (DT_NEEDED), in their order."""
    with open(path, 'rb') as f:
        _, table = segments(f)
        entries = tags(f, table)
        strings = [value for tag, value in entries if tag == DT_STRTAB]
        where = [offset + strings[0] - address for t, offset, address, size in table
                 if strings and t == PT_LOAD and address <= strings[0] < address + size]
        if not where:
            raise Failure('%s has no dynamic string table that can be read' % path)
        names = []
        for tag, value in entries:
            if tag == DT_NEEDED:
                f.seek(where[0] + value)
                names.append(f.read(4096).split('\0', 1)[0])
    return names


def check_tools():
    for tool, package in TOOLS:
        if not any(os.access(os.path.join(d, tool), os.X_OK)
                   for d in os.environ.get('PATH', '/usr/bin:/bin').split(':') if d):
            raise Failure('%s is needed to bundle system libraries: install the package %s'
                          % (tool, package))


def run(argv, check=True):
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=dict(os.environ, LC_ALL='C'))
    out, err = p.communicate()
    if check and p.returncode != 0:
        raise Failure('%s failed on %s: %s' % (argv[0], argv[-1], err.strip() or out.strip()))
    return out


def resolved(paths):
    """Where the loader finds each library in the tree of each of `paths`,
    from one run of ldd: {path: {name: where}}, where None is a library it
    cannot find (ldd then fails, saying so)."""
    found = dict((path, {}) for path in paths)
    current = paths[0]
    for line in run(['ldd'] + list(paths), check=False).splitlines():
        # Given more than one file, ldd heads the list of each with its name.
        if line.endswith(':') and line[:-1] in found:
            current = line[:-1]
            continue
        m = re.match(r'\s*(\S+) => (?:(/\S+) \(0x|not found)', line)
        if m:
            found[current][m.group(1)] = m.group(2)
    return found


class Bundle(object):
    """What bundle() did: the libraries copied and those left to the
    target system, each with the files that need it."""

    def __init__(self):
        self.copied = {}
        self.expected = {}


def bundle(root, elves, provided, exclude, keep_debug, log):
    """Bundles what the placed ELF files `elves` (placed path: original
    path) need, sets their run paths, strips their debug information and
    symbol tables unless `keep_debug`, and returns a Bundle. `provided`
    are the sonames the application directory has of its own. The tools
    were checked for (check_tools) before anything was built."""
    lib = os.path.join(root, 'lib')
    result = Bundle()
    todo = sorted(elves.items())
    places = {}  # original path: where the loader finds what it needs
    searching = set()  # placed files that need a library copied into lib
    while todo:
        log.status('bundling libraries: %d' % len(result.copied))
        placed, original = todo.pop(0)
        if original not in places:
            places.update(resolved(sorted(set([original] + [o for _, o in todo
                                                             if o not in places]))))
        where = dict(places[original])
        who = os.path.relpath(placed, root)
        for soname in needed(original):
            if '/' in soname:
                # The loader takes such a name as the path of the file;
                # the placed file names it by its file name instead.
                where[os.path.basename(soname)] = soname if os.path.isfile(soname) else None
                run(['patchelf', '--replace-needed', soname, os.path.basename(soname), placed])
                soname = os.path.basename(soname)
            if soname in SYSTEM or soname in provided:
                continue
            searching.add(placed)
            if soname in exclude:
                result.expected.setdefault(soname, []).append(who)
                continue
            if soname in result.copied:
                result.copied[soname].append(who)
                continue
            source = where.get(soname)
            if source is None:
                raise Failure('library %s, needed by %s, cannot be found' % (soname, original))
            target = os.path.join(lib, soname)
            with open(source, 'rb') as f, open(target, 'wb') as g:
                g.write(f.read())
            os.chmod(target, 0o755)
            result.copied[soname] = [who]
            elves[target] = source
            todo.append((target, source))
    # One run of patchelf for each run path; DT_RPATH, where a file has
    # one, becomes DT_RUNPATH.
    runpaths = {}
    for placed in sorted(searching):
        origin = os.path.relpath(lib, os.path.dirname(placed))
        runpaths.setdefault('$ORIGIN' if origin == '.' else '$ORIGIN/' + origin, []).append(placed)
    for runpath, placed in sorted(runpaths.items()):
        run(['patchelf', '--set-rpath', runpath] + placed)
    bare = [placed for placed in sorted(elves) if placed not in searching and has_run_path(placed)]
    if bare:
        run(['patchelf', '--remove-rpath'] + bare)
    if not keep_debug and elves:
        run(['strip', '--strip-unneeded'] + sorted(elves))
    for soname, needers in sorted(result.copied.items()):
        log.detail('library %s -> lib/%s (needed by %s)' % (soname, soname, ', '.join(needers)))
    for soname, needers in sorted(result.expected.items()):
        log.detail('library %s left to the target system (needed by %s)'
                   % (soname, ', '.join(needers)))
    return result


def runtime_data(copied):
    """(directory, its variables) of the run-time files of each bundled
    library that has them, from RUNTIME_DATA."""
    wanted = [RUNTIME_DATA[s] for s in sorted(copied) if s in RUNTIME_DATA]
    if not wanted:
        return []
    import Tkinter  # the interpreter's own Tcl says where its library is
    parent = os.path.dirname(Tkinter.Tcl().eval('info library'))
    result = [(os.path.join(parent, name), variables) for name, variables in wanted]
    for directory, _ in result:
        if not os.path.isdir(directory):
            raise Failure('%s, which a bundled library reads, cannot be found' % directory)
    return result


def version(text):
    return tuple(int(n) for n in text.split('.'))


def spelled(numbers):
    return '.'.join(str(n) for n in numbers)


def needs(root):
    """{file below root: (the highest GNU C library version it needs, a
    symbol of that version)}, read from the versions of the symbols it
    takes from the C library."""
    elves = sorted(os.path.join(path, f) for path, _, files in os.walk(root) for f in files
                   if not os.path.islink(os.path.join(path, f))
                   and is_dynamic(os.path.join(path, f)))
    result = {}
    current = None
    for line in (run(['objdump', '-T'] + elves) if elves else '').splitlines():
        if line.endswith(FORMAT) and line[:-len(FORMAT)] in elves:
            current = os.path.relpath(line[:-len(FORMAT)], root)
            continue
        m = re.search(r'\bGLIBC_(\d+(?:\.\d+)+)\b', line)
        if m and current and '*UND*' in line:
            found = (version(m.group(1)), line.split()[-1] + '@GLIBC_' + m.group(1))
            result[current] = max(result.get(current, found), found)
    return result


def newest(needs):
    """The oldest C library that the files of needs() run with."""
    return spelled(max([v for v, _ in needs.values()] or [()]))
