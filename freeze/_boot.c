/*
 * _boot: the part of __boot__ that every import of the archive's modules
 * passes through, in C. A large program imports hundreds of modules at
 * start, and the same steps written in Python take longer than the
 * plain interpreter's whole import of them.
 *
 * It ships in lib of every application and is imported by __boot__ while
 * sys.path is still the launcher's two entries: lib, then the archive.
 *
 *   code(data)      the code in bytecode `data` (a .pyc: eight bytes of
 *                   header, then the marshalled code), its file names
 *                   that are relative to the application directory
 *                   ("lib/...") made absolute.
 *   Archive         zipimport's importer with load_module that runs the
 *                   archive's bytecode as it was shipped (__boot__ adds
 *                   what runpy and pkgutil ask of a loader).
 *   Finder(importers, hook)
 *                   finds the modules of the archive for the meta path:
 *                   a module of the archive's top level when sys.path
 *                   holds no entry but lib and the archive before it, a
 *                   module of a package of the archive when its __path__
 *                   is that package's one entry. It answers with the
 *                   importer of the entry, from `importers`
 *                   (sys.path_importer_cache), made by `hook(entry)` when
 *                   there is none yet. Anything else it leaves to the
 *                   next finder: the modules of lib on disk, and entries
 *                   the program added.
 *
 * The names of lib's top level and those of the archive's are disjoint,
 * as the freezer writes them, so a module of the archive is taken without
 * looking into lib first.
 */
#include <Python.h>
#include <marshal.h>
#include <structmember.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#define SOURCES "lib/library-source/"
#define RELATIVE "lib/"         /* how file names relative to home begin */
#define KEY 4097                /* room for a member's name, as import.c's */
#define LOCAL_HEADER 30         /* bytes of a zip member's local header */
#define LOCAL_SIGNATURE 0x04034b50UL

static PyObject *lib;           /* sys.path[0]: the application's lib */
static PyObject *archive;       /* sys.path[1]: lib/library.zip */
static PyObject *inside;        /* archive + "/": how its entries begin */
static PyObject *home;          /* the application directory, ending in "/" */
static PyObject *zip_error;     /* zipimport.ZipImportError */
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
static int append(char *key, Py_ssize_t *used, const char *s, Py_ssize_t n)
{
    if (n >= KEY - *used)
        return -1;
    memcpy(key + *used, s, n);
    *used += n;
    key[*used] = '\0';
    return 0;
}

/* Makes the file names of `co` and of the code in its constants that
 * begin with "lib/" absolute. The freezer gives them all one string, so
 * the last name made absolute is reused by identity. */
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
        Py_XDECREF(*to);
        *from = name;
        *to = full;
    }
    if (name == *from) {
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

/* The code in `size` bytes of bytecode at `data`. */
static PyObject *load(const char *data, Py_ssize_t size)
{
    if (size < 8) {
        PyErr_SetString(PyExc_ImportError, "bytecode too short");
        return NULL;
    }
    PyObject *co = PyMarshal_ReadObjectFromString((char *)data + 8, size - 8);
    if (co == NULL)
        return NULL;
    if (!PyCode_Check(co)) {
        Py_DECREF(co);
        PyErr_SetString(PyExc_ImportError, "bytecode holds no code");
        return NULL;
    }
    PyObject *from = NULL;
    PyObject *to = NULL;
    const int failed = absolute((PyCodeObject *)co, &from, &to);
    Py_XDECREF(to);
    if (failed) {
        Py_DECREF(co);
        return NULL;
    }
    return co;
}

static PyObject *code(PyObject *self, PyObject *args)
{
    (void)self;
    const char *data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "s#:code", &data, &size))
        return NULL;
    return load(data, size);
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
static PyObject *stored(PyObject *toc)
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

/* The entry of zipimport's table `files` for the member whose name,
 * without ".pyc", is `member` followed by `suffix`, borrowed; NULL if
 * there is none, with an exception only on failure. `member`, `*used`
 * bytes long, is extended by `suffix`. */
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

/* The entry of zipimport's table `files` for the bytecode of the module
 * `name` under `prefix`, borrowed: "PREFIX/NAME/__init__.pyc" for a
 * package (then *package is 1), else "PREFIX/NAME.pyc"; NULL if there is
 * neither, with an exception only on failure. `member` receives the
 * member's name without ".pyc". */
