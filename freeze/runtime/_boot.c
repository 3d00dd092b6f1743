/*
 * _boot: how a frozen application imports its own modules, in C. A large
 * program imports hundreds of modules at start, and the same steps
 * written in Python took longer than the plain interpreter's whole import
 * of them; in C they leave no frames in tracebacks and no events for
 * tracers, and an empty program's start pays only for loading this file.
 *
 * It ships in lib of every application and is imported by lib's
 * __startup__, a stub of one line, while sys.path is still the launcher's
 * two entries: lib, then the archive.
 *
 *   run(namespace, environment)
 *                   takes over the imports (take_over), imports site
 *                   where the program ships it (site.c), and runs the
 *                   program's own __startup__ code, the archive's member
 *                   __startup__.app, in the stub's namespace.
 *   code(data, where)
 *                   the code in bytecode `data` (a .pyc: eight bytes of
 *                   header, then the marshalled code), read from `where`,
 *                   its file names that are relative to the application
 *                   directory ("lib/...") made absolute.
 *   member(name)    the code of a member of the archive, checked.
 *   holds(name)     True if the archive holds a member of that name.
 *
 * The finder, alone on the meta path, finds and loads
 *   - a module of the archive's top level, when sys.path holds nothing
 *     but lib before the archive, and a module of a package of the
 *     archive, whose __path__ is the directory of its sources in
 *     lib/library-source: as the interpreter loads a module of a
 *     directory, with __file__ its source and no __loader__, so that
 *     pkgutil, pkg_resources and imp.find_module see the directory they
 *     expect. A package of the archive holds nothing else: a name it
 *     lacks is not found;
 *   - a module of a package of lib on disk whose bytecode the archive
 *     holds, as "lib/PATH.pyc". Any other name of such a package it
 *     leaves to the interpreter, which looks on disk (extension modules,
 *     bytecode alone, sources that do not compile);
 *   - imp, the first time the program imports it, with __boot__'s
 *     loaders;
 * but a finder that the program appended to the meta path, or an
 * importer that a path hook it added gives for a package's directory,
 * answers first, as under the interpreter, where both come before the
 * search of the path that this finder stands for;
 * and asks __boot__'s finder in Python, which it runs from the archive
 * when first needed, for the rest: the codecs of lib/python2.7 and paths
 * that the program changed. It answers runpy and pkgutil as a loader
 * does.
 *
 * Every member is checked against the size and CRC-32 that the archive
 * records and the interpreter's magic number before it runs: a damaged
 * archive fails with a message, never a signal. The names of lib's top
 * level and those of the archive's are disjoint, as the freezer writes
 * them, so a module of the archive is taken without looking into lib
 * first.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crc32.h"
#include "site.h"

#define SOURCES "lib/library-source/"
#define RELATIVE "lib/"         /* how file names relative to home begin */
#define CODECS RELATIVE "python2.7/" /* the codecs the interpreter starts with */
#define KEY 4097                /* room for a member's name, as import.c's */
#define LOCAL_HEADER 30         /* bytes of a zip member's local header */
#define LOCAL_SIGNATURE 0x04034b50UL

static PyObject *lib;           /* sys.path[0]: the application's lib */
static PyObject *archive_path;  /* sys.path[1]: lib/library.zip */
static PyObject *home;          /* the application directory, ending in "/" */
static PyObject *zip_error;     /* zipimport.ZipImportError */
/* A damaged archive or member: ValueError, as the interpreter's for bad
 * marshal data, so that no `except ImportError` of an optional import
 * takes it for a module that is not there. */
#define damage PyExc_ValueError
static PyObject *path_name;     /* "__path__", interned */
static PyObject *file_name;     /* "__file__", interned */
static PyObject *self_module;   /* _boot, for __boot__'s namespace */

static int starts(PyObject *s, const char *prefix, Py_ssize_t n)
{
    return PyString_GET_SIZE(s) >= n && memcmp(PyString_AS_STRING(s), prefix, n) == 0;
}

/* Appends `n` bytes of `s` to the `*used` bytes of `key`: 0, or -1 when
 * they do not fit with a terminating NUL. */
static int append(char *key, Py_ssize_t *used, const char *s, size_t n)
{
    if (n >= (size_t)(KEY - *used))
        return -1;
    memcpy(key + *used, s, n);
    *used += (Py_ssize_t)n;
    key[*used] = '\0';
    return 0;
}

/* Makes the file names of `co` and of the code in its constants that
 * begin with "lib/" absolute. The freezer gives them all one string, so
 * the last name made absolute, *from, is reused by identity as *to; the
 * caller releases both. */
static int absolute(PyCodeObject *co, PyObject **from, PyObject **to)
{
    PyObject *name = co->co_filename;
    if (name != *from && PyString_Check(name) && starts(name, RELATIVE, sizeof RELATIVE - 1)) {
        PyObject *full = PyString_FromStringAndSize(NULL, PyString_GET_SIZE(home) +
                                                          PyString_GET_SIZE(name));
        if (full == NULL)
            return -1;
        memcpy(PyString_AS_STRING(full), PyString_AS_STRING(home), PyString_GET_SIZE(home));
        memcpy(PyString_AS_STRING(full) + PyString_GET_SIZE(home), PyString_AS_STRING(name),
               PyString_GET_SIZE(name));
        Py_INCREF(name);
        Py_XDECREF(*from);
        Py_XDECREF(*to);
        *from = name;
        *to = full;
    }
    if (*from != NULL && name == *from) {
        Py_INCREF(*to);
        co->co_filename = *to;
        Py_DECREF(name);
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(co->co_consts);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *c = PyTuple_GET_ITEM(co->co_consts, i);
        if (PyCode_Check(c) && absolute((PyCodeObject *)c, from, to) != 0)
            return -1;
    }
    return 0;
}

/* The code in `size` bytes of bytecode at `data`, read from `where`:
 * bytecode of this interpreter's magic number, as the interpreter checks
 * it. */
static PyObject *unmarshal(const char *data, Py_ssize_t size, const char *where)
{
    const long magic = PyImport_GetMagicNumber();
    if (size < 8 || (data[0] & 0xff) != (magic & 0xff) || (data[1] & 0xff) != (magic >> 8 & 0xff) ||
        (data[2] & 0xff) != (magic >> 16 & 0xff) || (data[3] & 0xff) != (magic >> 24 & 0xff)) {
        PyErr_Format(PyExc_ImportError, "Bad magic number in %s", where);
        return NULL;
    }
    PyObject *co = PyMarshal_ReadObjectFromString((char *)data + 8, size - 8);
    if (co == NULL || !PyCode_Check(co)) {
        Py_XDECREF(co);
        PyErr_Format(damage, "bad marshal data in %s", where);
        return NULL;
    }
    PyObject *from = NULL;
    PyObject *to = NULL;
    const int failed = absolute((PyCodeObject *)co, &from, &to);
    Py_XDECREF(from);
    Py_XDECREF(to);
    if (failed) {
        Py_DECREF(co);
        return NULL;
    }
    return co;
}

