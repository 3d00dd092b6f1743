// Defaults for the sanitizer runtime, linked into sanitizer builds only.
// The interpreter library does not free everything it allocates before
// the process exits; those leaks are not the launcher's. Slow unwinding
// sees through the interpreter's frames, so that an allocation made by an
// extension module on the interpreter's behalf is traced to the library.
extern "C" {
const char *__asan_default_options() { return "detect_leaks=1:fast_unwind_on_malloc=0"; }
const char *__ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
const char *__lsan_default_options() { return "print_suppressions=0"; }
const char *__lsan_default_suppressions() { return "leak:libpython2.7.so\n"; }
}
