// SPDX-License-Identifier: MIT
// The connection of a kov handle and its statements (connection.h).

#include "connection.h"
#include "kept_lock.h"
#include "open_checks.h"
#include "tuning.h"

#include <assert.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include <sqlite3.h>

namespace kov_lib {

int fail(kov_handle db, const char *text)
{
    return db->failure.fail(text);
}

// Records the connection's error text for rc.  When the error ended the
// write transaction (SQLite rolls back on a full disk, an I/O error or out
// of memory), the records stored since the last commit are gone: say so.
int fail_sqlite(kov_handle db, int rc)
{
    const char *msg = db->db ? sqlite3_errmsg(db->db) : nullptr;
    std::string text = (msg && *msg) ? msg : sqlite3_errstr(rc);
    // SQLite calls a write past the file-size limit an I/O error: name it.
    if (db->db && (rc & 0xff) == SQLITE_IOERR && sqlite3_system_errno(db->db) == EFBIG)
        text = strerror(EFBIG);
    if (db->in_txn && sqlite3_get_autocommit(db->db)) {
        db->in_txn = false;
        if (db->txn_records > 0) {
            text += "; the last " + std::to_string(db->txn_records) +
                    " records stored before it were rolled back";
        }
        db->txn_bytes = 0;
        db->txn_records = 0;
    }
    return db->failure.fail(text);
}

// errno that best describes a SQLite failure while opening.
int errno_for(sqlite3 *db, int rc)
{
    switch (rc & 0xff) {
    case SQLITE_NOMEM: return ENOMEM;
    case SQLITE_FULL: return ENOSPC;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_ERROR: return EINVAL;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return EBUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM: return EACCES;
    default: {
        int sys = db ? sqlite3_system_errno(db) : 0;
        return sys ? sys : EIO;
    }
    }
}

int exec(kov_handle db, const char *sql)
{
    int rc = sqlite3_exec(db->db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? 0 : fail_sqlite(db, rc);
}

int prepare(kov_handle db, sqlite3_stmt **stmt, const char *sql)
{
    if (*stmt)
        return 0;
    int rc = sqlite3_prepare_v3(db->db, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr);
    return rc == SQLITE_OK ? 0 : fail_sqlite(db, rc);
}

int begin_write(kov_handle db)
{
    if (db->in_txn)
        return 0;
    if (exec(db, "BEGIN"))
        return -1;
    db->in_txn = true;
    db->txn_bytes = 0;
    db->txn_records = 0;
    return 0;
}

int commit(kov_handle db)
{
    if (!db->in_txn)
        return 0;
    int rc = sqlite3_exec(db->db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return fail_sqlite(db, rc);
    db->in_txn = false;
    db->committed_bytes += db->txn_bytes;
    db->txn_bytes = 0;
    db->txn_records = 0;
    return 0;
}

// Binds d as a BLOB without copying it.  SQLite binds SQL NULL for a null
// pointer whatever the length, so an empty datum gets a non-null pointer.
int bind_datum(sqlite3_stmt *stmt, int index, datum d)
{
    static const unsigned char no_bytes[1] = {0};
    const void *bytes = d.size ? static_cast<const void *>(d.data) : no_bytes;
    if (!bytes)
        return SQLITE_MISUSE;
    return sqlite3_bind_blob64(stmt, index, bytes, d.size, SQLITE_STATIC);
}

sqlite3_int64 query_int(sqlite3 *conn, const char *sql, int *rc_out)
{
    sqlite3_stmt *stmt = nullptr;
    sqlite3_int64 value = 0;
    int rc = sqlite3_prepare_v2(conn, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            value = sqlite3_column_int64(stmt, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    *rc_out = rc;
    return value;
}

sqlite3_int64 query_int(kov_handle db, const char *sql, int *rc_out)
{
    return query_int(db->db, sql, rc_out);
}

// The stored bytes after which the next key-order commit comes: a quarter
// of the room left for the file (free space, and the file-size limit),
// between kov_min_commit_bytes and kov_sorted_commit_bytes, so that a disk
// that fills up interrupts a small commit only, and what it takes back is
// little.
sqlite3_int64 room_commit_bytes(kov_handle db)
{
    uint64_t room = UINT64_MAX;
    struct statvfs fs;
    if (fstatvfs(db->file.fd, &fs) == 0)
        room = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    struct rlimit limit;
    struct stat st;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        fstat(db->file.fd, &st) == 0) {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        room = std::min<uint64_t>(room, limit.rlim_cur > size ? limit.rlim_cur - size : 0);
    }
    return static_cast<sqlite3_int64>(std::clamp<uint64_t>(
        room / 4, kov_min_commit_bytes, static_cast<uint64_t>(kov_sorted_commit_bytes)));
}

// Whether the connection's last failure may be for lack of room: a full
// disk or quota (SQLITE_FULL), or a failed write, which is what a file at
// its size limit gives (SQLite does not always keep the EFBIG).
bool out_of_room(kov_handle db)
{
    int rc = sqlite3_extended_errcode(db->db);
    int sys = sqlite3_system_errno(db->db);
    return (rc & 0xff) == SQLITE_FULL || rc == SQLITE_IOERR_WRITE || sys == ENOSPC ||
           sys == EDQUOT || sys == EFBIG;
}

// A read-only connection of its own on the file of a handle whose
// connection is gone, through the name, which must still lead to the file;
// or null.
sqlite3 *open_reader(const kov_file &f)
{
    std::string unused;
    sqlite3 *conn = nullptr;
    if (kov_file_check_named(f, &unused) == 0 &&
        sqlite3_open_v2(sqlite_path(f).c_str(), &conn, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) == SQLITE_OK &&
        sqlite_opened_file(f, conn))
        return conn;
    sqlite3_close(conn);
    return nullptr;
}

// Adds to the failure's text how many records the file keeps, of the
// stores that succeeded.  What a transaction still holds is committed
// first, if it fits, so that the count is what the file keeps; a commit
// that does not fit is told by the count, not by its own text.  A handle
// whose connection is gone (detached) counts through a reader of its own;
// when the file cannot be read so (a journal that only a writer can play
// back), the count is left out rather than guessed.
void note_kept(kov_handle db)
{
    assert(db->failure.failed());
    sqlite3 *conn = db->db ? db->db : open_reader(db->file);
    if (!conn)
        return;
    if (db->db)
        commit(db);
    int rc;
    sqlite3_int64 n = query_int(conn, "SELECT count(*) FROM kov", &rc);
    if (conn != db->db)
        sqlite3_close(conn);
    if (rc == SQLITE_OK)
        db->failure.note("the file keeps " + std::to_string(n) + " of the " +
                         std::to_string(db->stored) + " records stored");
}

std::string not_on_disk(kov_handle db)
{
    if (db->stored == 0)
        return "";
    return "; the " + std::to_string(db->stored) + " records stored may not all be on the disk";
}

int close_detached(kov_handle db)
{
    assert(db->mode == kov_mode::detached && !db->db && !db->detach_cause.empty());
    if ((!db->sorter || db->sorter->size() == 0) && db->build_failure.empty())
        return 0;
    // A build given up says what it lost, and may say why the connection
    // went too.
    if (!db->build_failure.empty())
        fail(db, db->build_failure.c_str());
    if (db->build_failure.find(db->detach_cause) == std::string::npos)
        db->failure.note(db->detach_cause);
    note_kept(db);
    return EIO;
}

void finalize_all(kov_handle db)
{
    for (sqlite3_stmt **s : {&db->insert, &db->replace, &db->update, &db->select}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
}

// Writes the kov header fields and the table into a new, empty file.
//
// The cache size is given again after the page size: SQLite turns a size in
// KiB into a number of pages when it is set, and a new file starts with 4 KiB
// pages, so the earlier setting would allow four times the memory.
int initialise(kov_handle db)
{
    char sql[320];
    snprintf(sql, sizeof sql,
             "PRAGMA page_size=%d;"
             "PRAGMA cache_size=%d;"
             "BEGIN;"
             "PRAGMA application_id=%d;"
             "PRAGMA user_version=%d;"
             "%s;"
             "COMMIT;",
             kov_page_size, -kov_cache_kib, KOV_APPLICATION_ID, KOV_FORMAT_VERSION, btree_table_sql);
    return exec(db, sql);
}

// Records a failure of SQLite to read the file at the open.  One that
// SQLite cannot take for a database (EINVAL) started with SQLite's header
// (check_file), so SQLite found it damaged: the refusal says so.
int fail_reading(kov_handle db, int rc, int *err)
{
    *err = errno_for(db->db, rc);
    if (*err != EINVAL)
        return fail_sqlite(db, rc);
    const char *msg = sqlite3_errmsg(db->db);
    return fail(db, ("not a kov database: a damaged SQLite file (" +
                     std::string(msg && *msg ? msg : sqlite3_errstr(rc)) + ")")
                        .c_str());
}

// What is wrong with the schema of a file for a kov database, by the code
// that verify's query gives (0: nothing).
const char *const schema_faults[] = {
    nullptr,
    "not a kov database: no kov table",
    "not a kov database: kov is a view",
    "not a kov database: the kov table has a trigger",
    "not a kov database: the kov table has another definition",
};

// Checks that an existing file is a kov database of a version we read: the
// header fields, then a kov table of exactly our definition with no trigger
// on it.  The id alone is not enough: a view named kov can make a scan run
// forever, a loose table holds NULLs and repeated keys, and a trigger makes
// a store do more than store.  A refusal fails with EINVAL and names the
// first of these that does not hold.
int verify(kov_handle db, int *err)
{
    int rc;
    char text[120];
    sqlite3_int64 app = query_int(db, "PRAGMA application_id", &rc);
    if (rc != SQLITE_OK)
        return fail_reading(db, rc, err);
    *err = EINVAL;
    if (app != KOV_APPLICATION_ID) {
        // SQLite gives the id as a signed number; the hex shows its bytes.
        snprintf(text, sizeof text,
                 "not a kov database: the application id is 0x%08X, not the kov id 0x%08X",
                 static_cast<unsigned>(app), static_cast<unsigned>(KOV_APPLICATION_ID));
        return fail(db, text);
    }
    sqlite3_int64 version = query_int(db, "PRAGMA user_version", &rc);
    if (rc != SQLITE_OK)
        return fail_reading(db, rc, err);
    if (version != KOV_FORMAT_VERSION) {
        snprintf(text, sizeof text,
                 "unsupported kov format version %lld; this library reads version %d",
                 static_cast<long long>(version), KOV_FORMAT_VERSION);
        return fail(db, text);
    }
    char sql[600];
    snprintf(sql, sizeof sql,
             "SELECT CASE"
             " WHEN NOT EXISTS (SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view')"
             "  AND name = 'kov' COLLATE NOCASE) THEN 1"
             " WHEN EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'view'"
             "  AND name = 'kov' COLLATE NOCASE) THEN 2"
             " WHEN EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'trigger'"
             "  AND tbl_name = 'kov' COLLATE NOCASE) THEN 3"
             " WHEN (SELECT count(*) FROM sqlite_master WHERE type = 'table'"
             "  AND sql = '%s') != 1 THEN 4"
             " ELSE 0 END",
             btree_table_sql);
    sqlite3_int64 fault = query_int(db, sql, &rc);
    if (rc != SQLITE_OK)
        return fail_reading(db, rc, err);
    assert(fault >= 0 && fault < static_cast<sqlite3_int64>(std::size(schema_faults)));
    return fault ? fail(db, schema_faults[fault]) : 0;
}

// Releases everything the handle holds.  With remove (a file that kov_open
// created and could not make a kov database), the file and its journal go
// too.
void destroy(kov_handle db, bool remove)
{
    delete db->sorter;
    delete db->ahead_writer;
    finalize_all(db);
    if (db->db)
        sqlite3_close_v2(db->db);
    release_journal(db->file, remove);
    kov_file_release(db->file, remove);
    delete db;
}

// True when the connection's journal mode is PERSIST, as set for a journal
// we created.  Another mode (wal) means SQLite found a -wal that appeared
// after refuse_side_files looked.
bool journal_mode_is_persist(kov_handle db)
{
    sqlite3_stmt *stmt = nullptr;
    bool persist =
        sqlite3_prepare_v2(db->db, "PRAGMA journal_mode", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW &&
        sqlite3_stricmp(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "persist") ==
            0;
    sqlite3_finalize(stmt);
    return persist;
}

// SQLite looked for a hot journal and a -wal when it last took its lock,
// which the exclusive locking mode keeps from then on.  It takes an empty
// journal for none, so the journal kov_open created is still the one,
// unless a -wal appeared after refuse_side_files looked.  Returns 0, or -1
// with *err set.
int journal_still_ours(kov_handle db, int *err)
{
    if (db->file.journal_fd < 0)
        return 0;
    if (!journal_mode_is_persist(db)) {
        *err = EEXIST;
        return fail(db, (db->file.name + "-wal appeared beside the new database").c_str());
    }
    return check_sqlite_files(db->file, db->db, db->failure.out(), err);
}

// Opens the SQLite connection on the file whose descriptor db->file.fd holds and
// brings it to a usable kov database; created says that kov_open created
// the file, which then gets its journal before SQLite needs one.  SQLite
// gets path, which cannot be read as ":memory:" or as a URI (sqlite_path,
// or an absolute path); URI processing stays off too.  A writer's
// connection goes through the VFS that can keep its lock (reattach).
// Returns 0, or -1 with *err set.
int attach(kov_handle db, bool created, int *err, const std::string &path)
{
    if (check_file(db->file, db->readonly, db->failure.out(), err) ||
        (created && (refuse_side_files(db->file, db->failure.out(), err) ||
                     create_journal(db->file, db->failure.out(), err))))
        return -1;
    int flags = (db->readonly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &db->db, flags, db->readonly ? nullptr : kept_lock_vfs());
    if (rc != SQLITE_OK) {
        *err = errno_for(db->db, rc);
        return fail_sqlite(db, rc);
    }
    sqlite3_extended_result_codes(db->db, 1);
    // A new file, which kov_file_open locked as it created it, goes from
    // that lock to the connection's exclusive one with the connection's
    // first read, and keeps it through the reads and writes below, which
    // the pager makes in normal locking mode first: no other client comes
    // in between.
    if (created && claim_lock(db->db)) {
        *err = EIO;
        return fail(db, "the connection cannot keep its lock");
    }
    if (check_sqlite_files(db->file, db->db, db->failure.out(), err))
        return -1;

    char sql[200];
    snprintf(sql, sizeof sql, "PRAGMA cache_size=%d;%s%s",
             db->readonly ? -kov_read_cache_kib : -kov_cache_kib,
             db->readonly ? "PRAGMA query_only=1;"
                          : "PRAGMA locking_mode=EXCLUSIVE;"
                            "PRAGMA synchronous=OFF;",
             db->file.journal_fd >= 0 ? "PRAGMA journal_mode=PERSIST;" : "");
    // SQLite reads the schema for these, so a damaged file fails here.
    rc = sqlite3_exec(db->db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return fail_reading(db, rc, err);

    struct stat st;
    if (fstat(db->file.fd, &st)) {
        *err = errno;
        return fail(db, strerror(errno));
    }
    // A zero-length file is what a process killed inside kov_open leaves (a
    // reader has refused it); a writer completes its creation.
    if (st.st_size != 0 || db->readonly) {
        if (verify(db, err))
            return -1;
    } else if (initialise(db)) {
        *err = errno_for(db->db, sqlite3_extended_errcode(db->db));
        return -1;
    }
    // A writer takes SQLite's exclusive lock now, and the exclusive locking
    // mode keeps it until the close, so that no SQLite client reads the file
    // while the handle holds it, not only once the first store is written.
    if (!db->readonly && exec(db, "BEGIN EXCLUSIVE; COMMIT")) {
        *err = errno_for(db->db, sqlite3_extended_errcode(db->db));
        return -1;
    }
    // The pager holds the exclusive lock now, and never lets it go: the
    // lock need no longer be kept for it.
    if (created)
        keep_lock(db->db, false);
    return journal_still_ours(db, err);
}

// Brings the connection to the file a build has just written beside it, or
// put back as it was: in exclusive locking mode its pager trusts the cache,
// the page count and the page size it had before.  For one read in normal
// locking mode the pager lets go of its lock, which the VFS keeps on the
// file (kept_lock.h), so that the next transaction finds the change counter
// advanced, drops the cache and reads the page count and the page size from
// the file, or plays back the journal of a switch that could not be undone.
// The file stays locked throughout: no other SQLite client comes in.  When
// the name no longer leads to the file, the connection, which finds its
// journal by name, is closed: the handle is detached (handle.h), and the
// close reports why.  Returns 0, or -1 with the failure recorded.
int reattach(kov_handle db)
{
    // No statement may hold a page of the old cache.
    finalize_all(db);
    char sql[200];
    snprintf(sql, sizeof sql,
             "PRAGMA locking_mode=NORMAL; PRAGMA schema_version;"
             "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT;"
             "PRAGMA cache_size=%d",
             -kov_sorted_cache_kib);
    int err = 0;
    if (kov_file_check_named(db->file, &db->detach_cause) == 0) {
        int rc = keep_lock(db->db, true) ? fail(db, "the connection cannot keep its lock")
                                         : exec(db, sql);
        keep_lock(db->db, false);
        if (rc == 0 && journal_still_ours(db, &err) == 0)
            return 0;
    }
    if (db->detach_cause.empty())
        db->detach_cause = db->failure.latest();
    else
        fail(db, db->detach_cause.c_str());
    finalize_all(db);
    sqlite3_close_v2(db->db);
    db->db = nullptr;
    set_mode(db, kov_mode::detached);
    db->failure.show_latest();
    return -1;
}

}  // namespace kov_lib