/* The module name that `args` of find_module or load_module begin with;
 * `*path` (if not NULL) the path that may follow it. A unicode name is
 * taken in the default encoding, as zipimport takes it: the string it
 * caches lives as long as `args`. */
static const char *name_arg(PyObject *args, PyObject **path)
{
    const char *name;
    PyObject *given = Py_None;
    if (path == NULL ? !PyArg_ParseTuple(args, "s:load_module", &name)
                     : !PyArg_ParseTuple(args, "s|O:find_module", &name, &given))
        return NULL;
    if (path != NULL)
        *path = given;
    return name;
}

static PyObject *boot_code(PyObject *self, PyObject *args)
{
    (void)self;
    const char *data;
    const char *where;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "s#s:code", &data, &size, &where))
        return NULL;
    return unmarshal(data, size, where);
}

/* Makes the file names of a function's code absolute, of a static or
 * class method's function too, as absolute() does. */
static int settle_function(PyObject *f, PyObject **from, PyObject **to)
{
    PyObject *wrapped = NULL;
    if (Py_TYPE(f) == &PyStaticMethod_Type || Py_TYPE(f) == &PyClassMethod_Type)
        f = wrapped = PyObject_GetAttrString(f, "__func__");
    const int failed = f == NULL || (PyFunction_Check(f) &&
                                     absolute((PyCodeObject *)PyFunction_GET_CODE(f), from, to));
    Py_XDECREF(wrapped);
    return failed ? -1 : 0;
}

/* Makes the file names of the functions of `dict`, a module's, and of
 * its classes' methods absolute. */
static int settle_module(PyObject *dict, PyObject **from, PyObject **to)
{
    Py_ssize_t i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &i, &key, &value)) {
        PyObject *members = PyType_Check(value) ? ((PyTypeObject *)value)->tp_dict
                            : PyClass_Check(value) ? ((PyClassObject *)value)->cl_dict : NULL;
        Py_ssize_t j = 0;
        PyObject *name, *member;
        while (members != NULL && PyDict_Next(members, &j, &name, &member)) {
            if (settle_function(member, from, to) != 0)
                return -1;
        }
        if (settle_function(value, from, to) != 0)
            return -1;
    }
    return 0;
}

/* Settles the modules that the interpreter imported from lib/python2.7:
 * 0, or -1 with an exception. Not inlined, as open_archive, so that the
 * bench can tell what each costs. */
__attribute__((noinline)) static int settle(void)
{
    PyObject *modules = PyImport_GetModuleDict();
    const Py_ssize_t h = PyString_GET_SIZE(home);
    Py_ssize_t i = 0;
    PyObject *key, *module;
    while (PyDict_Next(modules, &i, &key, &module)) {
        PyObject *dict = PyModule_Check(module) ? PyModule_GetDict(module) : NULL;
        PyObject *file = dict ? PyDict_GetItem(dict, file_name) : NULL;
        if (file == NULL || !PyString_Check(file) || !starts(file, PyString_AS_STRING(home), h) ||
            strncmp(PyString_AS_STRING(file) + h, CODECS, sizeof CODECS - 1) != 0)
            continue;
        PyObject *from = NULL, *to = NULL;
        const int failed = settle_module(dict, &from, &to);
        Py_XDECREF(from);
        Py_XDECREF(to);
        if (failed)
            return -1;
    }
    return 0;
}

