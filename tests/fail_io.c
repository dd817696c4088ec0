/* SPDX-License-Identifier: MIT */
/*
 * A library the tests preload into kovrestore or kovdump (LD_PRELOAD) to
 * make one I/O call fail and to record every sync, driven by the
 * environment (kovtest::fail_io in test_support.h sets it for a scope):
 *
 *   FAIL_IO_CALL    pwrite, write, fsync, fdatasync, ftruncate, fallocate,
 *                   posix_fallocate or sync_file_range; a trailing "64"
 *                   names the same call (pwrite64 is pwrite)
 *   FAIL_IO_SUFFIX  only descriptors whose file name (readlink of
 *                   /proc/self/fd/N) ends in this text count; empty or
 *                   unset counts every descriptor
 *   FAIL_IO_NTH     the matching call that fails first, counting from 1
 *   FAIL_IO_TIMES   how many matching calls fail from there (default 1;
 *                   0 fails every one from the Nth on, as a full disk does)
 *   FAIL_IO_ERRNO   the error number the failing call reports
 *   FAIL_IO_SYNC_LOG  a file to which one line is appended per fsync,
 *                   fdatasync or sync_file_range call, made or failed:
 *                   "<call> <dir|file> <path>\n"
 *   FAIL_IO_OPEN_LOG  a file to which one line is appended per file that
 *                   open or open64 opens by its name: "open <name>\n",
 *                   the name as the caller gave it
 *   FAIL_IO_LOCK_LOG  a file to which one line is appended per record lock
 *                   that fcntl sets or clears (F_SETLK, F_SETLKW) when the
 *                   call succeeds: "lock <rd|wr|un> <start> <len> <path>\n"
 *
 * Without FAIL_IO_CALL nothing fails; without the logs nothing is
 * recorded.  A failing call does nothing but set errno (posix_fallocate
 * returns the number, as it does).  The 64-bit names are the same
 * functions on the 64-bit systems the tests run on, and count together.
 *
 * Invariants: the configuration is read once, before main, and never
 * changes; the one counter is updated atomically, so calls from the
 * library's threads fail at exactly one place in their total order; a log
 * line is written by one write(2) on a descriptor opened with O_APPEND, so
 * lines from different threads never interleave.
 */
#define _GNU_SOURCE
#include <assert.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static char fault_call[32];
static const char *fault_suffix = "";
static long fault_nth;
static long fault_times = 1;
static int fault_errno;
static const char *sync_log;
static const char *open_log;
static const char *lock_log;
static long matched; /* matching calls so far, updated atomically */

__attribute__((constructor)) static void configure(void)
{
    const char *call = getenv("FAIL_IO_CALL");
    const char *v;
    sync_log = getenv("FAIL_IO_SYNC_LOG");
    open_log = getenv("FAIL_IO_OPEN_LOG");
    lock_log = getenv("FAIL_IO_LOCK_LOG");
    if (!call || !*call)
        return;
    snprintf(fault_call, sizeof fault_call, "%s", call);
    size_t n = strlen(fault_call);
    if (n > 2 && strcmp(fault_call + n - 2, "64") == 0)
        fault_call[n - 2] = '\0';
    static const char *const calls[] = {"pwrite",    "write",           "fsync",
                                        "fdatasync", "sync_file_range", "ftruncate",
                                        "fallocate", "posix_fallocate"};
    int known = 0;
    for (size_t i = 0; i < sizeof calls / sizeof *calls; i++)
        known |= strcmp(fault_call, calls[i]) == 0;
    if ((v = getenv("FAIL_IO_SUFFIX")))
        fault_suffix = v;
    if ((v = getenv("FAIL_IO_NTH")))
        fault_nth = atol(v);
    if ((v = getenv("FAIL_IO_TIMES")))
        fault_times = atol(v);
    if ((v = getenv("FAIL_IO_ERRNO")))
        fault_errno = atoi(v);
    /* A test that plants no fault must not pass for one that does. */
    if (!known || fault_nth < 1 || fault_times < 0 || fault_errno <= 0) {
        fprintf(stderr, "fail_io: a FAIL_IO_* variable is wrong\n");
        abort();
    }
}

/* The name of the file behind fd, empty when it has none. */
static void fd_path(int fd, char *path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    path[n > 0 ? n : 0] = '\0';
}

/* Whether this call of call on fd is one that must fail. */
static int must_fail(const char *call, int fd)
{
    if (!fault_call[0] || strcmp(call, fault_call) != 0)
        return 0;
    if (*fault_suffix) {
        char path[PATH_MAX + 16];
        fd_path(fd, path, sizeof path);
        size_t n = strlen(path), s = strlen(fault_suffix);
        if (n < s || strcmp(path + n - s, fault_suffix) != 0)
            return 0;
    }
    long k = __atomic_add_fetch(&matched, 1, __ATOMIC_SEQ_CST);
    return k >= fault_nth && (fault_times == 0 || k < fault_nth + fault_times);
}

static void *next(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    assert(f);
    return f;
}

/* The next definition of name, looked up once; racing threads find the
 * same one. */
