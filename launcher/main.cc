// Entry and hand-off: locate the executable, start the embedded interpreter
// with the executable's directory as its home and the environment shut out,
// narrow sys.path to the application's library, then call __startup__.run().
#include <Python.h>

#include "launcher.h"

// Runs in __main__, which keeps the names sys, freeze_dir and lib.
static const char startup_script[] =
    "import sys; freeze_dir = sys.path[0]; lib = freeze_dir + '/lib'; "
    "sys.path=[lib, lib + '/library.zip']";

// Python 2.7 takes the name as a non-const char * but does not modify it.
static PyObject *sys_object(const char *name)
{
    return PySys_GetObject(const_cast<char *>(name));
}

static int locate(int argc, char **argv)
{
    if (argc < 1 || argv[0] == nullptr)
        return report_fatal_error("No program name in the argument vector!");
    return locate_executable(argv[0]);
}

// Puts the executable's directory at the front of sys.path, where the
// startup script takes it from. It comes from the located file, never from
// the current directory, so a bare-name start cannot import foreign code.
static void put_dir_first()
{
    PyObject *path = sys_object("path");
    PyObject *dir = PyString_FromString(executable_dir[0] != '\0' ? executable_dir : "/");
    if (path == nullptr || dir == nullptr || PyList_Insert(path, 0, dir) != 0)
        report_fatal_error("Cannot put executable directory on sys.path!");
    Py_XDECREF(dir);
}

// Returns 1 if the stream is there, open, and its buffered output cannot be
// written, after printing why; 0 otherwise.
static int flush(const char *stream)
{
    PyObject *file = sys_object(stream);
    if (file == nullptr || file == Py_None)
        return 0;
    PyObject *closed = PyObject_GetAttrString(file, "closed");
    const int is_closed = closed != nullptr ? PyObject_IsTrue(closed) : 0;
    Py_XDECREF(closed);
    PyErr_Clear();
    if (is_closed == 1)
        return 0;
    PyObject *method = PyObject_GetAttrString(file, "flush");
    PyObject *result = method != nullptr ? PyObject_CallObject(method, nullptr) : nullptr;
    Py_XDECREF(method);
    if (result == nullptr) {
        PyErr_Print();
        return 1;
    }
    Py_DECREF(result);
    return 0;
}

static int fail()
{
    PyErr_Print();  // exits the process itself on SystemExit
    return 1;
}

// Imports __startup__ and calls its run(); returns the exit status.
static int hand_off()
{
    PyObject *name = PyString_FromString("__startup__");
    if (name == nullptr)
        return report_fatal_error("Cannot create string for startup module name!"), 1;
    PyObject *module = PyImport_Import(name);
    if (module == nullptr)
        return fail();
    PyObject *run = PyObject_GetAttrString(module, "run");
    if (run == nullptr)
        return fail();
    PyObject *result = PyObject_CallObject(run, nullptr);
    if (result == nullptr)
        return fail();
    Py_DECREF(result);
    Py_DECREF(run);
    Py_DECREF(module);
    Py_DECREF(name);
    // Output the application left buffered must reach its destination, or
    // the start is not a success.
    const int out = flush("stdout");
    const int err = flush("stderr");
    return out | err;
}

int main(int argc, char **argv)
{
    int status = 1;
    if (locate(argc, argv) == 0) {
        Py_NoSiteFlag = 1;
        Py_FrozenFlag = 1;
        Py_IgnoreEnvironmentFlag = 1;
        Py_SetPythonHome(executable_dir);
        Py_SetProgramName(executable_path);
        Py_Initialize();
        PySys_SetArgvEx(argc, argv, 0);
        put_dir_first();
        PyRun_SimpleStringFlags(startup_script, nullptr);
        status = hand_off();
    }
    Py_Finalize();
    return status;
}