static int read_at(int fd, char *buffer, Py_ssize_t size, Py_ssize_t offset)
{
    while (size > 0) {
        const ssize_t n = pread(fd, buffer, (size_t)size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        buffer += n;
        size -= n;
        offset += n;
    }
    return 0;
}

static uint32_t le16(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t le32(const unsigned char *p)
{
    return le16(p) | le16(p + 2) << 16;
}

/* A member of the archive, as its central directory describes it. */
typedef struct {
    const char *name;           /* in the archive's table, not terminated */
    uint32_t length;            /* of the name */
    uint32_t method;            /* 0 stored, 8 deflated */
    uint32_t crc;
    uint32_t size;              /* bytes in the archive */
    uint32_t full;              /* bytes inflated */
    uint32_t offset;            /* of its local header */
} Entry;

/* lib/library.zip: its central directory, read in one piece at start,
 * and its members sorted by name, as the freezer writes them, for a
 * binary search. zipimport reads the same table an entry at a time into a
 * dictionary of tuples, which took an empty program a tenth of its
 * start-up beyond the plain interpreter's. */
static struct {
    char *table;
    Entry *entries;
    Py_ssize_t count;
} the;

static int compare(const char *a, uint32_t m, const char *b, uint32_t n)
{
    const int c = memcmp(a, b, m < n ? m : n);
    return c != 0 ? c : m < n ? -1 : m > n;
}

static int entry_order(const void *a, const void *b)
{
    const Entry *x = a, *y = b;
    return compare(x->name, x->length, y->name, y->length);
}

/* The member named by the `n` bytes at `name`; NULL if there is none. */
static const Entry *find(const char *name, size_t n)
{
    Py_ssize_t low = 0, high = the.count;
    while (low < high) {
        const Py_ssize_t mid = low + (high - low) / 2;
        const int c = compare(the.entries[mid].name, the.entries[mid].length, name, (uint32_t)n);
        if (c == 0)
            return &the.entries[mid];
        if (c < 0)
            low = mid + 1;
        else
            high = mid;
    }
    return NULL;
}

#define END_SIGNATURE 0x06054b50UL
#define ENTRY_SIGNATURE 0x02014b50UL
#define END 22                  /* bytes of the end record, without comment */
#define ENTRY 46                /* bytes of a central directory entry */
#define TAIL (END + 0xffff)     /* the end record and the longest comment */

static int damaged(const char *what)
{
    PyErr_Format(damage, "%s is damaged: %s", PyString_AS_STRING(archive_path), what);
    return -1;
}

/* Reads the table of the archive open at `fd`: 0, or -1 with an
 * exception that names what is wrong. */
static int read_table(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < END)
        return damaged("it is too short to hold a table");
    /* The end record, last but for a comment, which the freezer writes
     * none of. */
    static unsigned char tail[TAIL];
    const Py_ssize_t t = st.st_size < TAIL ? (Py_ssize_t)st.st_size : TAIL;
    Py_ssize_t at = t - END;
    if (read_at(fd, (char *)tail + at, END, st.st_size - END) != 0)
        return damaged("its end cannot be read");
    if (le32(tail + at) != END_SIGNATURE) {
        if (read_at(fd, (char *)tail, t, st.st_size - t) != 0)
            return damaged("its end cannot be read");
        while (at > 0 && le32(tail + at) != END_SIGNATURE)
            at--;
        if (le32(tail + at) != END_SIGNATURE)
            return damaged("it has no end record: it is cut short or no zip archive");
    }
    const uint32_t size = le32(tail + at + 12), offset = le32(tail + at + 16);
    if ((uint64_t)offset + size > (uint64_t)(st.st_size - t + at))
        return damaged("its table lies past its end: it is cut short");
    the.table = PyMem_Malloc(size ? size : 1);
    the.entries = PyMem_Malloc((size / ENTRY + 1) * sizeof(Entry));
    if (the.table == NULL || the.entries == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    if (read_at(fd, the.table, size, offset) != 0)
        return damaged("its table cannot be read");
    const unsigned char *p = (const unsigned char *)the.table, *end = p + size;
    int sorted = 1;
    for (the.count = 0; p < end; the.count++) {
        if (end - p < ENTRY || le32(p) != ENTRY_SIGNATURE)
            return damaged("an entry of its table is not one");
        const uint32_t n = le16(p + 28), more = le16(p + 30) + le16(p + 32);
        if ((size_t)(end - p - ENTRY) < (size_t)n + more)
            return damaged("an entry of its table runs past the table");
        Entry *e = &the.entries[the.count];
        *e = (Entry){(const char *)p + ENTRY, n, le16(p + 10), le32(p + 16), le32(p + 20),
                     le32(p + 24), le32(p + 42)};
        sorted = sorted && (the.count == 0 || entry_order(e - 1, e) < 0);
        p += ENTRY + n + more;
    }
    if (!sorted)
        qsort(the.entries, (size_t)the.count, sizeof(Entry), entry_order);
    return 0;
}

/* Reads the archive's table, once: 0, or -1 with an exception. */
__attribute__((noinline)) static int open_archive(void)
{
    const int fd = open(PyString_AS_STRING(archive_path), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        PyErr_Format(zip_error, "can't open Zip file: '%s'", PyString_AS_STRING(archive_path));
        return -1;
    }
    const int failed = read_table(fd);
    close(fd);
    return failed;
}

static PyObject *decompress;    /* zlib.decompress, once a member needs it */

/* zlib.decompress, borrowed; NULL with an exception if zlib is missing. */
static PyObject *inflate(void)
{
    if (decompress != NULL)
        return decompress;
    PyObject *zlib = PyImport_ImportModuleNoBlock("zlib");
    if (zlib != NULL) {
        decompress = PyObject_GetAttrString(zlib, "decompress");
        Py_DECREF(zlib);
    }
    if (decompress == NULL) {
        PyErr_Clear();
        PyErr_SetString(zip_error, "can't decompress data; zlib not available");
    }
    return decompress;
}

/* The bytes of member `e`, inflated if they are deflated: zlib then
 * ships, as the freezer deflates only where it does. The archive is
 * opened for each read: a descriptor kept open could be closed, or
 * replaced, by the program. */
static PyObject *read_member(const Entry *e, const char *where)
{
    const int fd = open(PyString_AS_STRING(archive_path), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        PyErr_Format(zip_error, "can't open Zip file: '%s'", PyString_AS_STRING(archive_path));
        return NULL;
    }
    unsigned char h[LOCAL_HEADER];
    PyObject *data = NULL;
    if (read_at(fd, (char *)h, LOCAL_HEADER, e->offset) == 0 && le32(h) == LOCAL_SIGNATURE) {
        data = PyString_FromStringAndSize(NULL, e->size);
        if (data != NULL && read_at(fd, PyString_AS_STRING(data), e->size,
                                    (Py_ssize_t)e->offset + LOCAL_HEADER + le16(h + 26) +
                                        le16(h + 28)) != 0)
            Py_CLEAR(data);
    }
    close(fd);
    if (data == NULL) {
        if (!PyErr_Occurred())
            PyErr_Format(damage, "%s is damaged: its header or bytes cannot be read", where);
        return NULL;
    }
    if (e->method == 0)
        return data;
    PyObject *inflated = NULL;
    if (e->method != 8) {
        PyErr_Format(damage, "%s is damaged: compressed in an unknown way", where);
    } else if (inflate() != NULL) {
        /* Room for all of it at once: zlib's default of 16 KiB grows by
         * doubling, each time copying what it inflated. No more than
         * deflating can give (1032 to 1), whatever a damaged table says. */
        const uint64_t most = (uint64_t)e->size * 1032 + 1;
        const Py_ssize_t room = (Py_ssize_t)(e->full < most ? e->full + 1 : most);
        inflated = PyObject_CallFunction(decompress, "Oin", data, -15, room);
        if (inflated == NULL && PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            PyErr_Format(damage, "%s is damaged: it does not inflate", where);
        }
    }
    Py_DECREF(data);
    return inflated;
}

/* The code of member `e`, `where` its path: a member whose size or
 * CRC-32 is not the one the archive records is damaged. */
static PyObject *code_at(const Entry *e)
{
    char where[KEY];
    Py_ssize_t used = 0;
    if (e == NULL) {
        PyErr_SetString(zip_error, "no such member");
        return NULL;
    }
    if (append(where, &used, PyString_AS_STRING(archive_path), PyString_GET_SIZE(archive_path)) ||
        append(where, &used, "/", 1) || append(where, &used, e->name, e->length)) {
        PyErr_SetString(zip_error, "a member's name is too long");
        return NULL;
    }
    PyObject *data = read_member(e, where);
    if (data != NULL && ((uint32_t)PyString_GET_SIZE(data) != e->full ||
                         zip_crc32((const unsigned char *)PyString_AS_STRING(data),
                               (size_t)PyString_GET_SIZE(data)) != e->crc)) {
        Py_CLEAR(data);
        PyErr_Format(damage, "%s is damaged: its CRC-32 is not the one recorded", where);
    }
    PyObject *co = data ? unmarshal(PyString_AS_STRING(data), PyString_GET_SIZE(data), where)
                        : NULL;
    Py_XDECREF(data);
    return co;
}

/* The last part of a dotted module name. */
static const char *last(const char *fullname)
{
    const char *dot = strrchr(fullname, '.');
    return dot ? dot + 1 : fullname;
}

/* The member of the bytecode of the module `name` in the directory of the
 * archive that the first `n` bytes of `member` name ("" or ending in
 * "/"): "DIR/NAME.pyc", else "DIR/NAME/__init__.pyc" for a package (then
 * *package is 1); NULL if there is neither. The freezer writes one of the
 * two for a name, no more. `member` receives the member's name without
 * ".pyc". */
static const Entry *lookup(char *member, Py_ssize_t n, const char *name, int *package)
{
    if (append(member, &n, name, strlen(name)) != 0)
        return NULL;
    const Py_ssize_t base = n;
    const Entry *e = NULL;
    *package = 0;
    if (append(member, &n, ".pyc", 4) == 0)
        e = find(member, (size_t)n);
    if (e == NULL) {
        *package = 1;
        n = base;
        if (append(member, &n, "/__init__.pyc", 13) == 0)
            e = find(member, (size_t)n);
    }
    if (e != NULL)
        member[n - 4] = '\0';
    return e;
}

/* True if the code's file name is the application directory, `dir` and
 * `member` with ".py": its source ships there. */
static int names(PyObject *co, const char *dir, const char *member)
{
    PyObject *name = ((PyCodeObject *)co)->co_filename;
    const Py_ssize_t h = PyString_GET_SIZE(home);
    const size_t d = strlen(dir), m = strlen(member);
    return PyString_Check(name) && (size_t)(PyString_GET_SIZE(name) - h) == d + m + 3 &&
           starts(name, PyString_AS_STRING(home), h) &&
           memcmp(PyString_AS_STRING(name) + h, dir, d) == 0 &&
           memcmp(PyString_AS_STRING(name) + h + d, member, m) == 0 &&
           memcmp(PyString_AS_STRING(name) + h + d + m, ".py", 3) == 0;
}

/* Runs `co` as the module `fullname`, as import does: with __file__
 * `file` (or the code's file name if NULL), a package whose __path__ is
 * [`entry`] if `entry` is not NULL.
 * A module already there is reused (reload); on failure it is removed
 * from sys.modules, as the interpreter removes it. */
static PyObject *execute(const char *fullname, PyObject *co, const char *file, PyObject *entry)
{
    PyObject *module = PyImport_AddModule(fullname);
    PyObject *dict = module ? PyModule_GetDict(module) : NULL;
    if (dict == NULL)
        return NULL;
    if (entry != NULL) {
        PyObject *path = Py_BuildValue("[O]", entry);
        const int failed = path == NULL || PyDict_SetItem(dict, path_name, path) != 0;
        Py_XDECREF(path);
        if (failed)
            return NULL;
    }
    return PyImport_ExecCodeModuleEx((char *)fullname, co, (char *)file);
}

typedef struct {
    PyObject_HEAD
    PyObject *finder;           /* __boot__'s finder in Python, once it runs */
    PyObject *found;            /* modules found: name -> (member, index of its
                                   entry, package, where its source lies: ""
                                   or SOURCES), None for imp, or the loader
                                   that __boot__'s finder gave */
} Finder;

static void finder_dealloc(PyObject *self)
{
    Finder *f = (Finder *)self;
    Py_XDECREF(f->finder);
    Py_XDECREF(f->found);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *boot_module;   /* __boot__, once it runs */
static int plain;               /* while set (__boot__ starts, imp is
                                   imported for it), imports are the
                                   interpreter's */

typedef struct {
    Py_tracefunc trace, profile;
    PyObject *trace_object, *profile_object;
} Tracers;

/* The tracers that quietly() put aside, which the modules that __boot__
 * runs run under (traced), while `hushed`. */
static Tracers aside;
static int hushed;

static Tracers take(void)
{
    PyThreadState *t = PyThreadState_GET();
    Tracers saved = {t->c_tracefunc, t->c_profilefunc, t->c_traceobj, t->c_profileobj};
    Py_XINCREF(saved.trace_object);
    Py_XINCREF(saved.profile_object);
    PyEval_SetTrace(NULL, NULL);
    PyEval_SetProfile(NULL, NULL);
    return saved;
}

static void put(Tracers *saved)
{
    PyEval_SetTrace(saved->trace, saved->trace_object);
    PyEval_SetProfile(saved->profile, saved->profile_object);
}

/* Calls `method` of `object` with `args` while no tracer or profiler
 * runs: __boot__ is the application's import machinery, as the
 * interpreter's own, in C, is the plain interpreter's, and tracers
 * (bdb, profilers, coverage tools) see neither. */
static PyObject *quietly(PyObject *object, const char *method, PyObject *args)
{
    Tracers outer = aside;
    aside = take();
    hushed++;
    PyObject *call = PyObject_GetAttrString(object, method);
    PyObject *result = call ? PyObject_CallObject(call, args) : NULL;
    Py_XDECREF(call);
    hushed--;
    put(&aside);
    Py_XDECREF(aside.trace_object);
    Py_XDECREF(aside.profile_object);
    aside = outer;
    return result;
}

/* Calls args[0] with the rest of `args` under the tracers that quietly()
 * put aside: __boot__ runs the code of the modules it loads so (with
 * eval), and imp's own loaders, so that tracers see the modules' code
 * run, as under the interpreter, and none of __boot__'s. */
static PyObject *boot_traced(PyObject *self, PyObject *args)
{
    (void)self;
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_TypeError, "traced() needs a callable");
        return NULL;
    }
    PyObject *rest = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
    if (rest == NULL)
        return NULL;
    if (hushed)
        put(&aside);
    PyObject *result = PyObject_CallObject(PyTuple_GET_ITEM(args, 0), rest);
    if (hushed) {
        Tracers left = take();
        Py_XDECREF(left.trace_object);
        Py_XDECREF(left.profile_object);
    }
    Py_DECREF(rest);
    return result;
}

/* Gives imp __boot__'s loaders: 0, or -1 with an exception. */
static int patch(PyObject *imp)
{
    PyObject *args = PyTuple_Pack(1, imp);
    PyObject *done = args ? quietly(boot_module, "patch", args) : NULL;
    Py_XDECREF(args);
    Py_XDECREF(done);
    return done ? 0 : -1;
}

static PyObject *execute_boot(PyObject *co, PyObject *unused)
{
    (void)unused;
    return execute("__boot__", co, NULL, NULL);
}

static PyMethodDef run_boot = {"__boot__", execute_boot, METH_NOARGS, NULL};

/* Runs __boot__ from the archive the first time this finder needs it:
 * its finder in Python answers what this one does not decide, and the
 * loaders of imp become its own. An empty program never needs it, nor
 * does a program that imports only the archive's modules and lib's
 * extension modules. 0, or -1 with an exception. */
static int boot(Finder *f)
{
    if (f->finder != NULL)
        return 0;
    const Entry *e = find("__boot__.pyc", 12);
    if (e == NULL) {
        PyErr_Format(zip_error, "%s holds no __boot__.pyc", PyString_AS_STRING(archive_path));
        return -1;
    }
    PyObject *co = code_at(e);
    if (co == NULL)
        return -1;
    PyObject *fresh = PyImport_AddModule("__boot__");
    if (fresh == NULL || PyDict_SetItemString(PyModule_GetDict(fresh), "_boot", self_module) != 0) {
        Py_DECREF(co);
        return -1;
    }
    plain = 1;
    PyObject *run = PyCFunction_New(&run_boot, co);
    PyObject *module = run ? quietly(run, "__call__", NULL) : NULL;
    plain = 0;
    Py_XDECREF(run);
    Py_DECREF(co);
    if (module == NULL)
        return -1;
    if (PyDict_DelItemString(PyImport_GetModuleDict(), "__boot__") != 0)
        PyErr_Clear();
    boot_module = module;
    PyObject *args = PyTuple_Pack(1, (PyObject *)f);
    f->finder = args ? quietly(module, "start", args) : NULL;
    Py_XDECREF(args);
    PyObject *imp = PyDict_GetItemString(PyImport_GetModuleDict(), "imp");
    return f->finder != NULL && (imp == NULL || patch(imp) == 0) ? 0 : -1;
}

/* imp, with __boot__'s loaders, for the program's first import of it. */
static PyObject *load_imp(Finder *f)
{
    if (boot(f) != 0)
        return NULL;
    PyObject *imp = PyDict_GetItemString(PyImport_GetModuleDict(), "imp");
    if (imp != NULL) {
        Py_INCREF(imp);
    } else {
        plain = 1;
        imp = PyImport_ImportModule("imp");
        plain = 0;
    }
    if (imp != NULL && patch(imp) != 0)
        Py_CLEAR(imp);
    return imp;
}

/* Names that every import looks up, each made and interned when first
 * asked for, then hashed no more. */
static PyObject *key_path, *key_meta_path, *key_path_hooks, *key_importer_cache, *key_find_module;

static PyObject *named(PyObject **key, const char *name)
{
    if (*key == NULL)
        *key = PyString_InternFromString(name);
    return *key;
}

/* What sys names `name`, borrowed, as PySys_GetObject gives it. */
static PyObject *sys_get(PyObject **key, const char *name)
{
    PyObject *sysdict = PyThreadState_GET()->interp->sysdict;
    PyObject *k = named(key, name);
    return sysdict != NULL && k != NULL ? PyDict_GetItem(sysdict, k) : NULL;
}

/* True if sys.path holds nothing but lib before the archive: the
 * application's modules come first, and this finder decides. */
static int ours_first(void)
{
    PyObject *entries = sys_get(&key_path, "path");
    if (entries == NULL || !PyList_Check(entries))
        return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); i++) {
        PyObject *e = PyList_GET_ITEM(entries, i);
        if (!PyString_Check(e))
            return 0;
        if (_PyString_Eq(e, archive_path))
            return 1;
        if (!_PyString_Eq(e, lib))
            return 0;
    }
    return 0;
}

