/*
 * _boot: the part of __boot__ that every import passes through, in C. A
 * large program imports hundreds of modules at start, and the same steps
 * written in Python took longer than the plain interpreter's whole import
 * of them; and in C they leave no frames in tracebacks and no events for
 * tracers.
 *
 * It ships in lib of every application and is imported by the archive's
 * __startup__ while sys.path is still the launcher's two entries: lib,
 * then the archive.
 *
 *   boot()          runs __boot__ from the archive, checked as every
 *                   member is (code_at), and returns it.
 *   code(data, where)
 *                   the code in bytecode `data` (a .pyc: eight bytes of
 *                   header, then the marshalled code), read from `where`,
 *                   its file names that are relative to the application
 *                   directory ("lib/...") made absolute.
 *   member(archive, name)
 *                   the code of a member of the archive, checked.
 *   settle()        makes those of the functions of the modules that the
 *                   interpreter imported from lib/python2.7 before
 *                   __boot__ took over, and of their classes' methods,
 *                   absolute.
 *   Archive         zipimport's importer, whose table it reads.
 *   Finder(finder)  the one finder on the meta path. It finds and loads
 *                   - a module of the archive's top level, when sys.path
 *                     holds nothing but lib before the archive, and a
 *                     module of a package of the archive, whose __path__
 *                     is the directory of its sources in
 *                     lib/library-source: as the interpreter loads a
 *                     module of a directory, with __file__ its source and
 *                     no __loader__, so that pkgutil, pkg_resources and
 *                     imp.find_module see the directory they expect. A
 *                     package of the archive holds nothing else: a name
 *                     it lacks is not found;
 *                   - a module of a package of lib on disk whose
 *                     bytecode the archive holds, as "lib/PATH.pyc". Any
 *                     other name of such a package it leaves to the
 *                     interpreter, which looks on disk (extension modules,
 *                     bytecode alone, sources that do not compile);
 *                   and asks `finder`, __boot__'s finder in Python, for
 *                   the rest: the modules of lib's top level, the codecs
 *                   of lib/python2.7, paths that the program changed. It
 *                   answers runpy and pkgutil as a loader does.
 *
 * Every member is checked against the CRC-32 that the archive records and
 * the interpreter's magic number before it runs: a damaged archive fails
 * with a message, never a signal. The names of lib's top level and those
 * of the archive's are disjoint, as the freezer writes them, so a module
 * of the archive is taken without looking into lib first.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>
#include <structmember.h>

#include <errno.h>
#include <fcntl.h>
#include <immintrin.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#define SOURCES "lib/library-source/"
#define RELATIVE "lib/"         /* how file names relative to home begin */
#define CODECS RELATIVE "python2.7/" /* the codecs the interpreter starts with */
#define KEY 4097                /* room for a member's name, as import.c's */
#define LOCAL_HEADER 30         /* bytes of a zip member's local header */
#define LOCAL_SIGNATURE 0x04034b50UL

static PyObject *lib;           /* sys.path[0]: the application's lib */
static PyObject *archive;       /* sys.path[1]: lib/library.zip */
static PyObject *home;          /* the application directory, ending in "/" */
static PyObject *zip_error;     /* zipimport.ZipImportError */
static PyObject *path_name;     /* "__path__", interned */
/* Where a zipimporter keeps its path, its prefix in the archive and the
 * archive's table, as zipimport declares them. */
static Py_ssize_t archive_at, prefix_at, files_at;

#define FIELD(importer, at) (*(PyObject **)((char *)(importer) + (at)))

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
        PyErr_Format(PyExc_ImportError, "bad marshal data in %s", where);
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

