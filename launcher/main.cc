// Entry and hand-off: locate the executable, start the embedded interpreter
// with the executable's directory as its home and the environment shut out,
// narrow sys.path to the application's library, then call __startup__.run().
#include <Python.h>

#include <fcntl.h>

#include <cstring>

#include "launcher.h"

// Runs in __main__, which keeps the names sys, freeze_dir and lib.
static const char startup_script[] =
    "import sys; freeze_dir = sys.path[0]; lib = freeze_dir + '/lib'; "
    "sys.path=[lib, lib + '/library.zip']";

// The exit status: 1 until the application has ended, then what its end
// asks for, settled by end() while the interpreter finalises; and the exit
// function the application left in sys.exitfunc, which end() runs.
static int exit_status = 1;
static PyObject *app_exitfunc = nullptr;
static char exitfunc[] = "exitfunc";  // PySys_SetObject takes a char *

// Python 2.7 takes names as non-const char * but does not modify them.
static PyObject *sys_object(const char *name)
{
    return PySys_GetObject(const_cast<char *>(name));
}

// A standard descriptor closed at start would be taken by the first file
// the application opens, and its output or a traceback would land there.
static void open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1)
            (void)open("/dev/null", O_RDWR);  // the lowest free descriptor: fd
    }
}

static int locate(int argc, char **argv)
{
    if (argc < 1 || argv[0] == nullptr)
        return report_fatal_error("No program name in the argument vector!");
    if (locate_executable(argv[0]) != 0)
        return -1;
    // The interpreter splits its home at ':' and would read the part after
    // it as a directory relative to the current one.
    if (std::strchr(executable_dir, ':') != nullptr)
        return report_fatal_error("Path to executable contains ':'!");
    return 0;
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

// The status a pending SystemExit asks for, read as the interpreter reads
// it: None is 0, an integer is itself, anything else is printed and is 1.
static int exit_code()
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *code = value;
    Py_XINCREF(code);
    if (code != nullptr && PyExceptionInstance_Check(code)) {
        PyObject *attr = PyObject_GetAttrString(code, "code");
        if (attr != nullptr) {
            Py_DECREF(code);
            code = attr;
        }
        PyErr_Clear();
    }
    int status = 0;
    if (code != nullptr && code != Py_None) {
        if (PyInt_Check(code)) {
            status = static_cast<int>(PyInt_AsLong(code));
        } else {
            PyObject *err = sys_object("stderr");
            if (err != nullptr && err != Py_None) {
                PyFile_WriteObject(code, err, Py_PRINT_RAW);
            } else {
                PyObject_Print(code, stderr, Py_PRINT_RAW);
            }
            PySys_WriteStderr("\n");
            PyErr_Clear();
            status = 1;
        }
    }
    Py_XDECREF(code);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return status;
}

// Reports the pending exception; returns the status it gives the process.
static int fail()
{
    if (PyErr_ExceptionMatches(PyExc_SystemExit) != 0)
        return exit_code();
    PyErr_Print();
    return 1;
}

// Returns 1 if the stream is there, open, and its buffered output cannot be
// written, after printing why; 0 otherwise. An object without flush or
// closed has nothing to flush, or cannot tell that it is closed.
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
    if (method == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *result = PyObject_CallObject(method, nullptr);
    Py_DECREF(method);
    if (result == nullptr) {
        PyErr_Print();
        return 1;
    }
    Py_DECREF(result);
    return 0;
}

// Installed as sys.exitfunc, which finalisation calls after it has joined
// the application's threads: nothing of the application runs after it.
// Runs the application's own exit function as finalisation would, then
// decides the status: output that did not reach its destination turns an
// exit the application meant as a success into a failure.
static PyObject *end(PyObject *, PyObject *)
{
    if (app_exitfunc != nullptr) {
        PyObject *result = PyObject_CallObject(app_exitfunc, nullptr);
        if (result == nullptr && PyErr_ExceptionMatches(PyExc_SystemExit) != 0) {
            exit_status = exit_code();
        } else if (result == nullptr) {
            PySys_WriteStderr("Error in sys.exitfunc:\n");
            PyErr_Print();
        }
        Py_XDECREF(result);
        Py_CLEAR(app_exitfunc);
    }
    if (Py_FlushLine() != 0)
        PyErr_Clear();
    const int out = flush("stdout");
    const int err = flush("stderr");
    // exit() keeps the low 8 bits: 256 would read as success too.
    if ((out | err) != 0 && (exit_status & 0xff) == 0)
        exit_status = 1;
    Py_INCREF(Py_None);
    return Py_None;
}

static PyMethodDef end_method = {exitfunc, end, METH_NOARGS, nullptr};

// Makes end() the last exit function, in front of the application's own.
static void end_last(int status)
{
    exit_status = status;
    app_exitfunc = sys_object(exitfunc);
    Py_XINCREF(app_exitfunc);
    PyObject *function = PyCFunction_New(&end_method, nullptr);
    if (function == nullptr || PySys_SetObject(exitfunc, function) != 0)
        report_fatal_error("Cannot install the exit check!");
    Py_DECREF(function);
}

// Imports __startup__ and calls its run(); returns the status the
// application's end gives, before its output has been checked.
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
    return 0;
}

int main(int argc, char **argv)
{
    open_standard_descriptors();
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
        end_last(hand_off());
    }
    Py_Finalize();  // decides exit_status through end(), if the interpreter ran
    return exit_status;
}
