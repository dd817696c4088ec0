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
// B-tree itself and makes it live in one step (see "The build" below);
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
#include "btree_switch.h"
#include "btree_writer.h"
#include "key_order.h"
#include "open_checks.h"
#include "page_output.h"
#include "sorter.h"
#include "writeback.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string_view>
#include <mutex>
#include <string>

#include <sqlite3.h>

namespace {

// Page cache of one handle, in KiB.  Bounds the memory a restore of any size
// needs beyond the record in hand.  Records stored in random key order touch
// every leaf of the B-tree, so each page that does not fit costs a read and
// a write through the kernel: the cache must hold the working set of a
// large restore (bench/RESULTS.md, "scale").
constexpr int kov_cache_kib = 96 * 1024;

// Page cache of a handle opened read-only.  A dump reads the file once in
// key order, which a large cache does not speed up but slows down and
// grows; lookups get SQLite's usual 2 MiB.
constexpr int kov_read_cache_kib = 2 * 1024;

// Page size of new files.  Larger pages mean fewer overflow pages for big
// values and fewer B-tree levels for many small records.
constexpr int kov_page_size = 16384;

// Page size a file written in key order gets instead when its records are
// large (choose_page_size).  A 10 KiB record fits a 64 KiB page whole but
// needs a 16 KiB overflow page beside a 16 KiB leaf, and a 20 MiB value
// needs a quarter of the pages; with small records the bigger pages only
// cost time, as each insert moves more bytes (bench/RESULTS.md,
// "ordered-medium" and "ordered").
constexpr int kov_large_page_size = 65536;

// Page cache of a handle that writes through the sorter.  Records arrive in
// key order, so only the right edge of the B-tree is being changed.
constexpr int kov_sorted_cache_kib = 4 * 1024;

// Stored bytes after which the key-order write commits.  Appending in key
// order journals almost nothing, so a commit costs little, and a process
// killed while writing keeps what was committed.
constexpr sqlite3_int64 kov_sorted_commit_bytes = 16LL << 20;

// The smallest commit the key-order write makes for want of room, unless a
// larger one failed (retry_smaller).
constexpr sqlite3_int64 kov_min_commit_bytes = 64LL << 10;

// Records of a new file stored in key order from the start stream straight
// to the table once the sorter holds this many bytes of them (or a quarter
// of its cap), which are written first and choose the page size.
constexpr uint64_t kov_stream_bytes = 4u << 20;

// ... and once they are at least this many records.  A few large records
// whose keys happen to ascend say little about the order of the rest: a
// dump in random order starts with k keys in order once in k! dumps.  A
// wrong guess costs much with such records: the first key out of order
// ends the build, and every later lookup and insert through SQLite reads
// whole overflowing records to compare keys, many times the work of the
// sorter's single pass over them.  Dumps of small records
// reach kov_stream_bytes long after this count, and are not delayed.
constexpr uint64_t kov_stream_records = 8;

// Values of at least this many bytes stored into the sorter of a new file
// have their overflow pages written into the file at once (store_chained),
// in pages of kov_large_page_size, and the sorter keeps only the part the
// record's cell holds.  Such a value would otherwise go to the sorter's
// value file and be read back by the build; this way it is written once,
// by the page output's thread while the dump is still being read
// (bench/RESULTS.md, "large").
constexpr size_t kov_chain_bytes = 256u << 10;

// Pages kept, beyond the cells themselves, for the cells of chains written
// ahead: the two levels a tree of them may grow by, three pages on each,
// and a leaf begun on each side of a record added between them.
constexpr uint64_t kov_chain_cell_levels = 8;

// How long the connection opened again after a build waits for a SQLite
// client that took a lock on the file in the moment it was not held.
constexpr int kov_reopen_wait_ms = 10000;

// SQLite's lock bytes in every database file: the pending byte at 1 GiB,
// the reserved byte after it, then the shared range (its os_unix.c).
constexpr off_t sqlite_pending_byte = 0x40000000;
constexpr off_t sqlite_shared_size = 510;

// The progress handler is called once per this many records written.
constexpr unsigned long long kov_progress_step = 4096;

// Stored bytes (keys, values and a fixed per-record charge) after which the
// write transaction may be committed and a new one begins.  Each commit makes
// the next transaction journal every page it changes again, which for random
// keys is most of the file; so a transaction runs until it has stored as much
// as all those before it.  A killed process loses at most half its work, and
// journalling costs at most one more write of the file.
constexpr sqlite3_int64 kov_commit_bytes = 16LL << 20;
constexpr sqlite3_int64 kov_record_charge = 64;

}  // namespace

struct kov_context {
    sqlite3 *db = nullptr;              // the connection
    sqlite3_stmt *insert = nullptr;     // INSERT, for KOV_INSERT
    sqlite3_stmt *replace = nullptr;    // INSERT OR REPLACE, for KOV_REPLACE
    sqlite3_stmt *update = nullptr;     // UPDATE, for KOV_MODIFY
    sqlite3_stmt *select = nullptr;     // lookup of one key, for kov_fetch
    kov_file file;                      // the file, its journal and their descriptors
    std::string error;                  // text of the last failure
    pid_t owner = 0;                    // process that opened the handle
    bool readonly = false;              // opened O_RDONLY: no stores
    bool in_txn = false;                // a write transaction is open
    sqlite3_int64 txn_bytes = 0;        // charge stored since the last commit
    sqlite3_int64 txn_records = 0;      // records stored since the last commit
    sqlite3_int64 committed_bytes = 0;  // charge of all committed transactions
    // The progress handler, or null, and its context.
    void (*progress)(void *, unsigned long long, unsigned long long) = nullptr;
    void *progress_ctx = nullptr;
    kov_sorter *sorter = nullptr;  // stores not yet written, for new files
    size_t sort_cap = 0;           // its memory cap
    bool btree_rows = false;       // the table may hold records already
    // The B-tree writer's build of the file, while one is under way (see
    // build_begin), the switch that makes it live, its page size and the
    // pages of the file that have room on the disk already.
    btree_writer *writer = nullptr;
    btree_switch sw;
    uint32_t build_page_size = 0;
    uint64_t build_reserved = 0;
    bool build_full = false;       // the last build stopped for lack of room
    // Why a build was given up after a failed write or sync, and its records
    // written through SQLite instead (end_build); reported by kov_close.
    // No build and no chain is started after that.
    std::string build_failure;
    // Chains written ahead (store_chained): the writer that holds them until
    // a build adopts it, whether one could not be started, and for each key
    // whose last store wrote one, where it begins and the value's size.
    btree_writer *chains = nullptr;
    bool chains_refused = false;
    struct chain_ref {
        uint32_t first;
        size_t value_size;
    };
    std::map<std::string, chain_ref, std::less<>> chained;
    uint64_t chain_cell_bytes = 0;  // room the cells of those chains will take
    sqlite3_int64 build_bytes = 0; // streamed into the build since the last sync
    bool journal_synced = false;   // the journal's directory entry was synced
    std::string detached;          // why the connection is gone, after a build
    std::string table_max;         // the greatest key written to the table
    uint64_t stored = 0;           // stores that succeeded
    // Stored bytes after which the key-order write commits: smaller once a
    // commit did not fit on the disk, and smaller as the room left shrinks
    // (room_limit, room_commit_bytes).
    sqlite3_int64 commit_limit = kov_sorted_commit_bytes;
    sqlite3_int64 room_limit = kov_sorted_commit_bytes;
    // Keys stored into a new file so far: whether each came after the one
    // before (and the last of them), and whether stores now go straight to
    // the table (store_sorted).
    bool in_order = true, stored_any = false, streaming = false;
    std::string last_key;
    // Bytes the records given to the sorter would take in pages of
    // kov_page_size and of kov_large_page_size, and their payload.
    uint64_t footprint_small = 0, footprint_large = 0, payload = 0;
    kov_context *next = nullptr;  // list of open handles, for the exit hook
    kov_context *prev = nullptr;
};

