// SPDX-License-Identifier: MIT
// Opening checks of the kov library (open_checks.h).

#include "open_checks.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include <sqlite3.h>

namespace {

// The byte that kov handles lock to hold a file.  SQLite locks the bytes
// from 1 GiB to 1 GiB + 512 of a database file, so a lock here neither
// blocks nor is blocked by any SQLite client; only kov handles see it.
constexpr off_t kov_hold_byte = (1LL << 30) + 1024;

// A file that handles of this process hold.  A descriptor on it that a
// handle no longer needs is parked here until no handle holds the file:
// closing it earlier would drop the POSIX locks of the holders' SQLite
// connections.
struct held_file {
    dev_t dev;
    ino_t ino;
    int readers = 0, writers = 0;
    std::vector<int> parked;
};

std::mutex held_lock;
std::vector<held_file> held_files;  // one entry per file held, so very few

// SQLite's lock bytes in a database file: the pending byte, the reserved
// byte and the 510 shared bytes, from 1 GiB on.
constexpr off_t sqlite_lock_first = 1LL << 30;
constexpr off_t sqlite_lock_bytes = 512;
static_assert(kov_hold_byte >= sqlite_lock_first + sqlite_lock_bytes);

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

held_file *find_held(dev_t dev, ino_t ino)
{
    for (held_file &h : held_files)
        if (h.dev == dev && h.ino == ino)
            return &h;
    return nullptr;
}

// Whether a handle that wants the file (for writing or not) must be refused
// because of the holders h.
bool conflicts(const held_file *h, bool writer)
{
    return h && (h->writers > 0 || (writer && h->readers > 0));
}

int fail(std::string *error, const std::string &text)
{
    *error = text;
    return -1;
}

// What a file that is not a regular one is, for the refusal's text.
const char *kind_of(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "a special file";
    }
}

// Refuses, by its status, anything but a regular file: a directory with
// EISDIR, the rest with EINVAL and a text naming what it is.  Returns 0 for
// a regular file.
int refuse_unless_regular(const struct stat &st, std::string *error, int *err)
{
    if (S_ISREG(st.st_mode))
        return 0;
    *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return fail(error, *err == EISDIR ? strerror(EISDIR)
                                      : std::string("not a kov database: ") +
                                            kind_of(st.st_mode) + ", not a regular file");
}

int fail_busy(bool writer, std::string *error, int *err)
{
    *err = EBUSY;
    return fail(error, writer ? "the database is open in another kov handle"
                              : "the database is open for writing in another kov handle");
}

// Fails with EEXIST and a text naming the file.
int fail_in_the_way(const std::string &path, std::string *error, int *err)
{
    *err = EEXIST;
    *error = path + " already exists beside the new database; remove it or choose another name";
    return -1;
}

// Closes fd, or parks it while handles still hold its file.  Takes away the
// hold of f when it had one.  Called with held_lock held.
void unhold_locked(kov_file &f, int fd)
{
    held_file *h = find_held(f.dev, f.ino);
    if (h && f.held) {
        (f.writer ? h->writers : h->readers)--;
        f.held = false;
    }
    if (h && (h->writers > 0 || h->readers > 0)) {
        h->parked.push_back(fd);
        return;
    }
    close(fd);
    if (h) {
        for (int parked : h->parked)
            close(parked);
        *h = held_files.back();
        held_files.pop_back();
    }
}