/* Settles the modules that the interpreter imported from lib/python2.7. */
static PyObject *boot_settle(PyObject *self, PyObject *args)
{
    (void)self;
    (void)args;
    PyObject *modules = PyImport_GetModuleDict();
    const Py_ssize_t h = PyString_GET_SIZE(home);
    Py_ssize_t i = 0;
    PyObject *key, *module;
    while (PyDict_Next(modules, &i, &key, &module)) {
        PyObject *dict = PyModule_Check(module) ? PyModule_GetDict(module) : NULL;
        PyObject *file = dict ? PyDict_GetItemString(dict, "__file__") : NULL;
        if (file == NULL || !PyString_Check(file) || !starts(file, PyString_AS_STRING(home), h) ||
            strncmp(PyString_AS_STRING(file) + h, CODECS, sizeof CODECS - 1) != 0)
            continue;
        PyObject *from = NULL, *to = NULL;
        const int failed = settle_module(dict, &from, &to);
        Py_XDECREF(from);
        Py_XDECREF(to);
        if (failed)
            return NULL;
    }
    Py_RETURN_NONE;
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

/* The bytes of the stored member described by `toc`, an entry of
 * zipimport's table: (path, compression, size, file size, offset of the
 * local header, ...). The archive is opened for each read: a descriptor
 * kept open could be closed, or replaced, by the program. */
static PyObject *read_stored(PyObject *toc)
{
    const long size = PyInt_AsLong(PyTuple_GET_ITEM(toc, 2));
    const long offset = PyInt_AsLong(PyTuple_GET_ITEM(toc, 4));
    if (PyErr_Occurred())
        return NULL;
    const int fd = open(PyString_AS_STRING(archive), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        PyErr_Format(zip_error, "can't open Zip file: '%s'", PyString_AS_STRING(archive));
        return NULL;
    }
    unsigned char h[LOCAL_HEADER];
    PyObject *data = NULL;
    if (size >= 0 && offset >= 0 && read_at(fd, (char *)h, LOCAL_HEADER, offset) == 0 &&
        (h[0] | h[1] << 8 | h[2] << 16 | (unsigned long)h[3] << 24) == LOCAL_SIGNATURE) {
        const long start = offset + LOCAL_HEADER + (h[26] | h[27] << 8) + (h[28] | h[29] << 8);
        data = PyString_FromStringAndSize(NULL, size);
        if (data != NULL && read_at(fd, PyString_AS_STRING(data), size, start) != 0)
            Py_CLEAR(data);
    }
    close(fd);
    if (data == NULL && !PyErr_Occurred())
        PyErr_Format(zip_error, "bad local file header in %s", PyString_AS_STRING(archive));
    return data;
}

/* The last part of a dotted module name. */
static const char *last(const char *fullname)
{
    const char *dot = strrchr(fullname, '.');
    return dot ? dot + 1 : fullname;
}

/* The entry of zipimport's table `files` for the member `member`, `*used`
 * bytes long, followed by `suffix` and ".pyc", borrowed; NULL if there is
 * none, with an exception only on failure. `member` keeps `suffix`. */
static PyObject *member_entry(PyObject *files, char *member, Py_ssize_t *used, const char *suffix)
{
    if (append(member, used, suffix, strlen(suffix)) != 0 || append(member, used, ".pyc", 4) != 0)
        return NULL;
    PyObject *key = PyString_FromStringAndSize(member, *used);
    if (key == NULL)
        return NULL;
    PyObject *toc = PyDict_GetItem(files, key);
    Py_DECREF(key);
    *used -= 4;
    member[*used] = '\0';
    return toc;
}

/* The last module found: the finder looks it up, and its loader at once
 * again. */
static struct {
    PyObject *files;            /* the table it was found in */
    PyObject *toc;              /* its entry there */
    int package;
    Py_ssize_t base;            /* bytes of DIR/NAME */
    Py_ssize_t used;            /* bytes of its member */
    char member[KEY];           /* its member, without ".pyc" */
} found_last;

/* The entry of zipimport's table `files` for the bytecode of the module
 * `name` in the directory of the archive that the first `n` bytes of
 * `member` name ("" or ending in "/"), borrowed: "DIR/NAME.pyc", else
 * "DIR/NAME/__init__.pyc" for a package (then *package is 1); NULL if
 * there is neither, with an exception only on failure. The freezer writes
 * one of the two for a name, no more. `member` receives the member's name
 * without ".pyc". */
static PyObject *lookup(PyObject *files, char *member, Py_ssize_t n, const char *name,
                        int *package)
{
    if (append(member, &n, name, strlen(name)) != 0)
        return NULL;
    const Py_ssize_t base = n;
    if (files == found_last.files && base == found_last.base &&
        memcmp(member, found_last.member, base) == 0) {
        memcpy(member + base, found_last.member + base, found_last.used - base + 1);
        *package = found_last.package;
        return found_last.toc;
    }
    *package = 0;
    PyObject *toc = member_entry(files, member, &n, "");
    if (toc == NULL && !PyErr_Occurred()) {
        *package = 1;
        n = base;
        member[n] = '\0';
        toc = member_entry(files, member, &n, "/__init__");
    }
    if (toc != NULL) {
        Py_INCREF(files);
        Py_INCREF(toc);
        Py_XDECREF(found_last.files);
        Py_XDECREF(found_last.toc);
        found_last.files = files;
        found_last.toc = toc;
        found_last.package = *package;
        found_last.base = base;
        found_last.used = n;
        memcpy(found_last.member, member, n + 1);
    }
    return toc;
}

/* The CRC-32 of zip archives, eight bytes a step; `clmul` where the
 * processor multiplies without carries (crc_fold). */
static uint32_t crc_table[8][256];
static int clmul;

static void crc_setup(void)
{
    __builtin_cpu_init();
    clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xedb88320U ^ (c >> 1) : c >> 1;
        crc_table[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++) {
        for (int t = 1; t < 8; t++)
            crc_table[t][i] = crc_table[0][crc_table[t - 1][i] & 0xff] ^ (crc_table[t - 1][i] >> 8);
    }
}

/* With carry-less multiplication, where the processor has it: 64 bytes
 * folded a step, as Intel's "Fast CRC Computation for Generic Polynomials
 * Using PCLMULQDQ Instruction" describes it, for the reflected polynomial
 * 0xedb88320. `c` is the running value; `n` is at least 64 and a multiple
 * of 16. Every member read at start is checked: this takes a tenth of the
 * instructions that tables take. */

__attribute__((target("pclmul,sse4.1"))) static uint32_t crc_fold(uint32_t c,
                                                                   const unsigned char *p,
                                                                   size_t n)
{
    static const uint64_t k1k2[2] = {0x0154442bd4ULL, 0x01c6e41596ULL};
    static const uint64_t k3k4[2] = {0x01751997d0ULL, 0x00ccaa009eULL};
    static const uint64_t k5k0[2] = {0x0163cd6124ULL, 0};
    static const uint64_t poly[2] = {0x01db710641ULL, 0x01f7011641ULL};
    __m128i x1 = _mm_loadu_si128((const __m128i *)p);
    __m128i x2 = _mm_loadu_si128((const __m128i *)(p + 16));
    __m128i x3 = _mm_loadu_si128((const __m128i *)(p + 32));
    __m128i x4 = _mm_loadu_si128((const __m128i *)(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128((int)c));
    __m128i k = _mm_loadu_si128((const __m128i *)k1k2);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        const __m128i l1 = _mm_clmulepi64_si128(x1, k, 0x00);
        const __m128i l2 = _mm_clmulepi64_si128(x2, k, 0x00);
        const __m128i l3 = _mm_clmulepi64_si128(x3, k, 0x00);
        const __m128i l4 = _mm_clmulepi64_si128(x4, k, 0x00);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11), l1),
                           _mm_loadu_si128((const __m128i *)p));
        x2 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x2, k, 0x11), l2),
                           _mm_loadu_si128((const __m128i *)(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x3, k, 0x11), l3),
                           _mm_loadu_si128((const __m128i *)(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x4, k, 0x11), l4),
                           _mm_loadu_si128((const __m128i *)(p + 48)));
    }
    /* Four 128-bit values into one, then the 16-byte blocks left. */
    k = _mm_loadu_si128((const __m128i *)k3k4);
    const __m128i rest[3] = {x2, x3, x4};
    for (int i = 0; i < 3; i++)
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11), rest[i]),
                           _mm_clmulepi64_si128(x1, k, 0x00));
    for (; n >= 16; p += 16, n -= 16)
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11),
                                         _mm_loadu_si128((const __m128i *)p)),
                           _mm_clmulepi64_si128(x1, k, 0x00));
    /* 128 bits to 64, then Barrett's reduction to 32. */
    const __m128i low = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadu_si128((const __m128i *)k5k0);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low), k, 0x00), x2);
    k = _mm_loadu_si128((const __m128i *)poly);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low), k, 0x00);
    return (uint32_t)_mm_extract_epi32(_mm_xor_si128(x1, x2), 1);
}

