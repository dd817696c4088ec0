// Opening checks of the kov library (open_checks.h).

#include "open_checks.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <sqlite3.h>

namespace {

int fail(std::string *error, const std::string &text)
{
    *error = text;
    return -1;
}

// Fails with EEXIST and a text naming the file.
int fail_in_the_way(const std::string &path, std::string *error, int *err)
{
    *err = EEXIST;
    *error = path + " already exists beside the new database; remove it or choose another name";
    return -1;
}

}  // namespace

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

std::string directory_of(const std::string &name)
{
    size_t slash = name.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return name.substr(0, slash ? slash : 1);
}

int fsync_directory_of(const std::string &name)
{
    std::string dir = directory_of(name);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

int check_file(const kov_file &f, bool readonly, std::string *error, int *err)
{
    struct stat st;
    if (fstat(f.fd, &st)) {
        *err = errno;
        return fail(error, strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        *err = EISDIR;
        return fail(error, strerror(EISDIR));
    }
    *err = EINVAL;
    if (!S_ISREG(st.st_mode))
        return fail(error, "not a kov database: not a regular file");
    if (!readonly)
        return 0;
    if (st.st_size == 0)
        return fail(error, "not a kov database: the file is empty");

    // Bytes 18 and 19 of the header are 2 in WAL mode; a -wal beside the
    // file is read as part of it whatever the header says.
    unsigned char header[100];
    struct stat wal_st;
    bool wal = pread(f.fd, header, sizeof header, 0) == (ssize_t)sizeof header &&
               memcmp(header, "SQLite format 3", 16) == 0 && (header[18] == 2 || header[19] == 2);
    if (wal || lstat((f.name + "-wal").c_str(), &wal_st) == 0) {
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
        if (lstat(side.c_str(), &st) == 0)
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
    std::string journal = f.name + "-journal";
    int fd = above_stdio(open(journal.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              (st.st_mode & 0777) | S_IRUSR | S_IWUSR));
    if (fd < 0) {
        if (errno == EEXIST)
            return fail_in_the_way(journal, error, err);
        *err = errno;
        return fail(error, journal + ": " + strerror(errno));
    }
    f.journal = journal;
    f.journal_fd = fd;
    return 0;
}

int check_sqlite_files(const kov_file &f, sqlite3 *db, std::string *error, int *err)
{
    const char *main_file = sqlite3_db_filename(db, "main");
    struct stat ours, theirs;
    *err = EIO;
    if (!main_file || !*main_file || fstat(f.fd, &ours) || stat(main_file, &theirs) ||
        !same_file(ours, theirs))
        return fail(error, "SQLite opened another file than the one named");
    if (f.journal_fd < 0)
        return 0;
    const char *journal = sqlite3_filename_journal(main_file);
    if (!journal || fstat(f.journal_fd, &ours) || stat(journal, &theirs) ||
        !same_file(ours, theirs))
        return fail(error, "SQLite would use another journal than the one created for it");
    return 0;
}

void release_journal(kov_file &f, bool remove)
{
    if (f.journal_fd < 0)
        return;
    struct stat ours, named;
    if (remove && fstat(f.journal_fd, &ours) == 0 && lstat(f.journal.c_str(), &named) == 0 &&
        same_file(ours, named))
        unlink(f.journal.c_str());
    close(f.journal_fd);
    f.journal_fd = -1;
}