namespace {

std::mutex open_list_lock;
kov_context *open_list = nullptr;
bool exit_hook_installed = false;
thread_local std::string open_error;

const char msg_no_data[] = "datum with a size but no data";

// A datum of size 0 may have a null pointer; any other needs its bytes.
bool datum_ok(datum d)
{
    return d.data || d.size == 0;
}

int fail(kov_handle db, const char *text)
{
    db->error = text;
    return -1;
}

// Records the connection's error text for rc.  When the error ended the
// write transaction (SQLite rolls back on a full disk, an I/O error or out
// of memory), the records stored since the last commit are gone: say so.
int fail_sqlite(kov_handle db, int rc)
{
    const char *msg = db->db ? sqlite3_errmsg(db->db) : nullptr;
    db->error = (msg && *msg) ? msg : sqlite3_errstr(rc);
    // SQLite calls a write past the file-size limit an I/O error: name it.
    if (db->db && (rc & 0xff) == SQLITE_IOERR && sqlite3_system_errno(db->db) == EFBIG)
        db->error = strerror(EFBIG);
    if (db->in_txn && sqlite3_get_autocommit(db->db)) {
        db->in_txn = false;
        if (db->txn_records > 0) {
            db->error += "; the last " + std::to_string(db->txn_records) +
                         " records stored before it were rolled back";
        }
        db->txn_bytes = 0;
        db->txn_records = 0;
    }
    return -1;
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

// Bytes a record of n payload bytes takes in an index B-tree of pages of
// page bytes: its cell in a leaf, and the overflow pages of what does not
// fit there (SQLite's rule for how much of a payload stays local).
uint64_t record_footprint(uint64_t n, uint64_t page)
{
    uint64_t local = btree_local_payload(n, page);
    if (local == n)
        return n + 6;
    return local + 10 + (n - local + page - 5) / (page - 4) * page;
}

// Whether a new file's records, those the sorter holds before the first
// write, get 64 KiB pages: when they are large (at least 4 KiB on average,
// the most a 16 KiB page keeps in a leaf) and would not take more room in
// them.
bool large_pages(kov_handle db)
{
    uint64_t records = db->sorter->size();
    return records && db->payload / records >= 4096 &&
           db->footprint_large <= db->footprint_small + db->footprint_small / 16;
}

// Before the first write of a new file's table through SQLite: gives the
// file large_pages' page size.  The table is
// still empty, so the VACUUM that changes the page size copies nothing,
// and the copy it makes stays in memory rather than in a temporary file
// outside the database's directory.  Only a choice of layout: if it fails,
// the file keeps its pages.
void choose_page_size(kov_handle db)
{
    // Before the first write, the sorter holds every record stored.
    if (db->btree_rows || db->in_txn || !large_pages(db))
        return;
    char sql[128];
    snprintf(sql, sizeof sql,
             "PRAGMA temp_store=MEMORY; PRAGMA page_size=%d; VACUUM; PRAGMA temp_store=DEFAULT;",
             kov_large_page_size);
    sqlite3_exec(db->db, sql, nullptr, nullptr, nullptr);
}

sqlite3_int64 query_int(kov_handle db, const char *sql, int *rc_out)
{
    sqlite3_stmt *stmt = nullptr;
    sqlite3_int64 value = 0;
    int rc = sqlite3_prepare_v2(db->db, sql, -1, &stmt, nullptr);
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

// Whether key sorts after k, in the table's order of BLOBs.
bool key_after(datum key, const std::string &k)
{
    return key_cmp(key.data, key.size, k.data(), k.size()) > 0;
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

int attach(kov_handle db, bool created, int *err, const std::string &path, bool reopen = false);
void finalize_all(kov_handle db);

// The build.  The first write of a handle that created its file writes the
// B-tree itself (btree_writer.h) instead of inserting rows through SQLite:
// the sorter's merge, and the stores of a dump in key order that stream
// past the sorter, are added to the writer in key order, and no SQL runs on
// the connection until the build ends.  It ends at the close (or at exit),
// at the first key out of order, at a read through the handle, and when it
// cannot go on; the tree of the records added so far is then finished and
// made live in one step (btree_switch.h), and the connection, whose cache
// and page size are those of the empty database, is opened again.  From
// then on the file has records, and every later write goes through SQLite.
//
// Large values stored before the build (store_chained) have their overflow
// pages written at once by a writer that the build then adopts, so the
// build may begin with pages already written; a chain whose record the
// build never adds ends on the file's free list (btree_writer.h).
//
// Crash safety: btree_switch_begin journals the empty database before the
// writer (or the writer of chains) touches the file, so a process killed
// during the build or the switch leaves a hot journal, which the next open
// of the file plays back into the empty database; once the switch has
// committed, the file holds the whole tree, synced.  Whole records only,
// none or all of the build.
//
// Room: the file is given room on the disk (build_room) ahead of the
// writer, so that a full disk or a file-size limit stops the build between
// two records with room left to finish the tree: the records that fit are
// kept.  The room of a chain written ahead is reserved with that of its
// cell, which no other record takes (chain_cells_room), so that a full disk
// keeps the records whose values it holds.  The commit cuts the file to its
// pages, giving the reserve back.

// Text of a failure for lack of room: a full disk as SQLite words it, so
// that it reads the same whichever way the records were written, and a
// file-size limit by its cause.
const char *room_error(int e)
{
    return e == ENOSPC || e == EDQUOT ? sqlite3_errstr(SQLITE_FULL) : strerror(e);
}

// Whether the next write of the sorter's records is a build: the file was
// created by this handle, its table is still empty, and the library holds
// its journal, which the switch writes.
bool build_wanted(kov_handle db)
{
    return db->sorter && !db->writer && db->build_failure.empty() &&
           (db->chains || (!db->btree_rows && db->file.journal_fd >= 0));
}

// Pages the cells of the chains written ahead will take when the build
// adds them: at least two to a leaf, as a cell keeps at most a quarter of
// a page.  Any other record also leaves them the levels the tree may grow
// by (kov_chain_cell_levels), so that the room reserved when a chain was
// written stays there for its cell: a full disk keeps every record whose
// value it holds.
uint64_t chain_cells_room(kov_handle db, bool other_record)
{
    if (db->chain_cell_bytes == 0)
        return 0;
    assert(db->build_page_size >= 512);
    return db->chain_cell_bytes / (db->build_page_size / 2) +
           (other_record ? kov_chain_cell_levels : 0);
}

// Starts a writer of the file in pages of page bytes, in *w, once the empty
// database is journalled (btree_switch_begin).  On failure the file and the
// connection are untouched.
int start_writer(kov_handle db, uint32_t page, btree_writer **w)
{
    if (commit(db))
        return -1;
    std::string err;
    // The journal's directory entry must be on the disk before the journal
    // is relied upon: the handle created it at the open.
    bool sync_dir = !db->journal_synced && db->file.dir_fd >= 0;
    if (btree_switch_begin(&db->sw, db->file.fd, db->file.journal_fd, db->file.dir_fd, sync_dir,
                           &err))
        return fail(db, err.c_str());
    db->journal_synced = true;
    if (db->file.direct_fd < 0)
        db->file.direct_fd = page_output_open_direct(db->file.fd);
    *w = new (std::nothrow)
        btree_writer(db->file.fd, btree_switch_header(&db->sw, page), db->file.direct_fd);
    if (!*w) {
        // Nothing was written over the file: the journal holds what it holds.
        btree_switch_abort(&db->sw, &err);
        return fail(db, "out of memory");
    }
    db->build_page_size = page;
    db->build_reserved = 0;
    db->build_full = false;
    return 0;
}

// Starts a build: adopts the writer of the chains written ahead, or starts
// one whose page size follows the records the sorter holds, as for
// SQLite's own write (large_pages).  On failure the file and the
// connection are untouched, and the caller may write through SQLite.
int build_begin(kov_handle db)
{
    if (db->chains)
        std::swap(db->writer, db->chains);
    else if (start_writer(db, large_pages(db) ? kov_large_page_size : kov_page_size, &db->writer))
        return -1;
    db->btree_rows = true;
    db->table_max.clear();
    return 0;
}

// Gives the file room on the disk for the next record of at most n bytes of
// payload and for finishing the tree after it: the record's overflow pages,
// a completed page on each level and a new level, then what finish writes
// (two pages on each level, page 1 and the root), and the lock page that
// the page numbers skip.  n is 0 for the record of a chain written ahead,
// whose cell is counted with the others (chain_cells_room).  The reserve
// grows by an eighth of the file (at least 4 MiB), or by just what is
// needed when that does not fit.  A file system that cannot reserve is
// written without.  Returns 0, or -1 with the errno of the lack of room
// in *e.
int build_room(kov_handle db, uint64_t n, int *e)
{
    uint64_t page = db->build_page_size;
    btree_writer *w = db->writer ? db->writer : db->chains;
    uint64_t need = w->pages() + (n ? n / (page - 4) + 1 : 0) + 3 * (w->depth() + 1) + 3 +
                    chain_cells_room(db, n > 0);
    if (need <= db->build_reserved)
        return 0;
    uint64_t step = std::max<uint64_t>(db->build_reserved / 8, (4u << 20) / page);
    off_t from = static_cast<off_t>(db->build_reserved * page);
    for (uint64_t want : {need + step, need}) {
        do
            *e = posix_fallocate(db->file.fd, from, static_cast<off_t>(want * page) - from);
        while (*e == EINTR);
        if (*e == 0) {
            db->build_reserved = want;
            return 0;
        }
        if (*e != ENOSPC && *e != EDQUOT && *e != EFBIG) {
            db->build_reserved = UINT64_MAX;
            return 0;
        }
    }
    return -1;
}

// Adds a record, greater than every one before, to the build.  Returns 0,
// or -1 with the failure recorded; for lack of room (db->build_full)
// nothing was written.
int build_add(kov_handle db, datum key, datum value)
{
    int e = 0;
    if (build_room(db, key.size + value.size + 20, &e)) {
        db->build_full = true;
        return fail(db, room_error(e));
    }
    std::string err;
    if (db->writer->add(key.data, key.size, value.data, value.size, &err))
        return fail(db, err.c_str());
    db->table_max.assign(reinterpret_cast<const char *>(key.data), key.size);
    return 0;
}

// The chain written ahead for the record of key the sorter holds, or null.
const kov_context::chain_ref *chain_of(kov_handle db, datum key)
{
    if (db->chained.empty())
        return nullptr;
    auto it = db->chained.find(std::string_view(reinterpret_cast<const char *>(key.data), key.size));
    return it == db->chained.end() ? nullptr : &it->second;
}

// build_add for a record of the sorter's merge, whose value may be the
// part the cell keeps of a value with a chain written ahead (chain_of).
int build_add_merged(kov_handle db, datum key, datum value, const kov_context::chain_ref *chain)
{
    if (!chain)
        return build_add(db, key, value);
    std::string err;
    if (db->writer->add_chained(key.data, key.size, value.data, chain->value_size, chain->first,
                                &err))
        return fail(db, err.c_str());
    db->chain_cell_bytes -= std::min<uint64_t>(db->chain_cell_bytes, key.size + value.size + 32);
    db->table_max.assign(reinterpret_cast<const char *>(key.data), key.size);
    return 0;
}

// The path by which SQLite opens the file again: the name in the directory
// the handle holds, wherever that directory is now, so that a chdir() of
// the process since the open changes nothing (open_checks.h).  Without
// /proc, the name as given.
std::string reopen_path(const kov_file &f)
{
    char dir[PATH_MAX];
    std::string link = "/proc/self/fd/" + std::to_string(f.dir_fd);
    ssize_t n = f.dir_fd >= 0 ? readlink(link.c_str(), dir, sizeof dir - 1) : -1;
    if (n <= 0 || dir[0] != '/')
        return sqlite_path(f);
    dir[n] = 0;
    return std::string(dir) + (n > 1 ? "/" : "") + f.base;
}

// Takes, through fd, the bytes of SQLite's lock that a writer holds (the
// pending and reserved bytes and the shared range), right after the
// connection was closed, so that no other SQLite client starts a write
// while it is opened again.  A POSIX lock belongs to the process: the new
// connection takes the same bytes without conflict, and its close releases
// them.  When a client came in between, nothing is taken and the new
// connection waits for it (kov_reopen_wait_ms).
void bridge_sqlite_lock(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = sqlite_pending_byte;
    lock.l_len = 2 + sqlite_shared_size;
    fcntl(fd, F_SETLK, &lock);
}

// Opens the connection again after a build, with the settings of the open;
// the hold on the file (open_checks.h) stays with the handle's descriptor
// meanwhile.  When the name no longer leads to the file, SQLite, which
// opens by name, is not given another file: the connection stays closed,
// db->detached says why, and the close reports it.  Returns 0, or -1 with
// the failure recorded.
int reattach(kov_handle db)
{
    finalize_all(db);
    sqlite3_close_v2(db->db);
    db->db = nullptr;
    bridge_sqlite_lock(db->file.fd);
    int err = 0;
    char sql[64];
    snprintf(sql, sizeof sql, "PRAGMA cache_size=%d", -kov_sorted_cache_kib);
    if (kov_file_still_named(db->file, &db->detached) == 0 &&
        attach(db, false, &err, reopen_path(db->file), true) == 0 && exec(db, sql) == 0)
        return 0;
    if (db->detached.empty())
        db->detached = db->error;
    finalize_all(db);
    sqlite3_close_v2(db->db);
    db->db = nullptr;
    return fail(db, db->detached.c_str());
}

// Ends the build: finishes the tree of the records added and makes it live,
// or, when either fails, puts the empty database back and says how many
// records were lost; then opens the connection again.  Returns 0, or -1
// with the failure recorded.  With fell_back (every record added is still
// held by the sorter's merge, which can go back to its start), a failure
// that put the empty database back loses nothing but the records whose
// values were written ahead (their only copy was the writer's): *fell_back
// is set, db->build_failure says so, and the caller writes the records
// through SQLite instead.
int end_build(kov_handle db, bool *fell_back = nullptr)
{
    if (!db->writer)
        return 0;
    std::unique_ptr<btree_writer> writer(db->writer);
    db->writer = nullptr;
    uint32_t pages = 0;
    std::string err, failure;
    bool finished = writer->finish(&pages, &err) == 0;
    uint64_t records = writer->records();
    // The writer's threads end before the connection is opened again.
    writer.reset();
    if (!finished || btree_switch_commit(&db->sw, pages, db->build_page_size, &err)) {
        failure = err;
        // A failed abort leaves the journal hot: the connection opened again
        // plays it back.  What the file then keeps is counted by the caller
        // (note_kept), so that the text never guesses.
        if (btree_switch_abort(&db->sw, &err)) {
            failure += "; " + err;
        } else if (fell_back) {
            *fell_back = true;
            if (!db->chained.empty())
                failure += "; the " + std::to_string(db->chained.size()) +
                           " records whose values were written ahead were lost with it";
            db->build_failure = failure;
            failure.clear();
        } else {
            failure += "; the " + std::to_string(records) + " records written to the file were lost";
        }
        db->btree_rows = false;
        db->table_max.clear();
    } else {
        // Every chain is in the tree, or on the free list when its record
        // was replaced or not written.  A failed build keeps the list: the
        // sorter's copies of those records are cut, and must never be
        // written as they are.
        db->chained.clear();
        db->chain_cell_bytes = 0;
    }
    if (reattach(db))
        failure += (failure.empty() ? "" : "; ") + db->error;
    return failure.empty() ? 0 : fail(db, failure.c_str());
}

// The first progress call of a write of held records, before any is
// written, so that a meter times the write from its start: the next call
// comes only after kov_progress_step records, which for large values can
// take long.
void progress_start(kov_handle db, unsigned long long total)
{
    if (db->progress && total > 0)
        db->progress(db->progress_ctx, 0, total);
}

// write_sorted into the build: as write_sorted, but a write that cannot go
// on for lack of room first gives back the temporary space of the records
// handed out (in the last write), then whole temporary files (merge_drop),
// and otherwise ends the build with the records added so far.  With
// keep_building the build stays open after a complete write, for the stores
// that stream after it.  A build that fails for another cause while the
// merge can still go back to every record added (no checkpoint yet, and
// nothing streamed into it before) is given up (end_build): the merge
// goes back to its start and 2 is returned, for write_sorted to write the
// records through SQLite.
int build_sorted(kov_handle db, bool last, bool keep_building)
{
    kov_sorter *sorter = db->sorter;
    int rc = sorter->merge_begin(last, &db->error);
    unsigned long long total = sorter->size();
    if (rc == 0)
        progress_start(db, total);
    std::string held_key, held_value;
    assert(db->writer && !db->chains);
    bool rewindable = db->writer->records() == 0;
    bool fell_back = false;
    {
        background_writeback writeback(db->file.fd);
        // Bytes added since the last checkpoint.
        sqlite3_int64 bytes = 0;
        // The errno of the lack of room for a record left out, or 0.
        int full_errno = 0;
        while (rc == 0) {
            datum key, value;
            uint64_t done;
            int got = sorter->merge_next(const_cast<const unsigned char **>(&key.data), &key.size,
                                         const_cast<const unsigned char **>(&value.data),
                                         &value.size, &done, &db->error);
            if (got <= 0) {
                rc = got;
                break;
            }
            // A record whose value was written ahead has its cell counted
            // among the cells of the chains (chain_cell_bytes) already.
            const kov_context::chain_ref *chain = chain_of(db, key);
            uint64_t n = chain ? 0 : key.size + value.size + 20;
            int e = 0;
            bool room = build_room(db, n, &e) == 0;
            if (!room && last) {
                // The checkpoint makes the merge's pointers invalid.
                held_key.assign(reinterpret_cast<const char *>(key.data), key.size);
                held_value.assign(reinterpret_cast<const char *>(value.data), value.size);
                key.data = reinterpret_cast<unsigned char *>(held_key.data());
                value.data = reinterpret_cast<unsigned char *>(held_value.data());
                rewindable = false;
                if ((rc = sorter->merge_checkpoint(&db->error)) != 0)
                    break;
                bytes = 0;
                // A temporary file is given back, with the records in it
                // not yet written, only when no chain was written ahead:
                // the file may hold the only copy of the part of a value
                // that a chain's cell keeps.  The record is left out then.
                uint64_t freed;
                while (!(room = build_room(db, n, &e) == 0) && db->chained.empty() &&
                       (rc = sorter->merge_drop(&freed, &db->error)) > 0)
                    rc = 0;
                if (rc < 0)
                    break;
                rc = 0;
                if (!room) {
                    // This record does not fit; a later one may, as a
                    // record whose value was written ahead needs room for
                    // its cell only.  The write ends as a failure.
                    db->build_full = true;
                    full_errno = e;
                    continue;
                }
            }
            if (!room) {
                db->build_full = true;
                rc = fail(db, room_error(e));
                break;
            }
            if ((rc = build_add_merged(db, key, value, chain)) != 0)
                break;
            bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
            if (bytes >= kov_sorted_commit_bytes) {
                bytes = 0;
                // Pages written past the page cache leave nothing to sync.
                if (!db->writer->writes_direct())
                    writeback.kick();
                // The checkpoint bounds what the merge keeps for a rewind
                // (and in a last write gives temporary space back): a build
                // that fails after it can no longer be given up.
                rewindable = false;
                if ((rc = sorter->merge_checkpoint(&db->error)) != 0)
                    break;
            }
            if (db->progress && done % kov_progress_step == 0 && done < total)
                db->progress(db->progress_ctx, done, total);
        }
        if (int err = rc == 0 ? writeback.error() : 0) {
            db->error = std::string("fsync: ") + strerror(err);
            rc = -1;
        }
        if (rc == 0 && full_errno)
            rc = fail(db, room_error(full_errno));
    }
    if (rc == 0 && !keep_building) {
        if (end_build(db, rewindable ? &fell_back : nullptr)) {
            sorter->clear();
            return -1;
        }
    }
    if (rc == 0 && !fell_back) {
        sorter->clear();
        if (db->progress)
            db->progress(db->progress_ctx, total, total);
        return 0;
    }
    // The build cannot go on: the records added so far become the file, or
    // it is given up and they go through SQLite.
    std::string cause = db->error;
    if (rc != 0 && end_build(db, rewindable ? &fell_back : nullptr))
        cause += "; " + db->error;
    if (fell_back && db->db)
        return sorter->merge_rewind(&db->error) ? -1 : 2;
    db->error = cause;
    return -1;
}

// The sink of records in ascending key order, the one place where the
// key-order write puts records into the file: the merge of the sorter
// (write_sorted) and the stores of a dump in key order (store_streamed)
// both end here.  During a build each record goes to the writer.
// Otherwise each record goes to the table with INSERT OR REPLACE in
// a write transaction that is committed every kov_sorted_commit_bytes, or
// less (db->commit_limit, db->room_limit);
// db->in_txn is false right after such a commit.  db->table_max follows the
// greatest key written.  held says the records are also held elsewhere (by
// the sorter): db->txn_records, the records a rollback loses, counts only
// the others.
// Returns 0, or -1 with the error recorded.
int sink_put(kov_handle db, datum key, datum value, bool held)
{
    if (db->writer)
        return build_add(db, key, value);
    if (prepare(db, &db->replace, "INSERT OR REPLACE INTO kov(key, value) VALUES(?1, ?2)") ||
        begin_write(db))
        return -1;
    db->btree_rows = true;
    int rc = bind_datum(db->replace, 1, key);
    if (rc == SQLITE_OK)
        rc = bind_datum(db->replace, 2, value);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(db->replace);
    sqlite3_reset(db->replace);
    if (rc != SQLITE_DONE)
        return fail_sqlite(db, rc);
    if (key_after(key, db->table_max) || db->table_max.empty())
        db->table_max.assign(reinterpret_cast<const char *>(key.data), key.size);
    if (!held)
        db->txn_records++;
    db->txn_bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
    if (db->txn_bytes < std::min(db->commit_limit, db->room_limit))
        return 0;
    if (commit(db))
        return -1;
    db->room_limit = room_commit_bytes(db);
    return 0;
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

// After a write of the sorter's records failed with records and bytes
// stored since the last commit: when it was for lack of room, rolls back
// what the transaction holds, takes the merge back to the last commit and
// makes commits of at most half what failed from then on.  The pages a
// rolled-back transaction added are given back, and a commit in the last
// write gives back the temporary space of what it holds (merge_checkpoint),
// so a smaller commit may fit where the larger one did not.  When not even
// one record fits, the last write gives back the temporary file that takes
// the most room, and loses the records in it not yet written, so that the
// others fit (merge_drop).  Returns false when the failure stands.
bool retry_smaller(kov_handle db, sqlite3_int64 records, sqlite3_int64 failed_bytes)
{
    if (!out_of_room(db))
        return false;
    if (!sqlite3_get_autocommit(db->db) &&
        sqlite3_exec(db->db, "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    db->in_txn = false;
    db->txn_bytes = 0;
    db->txn_records = 0;
    std::string cause = db->error;
    if (db->sorter->merge_rewind(&db->error))
        return false;
    if (records > 1) {
        db->error = cause;
        db->commit_limit = std::max<sqlite3_int64>(std::min(db->commit_limit, failed_bytes) / 2, 1);
        return true;
    }
    uint64_t freed = 0;
    if (db->sorter->merge_drop(&freed, &db->error) <= 0)
        return false;
    db->error = cause;
    db->commit_limit = std::max(db->commit_limit, static_cast<sqlite3_int64>(freed / 4));
    return true;
}

// Adds to the failure's text how many records the file keeps, of the
// stores that succeeded.  What a transaction still holds is committed
// first, if it fits, so that the count is what the file keeps.
void note_kept(kov_handle db)
{
    if (!db->db)
        return;
    std::string cause = db->error;
    commit(db);
    db->error = cause;
    int rc;
    sqlite3_int64 n = query_int(db, "SELECT count(*) FROM kov", &rc);
    if (rc == SQLITE_OK)
        db->error += "; the file keeps " + std::to_string(n) + " of the " +
                     std::to_string(db->stored) + " records stored";
}

// Writes every record the sorter holds into the table in key order,
// committing as it goes, then empties the sorter.  A commit that fails for
// lack of room is made again in smaller ones (retry_smaller).  On failure
// the sorter keeps its records, so a later call writes them again: the
// INSERT OR REPLACE makes that harmless for records already written.  The
// last write of a handle (at kov_close or exit, or once a store has met a
// full disk), which nothing follows, lets the sorter give back its space at
// each commit, so that the records it holds fit where its temporary files
// were.  The first write of a new file is a build (build_sorted), which
// ends here unless keep_building, also when the sorter is empty.
int write_sorted(kov_handle db, bool last = false, bool keep_building = false)
{
    kov_sorter *sorter = db->sorter;
    if (!sorter || sorter->size() == 0) {
        if (db->chains && build_begin(db))
            return -1;
        return keep_building ? 0 : end_build(db);
    }
    // A build that cannot start leaves the file as it was: SQLite writes it.
    if (build_wanted(db) && build_begin(db))
        db->error.clear();
    bool merging = false;
    if (db->writer) {
        int built = build_sorted(db, last, keep_building);
        if (built != 2)
            return built;
        merging = true;
    }
    // Records streamed before are committed first, so that a failure of
    // this write cannot take them along in a rollback.  A build given up
    // has begun the merge and taken it back to its start.
    if (commit(db) || (!merging && sorter->merge_begin(last, &db->error)))
        return -1;
    unsigned long long total = sorter->size();
    progress_start(db, total);
    choose_page_size(db);
    db->room_limit = room_commit_bytes(db);
    background_writeback writeback(db->file.fd);
    // Records and bytes written since the last commit.
    sqlite3_int64 records = 0, bytes = 0;
    for (;;) {
        datum key, value;
        uint64_t done;
        int got = sorter->merge_next(const_cast<const unsigned char **>(&key.data), &key.size,
                                     const_cast<const unsigned char **>(&value.data), &value.size,
                                     &done, &db->error);
        if (got < 0)
            return -1;
        // The cell's part of a value whose chain was lost with a build given
        // up (db->build_failure counts them) is not the record.
        if (got && chain_of(db, key)) {
            if (db->build_failure.empty())
                return fail(db, "a record whose value was written ahead was lost with its build");
            continue;
        }
        if ((got ? sink_put(db, key, value, true) : commit(db)) != 0) {
            // A commit that does not fit is made again in smaller ones, and
            // in the last write, what does not fit is dropped (retry_smaller).
            sqlite3_int64 size = got ? static_cast<sqlite3_int64>(key.size + value.size) : 0;
            if (!retry_smaller(db, records + got, bytes + size))
                return -1;
            records = bytes = 0;
            continue;
        }
        if (got == 0)
            break;
        records++;
        bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
        if (!db->in_txn) {
            records = bytes = 0;
            writeback.kick();
            if (sorter->merge_checkpoint(&db->error))
                return -1;
        }
        if (db->progress && done % kov_progress_step == 0 && done < total)
            db->progress(db->progress_ctx, done, total);
    }
    if (int err = writeback.error()) {
        db->error = std::string("fsync: ") + strerror(err);
        return -1;
    }
    sorter->clear();
    if (db->progress)
        db->progress(db->progress_ctx, total, total);
    return 0;
}

// Whether the table holds key: 1, 0, or -1 on error.  Every key written
// is at most db->table_max, so a key above it needs no lookup.
int table_holds(kov_handle db, datum key)
{
    if (!db->btree_rows || key_after(key, db->table_max))
        return 0;
    if (prepare(db, &db->select, "SELECT value FROM kov WHERE key = ?1"))
        return -1;
    int rc = bind_datum(db->select, 1, key);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(db->select);
    sqlite3_reset(db->select);
    if (rc == SQLITE_ROW)
        return 1;
    if (rc == SQLITE_DONE)
        return 0;
    return fail_sqlite(db, rc);
}

// kov_store of a key above every key stored before, while the dump arrives
// in key order: straight to the build or the table, the sorter being empty.
// Such a key is new, so only KOV_MODIFY can fail.  Each commit, and each
// kov_sorted_commit_bytes of a build, starts the kernel writing the file
// out, as the writeback thread does for write_sorted, which cannot run here
// between calls.  A build that cannot go on is ended, so that the file
// keeps the records added so far.
int store_streamed(kov_handle db, datum key, datum value, int flag)
{
    if (flag == KOV_MODIFY)
        return fail(db, "Record not found");
    bool building = db->writer != nullptr;
    if (sink_put(db, key, value, false)) {
        bool full = building ? db->build_full : out_of_room(db);
        if (building) {
            std::string cause = db->error;
            if (end_build(db))
                cause += "; " + db->error;
            db->error = cause;
        }
        if (full)
            note_kept(db);
        return -1;
    }
    if (building) {
        db->build_bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
        if (db->build_bytes < kov_sorted_commit_bytes || db->writer->writes_direct())
            return 0;
        db->build_bytes = 0;
    } else if (db->in_txn) {
        return 0;
    }
    sync_file_range(db->file.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return 0;
}

// After the sorter could not write a run for lack of room: writes what it
// holds into the table in a last merge, which gives its temporary space
// back at each commit, and drops what still does not fit, so that the file
// keeps what fits.  The failure's text then says how many records it keeps.
void keep_what_fits(kov_handle db)
{
    std::string cause = db->error;
    write_sorted(db, true);
    db->sorter->clear();
    db->error = cause;
    note_kept(db);
}

// After a failed write of the writer of chains written ahead: puts the
// empty database back and opens the connection again, so that the sorter's
// records go through SQLite from now on (no build, no chain).  The records
// whose values were written ahead are lost with the writer, which held
// their only copy; db->build_failure says so, and kov_close reports it
// with the count of what the file keeps.
void give_up_chains(kov_handle db, const std::string &cause)
{
    assert(db->chains && !db->writer);
    delete db->chains;
    db->chains = nullptr;
    db->chains_refused = true;
    std::string err;
    db->build_failure = cause;
    if (btree_switch_abort(&db->sw, &err))
        db->build_failure += "; " + err;
    if (!db->chained.empty())
        db->build_failure += "; the " + std::to_string(db->chained.size()) +
                             " records whose values were written ahead were lost with it";
    if (reattach(db))
        db->build_failure += "; " + db->error;
}

// kov_store of a large value into the sorter of a new file (at least
// kov_chain_bytes): the overflow pages of its record go to the file now,
// through the writer of chains written ahead, which a build adopts later;
// the sorter gets the part of the value the cell keeps.  The first such
// store journals the empty database, as a build does, so that a process
// killed from then on leaves it as it was.  Room for the chain is given
// first (build_room), and the sorter refuses a repeated key before a page
// is written.  Returns as kov_sorter::add, or 2 when the value is to go
// to the sorter whole.
int store_chained(kov_handle db, datum key, datum value, bool must_be_new)
{
    if (!db->chains) {
        if (db->writer || db->btree_rows || db->file.journal_fd < 0 || db->chains_refused ||
            !db->build_failure.empty())
            return 2;
        if (start_writer(db, kov_large_page_size, &db->chains)) {
            db->chains_refused = true;
            db->error.clear();
            return 2;
        }
    }
    if (!db->chains->overflows(key.size, value.size))
        return 2;
    size_t prefix = db->chains->chain_prefix(key.size, value.size);
    // Room for the chain and, counted with the others, its cell, which no
    // other record may take later (chain_cells_room).
    uint64_t cell = key.size + prefix + 32;
    db->chain_cell_bytes += cell;
    int e = 0;
    int rc = build_room(db, key.size + value.size + 20, &e) ? 2
             : db->sorter->add(key.data, key.size, value.data, prefix, must_be_new, &db->error);
    if (rc != 0) {
        assert(db->chain_cell_bytes >= cell);
        db->chain_cell_bytes -= cell;
        return rc;
    }
    std::string k(reinterpret_cast<const char *>(key.data), key.size), err;
    uint32_t first;
    if (db->chains->write_chain(key.data, key.size, value.data, value.size, &first, &err)) {
        // The whole value takes the cut one's place, and the store stands;
        // the chains written before are lost with the writer (give_up_chains).
        db->chained.erase(k);
        rc = db->sorter->add(key.data, key.size, value.data, value.size, false, &db->error);
        give_up_chains(db, err);
        if (rc == 0)
            return 0;
        errno = EIO;
        return -1;
    }
    db->chained[k] = {first, value.size};
    return 0;
}

// kov_store into the sorter.  The sorter holds records not yet written and
// the table those written already, so a key exists when either holds it.
//
// While every key comes after the one before, the first records go to the
// sorter as usual, so that the page size is chosen from them; once they
// reach kov_stream_bytes (or a quarter of the sorter's cap) they are
// written, and the following records stream straight to the table
// (store_streamed) without being held.  The first key out of order ends
// that for good: the sorter takes the rest, and a key at or below the
// greatest one written is looked up in the table.
int store_sorted(kov_handle db, datum key, datum value, int flag)
{
    // The engine refuses a row longer than its length limit; say so now, not
    // when the row is written.
    size_t limit = static_cast<size_t>(sqlite3_limit(db->db, SQLITE_LIMIT_LENGTH, -1));
    if (key.size > limit || value.size > limit || key.size + value.size + 32 > limit)
        return fail(db, "string or blob too big");
    bool ascending = db->in_order && (!db->stored_any || key_after(key, db->last_key));
    db->in_order = ascending;
    // A key out of order is looked up in the table: the build ends first.
    if (!ascending && db->writer && end_build(db))
        return -1;
    if (ascending) {
        db->last_key.assign(reinterpret_cast<const char *>(key.data), key.size);
        db->stored_any = true;
        if (db->streaming)
            return store_streamed(db, key, value, flag);
    }
    int exists = 0;
    if (flag != KOV_REPLACE) {
        if ((exists = table_holds(db, key)) < 0)
            return -1;
        if (!exists && flag == KOV_MODIFY &&
            (exists = db->sorter->contains(key.data, key.size, &db->error)) < 0)
            return -1;
    }
    if (exists && flag == KOV_INSERT)
        return fail(db, "Record exists");
    if (!exists && flag == KOV_MODIFY)
        return fail(db, "Record not found");
    int rc = value.size >= kov_chain_bytes ? store_chained(db, key, value, flag == KOV_INSERT) : 2;
    if (rc == 2) {
        rc = db->sorter->add(key.data, key.size, value.data, value.size, flag == KOV_INSERT,
                             &db->error);
        if (rc == 0 && chain_of(db, key))
            db->chained.erase(std::string(reinterpret_cast<const char *>(key.data), key.size));
    }
    if (rc < 0) {
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
            keep_what_fits(db);
        return -1;
    }
    if (rc > 0)
        return fail(db, "Record exists");
    uint64_t n = key.size + value.size + 4;
    db->payload += n;
    db->footprint_small += record_footprint(n, kov_page_size);
    db->footprint_large += record_footprint(n, kov_large_page_size);
    // The store has succeeded whatever comes next: if the sorter's records
    // cannot be written now, it keeps them for a later write, and the dump
    // goes on through the sorter.
    if (ascending && db->payload >= std::min<uint64_t>(kov_stream_bytes, db->sort_cap / 4) &&
        db->sorter->size() >= kov_stream_records) {
        if (write_sorted(db, false, true) == 0) {
            db->streaming = true;
        } else {
            db->in_order = false;
            db->error.clear();
        }
    }
    return 0;
}

void finalize_all(kov_handle db)
{
    for (sqlite3_stmt **s : {&db->insert, &db->replace, &db->update, &db->select}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
}

// Commits every handle this process still has open.  Runs at exit, as
// stdio's flush does, so that records stored by a program that exits
// without kov_close are kept.  A forked child that exits does not commit
// its parent's handles.
void commit_open_handles()
{
    std::lock_guard<std::mutex> guard(open_list_lock);
    for (kov_context *db = open_list; db; db = db->next) {
        if (db->owner != getpid() || !db->db)
            continue;
        int rc = write_sorted(db, true);
        if (commit(db))
            rc = -1;
        finalize_all(db);
        if (sqlite3_close_v2(db->db) != SQLITE_OK)
            rc = -1;
        db->db = nullptr;
        // A journal beside a name that leads elsewhere now protects nothing.
        std::string unused;
        release_journal(db->file, rc == 0 || kov_file_still_named(db->file, &unused));
    }
}

void link_handle(kov_handle db)
{
    std::lock_guard<std::mutex> guard(open_list_lock);
    if (!exit_hook_installed) {
        atexit(commit_open_handles);
        exit_hook_installed = true;
    }
    db->next = open_list;
    if (open_list)
        open_list->prev = db;
    open_list = db;
}

void unlink_handle(kov_handle db)
{
    std::lock_guard<std::mutex> guard(open_list_lock);
    if (db->prev)
        db->prev->next = db->next;
    else
        open_list = db->next;
    if (db->next)
        db->next->prev = db->prev;
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

// Checks that an existing file is a kov database of a version we read: the
// header fields, then a kov table of exactly our definition with no trigger
// on it.  The id alone is not enough: a view named kov can make a scan run
// forever, a loose table holds NULLs and repeated keys, and a trigger makes
// a store do more than store.
int verify(kov_handle db, int *err)
{
    int rc;
    sqlite3_int64 app = query_int(db, "PRAGMA application_id", &rc);
    if (rc != SQLITE_OK) {
        *err = errno_for(db->db, rc);
        return fail_sqlite(db, rc);
    }
    sqlite3_int64 version = query_int(db, "PRAGMA user_version", &rc);
    if (rc != SQLITE_OK) {
        *err = errno_for(db->db, rc);
        return fail_sqlite(db, rc);
    }
    char sql[320];
    snprintf(sql, sizeof sql,
             "SELECT (SELECT count(*) FROM sqlite_master"
             " WHERE type = 'table' AND sql = '%s') = 1"
             " AND NOT EXISTS (SELECT 1 FROM sqlite_master"
             " WHERE type = 'trigger' AND tbl_name = 'kov' COLLATE NOCASE)",
             btree_table_sql);
    sqlite3_int64 ours = query_int(db, sql, &rc);
    if (rc != SQLITE_OK) {
        *err = errno_for(db->db, rc);
        return fail_sqlite(db, rc);
    }
    *err = EINVAL;
    if (app != KOV_APPLICATION_ID)
        return fail(db, "not a kov database");
    if (version != KOV_FORMAT_VERSION)
        return fail(db, "unsupported kov format version");
    if (!ours)
        return fail(db, "not a kov database: its kov table is not the kov table");
    return 0;
}

// Releases everything the handle holds.  With remove (a file that kov_open
// created and could not make a kov database), the file and its journal go
// too.
void destroy(kov_handle db, bool remove)
{
    delete db->sorter;
    delete db->chains;
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

// Opens the SQLite connection on the file whose descriptor db->file.fd holds and
// brings it to a usable kov database; created says that kov_open created
// the file, which then gets its journal before SQLite needs one.  SQLite
// gets path, which cannot be read as ":memory:" or as a URI (sqlite_path,
// or an absolute path); URI processing stays off too.  reopen says that
// the handle held the file until a moment ago (reattach): a reader that
// came in between is waited for rather than failing the writer.  Returns
// 0, or -1 with *err set.
int attach(kov_handle db, bool created, int *err, const std::string &path, bool reopen)
{
    if (check_file(db->file, db->readonly, &db->error, err) ||
        (created && (refuse_side_files(db->file, &db->error, err) ||
                     create_journal(db->file, &db->error, err))))
        return -1;
    int flags = (db->readonly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &db->db, flags, nullptr);
    if (rc != SQLITE_OK) {
        *err = errno_for(db->db, rc);
        return fail_sqlite(db, rc);
    }
    sqlite3_extended_result_codes(db->db, 1);
    if (reopen)
        sqlite3_busy_timeout(db->db, kov_reopen_wait_ms);
    if (check_sqlite_files(db->file, db->db, &db->error, err))
        return -1;

    char sql[200];
    snprintf(sql, sizeof sql, "PRAGMA cache_size=%d;%s%s",
             db->readonly ? -kov_read_cache_kib : -kov_cache_kib,
             db->readonly ? "PRAGMA query_only=1;"
                          : "PRAGMA locking_mode=EXCLUSIVE;"
                            "PRAGMA synchronous=OFF;",
             db->file.journal_fd >= 0 ? "PRAGMA journal_mode=PERSIST;" : "");
    if (exec(db, sql)) {
        *err = errno_for(db->db, sqlite3_extended_errcode(db->db));
        return -1;
    }

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
    sqlite3_busy_timeout(db->db, 0);
    // SQLite looked for a hot journal and a -wal when it took its lock,
    // which the exclusive locking mode keeps from now on.  It takes an
    // empty journal for none, so ours is still the one, unless a -wal
    // appeared after refuse_side_files looked.
    if (db->file.journal_fd >= 0) {
        if (!journal_mode_is_persist(db)) {
            *err = EEXIST;
            return fail(db, (db->file.name + "-wal appeared beside the new database").c_str());
        }
        if (check_sqlite_files(db->file, db->db, &db->error, err))
            return -1;
    }
    return 0;
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
    if (kov_file_open(&db->file, name, open_flags, mode, &created, &db->error, &err) ||
        attach(db, created, &err, sqlite_path(db->file))) {
        open_error = db->error;
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
        if (!db->sorter || exec(db, sql)) {
            open_error = db->sorter ? db->error : "out of memory";
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
    db->error.clear();
    if (db->readonly)
        return fail(db, "database is open read-only");
    if (!db->db)
        return fail(db, db->detached.empty() ? "database is closed" : db->detached.c_str());

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
        if (store_sorted(db, key, value, flag))
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
    if (db->txn_bytes >= kov_commit_bytes && db->txn_bytes >= db->committed_bytes)
        return commit(db);
    return 0;
}

extern "C" datum kov_fetch(kov_handle db, datum key)
{
    datum out = {nullptr, 0};
    if (!db) {
        errno = EINVAL;
        return out;
    }
    db->error.clear();
    if (!db->db)
        return out;
    if (!datum_ok(key)) {
        fail(db, msg_no_data);
        return out;
    }
    if (write_sorted(db) || prepare(db, &db->select, "SELECT value FROM kov WHERE key = ?1"))
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
    db->error.clear();
    if (!db->db)
        return fail(db, db->detached.empty() ? "database is closed" : db->detached.c_str());
    if (write_sorted(db))
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
    return db ? db->error.c_str() : open_error.c_str();
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
    int rc = 0;
    int saved = 0;
    std::string cause;
    if (db->db) {
        bool unwritten = write_sorted(db, true) != 0;
        if (unwritten) {
            rc = -1;
            saved = EIO;
            cause = db->build_failure.empty() ? db->error : db->build_failure + "; " + db->error;
        } else if (!db->build_failure.empty()) {
            // A build given up: its records went through SQLite, but for
            // those it lost; the count below says what the file keeps.
            unwritten = true;
            rc = -1;
            saved = EIO;
            cause = db->build_failure;
        }
        // What was written before a failure is kept.
        if (commit(db) && rc == 0) {
            rc = -1;
            saved = EIO;
            cause = db->error;
        }
        if (unwritten) {
            db->error = cause;
            note_kept(db);
            cause = db->error;
        }
        finalize_all(db);
        if (sqlite3_close(db->db) != SQLITE_OK && rc == 0) {
            rc = -1;
            saved = EBUSY;
            cause = sqlite3_errmsg(db->db);
        }
        db->db = nullptr;
    }
    // What a writer stored is only reachable through its name: a name that
    // no longer leads to the file is a failure, and a journal left beside
    // it would only block the next database of that name.
    std::string moved;
    bool gone = !db->readonly && kov_file_still_named(db->file, &moved);
    if (gone && (rc == 0 || !db->detached.empty())) {
        rc = -1;
        saved = ENOENT;
        cause = moved;
    }
    release_journal(db->file, rc == 0 || gone);
    // SQLite ran without syncing; now put the file, and the directory entry
    // of the file and of the deleted journal, on stable storage.
    std::string sync_error;
    int sync_errno = 0;
    if (!db->readonly && kov_file_sync(db->file, &sync_error, &sync_errno) && rc == 0) {
        rc = -1;
        saved = sync_errno;
        cause = sync_error;
    }
    destroy(db, false);
    // The handle is gone: its last failure is read with a null handle.
    if (rc) {
        open_error = cause;
        errno = saved;
    }
    return rc;
}
