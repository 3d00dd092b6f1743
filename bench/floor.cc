// The least an embedding program can do: initialise and finalise the
// interpreter with the given home, in the launcher's configuration. It is
// the floor under the launcher's start-up cost.
#include <Python.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    Py_NoSiteFlag = 1;
    Py_FrozenFlag = 1;
    Py_IgnoreEnvironmentFlag = 1;
    Py_SetPythonHome(argv[1]);
    Py_Initialize();
    Py_Finalize();
    return 0;
}