/* The finder's answer for `fullname` from __boot__'s finder: None, this
 * finder, or a loader of its own, which this finder stands in front of, as
 * it is called quietly. */
static PyObject *ask(Finder *f, const char *fullname, PyObject *path)
{
    if (boot(f) != 0)
        return NULL;
    PyObject *args = Py_BuildValue("(sO)", fullname, path);
    PyObject *found = args ? quietly(f->finder, "find_module", args) : NULL;
    Py_XDECREF(args);
    if (found == NULL || found == Py_None || found == (PyObject *)f)
        return found;
    const int failed = PyDict_SetItemString(f->found, fullname, found) != 0;
    Py_DECREF(found);
    if (failed)
        return NULL;
    Py_INCREF(f);
    return (PyObject *)f;
}

/* If the module that `args` name was found by a loader of __boot__'s
 * finder, that loader's `method` called with `args`, in `*result`: 1;
 * else 0. */
static int foreign(Finder *f, PyObject *args, const char *method, PyObject **result)
{
    const char *fullname = name_arg(args, NULL);
    PyObject *found = fullname ? PyDict_GetItemString(f->found, fullname) : NULL;
    if (fullname == NULL) {
        *result = NULL;
        return 1;
    }
    if (found == NULL || found == Py_None || PyTuple_Check(found))
        return 0;
    Py_INCREF(found);
    if (strcmp(method, "load_module") == 0)
        PyDict_DelItemString(f->found, fullname);
    *result = quietly(found, method, args);
    Py_DECREF(found);
    return 1;
}