static uint32_t crc32(const unsigned char *p, size_t n)
{
    uint32_t c = 0xffffffffU;
    if (clmul && n >= 64) {
        const size_t folded = n & ~(size_t)15;
        c = crc_fold(c, p, folded);
        p += folded;
        n -= folded;
    }
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t a = c ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                                (uint32_t)p[3] << 24);
        c = crc_table[7][a & 0xff] ^ crc_table[6][a >> 8 & 0xff] ^ crc_table[5][a >> 16 & 0xff] ^
            crc_table[4][a >> 24] ^ crc_table[3][p[4]] ^ crc_table[2][p[5]] ^ crc_table[1][p[6]] ^
            crc_table[0][p[7]];
    }
    while (n-- > 0)
        c = crc_table[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffU;
}

/* The code of the member at `toc` of `importer`'s archive: a stored
 * member read here, any other decompressed by zipimport; a member whose
 * CRC-32 is not the one the archive records is damaged. */
static PyObject *code_at(PyObject *importer, PyObject *toc)
{
    if (!PyTuple_Check(toc) || PyTuple_GET_SIZE(toc) < 8 ||
        !PyString_Check(PyTuple_GET_ITEM(toc, 0))) {
        PyErr_SetString(zip_error, "bad entry in the archive's table");
        return NULL;
    }
    const char *where = PyString_AS_STRING(PyTuple_GET_ITEM(toc, 0));
    const unsigned long recorded = PyInt_AsUnsignedLongMask(PyTuple_GET_ITEM(toc, 7)) & 0xffffffffUL;
    PyObject *data = PyInt_AsLong(PyTuple_GET_ITEM(toc, 1)) == 0
                         ? read_stored(toc)
                         : PyObject_CallMethod(importer, "get_data", "O", PyTuple_GET_ITEM(toc, 0));
    if (data != NULL && (!PyString_Check(data) ||
                         crc32((const unsigned char *)PyString_AS_STRING(data),
                               (size_t)PyString_GET_SIZE(data)) != recorded)) {
        Py_CLEAR(data);
        PyErr_Format(zip_error, "%s is damaged: its CRC-32 is not the one recorded", where);
    }
    PyObject *co = data ? unmarshal(PyString_AS_STRING(data), PyString_GET_SIZE(data), where)
                        : NULL;
    Py_XDECREF(data);
    return co;
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
 * [`entry`] if `entry` is not NULL, with __loader__ `loader` if not NULL.
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

static PyTypeObject archive_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "_boot.Archive",
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "zipimport's importer, whose table and bytecode _boot reads.",
};

