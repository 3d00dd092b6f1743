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
 *   run(namespace, environment[, compiled])
 *                   takes over the imports (take_over), imports site
 *                   where the program ships it (site.c), and runs the
 *                   program's own __startup__ code, the archive's member
 *                   __startup__.app, in the stub's namespace; `compiled`
 *                   where the application ships no sources (_boot.h).
 *   code(data, where)
 *                   the code in bytecode `data` (a .pyc: eight bytes of
 *                   header, then the marshalled code), read from `where`,
 *                   its file names that are relative to the application
 *                   directory ("lib/...") made absolute.
 *   member(name)    the code of a member of the archive, checked.
 *   holds(name)     True if the archive holds a member of that name.
 *
 * The finder and loader are finder.c's, the archive's table and members
 * archive.c's.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>

#include <stdlib.h>
#include <string.h>

#include "_boot.h"
#include "archive.h"
#include "finder.h"
#include "site.h"

PyObject *lib;
PyObject *archive_path;
PyObject *home;
PyObject *zip_error;
PyObject *path_name;
PyObject *file_name;
PyObject *self_module;
int compiled;

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
PyObject *unmarshal(const char *data, Py_ssize_t size, const char *where)
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
    if (!PyArg_ParseTuple(args, "O!O|i:run", &PyDict_Type, &namespace, &environment, &compiled))
        return NULL;
    /* For __boot__, where no sources ship; an application with sources
     * spends nothing on it. */
    PyObject *flag = compiled ? PyBool_FromLong(1) : NULL;
    const int failed = compiled && (flag == NULL || PyDict_SetItemString(
                                        PyModule_GetDict(self_module), "COMPILED", flag) != 0);
    Py_XDECREF(flag);
    if (failed)
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
    PyObject *file = PyString_FromFormat("%slib/__startup__.py%s", PyString_AS_STRING(home),
                                         compiled ? "c" : "");
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

/* The one symbol that _boot.so exports: its files are built with hidden
 * visibility, and each symbol exported is one more to bind at every start. */
__attribute__((visibility("default"))) PyMODINIT_FUNC init_boot(void)
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
