/*
 * What the interpreter's site gives a program, which a frozen one,
 * started without site, would lack or get wrong: exit() and quit(),
 * sys.flags.no_user_site, as the launcher shuts the user's environment
 * out, and site itself, run before the program where the program ships
 * it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structseq.h>
#include <string.h>

#include "site.h"

/* exit() and quit(), which the interpreter's site makes builtins: a
 * frozen program starts without site, and a script that ends with
 * exit(3) would end in a NameError. As site's: standard input closed,
 * then SystemExit(code). */
typedef struct {
    PyObject_HEAD
    const char *name;
} Quitter;

static PyObject *quitter_repr(PyObject *self)
{
    return PyString_FromFormat("Use %s() or Ctrl-D (i.e. EOF) to exit", ((Quitter *)self)->name);
}

static PyObject *quitter_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    (void)self;
    static char *keywords[] = {"code", NULL};
    PyObject *code = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__call__", keywords, &code))
        return NULL;
    PyObject *in = PySys_GetObject("stdin");
    PyObject *closed = in ? PyObject_CallMethod(in, "close", NULL) : NULL;
    Py_XDECREF(closed);
    PyErr_Clear();
    PyObject *e = PyObject_CallFunctionObjArgs(PyExc_SystemExit, code, NULL);
    if (e != NULL) {
        PyErr_SetObject(PyExc_SystemExit, e);
        Py_DECREF(e);
    }
    return NULL;
}

static PyTypeObject quitter_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "site.Quitter",
    .tp_basicsize = sizeof(Quitter),
    .tp_repr = quitter_repr,
    .tp_call = quitter_call,
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

int quitters(void)
{
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins == NULL || PyType_Ready(&quitter_type) < 0)
        return -1;
    static const char *const names[] = {"quit", "exit"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        Quitter *q = PyObject_New(Quitter, &quitter_type);
        if (q == NULL)
            return -1;
        q->name = names[i];
        const int failed = PyDict_SetItemString(builtins, names[i], (PyObject *)q);
        Py_DECREF(q);
        if (failed)
            return -1;
    }
    return 0;
}

/* sys.flags.no_user_site: a program that imports site then adds no user
 * site directory (~/.local, or $PYTHONUSERBASE) to its path, and runs
 * neither its .pth files nor its usercustomize. sys.flags is read-only:
 * it becomes a copy. */
#define NO_USER_SITE 8          /* the field's place, as Python 2.7 orders them */
int no_user_site(void)
{
    PyObject *flags = PySys_GetObject("flags");
    if (flags == NULL || strcmp(Py_TYPE(flags)->tp_name, "sys.flags") != 0 ||
        Py_SIZE(flags) <= NO_USER_SITE)
        return 0;
    PyObject *copy = PyStructSequence_New(Py_TYPE(flags));
    if (copy == NULL)
        return -1;
    for (Py_ssize_t i = 0; i < Py_SIZE(flags); i++) {
        PyObject *item = i == NO_USER_SITE ? PyInt_FromLong(1)
                                           : ((PyStructSequence *)flags)->ob_item[i];
        if (item == NULL) {
            Py_DECREF(copy);
            return -1;
        }
        if (i != NO_USER_SITE)
            Py_INCREF(item);
        PyStructSequence_SET_ITEM(copy, i, item);
    }
    Py_NoUserSiteDirectory = 1;
    const int failed = PySys_SetObject("flags", copy);
    Py_DECREF(copy);
    return failed;
}

/* site, as the interpreter imports it before the program's first line:
 * the program meets it as it would there, and site's main() does not run
 * late, over every module that the program imported by then (pip's
 * `import site` made the email package's lazy modules import 23 modules
 * that pip under the interpreter never imports). A failure is the
 * interpreter's line, and the program runs on: -1, no exception. */
int import_site(void)
{
    PyObject *site = PyImport_ImportModule("site");
    if (site != NULL) {
        Py_DECREF(site);
        return 0;
    }
    PyErr_Clear();
    PyObject *err = PySys_GetObject("stderr");
    if (err != NULL)
        PyFile_WriteString("'import site' failed; use -v for traceback\n", err);
    PyErr_Clear();
    return -1;
}