// Takes the hold between processes: an open-file-description lock where the
// system has one, flock otherwise.  Returns false only when another handle
// holds the file; where the file system has no locks, the hold inside the
// process is all there is.
bool lock_hold_byte(int fd, bool writer)
{
#ifdef F_OFD_SETLK
    struct flock lock = {};
    lock.l_type = writer ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kov_hold_byte;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return true;
    return errno != EAGAIN && errno != EACCES;
#else
    return flock(fd, (writer ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 || errno != EWOULDBLOCK;
#endif
}

// SQLite keeps a path name within its VFS's mxPathname bytes, and refuses
// a database whose full name (symbolic links resolved) leaves no room for
// "-journal" beside it, as "unable to open" after the file was made.  Such
// a name is refused first, with ENAMETOOLONG and the lengths.  When SQLite
// cannot resolve the name at all (a link to a long name), the directory's
// own name gives the length.
int check_name_length(const kov_file &f, std::string *error, int *err)
{
    sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr);
    if (!vfs || vfs->mxPathname < 64)
        return 0;
    size_t limit = static_cast<size_t>(vfs->mxPathname) - strlen("-journal");
    std::vector<char> full(2 * PATH_MAX + 1);
    size_t len;
    if (vfs->xFullPathname(vfs, sqlite_path(f).c_str(), static_cast<int>(full.size()),
                           full.data()) == SQLITE_OK) {
        len = strlen(full.data());
    } else {
        std::string link = "/proc/self/fd/" + std::to_string(f.dir_fd);
        ssize_t n = readlink(link.c_str(), full.data(), full.size());
        if (n <= 0)
            return 0;
        len = static_cast<size_t>(n) + 1 + f.base.size();
    }
    if (len <= limit)
        return 0;
    *err = ENAMETOOLONG;
    return fail(error, "the database's full path name is " + std::to_string(len) +
                           " bytes long; SQLite takes at most " + std::to_string(limit) +
                           ", to leave room for the journal's name");
}

// Opens the directory of f.name into f->dir_fd and sets f->base.  A
// directory that may be searched but not read is opened only as a place
// (O_PATH): files open in it as before, and only its sync fails, as it did.
int open_directory(kov_file *f, std::string *error, int *err)
{
    size_t slash = f->name.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : f->name.substr(0, slash ? slash : 1);
    f->base = slash == std::string::npos ? f->name : f->name.substr(slash + 1);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        f->dir_sync_err = EACCES;
        fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    f->dir_fd = above_stdio(fd);
    if (f->dir_fd < 0) {
        *err = errno;
        return fail(error, strerror(errno));
    }
    return 0;
}

}  // namespace