/* Answers for the module `fullname` whose bytecode would be the member
 * `dir` (its first `n` bytes, "" or ending in "/") and its last name:
 * this finder, which loads it, if the archive holds it, its source under
 * `sources` (SOURCES for the archive's own modules, "" for those of lib);
 * else None. */
static PyObject *claim(Finder *f, const char *fullname, const char *dir, Py_ssize_t n,
                       const char *sources)
{
    char member[KEY];
    Py_ssize_t used = 0;
    int package;
    const Entry *e;
    if (append(member, &used, dir, n) == 0 &&
        (e = lookup(member, used, last(fullname), &package)) != NULL) {
        PyObject *found = Py_BuildValue("(snis)", member, (Py_ssize_t)(e - the.entries),
                                        package, sources);
        const int failed = found == NULL || PyDict_SetItemString(f->found, fullname, found) != 0;
        Py_XDECREF(found);
        if (failed)
            return NULL;
        Py_INCREF(f);
        return (PyObject *)f;
    }
    Py_RETURN_NONE;
}

/* Answers for the module `fullname` in the directory `dir` of lib
 * (relative to the application, ending in "/"): a package of the archive,
 * whose directory is that of its sources in lib/library-source, or a
 * package of lib on disk, whose bytecode the archive holds as
 * "lib/PACKAGE/NAME.pyc", which the freezer writes only for a source that
 * the interpreter would import there. Any other name is the
 * interpreter's, which looks on disk (extension modules, bytecode without
 * source, sources that do not compile), but in lib/python2.7, whose
 * codecs it asks the finder in Python for: their bytecode names their
 * sources relative to the application. */
static PyObject *in_lib(Finder *f, const char *fullname, PyObject *path, const char *dir,
                        Py_ssize_t n)
{
    const Py_ssize_t s = sizeof SOURCES - 1;
    PyObject *found = n >= s && strncmp(dir, SOURCES, s) == 0
                          ? claim(f, fullname, dir + s, n - s, SOURCES)
                          : claim(f, fullname, dir, n, "");
    if (found != Py_None || strncmp(dir, CODECS, sizeof CODECS - 1) != 0)
        return found;
    Py_DECREF(found);
    return ask(f, fullname, path);
}

/* The answer of the first finder after this one on the meta path that
 * has one, new; None if none has. The interpreter asks the meta path
 * before the search path, whose importer this finder is: a finder that
 * the program appends comes first, as under the interpreter. */
static PyObject *after(PyObject *self, PyObject *args)
{
    PyObject *meta = sys_get(&key_meta_path, "meta_path");
    if (meta == NULL || !PyList_Check(meta) || PyList_GET_SIZE(meta) < 2)
        Py_RETURN_NONE;
    PyObject *hooks = PyList_GetSlice(meta, 0, PyList_GET_SIZE(meta));
    if (hooks == NULL)
        return NULL;
    PyObject *found = Py_None;
    Py_INCREF(found);
    int mine = 0;
    for (Py_ssize_t i = 0; found == Py_None && i < PyList_GET_SIZE(hooks); i++) {
        PyObject *hook = PyList_GET_ITEM(hooks, i);
        if (!mine) {
            mine = hook == self;
            continue;
        }
        Py_DECREF(found);
        PyObject *key = named(&key_find_module, "find_module");
        PyObject *find = key ? PyObject_GetAttr(hook, key) : NULL;
        found = find ? PyObject_CallObject(find, args) : NULL;
        Py_XDECREF(find);
        if (found == NULL)
            break;
    }
    Py_DECREF(hooks);
    return found;
}

/* The answer, new, of an importer that a path hook the program added
 * gives for an entry of a package's `path`, as the interpreter asks the
 * hooks for an entry it meets first (and caches what it found); None if
 * there is none, or it has none. */
