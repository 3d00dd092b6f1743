// Fuzzes self-location. An input is argv[0], then optionally a newline and
// the value of PATH (without the newline, PATH is unset). The names are
// resolved inside a fixture tree made once per process and entered as the
// current directory, so that relative names and PATH entries reach
// directories, executables, files without an execute bit, symbolic links
// and a directory whose path is too long for a path buffer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "../launcher.h"

namespace {

void die(const char *what)
{
    std::perror(what);
    std::abort();
}

void file(const char *name, mode_t mode)
{
    const int fd = open(name, O_CREAT | O_WRONLY | O_TRUNC, mode);
    if (fd < 0 || fchmod(fd, mode) != 0 || close(fd) != 0)
        die(name);
}

void dir(const char *name)
{
    if (mkdir(name, 0755) != 0)
        die(name);
}

void link(const char *target, const char *name)
{
    if (symlink(target, name) != 0)
        die(name);
}

char root[] = "/tmp/locate-fuzz-XXXXXX";

void remove_fixture()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void make_fixture()
{
    if (mkdtemp(root) == nullptr || chdir(root) != 0)
        die("fixture");
    std::atexit(remove_fixture);
    dir("bin");
    file("bin/app", 0755);
    link("app", "bin/tool");
    link("loop", "bin/loop");
    link("nowhere", "bin/dangling");
    dir("noexec");
    file("noexec/app", 0644);
    dir("others");
    file("others/app", 0001);
    dir("dir");
    dir("dir/app");
    link("bin", "link");
    link("..", "bin/up");
    // deep/aaa.../aaa.../app: a real executable under a path of over
    // 4096 bytes, made one component at a time.
    dir("deep");
    const int top = open(".", O_RDONLY | O_DIRECTORY);
    if (top < 0 || chdir("deep") != 0)
        die("deep");
    const std::string component(250, 'a');
    for (int i = 0; i < 18; ++i)
        if (mkdir(component.c_str(), 0755) != 0 || chdir(component.c_str()) != 0)
            die("deep component");
    file("app", 0755);
    if (fchdir(top) != 0 || close(top) != 0)
        die("fixture");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    make_fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string name = input.substr(0, newline);
    if (newline == std::string::npos)
        unsetenv("PATH");
    else
        setenv("PATH", input.c_str() + newline + 1, 1);
    if (locate_executable(name.c_str()) != 0)
        return 0;
    // A located executable is absolute and lies in executable_dir.
    const std::size_t path_len = std::strlen(executable_path);
    const std::size_t dir_len = std::strlen(executable_dir);
    if (executable_path[0] != '/' || path_len > path_max || dir_len >= path_len ||
        std::strncmp(executable_path, executable_dir, dir_len) != 0 ||
        executable_path[dir_len] != '/' || std::strchr(executable_path + dir_len + 1, '/'))
        std::abort();
    return 0;
}
