#ifndef FINDER_H
#define FINDER_H

typedef struct {
    PyObject_HEAD
    PyObject *finder;           /* __boot__'s finder in Python, once it runs */
    PyObject *found;            /* modules found: name -> (member, index of its
                                   entry, package, where its source lies: ""
                                   or SOURCES), None for imp, or the loader
                                   that __boot__'s finder gave */
} Finder;

extern PyTypeObject finder_type;
extern PyObject *boot_module;   /* __boot__, once it runs */

/* Calls `method` of `object` with `args` while no tracer or profiler
 * runs: __boot__ is the application's import machinery, as the
 * interpreter's own, in C, is the plain interpreter's, and tracers
 * (bdb, profilers, coverage tools) see neither. */
PyObject *quietly(PyObject *object, const char *method, PyObject *args);
/* Calls args[0] with the rest of `args` under the tracers that quietly()
 * put aside: __boot__ runs the code of the modules it loads so (with
 * eval), and imp's own loaders, so that tracers see the modules' code
 * run, as under the interpreter, and none of __boot__'s. */
PyObject *boot_traced(PyObject *self, PyObject *args);

#endif
