// Black-box tests: the built launcher, copied into application directories
// laid out as users lay them out, started with a chosen argv, environment
// and working directory. No test sets LD_LIBRARY_PATH: the run path is
// part of what is tested.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "test_app.h"

namespace {

// Prints what the application sees of its start.
const char report_py[] = R"(import sys, __main__
def run():
    print 'argv=%d:%s' % (len(sys.argv), '|'.join(sys.argv))
    print 'path=' + '|'.join(sys.path)
    print 'executable=' + sys.executable
    print 'prefix=' + sys.prefix
    print 'lib=' + __main__.lib
    print 'flags=%d%d%d' % (sys.flags.no_site, sys.flags.ignore_environment, 'site' in sys.modules)
)";

std::string report(const fs::path &dir, const std::vector<std::string> &argv,
                   const std::string &exe = "app")
{
    std::string joined;
    for (size_t i = 0; i < argv.size(); ++i)
        joined += (i > 0 ? "|" : "") + argv[i];
    const std::string d = dir.string();
    return "argv=" + std::to_string(argv.size()) + ":" + joined + "\n" +
           "path=" + d + "/lib|" + d + "/lib/library.zip\n" +
           "executable=" + d + "/" + exe + "\n" +
           "prefix=" + d + "\n" +
           "lib=" + d + "/lib\n" +
           "flags=110\n";
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_app(app, report_py);
        fs::create_directories(other);
    }

    // Starts the launcher copy `file` as argv from `cwd` (relative to the
    // temporary directory) with `env` as the whole environment.
    Outcome start(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  const fs::path &cwd, const fs::path &file = {})
    {
        return launch(file.empty() ? app / "app" : file, argv, env, tmp.path / cwd);
    }

    void expect_started(const Outcome &r, const fs::path &dir,
                        const std::vector<std::string> &argv, const std::string &exe = "app")
    {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, report(dir, argv, exe));
    }

    TempDir tmp;
    fs::path app = tmp.path / "app";
    fs::path other = tmp.path / "other";
};

// Every argument reaches sys.argv unchanged, argv[0] as it was given.
TEST_F(Launcher, StartsByAnyPathFormWithoutReadingPath)
{
    const struct {
        const char *cwd;
        std::vector<std::string> argv;
    } cases[] = {
        {"app", {"./app", "a b", "", "\xc3\xa9", "-E", "--", "-c"}},
        {"", {"app/app"}},
        {"other", {"../app/app", "--verbose"}},
        {"other", {".././app/../app/app"}},
        {"/", {(app / "app").string()}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[0]);
        expect_started(start(c.argv, {}, c.cwd), app, c.argv);
    }
}

TEST_F(Launcher, SymbolicLinkResolvesToTheTargetsDirectory)
{
    fs::create_directories(tmp.path / "bin");
    fs::create_symlink("../app/app", tmp.path / "bin" / "tool");
    expect_started(start({"bin/tool"}, {}, "", tmp.path / "bin" / "tool"), app, {"bin/tool"});
    expect_started(start({"tool"}, {"PATH=" + (tmp.path / "bin").string()}, "other",
                         tmp.path / "bin" / "tool"),
                   app, {"tool"});
}

TEST_F(Launcher, FindsInterpreterLibraryInParentLib)
{
    const fs::path dir = tmp.path / "opt" / "bin";
    make_app(dir, report_py, "tool", true);
    ASSERT_FALSE(fs::exists(dir / "libpython2.7.so.1.0"));
    expect_started(start({"opt/bin/tool"}, {}, "", dir / "tool"), dir, {"opt/bin/tool"}, "tool");
}

TEST_F(Launcher, BareNameFromAnyDirectoryUsesTheLocatedExecutable)
{
    const std::string path = "PATH=" + app.string();
    expect_started(start({"app"}, {path}, "other"), app, {"app"});
    expect_started(start({"app"}, {path}, "app"), app, {"app"});
    // A file of the same name and a lib/__startup__.py in the current
    // directory are never imported.
    make_app(other, "import sys\ndef run():\n    print 'decoy'\n    sys.exit(9)\n");
    expect_started(start({"app"}, {path}, "other"), app, {"app"});
    // A wrapper whose argv[0] names another application's executable, on
    // PATH or by path, still runs the application whose executable started.
    expect_started(start({"app"}, {"PATH=" + other.string()}, "", app / "app"), app, {"app"});
    expect_started(start({"other/app"}, {}, "", app / "app"), app, {"other/app"});
}