static PyObject *hooked(const char *fullname, PyObject *path)
{
    PyObject *hooks = sys_get(&key_path_hooks, "path_hooks");
    PyObject *cache = sys_get(&key_importer_cache, "path_importer_cache");
    if (hooks == NULL || !PyList_Check(hooks) || PyList_GET_SIZE(hooks) < 2 || cache == NULL ||
        !PyDict_Check(cache) || !PyList_Check(path))
        Py_RETURN_NONE;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(path); i++) {
        PyObject *entry = PyList_GET_ITEM(path, i);
        PyObject *importer = PyDict_GetItem(cache, entry);
        Py_XINCREF(importer);
        for (Py_ssize_t h = 0; importer == NULL && h < PyList_GET_SIZE(hooks); h++) {
            importer = PyObject_CallFunctionObjArgs(PyList_GET_ITEM(hooks, h), entry, NULL);
            if (importer == NULL && !PyErr_ExceptionMatches(PyExc_ImportError))
                return NULL;
            PyErr_Clear();
        }
        if (importer == NULL) {
            importer = Py_None;
            Py_INCREF(importer);
        }
        if (PyDict_SetItem(cache, entry, importer) != 0) {
            Py_DECREF(importer);
            return NULL;
        }
        PyObject *found = Py_None;
        Py_INCREF(found);
        if (importer != Py_None &&
            strcmp(Py_TYPE(importer)->tp_name, "zipimport.zipimporter") != 0) {
            Py_DECREF(found);
            found = PyObject_CallMethod(importer, "find_module", "s", fullname);
        }
        Py_DECREF(importer);
        if (found != Py_None)
            return found;
        Py_DECREF(found);
    }
    Py_RETURN_NONE;
}

static PyObject *finder_find(PyObject *self, PyObject *args)
{
    Finder *f = (Finder *)self;
    PyObject *path;
    const char *fullname = name_arg(args, &path);
    if (fullname == NULL)
        return NULL;
    if (plain)
        Py_RETURN_NONE;
    PyObject *theirs = after(self, args);
    if (theirs == Py_None && path != Py_None) {
        Py_DECREF(theirs);
        theirs = hooked(fullname, path);
    }
    if (theirs != Py_None)
        return theirs;
    Py_DECREF(theirs);
    /* The program's first import of imp gets __boot__'s loaders. */
    if (path == Py_None && strcmp(fullname, "imp") == 0) {
        if (PyDict_SetItemString(f->found, fullname, Py_None) != 0)
            return NULL;
        Py_INCREF(self);
        return self;
    }
    /* A module of the archive's top level, or of lib's, the program's own
     * and the packages copied whole, whose bytecode the archive holds as
     * "lib/NAME.pyc". The names of the two are disjoint, as the freezer
     * writes them. Any other name of lib is the interpreter's (extension
     * modules, bytecode alone, sources that do not compile). */
    if (path == Py_None) {
        if (!ours_first())
            return ask(f, fullname, path);
        PyObject *found = claim(f, fullname, "", 0, SOURCES);
        if (found != Py_None)
            return found;
        Py_DECREF(found);
        return claim(f, fullname, RELATIVE, sizeof RELATIVE - 1, "");
    }
    PyObject *e = PyList_Check(path) && PyList_GET_SIZE(path) == 1 ? PyList_GET_ITEM(path, 0) : NULL;
    if (e == NULL || !PyString_Check(e))
        return ask(f, fullname, path);
    const Py_ssize_t h = PyString_GET_SIZE(home);
    char dir[KEY];
    Py_ssize_t n = 0;
    if (PyString_GET_SIZE(e) > PyString_GET_SIZE(lib) + 1 &&
        starts(e, PyString_AS_STRING(lib), PyString_GET_SIZE(lib)) &&
        PyString_AS_STRING(e)[PyString_GET_SIZE(lib)] == '/' &&
        append(dir, &n, PyString_AS_STRING(e) + h, PyString_GET_SIZE(e) - h) == 0 &&
        append(dir, &n, "/", 1) == 0)
        return in_lib(f, fullname, path, dir, n);
    return ask(f, fullname, path);
}

/* A module of the archive's top level, for the finder in Python, which
 * meets the archive on a path the program changed: this finder, or None. */
static PyObject *finder_claim(PyObject *self, PyObject *args)
{
    const char *fullname = name_arg(args, NULL);
    return fullname == NULL ? NULL : claim((Finder *)self, fullname, "", 0, SOURCES);
}

/* What find_module recorded of `fullname`, borrowed, as its parts; None
 * for imp. */
static PyObject *recorded(Finder *f, PyObject *args, const char **member, const Entry **entry,
                          int *package, const char **sources)
{
    *member = *sources = "";
    *entry = NULL;
    *package = 0;
    const char *fullname = name_arg(args, NULL);
    if (fullname == NULL)
        return NULL;
    PyObject *found = PyDict_GetItemString(f->found, fullname);
    if (found == NULL || (found != Py_None && !PyTuple_Check(found))) {
        PyErr_Format(PyExc_ImportError, "%s was not found by this finder", fullname);
        return NULL;
    }
    if (found == Py_None)
        return found;
    *member = PyString_AS_STRING(PyTuple_GET_ITEM(found, 0));
    *entry = &the.entries[PyInt_AS_LONG(PyTuple_GET_ITEM(found, 1))];
    *package = PyInt_AS_LONG(PyTuple_GET_ITEM(found, 2)) != 0;
    *sources = PyString_AS_STRING(PyTuple_GET_ITEM(found, 3));
    return found;
}

/* The source file of a recorded module in `file`: 0, or -1 with an
 * exception. */
static int source_of(char *file, const char *sources, const char *member)
{
    Py_ssize_t used = 0;
    if (append(file, &used, PyString_AS_STRING(home), PyString_GET_SIZE(home)) != 0 ||
        append(file, &used, sources, strlen(sources)) != 0 ||
        append(file, &used, member, strlen(member)) != 0 || append(file, &used, ".py", 3) != 0) {
        PyErr_Format(PyExc_ImportError, "name too long: %s", member);
        return -1;
    }
    return 0;
}

/* Runs a module that find_module found: its bytecode from the archive,
 * with __file__ its source, where one ships, else the bytecode's path in
 * the archive, and a package's __path__ the directory of its sources, as
 * the interpreter runs a module of a directory. */
static PyObject *finder_load(PyObject *self, PyObject *args)
{
    Finder *f = (Finder *)self;
    const char *m, *sources;
    const Entry *at;
    int package;
    PyObject *result;
    if (foreign(f, args, "load_module", &result))
        return result;
    PyObject *found = recorded(f, args, &m, &at, &package, &sources);
    if (found == NULL)
        return NULL;
    Py_INCREF(found);
    PyDict_DelItemString(f->found, PyString_AS_STRING(PyTuple_GET_ITEM(args, 0)));
    if (found == Py_None) {
        Py_DECREF(found);
        return load_imp(f);
    }
    char file[KEY];
    PyObject *co = code_at(at);
    PyObject *entry = NULL, *module = NULL;
    if (co == NULL || source_of(file, sources, m) != 0)
        goto done;
    /* A package's entry: its directory, the file without "/__init__.py". */
    if (package && (entry = PyString_FromStringAndSize(file, (Py_ssize_t)strlen(file) - 12)) == NULL)
        goto done;
    if (!names(co, sources, m)) {
        /* No source: the bytecode's path in the archive. */
        Py_ssize_t used = 0;
        if (append(file, &used, PyString_AS_STRING(archive_path), PyString_GET_SIZE(archive_path)) != 0 ||
            append(file, &used, "/", 1) != 0 || append(file, &used, m, strlen(m)) != 0 ||
            append(file, &used, ".pyc", 4) != 0) {
            PyErr_Format(PyExc_ImportError, "name too long: %s", m);
            goto done;
        }
    }
    module = execute(PyString_AS_STRING(PyTuple_GET_ITEM(args, 0)), co,
                     names(co, sources, m) ? NULL : file, entry);
done:
    Py_XDECREF(entry);
    Py_XDECREF(co);
    Py_DECREF(found);
    return module;
}

