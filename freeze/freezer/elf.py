"""The system libraries that the placed ELF files need travel with them.

Every ELF file placed in the application directory (the interpreter
library, the extension modules, and each library copied for them) is read
for the libraries it needs (DT_NEEDED), which are resolved as the dynamic
loader resolves them, with ldd, from the file's original place.
Each needed library that is not part of the C library is copied into lib/
under its soname and read in turn. So is each library that a module
loads by name through ctypes or cffi (reading.libraries), as this
machine's find_library names it and the loader finds it (LD_LIBRARY_PATH,
then ldconfig's cache); one it does not find is left to the target system,
as the interpreter would. Then each placed ELF file that needs one of
those libraries gets the one directory where they are, relative to
$ORIGIN, as its run path (DT_RUNPATH), and so does each extension module
that calls dlopen where libraries loaded by name travel: dlopen looks
along the run path of its caller. Every other file but the launchers
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

from .habits import RUNTIME_DATA, TCL
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
PT_LOAD, PT_DYNAMIC, PT_INTERP = 1, 2, 3
DT_NULL, DT_NEEDED, DT_STRTAB, DT_RPATH, DT_RUNPATH, DT_FLAGS_1 = 0, 1, 5, 15, 29, 0x6ffffffb
DF_1_PIE = 0x08000000
# How objdump heads what it prints of each file.
FORMAT = ':     file format elf64-x86-64'
TOOLS = (('patchelf', 'patchelf'), ('ldd', 'libc-bin'), ('objdump', 'binutils'),
         ('strip', 'binutils'))
# The loader's cache, which ldconfig -p lists: where ctypes looks too.
LDCONFIG = '/sbin/ldconfig'
SONAME = re.compile(r'lib[^/]*\.so(\.\d+)*\Z')


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


def by_name(libraries, provided, exclude, log):
    """The libraries that modules load by name, from {module: names}
    (sonames, and names for find_library): {soname: (where the loader
    finds it, or None for one that `exclude` leaves to the target system,
    the modules)}, and {name: soname} as find_library answers here for
    those that travel."""
    wanted = {}  # soname: (the names that lead to it, the modules)
    for module, names in sorted(libraries.items()):
        for name in sorted(names):
            soname = name if SONAME.match(name) else find_library(name)
            if soname not in SYSTEM and soname not in provided:
                entry = wanted.setdefault(soname or name, (set(), set()))
                entry[0].add(name)
                entry[1].add(module)
    found = located(set(s for s in wanted if SONAME.match(s) and s not in exclude))
    found.update((s, None) for s in wanted if s in exclude)
    for soname, (_, modules) in sorted(wanted.items()):
        if soname not in found:
            log.detail('library %s, which %s loads by name, is not found here: left to the '
                       'target system' % (soname, ', '.join(sorted(modules))))
    return (dict((s, (found[s], sorted(m))) for s, (_, m) in wanted.items() if s in found),
            dict((n, s) for s, (names, _) in wanted.items() if found.get(s)
                 for n in names if n != s))


def find_library(name):
    """What ctypes.util.find_library answers here, or None where the tools
    it runs (ldconfig, a C compiler) are missing."""
    import ctypes.util
    try:
        return ctypes.util.find_library(name)
    except (OSError, IOError):
        return None


def located(sonames):
    """{soname: where the loader finds it}, for libraries loaded by name:
    along LD_LIBRARY_PATH, then in its cache; missing where neither has it."""
    found = {}
    if not sonames:
        return found
    for d in reversed([d for d in os.environ.get('LD_LIBRARY_PATH', '').split(':') if d]):
        found.update((s, os.path.join(d, s)) for s in sonames
                     if os.path.isfile(os.path.join(d, s)))
    cache = run([LDCONFIG, '-p'], check=False) if os.access(LDCONFIG, os.X_OK) else ''
    for line in cache.splitlines():
        m = re.match(r'\s*(\S+) \((?:[^)]*,)?x86-64(?:,[^)]*)?\) => (/\S+)', line)
        if m and m.group(1) in sonames and os.path.isfile(m.group(2)):
            found.setdefault(m.group(1), m.group(2))
    return found


def taken(paths):
    """(path, objdump's line) for each symbol that one of `paths` takes
    from another file, from one run of objdump -T."""
    current = None
    for line in (run(['objdump', '-T'] + paths) if paths else '').splitlines():
        if line.endswith(FORMAT) and line[:-len(FORMAT)] in paths:
            current = line[:-len(FORMAT)]
        elif current and '*UND*' in line:
            yield current, line


def calls_dlopen(paths):
    """Those of `paths` that take dlopen from the C library."""
    return set(path for path, line in taken(paths) if line.split()[-1] == 'dlopen')


class Bundle(object):
    """What bundle() did: the libraries copied and those left to the
    target system, each with the files that need it."""

    def __init__(self):
        self.copied = {}
        self.expected = {}


def bundle(root, elves, loaded, provided, exclude, keep_debug, log):
    """Bundles what the placed ELF files `elves` (placed path: original
    path) need and the libraries that modules load by name, `loaded`
    (by_name's), sets their run paths, strips their debug
    information and symbol tables unless `keep_debug`, and returns a
    Bundle. `provided` are the sonames the application directory has of
    its own. The tools were checked for (check_tools) before anything
    was built."""
    lib = os.path.join(root, 'lib')
    result = Bundle()
    todo = sorted(elves.items())

    def take(soname, source, who, needer):
        """Copies a library into lib once; False for the C library's."""
        if soname in SYSTEM or soname in provided:
            return False
        if soname in exclude:
            result.expected.setdefault(soname, []).append(who)
        elif soname in result.copied:
            result.copied[soname].append(who)
        elif source is None:
            raise Failure('library %s, needed by %s, cannot be found' % (soname, needer))
        else:
            target = os.path.join(lib, soname)
            with open(source, 'rb') as f, open(target, 'wb') as g:
                g.write(f.read())
            os.chmod(target, 0o755)
            result.copied[soname] = [who]
            elves[target] = source
            todo.append((target, source))
        return True

    for soname, (source, modules) in sorted(loaded.items()):
        for module in modules:
            take(soname, source, '%s (by name)' % module, module)
    places = {}  # original path: where the loader finds what it needs
    searching = set()  # placed files that need a library copied into lib
    while todo:
        log.status('bundling libraries: %d' % len(result.copied))
        placed, original = todo.pop(0)
        if original not in places:
            places.update(resolved(sorted(set([original] + [o for _, o in todo
                                                             if o not in places]))))
        where = dict(places[original])
        for soname in needed(original):
            if '/' in soname:
                # The loader takes such a name as the path of the file;
                # the placed file names it by its file name instead.
                where[os.path.basename(soname)] = soname if os.path.isfile(soname) else None
                run(['patchelf', '--replace-needed', soname, os.path.basename(soname), placed])
                soname = os.path.basename(soname)
            if take(soname, where.get(soname), os.path.relpath(placed, root), original):
                searching.add(placed)
    if set(loaded) & set(result.copied):
        searching |= calls_dlopen(sorted(p for p in elves if os.path.basename(p) not in provided))
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
    """(path, name in lib, its variables) of the run-time files of each
    bundled library that has them, from RUNTIME_DATA."""
    result = []
    for soname in sorted(s for s in copied if s in RUNTIME_DATA):
        paths, name, variables = RUNTIME_DATA[soname]
        if any(TCL in p for p in paths):
            import Tkinter  # the interpreter's own Tcl says where its library is
            parent = os.path.dirname(Tkinter.Tcl().eval('info library'))
            paths = [p.replace(TCL, parent) for p in paths]
        there = [p for p in paths if os.path.exists(p)]
        if not there:
            raise Failure('%s, which the bundled %s reads, cannot be found'
                          % (' or '.join(paths), soname))
        result.append((os.path.realpath(there[0]), name, variables))
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
    for path, line in taken(elves):
        m = re.search(r'\bGLIBC_(\d+(?:\.\d+)+)\b', line)
        if m:
            found = (version(m.group(1)), line.split()[-1] + '@GLIBC_' + m.group(1))
            current = os.path.relpath(path, root)
            result[current] = max(result.get(current, found), found)
    return result


def newest(needs):
    """The oldest C library that the files of needs() run with."""
    return spelled(max([v for v, _ in needs.values()] or [()]))