TEST_F(Launcher, PathEntriesAreTriedLeftToRight)
{
    const fs::path first = tmp.path / "first";
    make_app(first, report_py);
    const std::string a = first.string(), b = app.string();
    expect_started(start({"app"}, {"PATH=" + a + ":" + b}, "other", first / "app"), first,
                   {"app"});
    expect_started(start({"app"}, {"PATH=" + b + ":" + a}, "other"), app, {"app"});
}

TEST_F(Launcher, PathSearchPassesOverWhatCannotBeTheExecutable)
{
    const fs::path dir = tmp.path / "d", plain = tmp.path / "plain";
    fs::create_directories(dir / "app");
    write_file(plain / "app", "not executable");
    fs::permissions(plain / "app", fs::perms::owner_read | fs::perms::owner_write);
    const std::string overlong(5000, 'x');
    const std::string path = "PATH=" + dir.string() + ":" + plain.string() + ":/nonexistent:" +
                             overlong + ":" + app.string();
    expect_started(start({"app"}, {path}, "other"), app, {"app"});
}

TEST_F(Launcher, AnyExecuteBitQualifiesOnPath)
{
    fs::permissions(app / "app", fs::perms::others_exec);
    expect_started(start({"app"}, {"PATH=" + app.string()}, "other"), app, {"app"});
}

TEST_F(Launcher, RelativePathEntriesFollowTheCurrentDirectory)
{
    expect_started(start({"app"}, {"PATH=app"}, ""), app, {"app"});
    expect_started(start({"app"}, {"PATH=/nonexistent:."}, "app"), app, {"app"});
}

TEST_F(Launcher, LocatorFailuresPrintOneLineAndExitOne)
{
    const std::string nowhere = "launcher-test-no-such-name";
    const std::string empty_dir = "PATH=" + other.string();
    // The interpreter would split a home with ':' in two.
    make_app(tmp.path / "c:d", report_py);
    fs::create_symlink("c:d/app", tmp.path / "colon");
    const struct {
        std::string argv0;
        std::vector<std::string> env;
        const char *message;
        fs::path file = {};  // the file started, if not app/app
    } cases[] = {
        {"app", {}, "PATH environment variable not defined!"},
        {"", {}, "PATH environment variable not defined!"},
        {"app", {empty_dir}, "Unable to locate executable on PATH!"},
        {"", {"PATH=" + app.string()}, "Unable to locate executable on PATH!"},
        {nowhere, {"PATH="}, "Unable to locate executable on PATH!"},
        {nowhere, {"PATH=::"}, "Unable to locate executable on PATH!"},
        {"app", {"PATH=" + other.string() + ":" + std::string(5000, 'x')},
         "Unable to locate executable on PATH!"},
        {"./nonexistent", {empty_dir}, "Unable to determine absolute path for executable!"},
        {"app/app/app", {}, "Unable to determine absolute path for executable!"},
        {"./" + std::string(5000, 'x'), {}, "Path to executable is too long!"},
        {"./c:d/app", {}, "Path to executable contains ':'!", tmp.path / "c:d" / "app"},
        {"./colon", {}, "Path to executable contains ':'!", tmp.path / "c:d" / "app"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv0.substr(0, 40));
        const Outcome r = start({c.argv0}, c.env, "", c.file);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("Fatal error: ") + c.message + "\n");
    }
}