static PyObject *lookup(PyObject *files, PyObject *prefix, const char *name, char *member,
                        int *package)
{
    Py_ssize_t n = 0;
    if (append(member, &n, PyString_AS_STRING(prefix), PyString_GET_SIZE(prefix)) != 0 ||
        append(member, &n, name, strlen(name)) != 0)
        return NULL;
    const Py_ssize_t base = n;
    *package = 1;
    PyObject *toc = member_entry(files, member, &n, "/__init__");
    if (toc == NULL && !PyErr_Occurred()) {
        *package = 0;
        n = base;
        member[n] = '\0';
        toc = member_entry(files, member, &n, "");
    }
    return toc;
}

/* Runs the module `fullname` of the archive: its bytecode as it was
 * shipped, its file names absolute, and as __file__ its source where
 * one ships, else the bytecode's path in the archive. */
static PyObject *load_module(PyObject *self, PyObject *args)
{
    const char *fullname;
    if (!PyArg_ParseTuple(args, "s:load_module", &fullname))
        return NULL;
    PyObject *files = FIELD(self, files_at);
    PyObject *prefix = FIELD(self, prefix_at);
    PyObject *path = FIELD(self, archive_at);
    if (files == NULL || !PyDict_Check(files) || prefix == NULL || !PyString_Check(prefix) ||
        path == NULL || !PyString_Check(path)) {
        PyErr_SetString(zip_error, "zipimporter has not been initialized");
        return NULL;
    }
    const char *dot = strrchr(fullname, '.');
    char member[KEY];
    int package;
    PyObject *toc = lookup(files, prefix, dot ? dot + 1 : fullname, member, &package);
    if (toc == NULL || !PyTuple_Check(toc) || PyTuple_GET_SIZE(toc) < 5) {
        if (!PyErr_Occurred())
            PyErr_Format(zip_error, "can't find module '%s'", fullname);
        return NULL;
    }
    PyObject *data = PyInt_AsLong(PyTuple_GET_ITEM(toc, 1)) == 0
                         ? stored(toc)
                         : PyObject_CallMethod(self, "get_data", "O", PyTuple_GET_ITEM(toc, 0));
    PyObject *co = data ? load(PyString_AS_STRING(data), PyString_GET_SIZE(data)) : NULL;
    Py_XDECREF(data);
    if (co == NULL)
        return NULL;
    /* The source ships where the code names it so; then it is __file__. */
    const Py_ssize_t m = strlen(member);
    PyObject *name = ((PyCodeObject *)co)->co_filename;
    const Py_ssize_t h = PyString_GET_SIZE(home), s = sizeof SOURCES - 1;
    const int source = PyString_Check(name) && PyString_GET_SIZE(name) == h + s + m + 3 &&
                       starts(name, PyString_AS_STRING(home), h) &&
                       memcmp(PyString_AS_STRING(name) + h, SOURCES, s) == 0 &&
                       memcmp(PyString_AS_STRING(name) + h + s, member, m) == 0 &&
                       memcmp(PyString_AS_STRING(name) + h + s + m, ".py", 3) == 0;
    char where[KEY];
    Py_ssize_t used = 0;
    PyObject *module = NULL;
    if (append(where, &used, PyString_AS_STRING(path), PyString_GET_SIZE(path)) != 0 ||
        append(where, &used, "/", 1) != 0 || append(where, &used, member, m) != 0) {
        PyErr_Format(PyExc_ImportError, "name too long: %s", fullname);
        goto done;
    }
    PyObject *dict = PyModule_GetDict(PyImport_AddModule(fullname));
    if (dict == NULL || PyDict_SetItemString(dict, "__loader__", self) != 0)
        goto done;
    if (package) {
        /* The package's entry: its member without "/__init__". */
        PyObject *entry = Py_BuildValue("[s#]", where, used - 9);
        const int failed = entry == NULL || PyDict_SetItemString(dict, "__path__", entry) != 0;
        Py_XDECREF(entry);
        if (failed)
            goto done;
    }
    module = PyImport_ExecCodeModuleEx((char *)fullname, co,
                                       source || append(where, &used, ".pyc", 4) != 0 ? NULL
                                                                                      : where);
done:
    Py_DECREF(co);
    return module;
}

