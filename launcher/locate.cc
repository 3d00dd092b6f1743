// Executable locator: resolves argv[0] the way a shell would find the file,
// a name with a '/' as a path, a bare name along PATH, then makes it
// absolute and free of symbolic links.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "launcher.h"

static_assert(path_size >= PATH_MAX, "realpath writes up to PATH_MAX bytes");

char executable_path[path_size];
char executable_dir[path_size];

// A candidate qualifies when it is a regular file with any execute bit set.
static bool executable(const char *candidate, struct stat *st)
{
    if (stat(candidate, st) != 0)
        return false;
    return (st->st_mode & S_IFMT) == S_IFREG && (st->st_mode & 0111) != 0;
}

// Tries entry + "/" + name for every ':'-separated entry of PATH, left to
// right, and leaves the first executable candidate in `candidate`, what
// stat says of it in `st`.
static int search(const char *name, std::size_t n, char *candidate, struct stat *st)
{
    const char *path = std::getenv("PATH");
    if (path == nullptr)
        return report_fatal_error("PATH environment variable not defined!");
    for (const char *entry = path;; ) {
        const char *end = strchrnul(entry, ':');
        const std::size_t len = static_cast<std::size_t>(end - entry);
        // Entries whose candidate would not fit are passed over silently.
        if (len < path_max && n <= path_max - 1 - len) {
            std::memcpy(candidate, entry, len);
            candidate[len] = '/';
            std::memcpy(candidate + len + 1, name, n + 1);
            if (executable(candidate, st))
                return 0;
        }
        if (*end == '\0')
            return report_fatal_error("Unable to locate executable on PATH!");
        entry = end + 1;
    }
}

// argv[0] is whatever the starting program chose: a wrapper may name
// another file, another application's among them. When the located file is
// not the running one and the kernel tells which is, that one is taken.
// Without /proc the located file stands. `located` is what stat said of the
// located file, if the search asked it already.
static void confirm(struct stat *located, bool known, char *scratch)
{
    struct stat running;
    if ((!known && stat(executable_path, located) != 0) || stat("/proc/self/exe", &running) != 0)
        return;
    if (located->st_dev == running.st_dev && located->st_ino == running.st_ino)
        return;
    if (realpath("/proc/self/exe", scratch) != nullptr)
        std::memcpy(executable_path, scratch, std::strlen(scratch) + 1);
}

int locate_executable(const char *name)
{
    char candidate[path_size];
    struct stat located;
    const std::size_t n = std::strlen(name);
    const bool given = std::strchr(name, '/') != nullptr;
    if (given) {
        if (n > path_max)
            return report_fatal_error("Path to executable is too long!");
        std::memcpy(candidate, name, n + 1);
    } else if (search(name, n, candidate, &located) != 0) {
        return -1;
    }
    if (realpath(candidate, executable_path) == nullptr)
        return report_fatal_error("Unable to determine absolute path for executable!");
    confirm(&located, !given, candidate);
    // realpath bounds its result to PATH_MAX bytes including the NUL.
    std::memcpy(executable_dir, executable_path, std::strlen(executable_path) + 1);
    char *slash = std::strrchr(executable_dir, '/');
    if (slash == nullptr)
        return report_fatal_error("Unable to calculate directory of executable!");
    *slash = '\0';
    return 0;
}
