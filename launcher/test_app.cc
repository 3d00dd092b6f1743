#include "test_app.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

TempDir::TempDir()
{
    std::string templ = (fs::temp_directory_path() / "launcher-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = fs::canonical(templ);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void write_file(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A hard link where the file system allows it, which the loader cannot tell
// from a copy; a copy otherwise. Only for files that no test changes: a
// hard link shares its permissions with the original.
static void link_or_copy(const fs::path &from, const fs::path &to)
{
    fs::create_directories(to.parent_path());
    std::error_code failed;
    fs::create_hard_link(from, to, failed);
    if (failed)
        fs::copy_file(from, to);
}

void make_app(const fs::path &dir, const std::string &startup, const std::string &exe,
              bool library_above)
{
    fs::create_directories(dir);
    fs::copy_file(LAUNCHER, dir / exe);
    const fs::path library_dir = library_above ? dir.parent_path() / "lib" : dir;
    link_or_copy(LIBPYTHON, library_dir / "libpython2.7.so.1.0");
    if (!startup.empty())
        write_file(dir / "lib" / "__startup__.py", startup);
}

static std::string slurp(FILE *file)
{
    std::string text;
    std::rewind(file);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;)
        text.append(buf, n);
    std::fclose(file);
    return text;
}

static std::vector<char *> pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (const std::string &s : strings)
        p.push_back(const_cast<char *>(s.c_str()));
    p.push_back(nullptr);
    return p;
}

Outcome launch(const fs::path &file, const std::vector<std::string> &argv,
           const std::vector<std::string> &env, const fs::path &cwd, const char *out_path,
           int closed)
{
    FILE *out = std::tmpfile();
    FILE *err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_path != nullptr)
        posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
    if (closed >= 0)
        posix_spawn_file_actions_addclose(&actions, closed);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<char *> args = pointers(argv);
    std::vector<char *> envp = pointers(env);
    pid_t pid;
    const int failed = posix_spawn(&pid, file.c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + file.string());
    int status = 0;
    waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return Outcome{code, slurp(out), slurp(err)};
}