#define REAL(name)                                                                                 \
    static __typeof__(&name) real_;                                                                \
    if (!__atomic_load_n(&real_, __ATOMIC_ACQUIRE))                                                \
    __atomic_store_n(&real_, (__typeof__(&name))next(#name), __ATOMIC_RELEASE)

/* Appends the n bytes of line to the file log, leaving errno as it was. */
static void append_line(const char *log, const char *line, int n, size_t size)
{
    REAL(write);
    static __typeof__(&open) real_open;
    if (!__atomic_load_n(&real_open, __ATOMIC_ACQUIRE))
        __atomic_store_n(&real_open, (__typeof__(&open))next("open"), __ATOMIC_RELEASE);
    int saved = errno;
    int fd = real_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        real_(fd, line, (size_t)n < size ? (size_t)n : size - 1);
        close(fd);
    }
    errno = saved;
}

static void log_sync(const char *call, int fd)
{
    if (!sync_log || !*sync_log)
        return;
    char path[PATH_MAX + 16];
    char line[PATH_MAX + 64];
    struct stat st;
    fd_path(fd, path, sizeof path);
    int dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    int n = snprintf(line, sizeof line, "%s %s %s\n", call, dir ? "dir" : "file", path);
    append_line(sync_log, line, n, sizeof line);
}

static void log_open(const char *name, int fd)
{
    if (!open_log || !*open_log || fd < 0)
        return;
    char line[PATH_MAX + 16];
    int n = snprintf(line, sizeof line, "open %s\n", name);
    append_line(open_log, line, n, sizeof line);
}

static void log_lock(int fd, int cmd, const struct flock *lock)
{
    if (!lock_log || !*lock_log || (cmd != F_SETLK && cmd != F_SETLKW))
        return;
    char path[PATH_MAX + 16];
    char line[PATH_MAX + 96];
    fd_path(fd, path, sizeof path);
    const char *type = lock->l_type == F_RDLCK ? "rd" : lock->l_type == F_WRLCK ? "wr" : "un";
    int n = snprintf(line, sizeof line, "lock %s %lld %lld %s\n", type, (long long)lock->l_start,
                     (long long)lock->l_len, path);
    append_line(lock_log, line, n, sizeof line);
}

/* The mode argument of open, present when the flags create a file. */
#define OPEN_MODE(flags, mode)                                                                     \
    do {                                                                                           \
        if ((flags)&O_CREAT || ((flags)&O_TMPFILE) == O_TMPFILE) {                                 \
            va_list ap;                                                                            \
            va_start(ap, flags);                                                                   \
            mode = va_arg(ap, mode_t);                                                             \
            va_end(ap);                                                                            \
        }                                                                                          \
    } while (0)

#define FAIL_OR(call, fd, expr)                                                                    \
    do {                                                                                           \
        if (must_fail(call, fd)) {                                                                 \
            errno = fault_errno;                                                                   \
            return -1;                                                                             \
        }                                                                                          \
        return expr;                                                                               \
    } while (0)

int open(const char *name, int flags, ...)
{
    REAL(open);
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    int fd = real_(name, flags, mode);
    log_open(name, fd);
    return fd;
}

int open64(const char *name, int flags, ...)
{
    REAL(open64);
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    int fd = real_(name, flags, mode);
    log_open(name, fd);
    return fd;
}

/* fcntl's third argument, a pointer or an integer, is passed on as it came.
 * SQLite calls fcntl64, the library fcntl. */
#define FCNTL(name)                                                                                \
    int name(int fd, int cmd, ...)                                                                 \
    {                                                                                              \
        REAL(name);                                                                                \
        va_list ap;                                                                                \
        va_start(ap, cmd);                                                                         \
        void *arg = va_arg(ap, void *);                                                            \
        va_end(ap);                                                                                \
        int rc = real_(fd, cmd, arg);                                                              \
        if (rc == 0)                                                                               \
            log_lock(fd, cmd, (const struct flock *)arg);                                          \
        return rc;                                                                                 \
    }
FCNTL(fcntl)
FCNTL(fcntl64)

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
    REAL(pwrite);
    FAIL_OR("pwrite", fd, real_(fd, buf, n, off));
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
    REAL(pwrite64);
    FAIL_OR("pwrite", fd, real_(fd, buf, n, off));
}

ssize_t write(int fd, const void *buf, size_t n)
{
    REAL(write);
    FAIL_OR("write", fd, real_(fd, buf, n));
}

int fsync(int fd)
{
    REAL(fsync);
    log_sync("fsync", fd);
    FAIL_OR("fsync", fd, real_(fd));
}

int fdatasync(int fd)
{
    REAL(fdatasync);
    log_sync("fdatasync", fd);
    FAIL_OR("fdatasync", fd, real_(fd));
}

int sync_file_range(int fd, off64_t off, off64_t n, unsigned int flags)
{
    REAL(sync_file_range);
    log_sync("sync_file_range", fd);
    FAIL_OR("sync_file_range", fd, real_(fd, off, n, flags));
}

int ftruncate(int fd, off_t size)
{
    REAL(ftruncate);
    FAIL_OR("ftruncate", fd, real_(fd, size));
}

int ftruncate64(int fd, off64_t size)
{
    REAL(ftruncate64);
    FAIL_OR("ftruncate", fd, real_(fd, size));
}

int fallocate(int fd, int mode, off_t off, off_t n)
{
    REAL(fallocate);
    FAIL_OR("fallocate", fd, real_(fd, mode, off, n));
}

int fallocate64(int fd, int mode, off64_t off, off64_t n)
{
    REAL(fallocate64);
    FAIL_OR("fallocate", fd, real_(fd, mode, off, n));
}

/* posix_fallocate reports its error as its result, not through errno. */
int posix_fallocate(int fd, off_t off, off_t n)
{
    REAL(posix_fallocate);
    return must_fail("posix_fallocate", fd) ? fault_errno : real_(fd, off, n);
}

int posix_fallocate64(int fd, off64_t off, off64_t n)
{
    REAL(posix_fallocate64);
    return must_fail("posix_fallocate", fd) ? fault_errno : real_(fd, off, n);
}
