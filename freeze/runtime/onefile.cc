/*
 * onefile: the head of a one-file application. freeze-app --onefile
 * writes this program, then the application directory packed, then a
 * trailer that says where the pack lies, the command to run and the
 * pack's hash. Run, it finds the directory unpacked in the user's cache,
 * or unpacks it there once, and executes the launcher in it with the
 * same arguments, in this process: signals, streams and exit statuses
 * are the launcher's own.
 *
 * The cache: $XDG_CACHE_HOME/freeze-app, else ~/.cache/freeze-app; where
 * neither can be made or run from, $TMPDIR/freeze-app-UID, else
 * /tmp/freeze-app-UID. In it, NAME-HASH is the directory, NAME-HASH.lock
 * the lock that first starts take while they unpack, and
 * NAME-HASH.tmp-PID the directory that one of them is unpacking, renamed
 * to NAME-HASH when it is complete. A place is used only if no one but
 * root and the user can change any directory on the way to it (safe),
 * judged by descriptors from / down; else the next place is tried. The
 * cache directory itself must be the user's own, no link and no one
 * else's to write; anything else is refused, never used and never
 * removed. A start that must unpack while another holds the lock says so
 * after a second and gives up after WAIT seconds.
 *
 * A later start writes nothing. It reads NAME-HASH/.unpacked, which lists
 * every directory of the application with the time it was last changed
 * when the unpacking ended, and compares: a file removed from the cache
 * since (cleaners prune old files) changes its directory's time, and the
 * application is unpacked again. A file's contents edited in place keep
 * that time and are not seen: the cache is the user's own to change.
 * Unpacked, files have the mode 0755 or 0644 by the pack's execute bit,
 * directories 0755, whatever else the pack says.
 *
 * The launcher's code, built as a library from its sources but the
 * locator, runs in this process: locate_executable here gives it the one
 * file as its executable, sys.executable, and the unpacked directory as
 * its home. sys.argv is the command line as the user gave it.
 */
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "launcher.h"

#define PATH 4097               /* a path and its NUL, as the launcher's */
#define MAGIC "freeze-app one file 1\n"
#define MAGIC_SIZE 22
#define NAME_SIZE 256
#define HASH_SIZE 32
/* The trailer: MAGIC, the pack's offset and size (eight bytes each, little
 * endian), the command's name and the pack's hash, NUL-padded. */
#define TRAILER (MAGIC_SIZE + 16 + NAME_SIZE + HASH_SIZE)
#define ENTRY 17                /* kind, mode, length of the path, size */
#define LIST (1 << 20)          /* room for .unpacked */
#define DEPTH 64                /* the deepest tree it removes */
#define LAUNCHER ".launcher.so"  /* the launcher's code, as a library */
#define LINKS 40                /* links followed on the way to a cache place */
#define WAIT 30                 /* seconds that a start waits for the lock */
#define STEP 10                 /* milliseconds between two tries of the lock */

static char self[PATH];         // the one file
static char name[NAME_SIZE + 1];
static char hash[HASH_SIZE + 1];
static uint64_t pack_at, pack_size;

static int fail(const char *what, const char *path, int error)
{
    if (path == NULL)
        fprintf(stderr, "Fatal error: %s\n", what);
    else if (error == 0)
        fprintf(stderr, "Fatal error: %s: %s\n", what, path);
    else
        fprintf(stderr, "Fatal error: %s %s: %s\n", what, path, strerror(error));
    return -1;
}

static uint64_t le(const unsigned char *p, int n)
{
    uint64_t v = 0;
    while (n-- > 0)
        v = v << 8 | p[n];
    return v;
}