static PyMethodDef archive_methods[] = {
    {"load_module", load_module, METH_VARARGS, "Runs a module of the archive."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject archive_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "_boot.Archive",
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "zipimport's importer, but for load_module.",
    .tp_methods = archive_methods,
};

typedef struct {
    PyObject_HEAD
    PyObject *importers;
    PyObject *hook;
} Finder;

static int finder_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Finder *f = (Finder *)self;
    PyObject *importers, *hook;
    (void)kwargs;
    if (!PyArg_ParseTuple(args, "O!O:Finder", &PyDict_Type, &importers, &hook))
        return -1;
    Py_INCREF(importers);
    Py_INCREF(hook);
    Py_CLEAR(f->importers);
    Py_CLEAR(f->hook);
    f->importers = importers;
    f->hook = hook;
    return 0;
}

static void finder_dealloc(PyObject *self)
{
    Finder *f = (Finder *)self;
    Py_XDECREF(f->importers);
    Py_XDECREF(f->hook);
    Py_TYPE(self)->tp_free(self);
}

/* The archive's entry in which to look for a module, borrowed: the
 * archive itself for a top-level module when sys.path holds nothing but
 * lib before it; the package's one entry in the archive for a submodule.
 * NULL where the next finder decides. */
static PyObject *entry(PyObject *path)
{
    if (path == Py_None) {
        PyObject *entries = PySys_GetObject("path");
        if (entries == NULL || !PyList_Check(entries))
            return NULL;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); i++) {
            PyObject *e = PyList_GET_ITEM(entries, i);
            if (!PyString_Check(e))
                return NULL;
            if (_PyString_Eq(e, archive))
                return e;
            if (!_PyString_Eq(e, lib))
                return NULL;
        }
        return NULL;
    }
    if (!PyList_Check(path) || PyList_GET_SIZE(path) != 1)
        return NULL;
    PyObject *e = PyList_GET_ITEM(path, 0);
    if (!PyString_Check(e) || PyString_GET_SIZE(e) <= PyString_GET_SIZE(inside) ||
        !starts(e, PyString_AS_STRING(inside), PyString_GET_SIZE(inside)))
        return NULL;
    return e;
}

static PyObject *find_module(PyObject *self, PyObject *args)
{
    Finder *f = (Finder *)self;
    const char *fullname;
    PyObject *path = Py_None;
    if (!PyArg_ParseTuple(args, "s|O:find_module", &fullname, &path))
        return NULL;
    PyObject *e = entry(path);
    if (e == NULL)
        Py_RETURN_NONE;
    PyObject *importer = PyDict_GetItem(f->importers, e);
    if (importer != NULL && PyObject_TypeCheck(importer, &archive_type)) {
        Py_INCREF(importer);
    } else {
        importer = PyObject_CallFunctionObjArgs(f->hook, e, NULL);
        if (importer == NULL || PyDict_SetItem(f->importers, e, importer) != 0) {
            Py_XDECREF(importer);
            if (!PyErr_ExceptionMatches(PyExc_ImportError))
                return NULL;
            PyErr_Clear();
            Py_RETURN_NONE;
        }
    }
    PyObject *files = FIELD(importer, files_at);
    PyObject *prefix = FIELD(importer, prefix_at);
    const char *dot = strrchr(fullname, '.');
    char member[KEY];
    int package;
    if (files != NULL && PyDict_Check(files) && prefix != NULL && PyString_Check(prefix) &&
        lookup(files, prefix, dot ? dot + 1 : fullname, member, &package) != NULL)
        return importer;
    Py_DECREF(importer);
    if (PyErr_Occurred())
        return NULL;
    Py_RETURN_NONE;
}

static PyMethodDef finder_methods[] = {
    {"find_module", find_module, METH_VARARGS, "The importer of a module of the archive."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject finder_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "_boot.Finder",
    .tp_basicsize = sizeof(Finder),
    .tp_dealloc = finder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Finds the modules of the archive for the meta path.",
    .tp_methods = finder_methods,
    .tp_init = finder_init,
    .tp_new = PyType_GenericNew,
};

static PyMethodDef functions[] = {
    {"code", code, METH_VARARGS, "The code in bytecode, its file names made absolute."},
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
    inside = PyString_FromFormat("%s/", PyString_AS_STRING(archive));
    PyObject *zipimport = PyImport_ImportModule("zipimport");
    if (home == NULL || inside == NULL || zipimport == NULL)
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