int above_stdio(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

namespace {

// A name that ends in a slash names no file: it fails as open(2) fails on
// it, and a directory is refused.  Always -1, with the cause in *err.
int refuse_slash_name(const char *name, bool create, bool readonly, std::string *error, int *err)
{
    int fd = create ? -1 : open(name, (readonly ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC);
    *err = create || fd >= 0 ? EISDIR : errno;
    if (fd >= 0)
        close(fd);
    return fail(error, strerror(*err));
}

// Opens f's base name in its directory as open_flags ask, above the
// standard streams: the descriptor, or -1 with errno set.  *created says
// whether this call made the file.  O_NONBLOCK: should the name lead to a
// FIFO by now, which kov_file_open refused a moment ago, the open does not
// block, and check_file refuses it; on a regular file the flag does nothing.
int open_in_directory(const kov_file *f, int open_flags, mode_t mode, bool readonly, bool *created)
{
    int fd;
    if (open_flags & O_CREAT) {
        fd = openat(f->dir_fd, f->base.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0)
            *created = true;
        else if (errno == EEXIST && !(open_flags & O_EXCL))
            fd = openat(f->dir_fd, f->base.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } else {
        fd = openat(f->dir_fd, f->base.c_str(),
                    (readonly ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC);
    }
    return above_stdio(fd);
}

// Write-locks SQLite's lock bytes of a file this handle just created,
// before anything else is done with it, so that no other SQLite client can
// lock it, let alone write it, in the moments before the handle's
// connection takes its own lock (claim_lock, in attach).  The lock is one
// of the process's POSIX locks, as SQLite's are: SQLite's own locks on
// those bytes take its place, and its last unlock at the close ends it.
// Where the file system has no locks, SQLite's own lock is all there is.
void lock_sqlite_bytes(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = sqlite_lock_first;
    lock.l_len = sqlite_lock_bytes;
    (void)fcntl(fd, F_SETLK, &lock);
}

}  // namespace

int kov_file_open(kov_file *f, const char *name, int open_flags, mode_t mode, bool *created,
                  std::string *error, int *err)
{
    bool create = open_flags & O_CREAT;
    bool readonly = !create && (open_flags & O_ACCMODE) == O_RDONLY;
    f->name = name;
    f->writer = !readonly;
    *created = false;
    if (f->name.back() == '/')
        return refuse_slash_name(name, create, readonly, error, err);
    if (open_directory(f, error, err) || check_name_length(*f, error, err))
        return -1;

    // A file another handle of this process holds is refused before a
    // descriptor on it exists (see held_file); O_EXCL opens none anyway.
    // So is anything but a regular file: opening a FIFO, even without
    // blocking, would wake a writer waiting at its other end, and a device
    // may block or act on an open.
    struct stat st;
    bool exclusive = create && (open_flags & O_EXCL);
    if (!exclusive && fstatat(f->dir_fd, f->base.c_str(), &st, 0) == 0) {
        if (refuse_unless_regular(st, error, err))
            return -1;
        std::lock_guard<std::mutex> guard(held_lock);
        if (conflicts(find_held(st.st_dev, st.st_ino), f->writer))
            return fail_busy(f->writer, error, err);
    }

    int fd = open_in_directory(f, open_flags, mode, readonly, created);
    if (fd < 0 || fstat(fd, &st) != 0) {
        *err = errno;
        fail(error, strerror(errno));
        if (fd >= 0)
            close(fd);
        if (*created)
            unlinkat(f->dir_fd, f->base.c_str(), 0);
        *created = false;
        return -1;
    }
    if (*created)
        lock_sqlite_bytes(fd);
    f->dev = st.st_dev;
    f->ino = st.st_ino;

    std::lock_guard<std::mutex> guard(held_lock);
    held_file *h = find_held(f->dev, f->ino);
    // The name led elsewhere a moment ago: the descriptor must wait.
    if (conflicts(h, f->writer)) {
        h->parked.push_back(fd);
        *created = false;
        return fail_busy(f->writer, error, err);
    }
    if (!h) {
        held_files.push_back({f->dev, f->ino, 0, 0, {}});
        h = &held_files.back();
    }
    (f->writer ? h->writers : h->readers)++;
    f->held = true;
    if (!lock_hold_byte(fd, f->writer)) {
        unhold_locked(*f, fd);
        *created = false;
        *err = EBUSY;
        return fail(error, f->writer ? "the database is open in another process"
                                     : "the database is open for writing in another process");
    }
    f->fd = fd;
    return 0;
}

void kov_file_release(kov_file &f, bool remove)
{
    std::string unused;
    if (remove && f.fd >= 0 && kov_file_check_named(f, &unused) == 0)
        unlinkat(f.dir_fd, f.base.c_str(), 0);
    if (f.direct_fd >= 0)
        close(f.direct_fd);
    f.direct_fd = -1;
    if (f.fd >= 0) {
        std::lock_guard<std::mutex> guard(held_lock);
        unhold_locked(f, f.fd);
        f.fd = -1;
    }
    if (f.dir_fd >= 0)
        close(f.dir_fd);
    f.dir_fd = -1;
}

int kov_file_check_named(const kov_file &f, std::string *error)
{
    struct stat st;
    if (fstatat(f.dir_fd, f.base.c_str(), &st, 0) == 0 && st.st_dev == f.dev && st.st_ino == f.ino)
        return 0;
    return fail(error, f.name + " no longer leads to the database written: the file was removed "
                                "or renamed while it was open");
}

int kov_file_sync(const kov_file &f, std::string *error, int *err)
{
    if (fsync(f.fd)) {
        *err = errno;
        return fail(error, std::string("cannot sync the database: ") + strerror(errno));
    }
    if (f.dir_sync_err || fsync(f.dir_fd)) {
        *err = f.dir_sync_err ? f.dir_sync_err : errno;
        fail(error, std::string("cannot sync the directory: ") + strerror(*err));
        return -2;
    }
    return 0;
}

std::string sqlite_path(const kov_file &f)
{
    return f.name[0] == '/' ? f.name : "./" + f.name;
}

int check_file(const kov_file &f, bool readonly, std::string *error, int *err)
{
    struct stat st;
    if (fstat(f.fd, &st)) {
        *err = errno;
        return fail(error, strerror(errno));
    }
    if (refuse_unless_regular(st, error, err))
        return -1;
    if (st.st_size == 0 && !readonly)
        return 0;
    *err = EINVAL;
    if (st.st_size == 0)
        return fail(error, "not a kov database: the file is empty");

    // A file that does not start as a SQLite database never becomes one:
    // it is refused before SQLite sees it, which would play a -journal
    // beside it back into it.  Bytes 18 and 19 of the header are 2 in WAL
    // mode; a -wal beside the file is read as part of it whatever the
    // header says.
    unsigned char header[100];
    ssize_t got = pread(f.fd, header, sizeof header, 0);
    if (got < 0) {
        *err = errno;
        return fail(error, strerror(errno));
    }
    if (got < 16 || memcmp(header, "SQLite format 3", 16) != 0)
        return fail(error, "not a kov database: not a SQLite database");
    struct stat wal_st;
    bool wal = got >= 20 && (header[18] == 2 || header[19] == 2);
    if (readonly &&
        (wal || fstatat(f.dir_fd, (f.base + "-wal").c_str(), &wal_st, AT_SYMLINK_NOFOLLOW) == 0)) {
        *err = ENOTSUP;
        return fail(error, "database in WAL mode, which cannot be read without writing beside "
                           "it; convert it with PRAGMA journal_mode=DELETE");
    }
    return 0;
}

int refuse_side_files(const kov_file &f, std::string *error, int *err)
{
    for (const char *suffix : {"-journal", "-wal", "-shm"}) {
        std::string side = f.name + suffix;
        struct stat st;
        if (fstatat(f.dir_fd, (f.base + suffix).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return fail_in_the_way(side, error, err);
        if (errno != ENOENT) {
            *err = errno;
            return fail(error, side + ": " + strerror(errno));
        }
    }
    return 0;
}

int create_journal(kov_file &f, std::string *error, int *err)
{
    struct stat st;
    if (fstat(f.fd, &st)) {
        *err = errno;
        return fail(error, strerror(errno));
    }
    std::string journal = f.base + "-journal";
    int fd = above_stdio(openat(f.dir_fd, journal.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                (st.st_mode & 0777) | S_IRUSR | S_IWUSR));
    if (fd < 0) {
        if (errno == EEXIST)
            return fail_in_the_way(f.name + "-journal", error, err);
        *err = errno;
        return fail(error, f.name + "-journal: " + strerror(errno));
    }
    f.journal = journal;
    f.journal_fd = fd;
    return 0;
}

bool sqlite_opened_file(const kov_file &f, sqlite3 *db)
{
    const char *main_file = sqlite3_db_filename(db, "main");
    struct stat ours, theirs;
    return main_file && *main_file && fstat(f.fd, &ours) == 0 && stat(main_file, &theirs) == 0 &&
           same_file(ours, theirs);
}

int check_sqlite_files(const kov_file &f, sqlite3 *db, std::string *error, int *err)
{
    struct stat ours, theirs;
    *err = EIO;
    if (!sqlite_opened_file(f, db))
        return fail(error, "SQLite opened another file than the one named");
    if (f.journal_fd < 0)
        return 0;
    const char *journal = sqlite3_filename_journal(sqlite3_db_filename(db, "main"));
    if (!journal || fstat(f.journal_fd, &ours) || stat(journal, &theirs) ||
        !same_file(ours, theirs))
        return fail(error, "SQLite would use another journal than the one created for it");
    return 0;
}

void release_journal(kov_file &f, bool remove)
{
    if (f.journal_fd < 0)
        return;
    // SQLite plays back a journal whose first byte is not zero; any other
    // holds nothing for anyone, and would only block the name.
    unsigned char first = 0;
    if (pread(f.journal_fd, &first, 1, 0) != 1 || first == 0)
        remove = true;
    struct stat ours, named;
    if (remove && fstat(f.journal_fd, &ours) == 0 &&
        fstatat(f.dir_fd, f.journal.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(ours, named))
        unlinkat(f.dir_fd, f.journal.c_str(), 0);
    close(f.journal_fd);
    f.journal_fd = -1;
}