static int read_at(int fd, void *buffer, size_t size, uint64_t offset)
{
    char *p = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = pread(fd, p, size, (off_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= (size_t)n;
        offset += (uint64_t)n;
    }
    return 0;
}

static int write_all(int fd, const void *buffer, size_t size)
{
    const char *p = static_cast<const char *>(buffer);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

/* `a` and `b` joined by "/" into `out`: 0, or -1 if it does not fit. */
static int join(char *out, const char *a, const char *b)
{
    const size_t m = strlen(a), n = strlen(b);
    if (m + 1 + n >= PATH)
        return -1;
    memcpy(out, a, m);
    out[m] = '/';
    memcpy(out + m + 1, b, n + 1);
    return 0;
}

/* Reads the trailer of the one file open at `fd`. */
static int trailer(int fd)
{
    struct stat st;
    unsigned char t[TRAILER];
    if (fstat(fd, &st) != 0 || st.st_size < TRAILER ||
        read_at(fd, t, TRAILER, (uint64_t)st.st_size - TRAILER) != 0 ||
        memcmp(t, MAGIC, MAGIC_SIZE) != 0)
        return fail("no application is packed in the file", self, 0);
    pack_at = le(t + MAGIC_SIZE, 8);
    pack_size = le(t + MAGIC_SIZE + 8, 8);
    memcpy(name, t + MAGIC_SIZE + 16, NAME_SIZE);
    memcpy(hash, t + MAGIC_SIZE + 16 + NAME_SIZE, HASH_SIZE);
    if (pack_at > (uint64_t)st.st_size - TRAILER || pack_size > (uint64_t)st.st_size - TRAILER - pack_at ||
        name[0] == '\0' || strchr(name, '/') != NULL ||
        strspn(hash, "0123456789abcdef") != HASH_SIZE)
        return fail("the packed application is damaged", self, 0);
    return 0;
}

/* True for a directory that is the user's own, no link, and no one
 * else's to write, by its lstat. */
static int own(const struct stat *st)
{
    return S_ISDIR(st->st_mode) && st->st_uid == geteuid() &&
           (st->st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/* True for a directory that no one but root and the user can change:
 * owned by one of them and writable by no one else, unless it is sticky
 * (/tmp), as sudo and systemd judge a safe path. */
static int safe(const struct stat *st)
{
    return S_ISDIR(st->st_mode) && (st->st_uid == 0 || st->st_uid == geteuid()) &&
           ((st->st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st->st_mode & S_ISVTX) != 0);
}

/* -2, after closing `fd` and naming `at` in `unsafe` if nothing is named
 * there yet. */
static int unsafe_at(int fd, const char *at, char *unsafe)
{
    if (fd >= 0)
        close(fd);
    const char *name = at[0] != '\0' ? at : "/";
    if (unsafe[0] == '\0')
        memcpy(unsafe, name, strlen(name) + 1);
    return -2;
}

/* Opens the directory `path` (absolute) by descriptors from / down, each
 * directory judged safe before a name is looked up in it, following only
 * links that root or the user owns; its last name is made (0700) if it
 * is missing. An O_PATH descriptor; -1 with errno; or -2 with the first
 * directory or link that others can change named in `unsafe`. */
static int open_safe(const char *path, char *unsafe)
{
    char todo[PATH], at[PATH], link[PATH];
    struct stat st;
    int fd = -1, links = 0;
    if (strlen(path) >= PATH)
        return errno = ENAMETOOLONG, -1;
    memcpy(todo, path, strlen(path) + 1);
    for (const char *p = todo;;) {
        if (p == todo && *p == '/') {
            if (fd >= 0)
                close(fd);
            at[0] = '\0';
            fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                return -1;
            if (fstat(fd, &st) != 0 || !safe(&st))
                return unsafe_at(fd, at, unsafe);
        }
        p += strspn(p, "/");
        const size_t n = strcspn(p, "/");
        if (n == 0)
            return fd;
        char name[NAME_MAX + 1];
        const size_t used = strlen(at);
        if (n > NAME_MAX || used + 1 + n >= PATH) {
            close(fd);
            return errno = ENAMETOOLONG, -1;
        }
        memcpy(name, p, n);
        name[n] = '\0';
        p += n;
        int inner = openat(fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (inner < 0 && errno == ENOENT && p[strspn(p, "/")] == '\0' &&
            (mkdirat(fd, name, 0700) == 0 || errno == EEXIST))
            inner = openat(fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (inner < 0 || fstat(inner, &st) != 0) {
            const int e = errno;
            if (inner >= 0)
                close(inner);
            close(fd);
            return errno = e, -1;
        }
        at[used] = '/';
        memcpy(at + used + 1, name, n + 1);
        if (S_ISLNK(st.st_mode)) {
            /* Its target, then the rest of the path, from / or from here. */
            const ssize_t m = readlinkat(inner, "", link, PATH - 1);
            close(inner);
            if (st.st_uid != 0 && st.st_uid != geteuid())
                return unsafe_at(fd, at, unsafe);
            const size_t rest = strlen(p);
            if (m <= 0 || ++links > LINKS || (size_t)m + rest >= PATH) {
                close(fd);
                return errno = ELOOP, -1;
            }
            memmove(todo + m, p, rest + 1);
            memcpy(todo, link, (size_t)m);
            p = todo;
            at[used] = '\0';
            continue;
        }
        close(fd);
        fd = inner;
        if (!S_ISDIR(st.st_mode)) {
            close(fd);
            return errno = ENOTDIR, -1;
        }
        if (!safe(&st))
            return unsafe_at(fd, at, unsafe);
    }
}

static int intact(const char *dir);

/* Makes the cache directory `leaf` in `parent` (made too, if it is
 * missing), `root` their join: 2 if it is there to unpack into, 1 if it
 * is there to run from but read-only, 0 if it cannot be made or run from
 * (noexec) or others can change a directory on the way (named in
 * `unsafe`), -1 after saying so if it is there but not the user's own. */
static int make_root(const char *parent, const char *leaf, const char *root, char *unsafe)
{
    struct stat st;
    struct statvfs vfs;
    const int at = open_safe(parent, unsafe);
    if (at < 0)
        return 0;
    const int there = (mkdirat(at, leaf, 0700) == 0 || errno == EEXIST) &&
                      fstatat(at, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
    close(at);
    if (!there)
        return 0;
    if (!own(&st))
        return fail("refusing the cache directory, which is a link, not the user's own or "
                    "writable by others", root, 0);
    if (statvfs(root, &vfs) != 0 || (vfs.f_flag & ST_NOEXEC) != 0)
        return 0;
    return access(root, W_OK) == 0 ? 2 : 1;
}

/* The cache directory, in `root`, and the application's in it, `dir`,
 * named `base`: the first place that can take it, or that holds it
 * intact already, read-only as it may be. 0, or -1 after saying why there
 * is none. */
static int cache(char *root, const char *base, char *dir)
{
    char parent[PATH], unsafe[PATH] = "";
    const char *xdg = getenv("XDG_CACHE_HOME"), *home = getenv("HOME");
    const char *tmp = getenv("TMPDIR");
    char user[32];
    snprintf(user, sizeof user, "freeze-app-%u", (unsigned)geteuid());
    const struct {
        const char *base, *below, *leaf;
    } places[] = {
        {xdg != NULL && xdg[0] == '/' ? xdg : NULL, NULL, "freeze-app"},
        {home != NULL && home[0] == '/' ? home : NULL, ".cache", "freeze-app"},
        {tmp != NULL && tmp[0] == '/' ? tmp : NULL, NULL, user},
        {"/tmp", NULL, user},
    };
    for (const auto &place : places) {
        if (place.base == NULL)
            continue;
        if (place.below ? join(parent, place.base, place.below) != 0
                        : strlen(place.base) >= PATH)
            continue;
        if (!place.below)
            strcpy(parent, place.base);
        if (join(root, parent, place.leaf) != 0 || join(dir, root, base) != 0)
            continue;
        const int r = make_root(parent, place.leaf, root, unsafe);
        if (r < 0)
            return -1;
        if (r == 2 || (r == 1 && intact(dir)))
            return 0;
    }
    if (unsafe[0] != '\0')
        return fail("no cache directory can be made to unpack the application into "
                    "(XDG_CACHE_HOME, HOME, TMPDIR and /tmp are read-only, noexec, missing or "
                    "unsafe); another user can change", unsafe, 0);
    return fail("no cache directory can be made to unpack the application into (XDG_CACHE_HOME, "
                "HOME, TMPDIR and /tmp are read-only, noexec or missing)", NULL, 0);
}

/* True if `dir` holds a complete unpacking that nothing has changed
 * since: every directory that .unpacked lists has the time it lists. */
static int intact(const char *dir)
{
    static char list[LIST];
    char path[PATH];
    if (join(path, dir, ".unpacked") != 0)
        return 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    ssize_t n, used = 0;
    while ((n = read(fd, list + used, LIST - 1 - (size_t)used)) > 0)
        used += n;
    close(fd);
    if (n < 0 || used == 0 || used == LIST - 1)
        return 0;
    list[used] = '\0';
    for (char *line = list, *end; *line; line = end + 1) {
        end = strchr(line, '\n');
        char *space = strchr(line, ' ');
        if (end == NULL || space == NULL || space > end)
            return 0;
        *end = '\0';
        char *stop;
        const long long stamp = strtoll(line, &stop, 10);
        struct stat st;
        if (stop != space || join(path, dir, space + 1) != 0 || lstat(path, &st) != 0 ||
            !S_ISDIR(st.st_mode) ||
            (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec != stamp)
            return 0;
    }
    return 1;
}

/* Removes the tree at `name` in the directory `at`, without following
 * links or leaving the file system of `dev`: 0, or -1 with errno. */
static int removed(int at, const char *entry, dev_t dev, int depth)
{
    struct stat st;
    if (fstatat(at, entry, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(at, entry, 0);
    if (st.st_dev != dev || depth > DEPTH) {
        errno = EXDEV;
        return -1;
    }
    const int fd = openat(at, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *d = fd < 0 ? NULL : fdopendir(fd);
    if (d == NULL) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    int r = 0;
    for (struct dirent *e; r == 0 && (e = readdir(d)) != NULL;) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            r = removed(fd, e->d_name, dev, depth + 1);
    }
    closedir(d);
    return r == 0 ? unlinkat(at, entry, AT_REMOVEDIR) : -1;
}

/* Removes what earlier starts left of NAME-HASH in `root`: a directory
 * that is not intact and unfinished unpackings, under the lock. */
static int clear(const char *root, const char *base)
{
    const int fd = open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    DIR *d = fd < 0 ? NULL : fdopendir(fd);
    if (d == NULL || fstat(fd, &st) != 0) {
        if (d != NULL)
            closedir(d);
        else if (fd >= 0)
            close(fd);
        return fail("cannot read the cache directory", root, errno);
    }
    const size_t n = strlen(base);
    int r = 0;
    for (struct dirent *e; r == 0 && (e = readdir(d)) != NULL;) {
        if (strncmp(e->d_name, base, n) == 0 &&
            (e->d_name[n] == '\0' || strncmp(e->d_name + n, ".tmp-", 5) == 0) &&
            removed(fd, e->d_name, st.st_dev, 0) != 0)
            r = fail("cannot remove what an earlier start left in", root, errno);
    }
    closedir(d);
    return r;
}

/* Copies `size` bytes at `at` of `fd` to `out`: in the kernel where it
 * can, else through a buffer. 0, or -1 with errno. */
static int copy(int fd, uint64_t at, int out, uint64_t size)
{
    static char buffer[1 << 16];
    loff_t from = (loff_t)at;
    bool kernel = true;
    while (size > 0) {
        const size_t n = size < (1U << 30) ? (size_t)size : 1U << 30;
        ssize_t done = kernel ? copy_file_range(fd, &from, out, NULL, n, 0) : -1;
        if (done < 0 && kernel && (errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                                   errno == EOPNOTSUPP)) {
            kernel = false;
            continue;
        }
        if (!kernel) {
            done = (ssize_t)(n < sizeof buffer ? n : sizeof buffer);
            if (read_at(fd, buffer, (size_t)done, (uint64_t)from) != 0) {
                if (errno == 0)
                    errno = EIO;
                return -1;
            }
            if (write_all(out, buffer, (size_t)done) != 0)
                return -1;
            from += done;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = EIO;
            return -1;
        }
        size -= (uint64_t)done;
    }
    return 0;
}

/* True for a relative path of names, none of them empty, "." or "..". */
static int inside(const char *entry)
{
    for (const char *p = entry;; p++) {
        const char *slash = strchr(p, '/');
        const size_t n = slash ? (size_t)(slash - p) : strlen(p);
        if (n == 0 || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.'))
            return 0;
        if (slash == NULL)
            return 1;
        p = slash;
    }
}

/* Unpacks the application from the one file open at `fd` into `dir`,
 * which it makes, and lists its directories in dir/.unpacked. */
static int unpack(int fd, const char *dir)
{
    static char dirs[LIST];     /* the directories made, NUL after each */
    size_t listed = 0;
    char path[PATH], entry[PATH];
    unsigned char h[ENTRY];
    if (mkdir(dir, 0700) != 0)
        return fail("cannot make", dir, errno);
    dirs[listed++] = '.';
    dirs[listed++] = '\0';
    for (uint64_t at = pack_at, end = pack_at + pack_size; at < end;) {
        if (end - at < ENTRY || read_at(fd, h, ENTRY, at) != 0)
            return fail("the packed application is damaged", self, 0);
        const unsigned kind = h[0];
        /* Modes of its own: the pack's execute bit alone is taken. */
        const mode_t mode = (le(h + 1, 4) & 0111) != 0 ? 0755 : 0644;
        const uint64_t length = le(h + 5, 4), size = le(h + 9, 8);
        at += ENTRY;
        if (length == 0 || length >= PATH || end - at < length ||
            read_at(fd, entry, (size_t)length, at) != 0 || memchr(entry, '\0', length) ||
            end - at - length < size)
            return fail("the packed application is damaged", self, 0);
        entry[length] = '\0';
        at += length;
        if (!inside(entry) || join(path, dir, entry) != 0)
            return fail("the packed application names a path outside it", entry, 0);
        if (kind == 'd') {
            if (mkdir(path, 0755) != 0)
                return fail("cannot make", path, errno);
            if (listed + length + 1 > LIST)
                return fail("the packed application has too many directories", self, 0);
            memcpy(dirs + listed, entry, length + 1);
            listed += length + 1;
            continue;
        }
        if (kind != 'f')
            return fail("the packed application is damaged", self, 0);
        const int out = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (out < 0)
            return fail("cannot write", path, errno);
        if (copy(fd, at, out, size) != 0) {
            const int e = errno;
            close(out);
            return fail("cannot write", path, e);
        }
        at += size;
        if (fchmod(out, mode) != 0 || close(out) != 0)
            return fail("cannot write", path, errno);
    }
    /* The list is made before the times are taken: making it changes the
     * time of the top directory, writing into it does not. */
    if (join(path, dir, ".unpacked") != 0)
        return fail("cannot write", dir, ENAMETOOLONG);
    const int out = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0)
        return fail("cannot write", path, errno);
    for (size_t i = 0; i < listed; i += strlen(dirs + i) + 1) {
        struct stat st;
        char line[PATH + 32];
        if (join(entry, dir, dirs + i) != 0 || lstat(entry, &st) != 0) {
            close(out);
            return fail("cannot read", entry, errno);
        }
        const int n = snprintf(line, sizeof line, "%lld %s\n",
                               (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                               dirs + i);
        if (n < 0 || (size_t)n >= sizeof line || write_all(out, line, (size_t)n) != 0) {
            const int e = errno;
            close(out);
            return fail("cannot write", path, e);
        }
    }
    if (fsync(out) != 0 || close(out) != 0)
        return fail("cannot write", path, errno);
    return 0;
}

/* Takes the lock open at `l`, `lock` its path, waiting for another start
 * that unpacks at most WAIT seconds (a start stopped with Ctrl-Z holds
 * it until it goes on): 0, or -1 after saying why. */
static int take(int l, const char *lock)
{
    const struct timespec step = {0, STEP * 1000000L};
    for (int waited = 0; flock(l, LOCK_EX | LOCK_NB) != 0; waited += STEP) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return fail("cannot lock", lock, errno);
        if (waited == 1000)
            fprintf(stderr, "Waiting for the lock %s, which another start holds while it unpacks "
                            "the application (at most %d seconds)\n", lock, WAIT);
        if (waited >= WAIT * 1000)
            return fail("gave up waiting for the lock, which another start still holds", lock, 0);
        nanosleep(&step, NULL);
    }
    return 0;
}

/* The unpacked application in `dir`, unpacked now if it is not intact:
 * under the lock, so that one start unpacks while the others wait. */
static int unpacked(int fd, const char *root, const char *base, const char *dir)
{
    char lock[PATH], tmp[PATH];
    char leaf[NAME_SIZE + HASH_SIZE + 32];
    snprintf(leaf, sizeof leaf, "%s.lock", base);
    if (join(lock, root, leaf) != 0)
        return fail("the cache directory's path is too long", root, 0);
    const int l = open(lock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (l < 0)
        return fail("cannot open the lock", lock, errno);
    if (take(l, lock) != 0) {
        close(l);
        return -1;
    }
    int r = 0;
    if (!intact(dir)) {
        snprintf(leaf, sizeof leaf, "%s.tmp-%ld", base, (long)getpid());
        r = join(tmp, root, leaf) != 0 ? fail("the cache directory's path is too long", root, 0)
            : clear(root, base) != 0   ? -1
            : unpack(fd, tmp) != 0     ? -1
            : rename(tmp, dir) != 0    ? fail("cannot rename into place", tmp, errno)
                                       : 0;
        if (r != 0) {
            struct stat st;
            const int at = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (at >= 0 && fstat(at, &st) == 0)
                removed(at, leaf, st.st_dev, 0);
            if (at >= 0)
                close(at);
        }
    }
    close(l);
    return r;
}

// The launcher's code asks for its place here: the one file, which
// becomes sys.executable, and the unpacked directory, its home. argv[0]
// stays as the user gave it.
char executable_path[path_size];
char executable_dir[path_size];

int locate_executable(const char *)
{
    return 0;
}

int main(int argc, char **argv)
{
    char root[PATH], module[PATH];
    char base[NAME_SIZE + HASH_SIZE + 2];
    const ssize_t n = readlink("/proc/self/exe", self, PATH - 1);
    if (n <= 0 || n >= PATH - 1)
        return fail("cannot find its own file", NULL, 0), 1;
    self[n] = '\0';
    const int fd = open(self, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail("cannot open", self, errno), 1;
    if (trailer(fd) != 0)
        return 1;
    snprintf(base, sizeof base, "%s-%s", name, hash);
    if (cache(root, base, executable_dir) != 0)
        return 1;
    if (join(module, executable_dir, LAUNCHER) != 0)
        return fail("the cache directory's path is too long", root, 0), 1;
    if (!intact(executable_dir) && unpacked(fd, root, base, executable_dir) != 0)
        return 1;
    close(fd);
    struct stat st;
    if (lstat(executable_dir, &st) != 0 || !own(&st))
        return fail("refusing the cache directory, which is a link, not the user's own or "
                    "writable by others", executable_dir, 0), 1;
    memcpy(executable_path, self, strlen(self) + 1);
    /* The launcher's own code, from LAUNCHER in the directory, runs in
     * this process: a second exec would cost as much as the rest of a
     * small program's start. */
    void *code = dlopen(module, RTLD_NOW | RTLD_GLOBAL);
    int (*launch)(int, char **) =
        code ? reinterpret_cast<int (*)(int, char **)>(dlsym(code, "main")) : NULL;
    if (launch == NULL)
        return fail("cannot load the launcher", dlerror(), 0), 1;
    return launch(argc, argv);
}