typedef struct {
    PyObject_HEAD
    PyObject *finder;           /* __boot__'s finder in Python */
    PyObject *archive;          /* the archive's importer: finder.archive */
    PyObject *found;            /* modules found: name -> (member, entry of
                                   the archive's table, package, where its
                                   source lies: "" or SOURCES) */
} Finder;

static int finder_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Finder *f = (Finder *)self;
    PyObject *finder;
    (void)kwargs;
    if (!PyArg_ParseTuple(args, "O:Finder", &finder))
        return -1;
    PyObject *archive = PyObject_GetAttrString(finder, "archive");
    if (archive == NULL)
        return -1;
    if (!PyObject_TypeCheck(archive, &archive_type) || !PyDict_Check(FIELD(archive, files_at))) {
        Py_DECREF(archive);
        PyErr_SetString(PyExc_TypeError, "finder.archive is no _boot.Archive");
        return -1;
    }
    PyObject *found = PyDict_New();
    if (found == NULL) {
        Py_DECREF(archive);
        return -1;
    }
    Py_INCREF(finder);
    Py_CLEAR(f->finder);
    Py_CLEAR(f->archive);
    Py_CLEAR(f->found);
    f->finder = finder;
    f->archive = archive;
    f->found = found;
    return 0;
}

static void finder_dealloc(PyObject *self)
{
    Finder *f = (Finder *)self;
    Py_XDECREF(f->finder);
    Py_XDECREF(f->archive);
    Py_XDECREF(f->found);
    Py_TYPE(self)->tp_free(self);
}

