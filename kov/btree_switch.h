/* SPDX-License-Identifier: MIT */
// Makes a database written by btree_writer live in one atomic step, on a
// file that holds a valid kov database (the empty one kov_open creates),
// using SQLite's own rollback journal, <name>-journal.
//
// Order of writes:
//  1. begin: every page of the old file goes to the journal in SQLite's
//     journal format (fileformat2.html, "The Rollback Journal"): first the
//     page records (page number, the page, its checksum), then the journal
//     is cut to their end, then the header (magic, record count, nonce, the
//     old number of pages, sector and page size) in a sector of its own.
//     The journal, and the directory when the journal file is new, are
//     synced before anything else happens.
//  2. The writer writes the new database over the file: any page in any
//     order, page 1 and the root last.
//  3. commit: the file is cut to its new number of pages and synced; then
//     the journal's header is overwritten with zeros and synced.  The zeroed
//     header is the commit point: it is what journal_mode=PERSIST writes at
//     the end of a transaction.
//  4. abort (instead of commit): the header is written again and synced
//     (a failed commit may have zeroed it), the journal is played back by
//     this process, the file cut to its old length and synced, and the
//     header zeroed as at a commit.
//
// Why a kill at any moment leaves the old database or the whole new one:
//  - Until the header is written the journal's first bytes are zero (the
//    journal of a PERSIST handle after a commit, or a new empty file), so
//    the journal is not hot, and the file has not been touched.
//  - From the header on, the journal is hot: SQLite, at the next open of
//    the file, finds a journal with a valid header while no process holds a
//    lock on the file, plays the records back (all of them were written
//    before the header) and cuts the file to the old number of pages.  This
//    is the file as it was, whatever the writer had written over it.
//  - Once the header is zero again, the journal is not hot, and the file
//    holds the new database, whole: it was synced before.
//  Under power loss the same holds under SQLite's own assumptions, since
//  every write is ordered behind an fsync as SQLite orders its own: the
//  records and the header are synced before the file is touched, the file
//  is synced before the header is zeroed.  A zeroed header that did not
//  reach the disk leaves a hot journal, and so the old database.
//
// The caller keeps other processes from reading the file meanwhile (a kov
// handle holds SQLite's exclusive lock); a lock dies with its process, so
// that after a kill the next open rolls back.  A SQLite connection that
// holds the file in exclusive locking mode trusts its page cache and never
// rereads page 1: it must not read the file after the switch before its
// pager has let go of the lock, as far as the pager knows (kept_lock.h).
//
// Conventions: calls that can fail return -1 and leave a text in *err.
// After a failed begin the file is untouched and the journal not hot; after
// a failed commit or abort the journal may be hot, and the next open of the
// file by SQLite restores the old database.
#ifndef KOV_BTREE_SWITCH_H
#define KOV_BTREE_SWITCH_H

#include <stdint.h>

#include <string>

#include "btree_writer.h"

// Called, when set, at each numbered point of the switch (1 to 14), so
// that a test can end the process there.
extern void (*btree_switch_hook)(int point);

struct btree_switch {
    int db_fd = -1;             // the database, open for reading and writing
    int journal_fd = -1;        // its journal, open for reading and writing
    uint32_t page_size = 0;     // page size of the old database
    uint32_t pages = 0;         // pages of the old database, all journalled
    uint32_t sector = 4096;     // sector size written in the journal header
    uint32_t nonce = 0;         // the checksums' nonce in the journal header
    btree_header old_header;    // header fields of the old database
    bool active = false;        // begun, and neither committed nor aborted
    bool sync_failed = false;   // the last commit failed at the database's sync
};

// Journals every page of the database open as db_fd into journal_fd and
// syncs the journal, and the directory open as dir_fd when journal_new says
// the journal file was just created.  Nothing is written to the database.
// A journal that is hot already is refused and left as it is.
int btree_switch_begin(btree_switch *sw, int db_fd, int journal_fd, int dir_fd, bool journal_new,
                       std::string *err);

// Header values for the new database: those of the old one, with the change
// counter and the schema cookie advanced so that other connections reread
// both, and the given page size.
btree_header btree_switch_header(const btree_switch *sw, uint32_t page_size);

// Makes the new database of pages pages of new_page_size bytes live.
int btree_switch_commit(btree_switch *sw, uint32_t pages, uint32_t new_page_size,
                        std::string *err);

// Puts the old database back from the journal.
int btree_switch_abort(btree_switch *sw, std::string *err);

#endif
