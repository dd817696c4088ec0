// SPDX-License-Identifier: MIT
// kov: key-value records in one SQLite 3 file.
//
// Each handle owns one SQLite connection and the descriptor kov_open used to
// create or open the file.  Stores run inside a long write transaction that
// is committed when it has grown as large as everything committed before it
// (and at least kov_commit_bytes), at kov_close, and by an
// exit hook for handles that are still open when the process exits, so that
// a process which stores records and then exits without closing keeps every
// record it was told was stored.  The rollback journal makes a process killed
// at any moment leave the last committed state: whole records only.
//
// While a handle is open for writing, SQLite runs with synchronous=OFF: the
// journal protects against a killed process, and durability against a power
// failure comes from the fsync of the file and its directory in kov_close.
//
// A handle that created its file with O_EXCL writes it in key order: stores
// go to a sorter (sorter.h), which answers each one at once, and the records
// are written into the B-tree in ascending key order at kov_close, at exit,
// and before a read through the handle.  The first such write builds the
// B-tree itself and makes it live in one step (see "The build" in build.cpp);
// later ones append to the right edge of SQLite's B-tree, which keeps each
// page in the cache until it is full, and the rollback journal copies only
// the few pages that existed before a transaction.
//
// The name is only ever a path: SQLite gets it with "./" in front when it is
// relative, so that neither ":memory:" nor "file:..." can mean anything else,
// and the library checks that SQLite opened the very file it holds.  The
// file, its directory, the hold a handle has on it and the side files are
// the business of open_checks.h; a writer also keeps SQLite's exclusive
// lock from the open to the close.
//
// For a file it creates, the library also creates the rollback journal
// (<name>-journal) itself, exclusively and with the file's mode, and keeps
// it for the life of the handle (journal_mode=PERSIST under the exclusive
// lock), so that SQLite never adopts a journal that someone else put there
// and never writes original page contents where another user can read them.
// At each commit SQLite zeroes the journal's header, which makes it not hot
// for anyone who opens the file after a kill; this is what it did before in
// exclusive locking mode, so the crash behaviour and the writes stay as they
// were.

#include "kov.h"
#include "connection.h"
#include "drain.h"
#include "handle.h"
#include "open_checks.h"
#include "open_list.h"
#include "sorter.h"
#include "tuning.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <sqlite3.h>

using namespace kov_lib;

namespace {

thread_local std::string open_error;

const char msg_no_data[] = "datum with a size but no data";

// A datum of size 0 may have a null pointer; any other needs its bytes.
bool datum_ok(datum d)
{
    return d.data || d.size == 0;
}

// Text of kov_traverse's failure at a key that is not a BLOB.
const char *key_type_error(int type)
{
    switch (type) {
    case SQLITE_INTEGER: return "key of type integer";
    case SQLITE_FLOAT: return "key of type real";
    case SQLITE_TEXT: return "key of type text";
    default: return "key of type null";
    }
}

}  // namespace

extern "C" kov_handle kov_open(const char *name, int hash_size, int kov_flags, int open_flags,
                               mode_t mode)
{
    // Tuning hints of older kov versions; SQLite sizes itself.
    (void)hash_size;
    (void)kov_flags;
    open_error.clear();
    if (!name || !*name) {
        open_error = "no database name";
        errno = name ? ENOENT : EINVAL;
        return nullptr;
    }

    // A new file is written through the sorter, whose cap may come from
    // the environment: a value that makes no sense is refused before
    // anything is created, rather than replaced by a guess.
    size_t sort_cap = 0;
    if ((open_flags & O_CREAT) && (open_flags & O_EXCL) &&
        !kov_sorter_cap(&sort_cap, &open_error)) {
        errno = EINVAL;
        return nullptr;
    }

    kov_handle db = new (std::nothrow) kov_context;
    if (!db) {
        open_error = "out of memory";
        errno = ENOMEM;
        return nullptr;
    }
    db->owner = getpid();
    db->readonly = !(open_flags & O_CREAT) && (open_flags & O_ACCMODE) == O_RDONLY;

    bool created = false;
    int err = 0;
    if (kov_file_open(&db->file, name, open_flags, mode, &created, db->failure.out(), &err) ||
        attach(db, created, &err, sqlite_path(db->file))) {
        open_error = db->failure.text();
        destroy(db, created);
        errno = err ? err : EIO;
        return nullptr;
    }
    // Only this handle writes the new file: it may defer and reorder stores.
    if (created && (open_flags & O_EXCL)) {
        char sql[64];
        snprintf(sql, sizeof sql, "PRAGMA cache_size=%d", -kov_sorted_cache_kib);
        db->sorter = new (std::nothrow) kov_sorter(db->file.dir_fd, sort_cap);
        db->sort_cap = sort_cap;
        if (db->sorter)
            set_mode(db, kov_mode::ordered);
        if (!db->sorter || exec(db, sql)) {
            open_error = db->sorter ? db->failure.text() : "out of memory";
            destroy(db, true);
            errno = ENOMEM;
            return nullptr;
        }
    }
    link_handle(db);
    return db;
}