/* True if sys.path holds nothing but lib before the archive: the
 * application's modules come first, and this finder decides. */
static int ours_first(void)
{
    PyObject *entries = PySys_GetObject("path");
    if (entries == NULL || !PyList_Check(entries))
        return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); i++) {
        PyObject *e = PyList_GET_ITEM(entries, i);
        if (!PyString_Check(e))
            return 0;
        if (_PyString_Eq(e, archive))
            return 1;
        if (!_PyString_Eq(e, lib))
            return 0;
    }
    return 0;
}

static PyObject *ask(Finder *f, const char *fullname, PyObject *path)
{
    return PyObject_CallMethod(f->finder, "find_module", "sO", fullname, path);
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
    PyObject *toc;
    if (append(member, &used, dir, n) == 0 &&
        (toc = lookup(FIELD(f->archive, files_at), member, used, last(fullname),
                      &package)) != NULL) {
        PyObject *found = Py_BuildValue("(sOis)", member, toc, package, sources);
        const int failed = found == NULL || PyDict_SetItemString(f->found, fullname, found) != 0;
        Py_XDECREF(found);
        if (failed)
            return NULL;
        Py_INCREF(f);
        return (PyObject *)f;
    }
    if (PyErr_Occurred())
        return NULL;
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

static PyObject *finder_find(PyObject *self, PyObject *args)
{
    Finder *f = (Finder *)self;
    PyObject *path;
    const char *fullname = name_arg(args, &path);
    if (fullname == NULL)
        return NULL;
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

/* What find_module recorded of `fullname`, borrowed, as its parts. */
static PyObject *recorded(Finder *f, PyObject *args, const char **member, int *package,
                          const char **sources)
{
    const char *fullname = name_arg(args, NULL);
    if (fullname == NULL)
        return NULL;
    PyObject *found = PyDict_GetItemString(f->found, fullname);
    if (found == NULL) {
        PyErr_Format(PyExc_ImportError, "%s was not found by this finder", fullname);
        return NULL;
    }
    *member = PyString_AS_STRING(PyTuple_GET_ITEM(found, 0));
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
    int package;
    PyObject *found = recorded(f, args, &m, &package, &sources);
    if (found == NULL)
        return NULL;
    Py_INCREF(found);
    PyDict_DelItemString(f->found, PyString_AS_STRING(PyTuple_GET_ITEM(args, 0)));
    char file[KEY];
    PyObject *co = code_at(f->archive, PyTuple_GET_ITEM(found, 1));
    PyObject *entry = NULL, *module = NULL;
    if (co == NULL || source_of(file, sources, m) != 0)
        goto done;
    /* A package's entry: its directory, the file without "/__init__.py". */
    if (package && (entry = PyString_FromStringAndSize(file, (Py_ssize_t)strlen(file) - 12)) == NULL)
        goto done;
    if (!names(co, sources, m)) {
        /* No source: the bytecode's path in the archive. */
        Py_ssize_t used = 0;
        if (append(file, &used, PyString_AS_STRING(archive), PyString_GET_SIZE(archive)) != 0 ||
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
    int package;
    PyObject *found = recorded((Finder *)self, args, &m, &package, &sources);
    return found ? code_at(((Finder *)self)->archive, PyTuple_GET_ITEM(found, 1)) : NULL;
}

/* The source file of the module that `args` name, which find_module
 * recorded, in `file`: 0, or -1 with an exception. */
static int recorded_source(PyObject *self, PyObject *args, char *file)
{
    const char *m, *sources;
    int package;
    if (recorded((Finder *)self, args, &m, &package, &sources) == NULL)
        return -1;
    return source_of(file, sources, m);
}

static PyObject *finder_get_filename(PyObject *self, PyObject *args)
{
    char file[KEY];
    return recorded_source(self, args, file) == 0 ? PyString_FromString(file) : NULL;
}

static PyObject *finder_is_package(PyObject *self, PyObject *args)
{
    const char *m, *sources;
    int package;
    if (recorded((Finder *)self, args, &m, &package, &sources) == NULL)
        return NULL;
    return PyBool_FromLong(package);
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
    .tp_init = finder_init,
    .tp_new = PyType_GenericNew,
};

/* The code of a member of an importer's archive, by its name in the
 * archive's table, as code_at reads it. */
static PyObject *boot_member(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *importer, *key;
    if (!PyArg_ParseTuple(args, "O!S:member", &archive_type, &importer, &key))
        return NULL;
    PyObject *files = FIELD(importer, files_at);
    PyObject *toc = files != NULL && PyDict_Check(files) ? PyDict_GetItem(files, key) : NULL;
    if (toc == NULL) {
        PyErr_Format(zip_error, "no member %s", PyString_AS_STRING(key));
        return NULL;
    }
    return code_at(importer, toc);
}

/* Runs __boot__ from the archive, checked as code_at checks the modules
 * it loads: zipimport would run a damaged member as it is. */
static PyObject *boot_boot(void)
{
    PyObject *importer = PyObject_CallFunctionObjArgs((PyObject *)&archive_type, archive, NULL);
    if (importer == NULL)
        return NULL;
    PyObject *module = NULL;
    PyObject *files = FIELD(importer, files_at);
    PyObject *toc = files != NULL && PyDict_Check(files)
                        ? PyDict_GetItemString(files, "__boot__.pyc") : NULL;
    PyObject *co = toc != NULL ? code_at(importer, toc) : NULL;
    if (co != NULL)
        module = execute("__boot__", co, NULL, NULL);
    else if (!PyErr_Occurred())
        PyErr_Format(zip_error, "%s holds no __boot__.pyc", PyString_AS_STRING(archive));
    Py_XDECREF(co);
    Py_DECREF(importer);
    return module;
}

/* What the archive's __startup__ calls: __boot__ takes over the imports
 * and sets `environment`, then the program's own __startup__ code runs in
 * `namespace`, __startup__'s, here: no frame of __boot__ stands between
 * them. Its file lies in lib beside SOURCE's other files, as far as
 * dirname(__file__) tells. Neither __boot__ nor _boot stays in
 * sys.modules; __boot__ stays alive here, its finder's home. */
static PyObject *boot_run(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *namespace, *environment;
    if (!PyArg_ParseTuple(args, "O!O:run", &PyDict_Type, &namespace, &environment))
        return NULL;
    static PyObject *boot;
    if (boot == NULL && (boot = boot_boot()) == NULL)
        return NULL;
    PyObject *body = PyObject_CallMethod(boot, "start", "O", environment);
    PyObject *file = PyString_FromFormat("%slib/__startup__.py", PyString_AS_STRING(home));
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *result = NULL;
    if (body != NULL && file != NULL && PyCode_Check(body) &&
        PyDict_SetItemString(namespace, "__file__", file) == 0 &&
        (PyDict_DelItemString(modules, "__boot__") == 0 || (PyErr_Clear(), 1)) &&
        (PyDict_DelItemString(modules, "_boot") == 0 || (PyErr_Clear(), 1)))
        result = PyEval_EvalCode((PyCodeObject *)body, namespace, namespace);
    else if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "__boot__.start gave no code");
    Py_XDECREF(file);
    Py_XDECREF(body);
    return result;
}

static PyMethodDef functions[] = {
    {"run", boot_run, METH_VARARGS, "Runs the program's __startup__ code, __boot__ in place."},
    {"code", boot_code, METH_VARARGS, "The code in bytecode, its file names made absolute."},
    {"member", boot_member, METH_VARARGS, "The code of a member of an archive, checked."},
    {"settle", boot_settle, METH_NOARGS, "Makes the file names of the codecs absolute."},
    {NULL, NULL, 0, NULL},
};

/* The offset of zipimporter's object member `name`; -1 if it has none. */
static Py_ssize_t offset(PyTypeObject *type, const char *name)
{
    for (PyMemberDef *m = type->tp_members; m != NULL && m->name != NULL; m++) {
        if (strcmp(m->name, name) == 0 && m->type == T_OBJECT)
            return m->offset;
    }
    return -1;
}

/* Takes lib, the archive and zipimport's importer as the launcher and
 * the interpreter have them; 0, or -1 with an exception set. */
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
    archive = PyList_GET_ITEM(path, 1);
    Py_INCREF(lib);
    Py_INCREF(archive);
    home = PyString_FromStringAndSize(PyString_AS_STRING(lib), PyString_GET_SIZE(lib) - 3);
    path_name = PyString_InternFromString("__path__");
    PyObject *zipimport = PyImport_ImportModule("zipimport");
    if (home == NULL || path_name == NULL ||
        zipimport == NULL)
        return -1;
    zip_error = PyObject_GetAttrString(zipimport, "ZipImportError");
    PyObject *base = PyObject_GetAttrString(zipimport, "zipimporter");
    Py_DECREF(zipimport);
    if (zip_error == NULL || base == NULL)
        return -1;
    if (!PyType_Check(base)) {
        PyErr_SetString(PyExc_ImportError, "_boot: zipimport.zipimporter is not a type");
        return -1;
    }
    crc_setup();
    archive_type.tp_base = (PyTypeObject *)base;
    archive_type.tp_basicsize = archive_type.tp_base->tp_basicsize;
    archive_at = offset(archive_type.tp_base, "archive");
    prefix_at = offset(archive_type.tp_base, "prefix");
    files_at = offset(archive_type.tp_base, "_files");
    if (archive_at < 0 || prefix_at < 0 || files_at < 0) {
        PyErr_SetString(PyExc_ImportError, "_boot: zipimporter keeps no archive, prefix, _files");
        return -1;
    }
    return PyType_Ready(&archive_type) < 0 || PyType_Ready(&finder_type) < 0 ? -1 : 0;
}

PyMODINIT_FUNC init_boot(void)
{
    if (setup() != 0)
        return;
    PyObject *m = Py_InitModule3("_boot", functions, "__boot__'s importers, in C.");
    if (m == NULL)
        return;
    Py_INCREF(&archive_type);
    Py_INCREF(&finder_type);
    PyModule_AddObject(m, "Archive", (PyObject *)&archive_type);
    PyModule_AddObject(m, "Finder", (PyObject *)&finder_type);
}