/* What runpy and pkgutil ask of a loader, after find_module. */

static PyObject *finder_get_code(PyObject *self, PyObject *args)
{
    const char *m, *sources;
    const Entry *at;
    int package;
    PyObject *result;
    if (foreign((Finder *)self, args, "get_code", &result))
        return result;
    PyObject *found = recorded((Finder *)self, args, &m, &at, &package, &sources);
    if (found == Py_None)
        Py_RETURN_NONE;
    return found ? code_at(at) : NULL;
}

/* The source file of the module that `args` name, which find_module
 * recorded, in `file`: 0, or -1 with an exception. */
static int recorded_source(PyObject *self, PyObject *args, char *file)
{
    const char *m, *sources;
    const Entry *at;
    int package;
    PyObject *found = recorded((Finder *)self, args, &m, &at, &package, &sources);
    if (found == Py_None)
        PyErr_SetString(PyExc_ImportError, "imp is a built-in module");
    if (found == NULL || found == Py_None)
        return -1;
    return source_of(file, sources, m);
}

static PyObject *finder_get_filename(PyObject *self, PyObject *args)
{
    char file[KEY];
    PyObject *result;
    if (foreign((Finder *)self, args, "get_filename", &result))
        return result;
    return recorded_source(self, args, file) == 0 ? PyString_FromString(file) : NULL;
}

static PyObject *finder_is_package(PyObject *self, PyObject *args)
{
    const char *m, *sources;
    const Entry *at;
    int package = 0;
    PyObject *result;
    if (foreign((Finder *)self, args, "is_package", &result))
        return result;
    PyObject *found = recorded((Finder *)self, args, &m, &at, &package, &sources);
    return found ? PyBool_FromLong(package) : NULL;
}

/* The bytes of the file at `path`, as a loader's get_data gives them. */
static PyObject *read_file(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (file == NULL)
        return PyErr_SetFromErrnoWithFilename(PyExc_IOError, (char *)path);
    PyObject *data = PyFile_FromFile(file, (char *)path, "rb", fclose);
    if (data == NULL)
        return NULL;
    PyObject *bytes = PyObject_CallMethod(data, "read", NULL);
    Py_DECREF(data);
    return bytes;
}

static PyObject *finder_get_source(PyObject *self, PyObject *args)
{
    char file[KEY];
    PyObject *result;
    if (foreign((Finder *)self, args, "get_source", &result))
        return result;
    if (recorded_source(self, args, file) != 0)
        return NULL;
    PyObject *text = read_file(file);
    if (text == NULL && PyErr_ExceptionMatches(PyExc_IOError)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return text;
}

static PyObject *finder_get_data(PyObject *self, PyObject *args)
{
    (void)self;
    const char *path;
    if (!PyArg_ParseTuple(args, "s:get_data", &path))
        return NULL;
    return read_file(path);
}

static PyMethodDef finder_methods[] = {
    {"find_module", finder_find, METH_VARARGS, "The loader of a module of the application."},
    {"load_module", finder_load, METH_VARARGS, "Runs a module that it found."},
    {"claim", finder_claim, METH_VARARGS, "Finds a module of the archive's top level."},
    {"get_code", finder_get_code, METH_VARARGS, "The code of a module that it found."},
    {"get_filename", finder_get_filename, METH_VARARGS, "The file of a module that it found."},
    {"is_package", finder_is_package, METH_VARARGS, "Whether a module it found is a package."},
    {"get_source", finder_get_source, METH_VARARGS, "The source of a module that it found."},
    {"get_data", finder_get_data, METH_VARARGS, "The bytes of a file."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject finder_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "_boot.Finder",
    .tp_basicsize = sizeof(Finder),
    .tp_dealloc = finder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Finds the modules of the application for the meta path.",
    .tp_methods = finder_methods,
};


/* The code of a member of the archive, by its name, as code_at reads it. */
static PyObject *boot_member(PyObject *self, PyObject *args)
{
    (void)self;
    const char *name;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "s#:member", &name, &n))
        return NULL;
    const Entry *e = find(name, (size_t)n);
    if (e == NULL) {
        PyErr_Format(zip_error, "no member %s", name);
        return NULL;
    }
    return code_at(e);
}

static PyObject *boot_holds(PyObject *self, PyObject *args)
{
    (void)self;
    const char *name;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "s#:holds", &name, &n))
        return NULL;
    return PyBool_FromLong(find(name, (size_t)n) != NULL);
}

/* Sets the environment variables that tell bundled libraries where their
 * files are, ((name, path relative to the application) pairs), in the
 * process and in posix.environ if it is there already; else it reads
 * them when it is imported. 0, or -1 with an exception. */
static int set_environment(PyObject *environment)
{
    PyObject *pairs = PySequence_Fast(environment, "the environment is no sequence");
    if (pairs == NULL)
        return -1;
    PyObject *posix = PyDict_GetItemString(PyImport_GetModuleDict(), "posix");
    PyObject *environ = posix ? PyObject_GetAttrString(posix, "environ") : NULL;
    int failed = posix != NULL && environ == NULL;
    for (Py_ssize_t i = 0; !failed && i < PySequence_Fast_GET_SIZE(pairs); i++) {
        const char *name, *path;
        PyObject *value = NULL;
        failed = !PyArg_ParseTuple(PySequence_Fast_GET_ITEM(pairs, i), "ss", &name, &path) ||
                 (value = PyString_FromFormat("%s%s", PyString_AS_STRING(home), path)) == NULL ||
                 setenv(name, PyString_AS_STRING(value), 1) != 0 ||
                 (environ != NULL && PyObject_SetItem(environ, PyTuple_GET_ITEM(
                                         PySequence_Fast_GET_ITEM(pairs, i), 0), value) != 0);
        Py_XDECREF(value);
    }
    if (failed && !PyErr_Occurred())
        PyErr_SetFromErrno(PyExc_OSError);
    Py_XDECREF(environ);
    Py_DECREF(pairs);
    return failed ? -1 : 0;
}

/* Takes over the imports of the application's modules: `environment`
 * set, the codecs settled, the finder first on the meta path, and
 * lib/library-source last on sys.path: the archive's modules are found
 * first, and tools that look for a module's source file (linters) find
 * it there. The finder, or NULL with an exception. */
