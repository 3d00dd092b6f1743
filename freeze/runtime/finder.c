/*
 * _boot's finder and loader. The finder, alone on the meta path, finds
 * and loads
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
 * A name that the freezer left out on purpose (a test suite, what only
 * modules that nothing reaches import, an optional feature, --exclude)
 * has a member "__left__/NAME" that says why and how to ship it: where
 * nothing but the application could hold the module, an import statement
 * or import_module of it fails with that said, in one line. Only a
 * failing import looks.
 *
 * The names of lib's top level and those of the archive's are disjoint,
 * as the freezer writes them, so a module of the archive is taken
 * without looking into lib first.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <frameobject.h>
#include <opcode.h>
#include <stdio.h>
#include <string.h>

#include "_boot.h"
#include "archive.h"
#include "finder.h"

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

static void finder_dealloc(PyObject *self)
{
    Finder *f = (Finder *)self;
    Py_XDECREF(f->finder);
    Py_XDECREF(f->found);
    Py_TYPE(self)->tp_free(self);
}

PyObject *boot_module;
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
PyObject *quietly(PyObject *object, const char *method, PyObject *args)
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
PyObject *boot_traced(PyObject *self, PyObject *args)
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

/* True if sys.path holds nothing but the application's own entries: lib,
 * the archive and lib/library-source. */
static int ours_only(void)
{
    PyObject *entries = sys_get(&key_path, "path");
    const Py_ssize_t h = PyString_GET_SIZE(home), s = sizeof SOURCES - 2;
    if (entries == NULL || !PyList_Check(entries))
        return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); i++) {
        PyObject *e = PyList_GET_ITEM(entries, i);
        if (!PyString_Check(e) ||
            !(_PyString_Eq(e, lib) || _PyString_Eq(e, archive_path) ||
              (PyString_GET_SIZE(e) == h + s && starts(e, PyString_AS_STRING(home), h) &&
               memcmp(PyString_AS_STRING(e) + h, SOURCES, (size_t)s) == 0)))
            return 0;
    }
    return 1;
}

/* True while the program imports: an import statement runs, or a call
 * of an import_module function or from code that names __import__.
 * pkgutil, runpy and the like ask finders whether a module is there, and
 * get None, as under the interpreter. */
static int importing(void)
{
    const PyFrameObject *frame = PyThreadState_GET()->frame;
    if (frame == NULL)
        return 0;
    const PyCodeObject *co = frame->f_code;
    const int op = frame->f_lasti >= 0 && frame->f_lasti < PyString_GET_SIZE(co->co_code)
                       ? (unsigned char)PyString_AS_STRING(co->co_code)[frame->f_lasti] : 0;
    if (op == IMPORT_NAME || strcmp(PyString_AS_STRING(co->co_name), "import_module") == 0)
        return 1;
    if (op != CALL_FUNCTION && op != CALL_FUNCTION_VAR && op != CALL_FUNCTION_KW &&
        op != CALL_FUNCTION_VAR_KW)
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co->co_names); i++) {
        PyObject *name = PyTuple_GET_ITEM(co->co_names, i);
        if (PyString_Check(name) && strcmp(PyString_AS_STRING(name), "__import__") == 0)
            return 1;
    }
    return 0;
}

/* This finder, new, as find_module's answer for `fullname`, having kept
 * `what` it found of it (a new reference, taken), which load_module and
 * the loader's other methods then use; NULL if `what` is. */
static PyObject *keep(Finder *f, const char *fullname, PyObject *what)
{
    const int failed = what == NULL || PyDict_SetItemString(f->found, fullname, what) != 0;
    Py_XDECREF(what);
    if (failed)
        return NULL;
    Py_INCREF(f);
    return (PyObject *)f;
}

#define LEFT "__left__/"        /* members that say why a name was left out */

/* The ImportError of a name left out on purpose. Its args are the
 * interpreter's ("No module named gui"), for programs that read them to
 * tell a missing module from a failing one; str() and tracebacks add why
 * it was left out and how to ship it, which its attribute left_out
 * holds. It prints as ImportError does. Made ready when first raised. */
static PyObject *left_str(PyObject *self)
{
    PyObject *text = ((PyTypeObject *)PyExc_ImportError)->tp_str(self);
    PyObject *why = text ? PyObject_GetAttrString(self, "left_out") : NULL;
    PyObject *said = NULL;
    if (why != NULL && PyString_Check(text) && PyString_Check(why))
        said = PyString_FromFormat("%s (%s)", PyString_AS_STRING(text), PyString_AS_STRING(why));
    else if (text != NULL) {
        PyErr_Clear();
        Py_INCREF(text);
        said = text;
    }
    Py_XDECREF(text);
    Py_XDECREF(why);
    return said;
}

static PyTypeObject left_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "exceptions.ImportError",
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Import can't find module: it was left out when freezing.",
    .tp_str = left_str,
};

