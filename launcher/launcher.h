// Internal interface of the launcher: self-location and fatal error reporting.
// Nothing declared here is exported from the executable.
#ifndef LAUNCHER_LAUNCHER_H
#define LAUNCHER_LAUNCHER_H

#include <cstddef>

// Room for a path of at most path_max bytes and its terminating NUL.
constexpr std::size_t path_max = 4096;
constexpr std::size_t path_size = path_max + 1;

// Absolute, symbolic-link-free path of the executable and the directory
// holding it (without the trailing '/': empty for a file in the root).
// Written once by locate_executable; the interpreter keeps pointers to them
// for the life of the process.
extern char executable_path[path_size];
extern char executable_dir[path_size];

// Fills executable_path and executable_dir from argv[0]. Returns 0, or -1
// after the failure has been reported.
int locate_executable(const char *name);

// Reports a failure that ends start-up. Before the interpreter runs it
// prints "Fatal error: <message>" on stderr and returns -1; afterwards it
// prints the pending exception and aborts through the interpreter.
int report_fatal_error(const char *message);

#endif
