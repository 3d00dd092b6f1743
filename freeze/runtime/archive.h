#ifndef ARCHIVE_H
#define ARCHIVE_H

#include <stdint.h>

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
extern struct table {
    char *table;
    Entry *entries;
    Py_ssize_t count;
} the;

/* The member named by the `n` bytes at `name`; NULL if there is none. */
const Entry *find(const char *name, size_t n);
/* Reads the archive's table, once: 0, or -1 with an exception. */
int open_archive(void);
/* The code of member `e`, `where` its path: a member whose size or
 * CRC-32 is not the one the archive records is damaged. */
PyObject *code_at(const Entry *e);

#endif