extern "C" int kov_store(kov_handle db, datum key, datum value, int flag)
{
    if (!db) {
        errno = EINVAL;
        return -1;
    }
    db->failure.clear();
    if (db->readonly)
        return fail(db, "database is open read-only");
    if (!db->db)
        return fail(db, db->mode == kov_mode::detached ? db->detach_cause.c_str()
                                                       : "database is closed");

    sqlite3_stmt **stmt;
    const char *sql;
    switch (flag) {
    case KOV_INSERT:
        stmt = &db->insert;
        sql = "INSERT INTO kov(key, value) VALUES(?1, ?2)";
        break;
    case KOV_REPLACE:
        stmt = &db->replace;
        sql = "INSERT OR REPLACE INTO kov(key, value) VALUES(?1, ?2)";
        break;
    case KOV_MODIFY:
        stmt = &db->update;
        sql = "UPDATE kov SET value = ?2 WHERE key = ?1";
        break;
    default: return fail(db, "invalid store flag");
    }
    if (!datum_ok(key) || !datum_ok(value))
        return fail(db, msg_no_data);
    if (db->sorter) {
        if (store_new_file(db, key, value, flag))
            return -1;
        db->stored++;
        return 0;
    }
    // SQLite rolls back the whole transaction when a statement runs out of
    // memory or room, and large records are the likely ones to.  Commit what
    // is pending before a record of a commit's worth or more, so that its
    // failure cannot take records already reported stored along with it.
    if (static_cast<sqlite3_int64>(key.size + value.size) >= kov_commit_bytes && commit(db))
        return -1;
    if (prepare(db, stmt, sql) || begin_write(db))
        return -1;

    int rc = bind_datum(*stmt, 1, key);
    if (rc == SQLITE_OK)
        rc = bind_datum(*stmt, 2, value);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(*stmt);
    if (rc != SQLITE_DONE) {
        // The statement alone is undone; the transaction stays open unless
        // SQLite had to roll it back, which fail_sqlite reports.
        if ((rc & 0xff) == SQLITE_CONSTRAINT && flag == KOV_INSERT) {
            sqlite3_reset(*stmt);
            return fail(db, "Record exists");
        }
        fail_sqlite(db, rc);
        sqlite3_reset(*stmt);
        return -1;
    }
    sqlite3_reset(*stmt);
    if (flag == KOV_MODIFY && sqlite3_changes(db->db) == 0)
        return fail(db, "Record not found");

    db->txn_records++;
    db->txn_bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
    if (db->txn_bytes >= kov_commit_bytes && db->txn_bytes >= db->committed_bytes && commit(db))
        return -1;
    db->stored++;
    return 0;
}

extern "C" datum kov_fetch(kov_handle db, datum key)
{
    datum out = {nullptr, 0};
    if (!db) {
        errno = EINVAL;
        return out;
    }
    db->failure.clear();
    if (!db->db) {
        fail(db, db->mode == kov_mode::detached ? db->detach_cause.c_str() : "database is closed");
        return out;
    }
    if (!datum_ok(key)) {
        fail(db, msg_no_data);
        return out;
    }
    if (write_held(db) || prepare(db, &db->select, "SELECT value FROM kov WHERE key = ?1"))
        return out;
    int rc = bind_datum(db->select, 1, key);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(db->select);
    if (rc == SQLITE_ROW) {
        const void *bytes = sqlite3_column_blob(db->select, 0);
        size_t size = static_cast<size_t>(sqlite3_column_bytes(db->select, 0));
        if (!bytes && size) {
            fail_sqlite(db, sqlite3_errcode(db->db));
        } else if (!(out.data = static_cast<unsigned char *>(malloc(size ? size : 1)))) {
            fail(db, "out of memory");
        } else {
            if (size)
                memcpy(out.data, bytes, size);
            out.size = size;
        }
    } else if (rc != SQLITE_DONE) {
        fail_sqlite(db, rc == SQLITE_MISUSE ? SQLITE_MISUSE : rc);
    }
    sqlite3_reset(db->select);
    return out;
}

