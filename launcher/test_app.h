// Helpers for running the real launcher in application directories made
// afresh for each test.
#ifndef LAUNCHER_TEST_APP_H
#define LAUNCHER_TEST_APP_H

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A new directory under the system's temporary directory, with symbolic
// links resolved, removed with everything in it at the end of the scope.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    fs::path path;
};

// Lays out an application: the launcher under the name `exe` in `dir`,
// the interpreter library beside it (or in dir/../lib), and `startup`, if
// not empty, as dir/lib/__startup__.py.
void make_app(const fs::path &dir, const std::string &startup,
              const std::string &exe = "app", bool library_above = false);

void write_file(const fs::path &file, const std::string &text);

struct Outcome {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs `file` with exactly this argument vector and environment from `cwd`,
// with standard input from /dev/null, standard output to `out_path` when
// one is given, and the descriptor `closed`, if any, closed.
Outcome launch(const fs::path &file, const std::vector<std::string> &argv,
           const std::vector<std::string> &env, const fs::path &cwd = "/",
           const char *out_path = nullptr, int closed = -1);

#endif