TEST_F(Launcher, EmptyArgumentVectorIsAFatalError)
{
    // Some kernels pass an empty argv[0] instead of none; either way the
    // launcher must stop with one line before the interpreter starts.
    const Outcome r = start({}, {"PATH=" + other.string()}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Fatal error: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST_F(Launcher, PythonEnvironmentVariablesChangeNothing)
{
    make_app(other, "def run():\n    print 'decoy'\n");
    const std::vector<std::string> env = {
        "PYTHONPATH=" + (other / "lib").string(), "PYTHONHOME=" + other.string(),
        "PYTHONVERBOSE=1", "PYTHONDEBUG=1", "PYTHONINSPECT=1", "PYTHONWARNINGS=error",
        "PYTHONSTARTUP=" + (other / "lib" / "__startup__.py").string(),
    };
    expect_started(start({"./app"}, env, "app"), app, {"./app"});
}

TEST_F(Launcher, ExitStatusFollowsTheApplication)
{
    const struct {
        const char *name;
        std::string startup;  // empty: no __startup__ at all
        int status;
        const char *out;
        const char *err;  // a part of stderr, or "" for none at all
    } cases[] = {
        {"returns None", "def run():\n    print 'ran'\n", 0, "ran\n", ""},
        {"returns a number", "def run():\n    return 42\n", 0, "", ""},
        {"returns an object", "def run():\n    return object()\n", 0, "", ""},
        {"no run", "x = 1\n", 1, "", "AttributeError: 'module' object has no attribute 'run'"},
        {"import raises", "raise ValueError('boom')\n", 1, "", "ValueError: boom"},
        {"run raises", "def run():\n    raise RuntimeError('bad')\n", 1, "",
         "in run\n    raise RuntimeError('bad')\nRuntimeError: bad"},
        {"no module", "", 1, "", "ImportError: No module named __startup__"},
        {"run exits 3", "import sys\ndef run():\n    sys.exit(3)\n", 3, "", ""},
        {"run exits with a message", "import sys\ndef run():\n    sys.exit('bye')\n", 1, "",
         "bye\n"},
        {"import exits 4", "import sys\nsys.exit(4)\n", 4, "", ""},
        {"stdout closed", "import sys\ndef run():\n    sys.stdout.close()\n", 0, "", ""},
        {"stdout without flush or closed",
         "import sys\nclass Out(object):\n    def write(self, text):\n"
         "        sys.__stdout__.write(text)\n"
         "def run():\n    sys.stdout = Out()\n    print 'kept'\n",
         0, "kept\n", ""},
        {"interrupt", "import posix\ndef run():\n    try:\n"
                      "        posix.kill(posix.getpid(), 2)\n"
                      "    except KeyboardInterrupt:\n        print 'interrupted'\n",
         0, "interrupted\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(app / "lib");
        if (!c.startup.empty())
            write_file(app / "lib" / "__startup__.py", c.startup);
        const Outcome r = start({"./app"}, {}, "app");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        if (*c.err == '\0')
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

// Whichever way the application ends, output that never reached its
// destination is reported once, and a success becomes a failure.
TEST_F(Launcher, OutputThatCannotBeWrittenFailsEveryWayOut)
{
    // The standard library, for threading and atexit.
    const std::string stdlib = (fs::path(LIBPYTHON).parent_path() / "python2.7").string();
    const std::string head =
        "import sys\nsys.path += ['" + stdlib + "', '" + stdlib + "/lib-dynload']\n";
    const struct {
        const char *name;
        const char *startup;
        int status;
    } cases[] = {
        {"returns", "def run():\n    print 'lost'\n", 1},
        {"exits 0", "def run():\n    print 'lost'\n    sys.exit(0)\n", 1},
        {"exits", "def run():\n    print 'lost'\n    sys.exit()\n", 1},
        {"exits at import", "print 'lost'\nraise SystemExit\n", 1},
        {"exits 4", "def run():\n    print 'lost'\n    sys.exit(4)\n", 4},
        {"thread writes after run", "import threading, time\ndef late():\n"
                                    "    time.sleep(0.2)\n    print 'lost'\n"
                                    "def run():\n    threading.Thread(target=late).start()\n", 1},
        {"exit function writes", "import atexit\ndef run():\n"
                                 "    atexit.register(sys.stdout.write, 'lost')\n", 1},
        {"exit function exits 0", "import atexit\ndef run():\n    print 'lost'\n"
                                  "    atexit.register(sys.exit, 0)\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(app / "lib");  // no bytecode of an earlier row
        write_file(app / "lib" / "__startup__.py", head + c.startup);
        const Outcome r = launch(app / "app", {"./app"}, {}, app, "/dev/full");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "IOError: [Errno 28] No space left on device\n");
    }
}

// A standard descriptor closed at start is not handed to the first file
// the application opens.
TEST_F(Launcher, ClosedStandardDescriptorsAreNotReused)
{
    write_file(app / "lib" / "__startup__.py",
               "import sys\ndef run():\n    f = open(sys.argv[1], 'w')\n"
               "    sys.stdout.write('out\\n')\n    sys.stdout.flush()\n"
               "    sys.stderr.write('err\\n')\n    f.write('file\\n')\n    f.close()\n");
    const fs::path file = tmp.path / "file";
    for (int fd : {1, 2}) {
        SCOPED_TRACE(fd);
        const Outcome r = launch(app / "app", {"./app", file.string()}, {}, app, nullptr, fd);
        EXPECT_EQ(r.status, 0);
        std::ifstream in(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "file\n");
    }
}

TEST_F(Launcher, ImportsFromLibraryZipAfterLibDirectory)
{
    fs::remove(app / "lib" / "__startup__.py");
    const std::string zip = (app / "lib" / "library.zip").string();
    const char *build = "import sys, zipfile\n"
                        "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                        "z.writestr('__startup__.py', 'import pkg\\ndef run(): pkg.hello()\\n')\n"
                        "z.writestr('pkg/__init__.py', 'def hello(): print \"from zip\"\\n')\n"
                        "z.close()\n";
    ASSERT_EQ(launch(PYTHON2, {"python2", "-c", build, zip}, {}).status, 0);
    Outcome r = start({"./app"}, {}, "app");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "from zip\n");
    write_file(app / "lib" / "pkg" / "__init__.py", "def hello(): print 'from lib'\n");
    r = start({"./app"}, {}, "app");
    EXPECT_EQ(r.out, "from lib\n");
}

// Linkage of the built executable, read from its ELF headers. A sanitizer
// build links the sanitizer runtime and exports its hooks: it is not the
// binary that ships, so these tests do not apply to it.
class LauncherBinary : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef SANITIZED
        GTEST_SKIP() << "sanitizer build";
#endif
    }

    static std::string tool(const char *program, std::vector<std::string> args)
    {
        args.insert(args.begin(), program);
        args.push_back(LAUNCHER);
        const Outcome r = launch(program, args, {"LC_ALL=C"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

TEST_F(LauncherBinary, NeedsOnlyInterpreterAndLibcWithOriginRunPath)
{
    const std::string dynamic = tool("/usr/bin/readelf", {"-d"});
    std::string needed;
    const std::string tag = "Shared library: [";
    for (size_t at = 0; (at = dynamic.find(tag, at)) != std::string::npos;) {
        at += tag.size();
        needed += dynamic.substr(at, dynamic.find(']', at) - at) + " ";
    }
    EXPECT_EQ(needed, "libpython2.7.so.1.0 libc.so.6 ");
    EXPECT_NE(dynamic.find("(RUNPATH)            Library runpath: [${ORIGIN}:${ORIGIN}/../lib]\n"),
              std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("(RPATH)"), std::string::npos) << dynamic;
}

TEST_F(LauncherBinary, ExportsNothingOfItsOwnAndAllocatesNothing)
{
    const std::string defined = tool("/usr/bin/nm", {"-D", "--defined-only"});
    for (const char *name : {"locate_executable", "report_fatal_error", "executable_path",
                             "executable_dir", "search"})
        EXPECT_EQ(defined.find(name), std::string::npos) << name << "\n" << defined;
    const std::string undefined = tool("/usr/bin/nm", {"-D", "--undefined-only"});
    for (const char *name : {" malloc", " calloc", " realloc", " strdup", " _Zn", " free"})
        EXPECT_EQ(undefined.find(name), std::string::npos) << name << "\n" << undefined;
}

TEST_F(LauncherBinary, IsPositionIndependentWithFullRelroAndImmediateBinding)
{
    const std::string headers = tool("/usr/bin/readelf", {"-h", "-l", "-d"});
    EXPECT_NE(headers.find("Type:                              DYN"), std::string::npos);
    EXPECT_NE(headers.find("GNU_RELRO"), std::string::npos);
    EXPECT_NE(headers.find("(FLAGS)              BIND_NOW"), std::string::npos);
    EXPECT_NE(headers.find("Flags: NOW PIE"), std::string::npos) << headers;
    const std::string undefined = tool("/usr/bin/nm", {"-D", "--undefined-only"});
    EXPECT_NE(undefined.find("__stack_chk_fail"), std::string::npos);
    EXPECT_NE(undefined.find("__realpath_chk"), std::string::npos) << undefined;
}

}  // namespace
