/* SPDX-License-Identifier: MIT */
// Opening checks of the kov library: the file a handle works on, taken by a
// name that is only ever a path, the directory that holds it, its identity,
// the hold a handle has on it, and the side files beside it.
//
// Conventions:
//  - A kov_file holds the descriptors and names of one handle's files.  The
//    handle owns it: kov_file_open fills it, kov_file_release empties it.
//  - The directory is resolved once, when the file is opened, and kept as a
//    descriptor: every later step (the journal, temporary files, the
//    directory sync, the final check of the name) works relative to it, so
//    that a chdir() of the process changes nothing.
//  - A handle holds its file against every other kov handle, in this
//    process or another: a writer alone, readers together.  Inside the
//    process a table of open files by device and inode refuses a conflicting
//    open before it opens a descriptor: closing any descriptor of a file
//    drops every POSIX lock the process has on it, SQLite's included.
//    Between processes an open-file-description lock on a byte that SQLite
//    never locks does the same; it stays with the descriptor the handle
//    keeps, whatever else the process opens and closes.
//  - Calls that can fail return -1, with the text of the failure in *error
//    and the errno that kov_open reports in *err; they return 0 otherwise.
#ifndef KOV_OPEN_CHECKS_H
#define KOV_OPEN_CHECKS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

struct sqlite3;

// The database file of a handle, its directory and the journal the library
// created for it.  A writer of the file's pages finds here everything it
// needs: the descriptor, the directory and the identity.
struct kov_file {
    std::string name;      // path as given to kov_open
    std::string base;      // its last component, the name inside dir_fd
    int dir_fd = -1;       // the directory that held name at open
    int dir_sync_err = 0;  // errno of the directory's read open, if it failed
    int fd = -1;           // our descriptor on the file; carries the hold
    int direct_fd = -1;    // a writer's O_DIRECT descriptor on it, or -1
    dev_t dev = 0;         // identity of the file
    ino_t ino = 0;
    bool writer = false;  // held for writing
    bool held = false;    // counted in the table of open files
    std::string journal;  // base-journal when we created it, else ""
    int journal_fd = -1;  // our descriptor on that journal
};

// Moves fd above the standard descriptors, so that a program started with
// standard input closed never reads its own database as input.
int above_stdio(int fd);

// Opens or creates name as kov_open's open_flags and mode say, and takes
// the hold: for writing unless the access mode is O_RDONLY without O_CREAT.
// *created says whether the file was created here.  A file held by another
// handle fails with EBUSY; a file created here that cannot be held is left
// to whoever holds it.  Anything but a regular file is refused as
// check_file refuses it, without being opened.
int kov_file_open(kov_file *f, const char *name, int open_flags, mode_t mode, bool *created,
                  std::string *error, int *err);

// Gives up the hold and closes the descriptors, which no one but this call
// closes: closing any descriptor of the file drops every POSIX lock the
// process holds on it, SQLite's included, so it comes after the close of
// the handle's connection.  With remove, first removes the file, provided
// its name still leads to it.
void kov_file_release(kov_file &f, bool remove);

// Checks that the name still leads to the file the handle holds (device
// and inode, through the directory), so that a close does not report a
// database that nobody can open as written.  Returns 0 when it does, or -1
// with the reason in *error.
int kov_file_check_named(const kov_file &f, std::string *error);

// Puts the file and its directory on stable storage.  Returns 0, -1 when
// the file's sync failed, or -2 when the directory's did, with the text in
// *error and the errno in *err.
int kov_file_sync(const kov_file &f, std::string *error, int *err);

// The path SQLite gets: a relative name gets "./" in front, so that SQLite
// never reads it as ":memory:" or as a URI.
std::string sqlite_path(const kov_file &f);

// Refuses what cannot be a kov database before SQLite reads it, with EINVAL
// and a text "not a kov database: " and the cause: anything but a regular
// file (a FIFO, a device, /dev/zero; a directory fails with EISDIR), a
// file that does not start with SQLite's header and, for a reader, a
// zero-length file, which SQLite would take for an empty database, so that
// a backup cut to nothing would dump as nothing.  A reader also refuses a
// file in WAL mode (ENOTSUP): SQLite reads one only after creating -wal and
// -shm beside it (or fails where it may not), and a read-only open never
// writes.
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

// Whether SQLite's main database file of db is the file f holds.
bool sqlite_opened_file(const kov_file &f, sqlite3 *db);

// Closes our descriptor on the journal of a file we created, once the
// connection is closed.  Also removes the journal, provided its name still
// leads to the journal we created, when it holds nothing to roll back (its
// first byte is zero, or it is empty) and with remove (after a clean close,
// or when the file itself is gone).
void release_journal(kov_file &f, bool remove);

#endif
