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
#include <limits.h>
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

/* Opens the archive: its descriptor, its size in `*size`; -1 with an
 * exception that names it and the reason. Anything but a regular file is
 * refused, and O_NONBLOCK keeps a FIFO from holding the open. */
static int open_file(Py_ssize_t *size)
{
    const char *path = PyString_AS_STRING(archive_path);
    struct stat st;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const int found = fd >= 0 && fstat(fd, &st) == 0;
    if (found && S_ISREG(st.st_mode)) {
        *size = (Py_ssize_t)st.st_size;
        return fd;
    }
    const int e = !found ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (fd >= 0)
        close(fd);
    /* The text of errno as os.strerror gives it: strerror itself would be
     * one symbol more for the dynamic loader to bind at every start. */
    PyObject *posix = e ? PyImport_ImportModuleNoBlock("posix") : NULL;
    PyObject *why = !e ? PyString_FromString("not a regular file")
                    : posix ? PyObject_CallMethod(posix, "strerror", "i", e) : NULL;
    if (why != NULL && PyString_Check(why))
        PyErr_Format(zip_error, "can't open Zip file %s: %s", path, PyString_AS_STRING(why));
    Py_XDECREF(posix);
    Py_XDECREF(why);
    return -1;
}

/* Reads the table of the archive open at `fd`, `length` bytes long: 0, or
 * -1 with an exception that names what is wrong. */
static int read_table(int fd, Py_ssize_t length)
{
    if (length < END)
        return damaged("it is too short to hold a table");
    /* The end record, last but for a comment, which the freezer writes
     * none of. */
    static unsigned char tail[TAIL];
    const Py_ssize_t t = length < TAIL ? length : TAIL;
    Py_ssize_t at = t - END;
    if (read_at(fd, (char *)tail + at, END, length - END) != 0)
        return damaged("its end cannot be read");
    if (le32(tail + at) != END_SIGNATURE) {
        if (read_at(fd, (char *)tail, t, length - t) != 0)
            return damaged("its end cannot be read");
        while (at > 0 && le32(tail + at) != END_SIGNATURE)
            at--;
        if (le32(tail + at) != END_SIGNATURE)
            return damaged("it has no end record: it is cut short or no zip archive");
    }
    const uint32_t size = le32(tail + at + 12), offset = le32(tail + at + 16);
    if ((uint64_t)offset + size > (uint64_t)(length - t + at))
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
    Py_ssize_t size;
    const int fd = open_file(&size);
    if (fd < 0)
        return -1;
    const int failed = read_table(fd, size);
    close(fd);
    return failed;
}

static PyObject *decompressor;  /* zlib.decompressobj, once a member needs it */

/* zlib.decompressobj, borrowed; NULL with an exception if zlib is missing. */
static PyObject *inflate(void)
{
    if (decompressor != NULL)
        return decompressor;
    PyObject *zlib = PyImport_ImportModuleNoBlock("zlib");
    if (zlib != NULL) {
        decompressor = PyObject_GetAttrString(zlib, "decompressobj");
        Py_DECREF(zlib);
    }
    if (decompressor == NULL) {
        PyErr_Clear();
        PyErr_SetString(zip_error, "can't decompress data; zlib not available");
    }
    return decompressor;
}

/* The bytes of member `e`, inflated if they are deflated: zlib then
 * ships, as the freezer deflates only where it does. The archive is
 * opened for each read: a descriptor kept open could be closed, or
 * replaced, by the program. */
static PyObject *read_member(const Entry *e, const char *where)
{
    Py_ssize_t size;
    const int fd = open_file(&size);
    if (fd < 0)
        return NULL;
    unsigned char h[LOCAL_HEADER];
    PyObject *data = NULL;
    const char *why = "its header or bytes cannot be read";
    if ((uint64_t)e->offset + LOCAL_HEADER <= (uint64_t)size &&
        read_at(fd, (char *)h, LOCAL_HEADER, e->offset) == 0 && le32(h) == LOCAL_SIGNATURE) {
        /* Its size is believed only where the archive holds it. */
        const uint64_t at = (uint64_t)e->offset + LOCAL_HEADER + le16(h + 26) + le16(h + 28);
        if (at + e->size > (uint64_t)size)
            why = "its recorded size runs past the archive's end";
        else if ((data = PyString_FromStringAndSize(NULL, e->size)) != NULL &&
                 read_at(fd, PyString_AS_STRING(data), e->size, (Py_ssize_t)at) != 0)
            Py_CLEAR(data);
    }
    close(fd);
    if (data == NULL) {
        if (!PyErr_Occurred())
            PyErr_Format(damage, "%s is damaged: %s", where, why);
        return NULL;
    }
    if (e->method == 0)
        return data;
    PyObject *inflated = NULL;
    if (e->method != 8) {
        PyErr_Format(damage, "%s is damaged: compressed in an unknown way", where);
    } else if (e->full >= INT_MAX) {
        PyErr_Format(damage, "%s is damaged: its recorded size is too large", where);
    } else if (inflate() != NULL) {
        /* Inflated up to the recorded size and one byte more, which
         * code_at then finds too long: a member that inflates a
         * thousandfold (a deflate bomb) is never inflated whole. */
        PyObject *stream = PyObject_CallFunction(decompressor, "i", -15);
        inflated = stream ? PyObject_CallMethod(stream, "decompress", "Oi", data,
                                                (int)e->full + 1)
                          : NULL;
        Py_XDECREF(stream);
        /* No room for what it records is no damage: MemoryError stays. */
        if (inflated == NULL && PyErr_ExceptionMatches(PyExc_Exception) &&
            !PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            PyErr_Format(damage, "%s is damaged: it does not inflate", where);
        }
    }
    Py_DECREF(data);
    return inflated;
}

/* The bytes of member `e`, its path in `where` (KEY bytes): a member
 * whose size or CRC-32 is not the one the archive records is damaged. */
PyObject *data_at(const Entry *e, char *where)
{
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
    const char *why = data == NULL ? NULL
                      : (uint32_t)PyString_GET_SIZE(data) != e->full
                          ? "its size is not the one recorded"
                      : zip_crc32((const unsigned char *)PyString_AS_STRING(data),
                                  (size_t)PyString_GET_SIZE(data)) != e->crc
                          ? "its CRC-32 is not the one recorded"
                          : NULL;
    if (why != NULL) {
        Py_CLEAR(data);
        PyErr_Format(damage, "%s is damaged: %s", where, why);
    }
    return data;
}

PyObject *code_at(const Entry *e)
{
    char where[KEY];
    PyObject *data = data_at(e, where);
    PyObject *co = data ? unmarshal(PyString_AS_STRING(data), PyString_GET_SIZE(data), where)
                        : NULL;
    Py_XDECREF(data);
    return co;
}
