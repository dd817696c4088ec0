/* SPDX-License-Identifier: MIT */
// The connection of a kov handle and its statements: opening SQLite on the
// file the handle holds (attach) and bringing it to the file a build wrote
// (reattach), the write transaction (begin_write, commit), and the text of
// a failure.
//
// Conventions:
//  - Calls that can fail return -1 with the failure recorded in the
//    handle's failure status (failure.h: fail, fail_sqlite), and 0
//    otherwise.
//  - db->in_txn is true exactly while a write transaction of the handle is
//    open on the connection; fail_sqlite clears it when SQLite rolled the
//    transaction back on its own.
#ifndef KOV_CONNECTION_H
#define KOV_CONNECTION_H

#include "handle.h"

#include <string>

#include <sqlite3.h>

namespace kov_lib {

int fail(kov_handle db, const char *text);
int fail_sqlite(kov_handle db, int rc);
int exec(kov_handle db, const char *sql);
int prepare(kov_handle db, sqlite3_stmt **stmt, const char *sql);
int begin_write(kov_handle db);
int commit(kov_handle db);
int bind_datum(sqlite3_stmt *stmt, int index, datum d);
sqlite3_int64 room_commit_bytes(kov_handle db);
bool out_of_room(kov_handle db);
void note_kept(kov_handle db);
// The note a failed sync of the file adds to its text when the file keeps
// what was written: the records stored may not all be on the disk.
std::string not_on_disk(kov_handle db);
// The close of a handle whose connection is gone (detached): when records
// it stored were lost, or are still held and can no longer be written,
// records the failure (the build given up, then why the connection went,
// then what the file keeps) and returns EIO; otherwise returns 0.
int close_detached(kov_handle db);
void finalize_all(kov_handle db);
int reattach(kov_handle db);
void destroy(kov_handle db, bool remove);
int attach(kov_handle db, bool created, int *err, const std::string &path);

}  // namespace kov_lib

#endif
