#ifndef BOOT_H
#define BOOT_H

/* What _boot's files share: the application's places, which _boot.c
 * takes as the module is imported, and the helpers they all use. Include
 * after Python.h and string.h. */

#define SOURCES "lib/library-source/"
#define RELATIVE "lib/"         /* how file names relative to home begin */
#define CODECS RELATIVE "python2.7/" /* the codecs the interpreter starts with */
#define KEY 4097                /* room for a member's name, as import.c's */

extern PyObject *lib;           /* sys.path[0]: the application's lib */
extern PyObject *archive_path;  /* sys.path[1]: lib/library.zip */
extern PyObject *home;          /* the application directory, ending in "/" */
extern PyObject *zip_error;     /* zipimport.ZipImportError */
/* A damaged archive or member: ValueError, as the interpreter's for bad
 * marshal data, so that no `except ImportError` of an optional import
 * takes it for a module that is not there. */
#define damage PyExc_ValueError
extern PyObject *path_name;     /* "__path__", interned */
extern PyObject *file_name;     /* "__file__", interned */
extern PyObject *self_module;   /* _boot, for __boot__'s namespace */
/* Whether the application ships bytecode alone (freeze-app --no-source):
 * then a module's __file__ is its bytecode beside where its source would
 * lie, X.pyc for X.py, as under the interpreter given .pyc files alone. */
extern int compiled;

static inline int starts(PyObject *s, const char *prefix, Py_ssize_t n)
{
    return PyString_GET_SIZE(s) >= n && memcmp(PyString_AS_STRING(s), prefix, n) == 0;
}

/* Appends `n` bytes of `s` to the `*used` bytes of `key`: 0, or -1 when
 * they do not fit with a terminating NUL. */
static inline int append(char *key, Py_ssize_t *used, const char *s, size_t n)
{
    if (n >= (size_t)(KEY - *used))
        return -1;
    memcpy(key + *used, s, n);
    *used += (Py_ssize_t)n;
    key[*used] = '\0';
    return 0;
}

/* The code in `size` bytes of bytecode at `data`, read from `where`:
 * bytecode of this interpreter's magic number, as the interpreter checks
 * it. */
PyObject *unmarshal(const char *data, Py_ssize_t size, const char *where);

#endif
