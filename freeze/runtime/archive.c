/*
 * _boot's reading of lib/library.zip: its table, read once at start, and
 * its members. Every member is checked against the size and CRC-32 that
 * the archive records and the interpreter's magic number before it runs:
 * a damaged archive fails with a message, never a signal.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "_boot.h"
#include "archive.h"
#include "crc32.h"

#define LOCAL_HEADER 30         /* bytes of a zip member's local header */
#define LOCAL_SIGNATURE 0x04034b50UL

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

struct table the;

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
const Entry *find(const char *name, size_t n)
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
__attribute__((noinline)) int open_archive(void)
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
PyObject *code_at(const Entry *e)
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
