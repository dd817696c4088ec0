/* SPDX-License-Identifier: MIT */
// A VFS over SQLite's default one, through which a writer's connection is
// opened, so that its pager can let go of the file's lock while the file
// stays locked (keep_lock), and so that the first lock a new file's
// connection takes is the writer's exclusive one (claim_lock).
//
// Why: in exclusive locking mode a connection trusts its page cache, its
// page count and its page size for as long as it lives, and a build writes
// the file beside it (build.h).  SQLite's pager reads them afresh at the
// start of a read transaction that follows one after which it held no lock,
// when the file change counter in the header has moved, and its B-tree layer
// then takes the page size that page 1 gives.  A connection that really let
// go of its lock would let any other SQLite client in, and no other hold can
// bridge the gap: a POSIX lock belongs to the process, so the connection's
// unlock takes every lock the process has on those bytes along, and an
// open-file-description lock on them would refuse the connection itself.
// Through this VFS the pager's unlocks stop here while the lock is kept, and
// the lock it then asks for again is one the file holds already.
//
// Invariants, for each file opened through the VFS (SQLITE_LOCK_NONE to
// SQLITE_LOCK_EXCLUSIVE):
//  - level, the lock the pager holds as far as it knows, is at most held,
//    the lock the file holds; once the lock is no longer kept, held comes
//    down to level, and every call goes through again.
//  - while the lock is kept, a check for a reserved lock finds none: the
//    only holder is this connection, so a journal that is hot beside the
//    file was left by a write of its own that did not finish (a switch that
//    could not be undone, btree_switch.h), and the pager plays it back.
//  - a claim is made only while the file holds no lock, and it keeps the
//    lock: the first lock the pager then asks for leaves the file holding
//    the exclusive lock, or, when another client is in the way, no lock.
#ifndef KOV_KEPT_LOCK_H
#define KOV_KEPT_LOCK_H

#include <sqlite3.h>

namespace kov_lib {

// The name of the VFS, registered the first time it is asked for.
const char *kept_lock_vfs();

// With keep, keeps the lock of db's main database file from the pager's
// unlocks; without, stops keeping it, and the file's lock comes down to the
// one the pager holds.  Returns 0, or -1 when the file was not opened
// through this VFS.
int keep_lock(sqlite3 *db, bool keep);

// Keeps the lock of db's main database file (keep_lock), and makes the
// first lock the pager takes on it go on at once to the exclusive lock, so
// that from the connection's first read on no other client can take any
// lock: for a file just created, which the pager reads empty first and
// writes only later.  Call before the connection reads the file.  Returns
// 0, or -1 as keep_lock.
int claim_lock(sqlite3 *db);

}  // namespace kov_lib

#endif
