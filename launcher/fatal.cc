// Fatal error reporting: one line on stderr before the interpreter runs,
// the interpreter's own fatal-error path once it does.
#include <Python.h>

#include <cstdio>

#include "launcher.h"

int report_fatal_error(const char *message)
{
    if (Py_IsInitialized() != 0) {
        PyErr_Print();
        Py_FatalError(message);  // aborts the process
    }
    std::fprintf(stderr, "Fatal error: %s\n", message);
    return -1;
}