/* Sets the ImportError of `fullname`, left out on purpose for `why`. */
static void left_out(const char *fullname, PyObject *why)
{
    char text[KEY + 16];
    Py_ssize_t n = 0;
    if (left_type.tp_base == NULL) {
        left_type.tp_base = (PyTypeObject *)PyExc_ImportError;
        if (PyType_Ready(&left_type) < 0)
            return;
    }
    /* The name is the last part of one that fit in KEY bytes. */
    memcpy(text, "No module named ", 16);
    n = 16;
    if (append(text, &n, last(fullname), strlen(last(fullname))) != 0)
        return;
    PyObject *e = PyObject_CallFunction((PyObject *)&left_type, "s", text);
    PyObject *dict = e ? PyObject_GetAttrString(e, "__dict__") : NULL;
    if (dict != NULL && PyDict_SetItemString(dict, "left_out", why) == 0)
        PyErr_SetObject((PyObject *)&left_type, e);
    Py_XDECREF(dict);
    Py_XDECREF(e);
}

/* The answer, new, for a module that no finder found: None; or, where
 * the freezer left it out and the program imports it, this finder, whose
 * load_module fails with the ImportError that says why and how to ship
 * it (the interpreter takes one that find_module raises for a module
 * that is not there, and says no more). */
static PyObject *missing(Finder *f, const char *fullname)
{
    char member[KEY], where[KEY];
    Py_ssize_t n = 0;
    const Entry *e = NULL;
    if (append(member, &n, LEFT, sizeof LEFT - 1) == 0 &&
        append(member, &n, fullname, strlen(fullname)) == 0)
        e = find(member, (size_t)n);
    if (e == NULL || !importing())
        Py_RETURN_NONE;
    return keep(f, fullname, data_at(e, where));
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
    return keep(f, fullname, found);
}

/* If the module that `args` name was found by a loader of __boot__'s
 * finder, that loader's `method` called with `args`, in `*result`; if it
 * was left out on purpose, NULL there with the ImportError that says
 * why: 1; else 0. */
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
    if (PyString_Check(found)) {
        /* A name left out on purpose: its import fails, saying why. */
        left_out(fullname, found);
        PyDict_DelItemString(f->found, fullname);
        *result = NULL;
        return 1;
    }
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
        return keep(f, fullname, Py_BuildValue("(snis)", member,
                                               (Py_ssize_t)(e - the.entries), package, sources));
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
 * sources relative to the application; and but a name left out on
 * purpose, which is nowhere on disk (missing). */
static PyObject *in_lib(Finder *f, const char *fullname, PyObject *path, const char *dir,
                        Py_ssize_t n)
{
    const Py_ssize_t s = sizeof SOURCES - 1;
    PyObject *found = n >= s && strncmp(dir, SOURCES, s) == 0
                          ? claim(f, fullname, dir + s, n - s, SOURCES)
                          : claim(f, fullname, dir, n, "");
    if (found != Py_None)
        return found;
    Py_DECREF(found);
    return strncmp(dir, CODECS, sizeof CODECS - 1) == 0 ? ask(f, fullname, path)
                                                         : missing(f, fullname);
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
        Py_INCREF(Py_None);
        return keep(f, fullname, Py_None);
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
        found = claim(f, fullname, RELATIVE, sizeof RELATIVE - 1, "");
        if (found != Py_None || !ours_only())
            return found;
        Py_DECREF(found);
        return missing(f, fullname);
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

/* The file of a recorded module, as its __file__ names it, in `file`:
 * its source, or beside it its bytecode where the application ships no
 * sources (compiled). 0, or -1 with an exception. */
static int file_of(char *file, const char *sources, const char *member)
{
    if (source_of(file, sources, member) != 0)
        return -1;
    Py_ssize_t used = (Py_ssize_t)strlen(file);
    if (compiled && append(file, &used, "c", 1) != 0) {
        PyErr_Format(PyExc_ImportError, "name too long: %s", member);
        return -1;
    }
    return 0;
}

/* Runs a module that find_module found: its bytecode from the archive,
 * with __file__ its source (or bytecode, file_of), where one ships, else
 * the bytecode's path in the archive, and a package's __path__ the
 * directory of its sources, as the interpreter runs a module of a
 * directory. */
static PyObject *finder_load(PyObject *self, PyObject *args)
{
    Finder *f = (Finder *)self;
    const char *m, *sources;
    const Entry *at;
    int package, named;
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
    named = names(co, sources, m);
    if (named && compiled && file_of(file, sources, m) != 0)
        goto done;
    if (!named) {
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
                     named && !compiled ? NULL : file, entry);
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
 * recorded, in `file` (or its __file__, file_of, if `as_file`): 0, or -1
 * with an exception. */
static int recorded_source(PyObject *self, PyObject *args, char *file, int as_file)
{
    const char *m, *sources;
    const Entry *at;
    int package;
    PyObject *found = recorded((Finder *)self, args, &m, &at, &package, &sources);
    if (found == Py_None)
        PyErr_SetString(PyExc_ImportError, "imp is a built-in module");
    if (found == NULL || found == Py_None)
        return -1;
    return as_file ? file_of(file, sources, m) : source_of(file, sources, m);
}

static PyObject *finder_get_filename(PyObject *self, PyObject *args)
{
    char file[KEY];
    PyObject *result;
    if (foreign((Finder *)self, args, "get_filename", &result))
        return result;
    return recorded_source(self, args, file, 1) == 0 ? PyString_FromString(file) : NULL;
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
    if (recorded_source(self, args, file, 0) != 0)
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

PyTypeObject finder_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "_boot.Finder",
    .tp_basicsize = sizeof(Finder),
    .tp_dealloc = finder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Finds the modules of the application for the meta path.",
    .tp_methods = finder_methods,
};
