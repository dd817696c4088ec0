// Opening checks of the kov library: the file a handle works on, taken by a
// name that is only ever a path, and the side files beside it.
//
// Conventions:
//  - A kov_file holds the descriptors and names of one handle's files; the
//    handle owns it and releases it with kov_file_release.
//  - Calls that can fail return -1, with the text of the failure in *error
//    and the errno that kov_open reports in *err; they return 0 otherwise.
#ifndef KOV_OPEN_CHECKS_H
#define KOV_OPEN_CHECKS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

struct sqlite3;

// The database file of a handle and the journal the library created for it.
struct kov_file {
    std::string name;     // path as given to kov_open
    int fd = -1;          // our descriptor on the file, for fsync
    std::string journal;  // name-journal when we created it, else ""
    int journal_fd = -1;  // our descriptor on that journal
};

bool same_file(const struct stat &a, const struct stat &b);

// Moves fd above the standard descriptors, so that a program started with
// standard input closed never reads its own database as input.
int above_stdio(int fd);

std::string directory_of(const std::string &name);
int fsync_directory_of(const std::string &name);

// Refuses what cannot be a kov database before SQLite reads it: anything
// but a regular file (a FIFO, a device, /dev/zero) and, for a reader, a
// zero-length file, which SQLite would take for an empty database, so that
// a backup cut to nothing would dump as nothing.  A reader also refuses a
// file in WAL mode: SQLite reads one only after creating -wal and -shm
// beside it (or fails where it may not), and a read-only open never writes.
int check_file(const kov_file &f, bool readonly, std::string *error, int *err);

// A new database shares no side file with anything: SQLite would adopt an
// existing -journal (and write page contents into it), and read a -wal as
// part of the database.
int refuse_side_files(const kov_file &f, std::string *error, int *err);

// Creates name-journal for a file we created, exclusively and with the
// file's mode (the owner may always write it, as SQLite must), so that the
// journal SQLite opens by that name is ours.
int create_journal(kov_file &f, std::string *error, int *err);

// Checks that SQLite works on the files we hold: its main database file is
// the file we opened or created (same device and inode), and a journal we
// created is the one it will use.
int check_sqlite_files(const kov_file &f, sqlite3 *db, std::string *error, int *err);

// Closes our descriptor on the journal of a file we created.  With remove,
// after a clean close (nothing left in it to roll back), also removes the
// journal, provided its name still leads to the file we created.
void release_journal(kov_file &f, bool remove);

#endif