extern "C" int kov_traverse(kov_handle db, int (*fn)(kov_handle, datum, datum, void *), void *ctx)
{
    if (!db || !fn) {
        errno = EINVAL;
        return -1;
    }
    db->failure.clear();
    if (!db->db)
        return fail(db, db->mode == kov_mode::detached ? db->detach_cause.c_str()
                                                       : "database is closed");
    if (write_held(db))
        return -1;

    sqlite3_stmt *stmt = nullptr;
    // The primary key orders BLOBs by memcmp, so this is a plain scan of the
    // table in ascending byte order of the keys.
    int rc =
        sqlite3_prepare_v2(db->db, "SELECT key, value FROM kov ORDER BY key", -1, &stmt, nullptr);
    if (rc != SQLITE_OK)
        return fail_sqlite(db, rc);
    static unsigned char no_bytes[1] = {0};
    int count = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        // Keys are bytes.  Another client may have stored a TEXT 'abc'
        // beside the BLOB abc, or an INTEGER that sorts before every BLOB;
        // handing either on as bytes would repeat a key or break the byte
        // order, so the scan stops there.
        int key_type = sqlite3_column_type(stmt, 0);
        if (key_type != SQLITE_BLOB) {
            sqlite3_finalize(stmt);
            return fail(db, key_type_error(key_type));
        }
        datum key, value;
        // Fetch each pointer before its length, and tell a zero-length
        // BLOB (null pointer, size 0) from a failed conversion.
        key.data = (unsigned char *)sqlite3_column_blob(stmt, 0);
        key.size = static_cast<size_t>(sqlite3_column_bytes(stmt, 0));
        value.data = (unsigned char *)sqlite3_column_blob(stmt, 1);
        value.size = static_cast<size_t>(sqlite3_column_bytes(stmt, 1));
        if ((!key.data && key.size) || (!value.data && value.size)) {
            rc = SQLITE_NOMEM;
            break;
        }
        if (!key.data)
            key.data = no_bytes;
        if (!value.data)
            value.data = no_bytes;
        // The count saturates; a table of more than INT_MAX records is
        // still visited to its end.
        if (count < INT_MAX)
            count++;
        if (fn(db, key, value, ctx)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    if (rc != SQLITE_DONE) {
        fail_sqlite(db, rc);
        sqlite3_finalize(stmt);
        return -1;
    }
    sqlite3_finalize(stmt);
    return count;
}

extern "C" const char *kov_errorstr(kov_handle db)
{
    return db ? db->failure.text().c_str() : open_error.c_str();
}

// The sorter's long steps, a spill inside kov_store or the sort before a
// write, come before any of its records is written: none done yet.
static void sorter_pulse(void *ctx)
{
    kov_handle db = static_cast<kov_handle>(ctx);
    if (db->progress)
        db->progress(db->progress_ctx, 0, db->sorter->size());
}

extern "C" void kov_progress_handler(kov_handle db,
                                     void (*fn)(void *, unsigned long long, unsigned long long),
                                     void *ctx)
{
    if (!db)
        return;
    db->progress = fn;
    db->progress_ctx = fn ? ctx : nullptr;
    if (db->sorter)
        db->sorter->set_pulse(fn ? sorter_pulse : nullptr, db);
}

extern "C" unsigned long long kov_pending(kov_handle db)
{
    return db && db->sorter ? db->sorter->size() : 0;
}

extern "C" int kov_close(kov_handle db)
{
    if (!db) {
        errno = EINVAL;
        return -1;
    }
    unlink_handle(db);
    db->failure.clear();
    int err = 0;  // errno of the first failure
    if (db->db) {
        bool unwritten = write_held(db, true) != 0;
        // A build given up in an earlier call failed first: its records
        // went through SQLite, but for those it lost, and the count below
        // says what the file keeps.
        if (!db->build_failure.empty()) {
            db->failure.precede(db->build_failure);
            unwritten = true;
        }
        if (unwritten)
            err = EIO;
        // What was written before a failure is kept.
        if (commit(db) && err == 0)
            err = EIO;
        if (unwritten)
            note_kept(db);
        finalize_all(db);
        if (sqlite3_close(db->db) != SQLITE_OK && err == 0) {
            err = EBUSY;
            fail(db, sqlite3_errmsg(db->db));
        }
        db->db = nullptr;
    } else if (db->mode == kov_mode::detached) {
        // The connection went in an earlier call, which said why: records
        // it could not write are lost, and the close says so.
        err = close_detached(db);
    }
    // What a writer stored is only reachable through its name: a name that
    // no longer leads to the file is a failure, and a journal left beside
    // it would only block the next database of that name.
    bool gone = !db->readonly && kov_file_check_named(db->file, db->failure.out());
    if (gone && err == 0)
        err = ENOENT;
    release_journal(db->file, err == 0 || gone);
    // SQLite ran without syncing; now put the file, and the directory entry
    // of the file and of the deleted journal, on stable storage.  A failed
    // sync of the file leaves what was written in it, but the disk may not
    // hold it (not_on_disk).
    std::string sync_error;
    int sync_errno = 0;
    int synced = db->readonly ? 0 : kov_file_sync(db->file, &sync_error, &sync_errno);
    if (synced != 0 && err == 0) {
        err = sync_errno;
        fail(db, (sync_error + (synced == -1 ? not_on_disk(db) : "")).c_str());
    }
    if (err == 0) {
        destroy(db, false);
        return 0;
    }
    // The handle is gone: its last failure is read with a null handle.
    open_error = db->failure.text();
    destroy(db, false);
    errno = err;
    return -1;
}