static Finder *take_over(PyObject *environment)
{
    Finder *f = NULL;
    PyObject *sources = NULL;
    PyObject *meta = PySys_GetObject("meta_path"), *path = PySys_GetObject("path");
    if (meta == NULL || !PyList_Check(meta) || path == NULL || !PyList_Check(path)) {
        PyErr_SetString(PyExc_ImportError, "_boot: sys.meta_path or sys.path is no list");
        return NULL;
    }
    if (set_environment(environment) != 0 || no_user_site() != 0 || settle() != 0 ||
        open_archive() != 0 ||
        (f = PyObject_New(Finder, &finder_type)) == NULL)
        goto failed;
    f->finder = NULL;
    if ((f->found = PyDict_New()) == NULL ||
        (sources = PyString_FromFormat("%s" SOURCES, PyString_AS_STRING(home))) == NULL ||
        _PyString_Resize(&sources, PyString_GET_SIZE(sources) - 1) != 0 ||
        PyList_Insert(meta, 0, (PyObject *)f) != 0 || PyList_Append(path, sources) != 0)
        goto failed;
    Py_DECREF(sources);
    return f;
failed:
    Py_XDECREF(sources);
    Py_XDECREF(f);
    return NULL;
}

/* What lib/__startup__ calls: takes over the imports and sets
 * `environment`, then runs the program's own __startup__ code in
 * `namespace`, __startup__'s, here: no frame stands between them. Its
 * file lies in lib beside SOURCE's other files, as far as
 * dirname(__file__) tells. _boot does not stay in sys.modules. */
static PyObject *boot_run(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *namespace, *environment;
    if (!PyArg_ParseTuple(args, "O!O:run", &PyDict_Type, &namespace, &environment))
        return NULL;
    static Finder *finder;
    if (finder == NULL) {
        if ((finder = take_over(environment)) == NULL)
            return NULL;
        /* site, where the program ships it, makes exit() and quit() itself. */
        if (!(find("site.pyc", 8) != NULL && import_site() == 0) && quitters() != 0)
            return NULL;
    }
    const Entry *e = find("__startup__.app", 15);
    PyObject *body = e ? code_at(e) : NULL;
    PyObject *file = PyString_FromFormat("%slib/__startup__.py", PyString_AS_STRING(home));
    PyObject *result = NULL;
    if (e == NULL)
        PyErr_Format(zip_error, "%s holds no __startup__.app", PyString_AS_STRING(archive_path));
    if (body != NULL && file != NULL && PyDict_SetItem(namespace, file_name, file) == 0 &&
        (PyDict_DelItemString(PyImport_GetModuleDict(), "_boot") == 0 || (PyErr_Clear(), 1)))
        result = PyEval_EvalCode((PyCodeObject *)body, namespace, namespace);
    Py_XDECREF(file);
    Py_XDECREF(body);
    return result;
}

/* imp.load_module and imp.load_source, once the program imports imp:
 * __boot__'s, called quietly. */
/* imp's own `name`, with `args`, for a file outside the application,
 * which __boot__ has nothing to do with: no frame of it stands in a
 * traceback of that file's code. Else __boot__'s, quietly. */
static PyObject *load(const char *name, PyObject *args, Py_ssize_t at)
{
    PyObject *pathname = PyTuple_Size(args) > at ? PyTuple_GET_ITEM(args, at) : NULL;
    if (pathname == NULL || !PyString_Check(pathname) ||
        starts(pathname, PyString_AS_STRING(home), PyString_GET_SIZE(home)))
        return quietly(boot_module, name, args);
    PyObject *originals = PyObject_GetAttrString(boot_module, "ORIGINAL");
    PyObject *original = originals && PyDict_Check(originals)
                             ? PyDict_GetItemString(originals, name) : NULL;
    Py_XINCREF(original);
    Py_XDECREF(originals);
    if (original == NULL) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "imp.%s is not there", name);
        return NULL;
    }
    PyObject *result = PyObject_CallObject(original, args);
    Py_DECREF(original);
    return result;
}

static PyObject *boot_load_module(PyObject *self, PyObject *args)
{
    (void)self;
    return load("load_module", args, 2);
}

static PyObject *boot_load_source(PyObject *self, PyObject *args)
{
    (void)self;
    return load("load_source", args, 1);
}

static PyMethodDef functions[] = {
    {"load_module", boot_load_module, METH_VARARGS, "imp.load_module, the application's."},
    {"load_source", boot_load_source, METH_VARARGS, "imp.load_source, the application's."},
    {"traced", boot_traced, METH_VARARGS, "Calls a loader under the program's tracers."},
    {"run", boot_run, METH_VARARGS, "Runs the program's __startup__ code, the finder in place."},
    {"code", boot_code, METH_VARARGS, "The code in bytecode, its file names made absolute."},
    {"member", boot_member, METH_VARARGS, "The code of a member of the archive, checked."},
    {"holds", boot_holds, METH_VARARGS, "True if the archive holds a member of that name."},
    {NULL, NULL, 0, NULL},
};

/* Takes lib and the archive as the launcher has them; 0, or -1 with an
 * exception set. */
static int setup(void)
{
    PyObject *path = PySys_GetObject("path");
    if (path == NULL || !PyList_Check(path) || PyList_GET_SIZE(path) < 2 ||
        !PyString_Check(PyList_GET_ITEM(path, 0)) || !PyString_Check(PyList_GET_ITEM(path, 1)) ||
        PyString_GET_SIZE(PyList_GET_ITEM(path, 0)) < 3) {
        PyErr_SetString(PyExc_ImportError, "_boot: sys.path is not the launcher's");
        return -1;
    }
    lib = PyList_GET_ITEM(path, 0);
    archive_path = PyList_GET_ITEM(path, 1);
    Py_INCREF(lib);
    Py_INCREF(archive_path);
    home = PyString_FromStringAndSize(PyString_AS_STRING(lib), PyString_GET_SIZE(lib) - 3);
    path_name = PyString_InternFromString("__path__");
    file_name = PyString_InternFromString("__file__");
    /* The interpreter imported zipimport as it started. */
    PyObject *zipimport = PyDict_GetItemString(PyImport_GetModuleDict(), "zipimport");
    if (home == NULL || path_name == NULL || file_name == NULL)
        return -1;
    zip_error = zipimport ? PyObject_GetAttrString(zipimport, "ZipImportError") : PyExc_ImportError;
    if (zip_error == NULL)
        return -1;
    if (zipimport == NULL)
        Py_INCREF(zip_error);
    return PyType_Ready(&finder_type) < 0 ? -1 : 0;
}

PyMODINIT_FUNC init_boot(void)
{
    if (setup() != 0)
        return;
    PyObject *m = Py_InitModule3("_boot", functions, "The application's importers, in C.");
    if (m == NULL)
        return;
    self_module = m;
    Py_INCREF(m);
    Py_INCREF(lib);
    Py_INCREF(archive_path);
    PyModule_AddObject(m, "LIB", lib);
    PyModule_AddObject(m, "ARCHIVE", archive_path);
}
