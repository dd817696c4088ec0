// SPDX-License-Identifier: MIT
// The build.  The first write of a handle that created its file writes the
// B-tree itself (btree_writer.h) instead of inserting rows through SQLite:
// the sorter's merge, and the stores of a dump in key order that stream
// past the sorter, are added to the writer in key order, and no SQL runs on
// the connection until the build ends.  It ends at the close (or at exit),
// at the first key out of order, at a read through the handle, and when it
// cannot go on; the tree of the records added so far is then finished and
// made live in one step (btree_switch.h), and the connection, whose cache
// and page size are those of the empty database, is brought to the file
// without letting another SQLite client in (reattach).  From then on the
// file has records, and every later write goes through SQLite.
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
//
// Other failures (end_build): at the start of a build and at each
// checkpoint of the sorter's merge, and every kov_sorted_commit_bytes of a
// stream, the writer marks where it stands (btree_writer.h).  A page write
// that fails (an I/O error, or no room the reserve did not foresee) sets the
// writer back to its mark, once every page below it is known to be written,
// and the tree of the records up to it is finished and made live; the
// merge then gives the records after it again, to SQLite's inserts, while
// records streamed after it had no other copy and are lost.  A failed sync
// is different: the kernel may have dropped any page written before it,
// and the build syncs only at its commit, so no page of the build is kept;
// the empty database is put back, and the merge's records after its
// checkpoint still go through SQLite.  Each text counts what was lost.

#include "build.h"
#include "connection.h"
#include "page_output.h"
#include "tuning.h"

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
#include <memory>
#include <string>
#include <string_view>

#include <sqlite3.h>

namespace kov_lib {

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
    return records && db->held_payload / records >= 4096 &&
           db->footprint_large <= db->footprint_small + db->footprint_small / 16;
}

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
    if (!db->sorter)
        return false;
    switch (db->table) {
    case kov_table::ahead: return true;
    case kov_table::empty:
    case kov_table::no_ahead: return db->file.journal_fd >= 0;
    default: return false;
    }
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
    if (btree_switch_begin(&db->live_switch, db->file.fd, db->file.journal_fd, db->file.dir_fd, sync_dir,
                           &err))
        return fail(db, err.c_str());
    db->journal_synced = true;
    if (db->file.direct_fd < 0)
        db->file.direct_fd = page_output_open_direct(db->file.fd);
    *w = new (std::nothrow)
        btree_writer(db->file.fd, btree_switch_header(&db->live_switch, page), db->file.direct_fd);
    if (!*w) {
        // Nothing was written over the file: the journal holds what it holds.
        btree_switch_abort(&db->live_switch, &err);
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
    if (db->table == kov_table::ahead)
        std::swap(db->writer, db->ahead_writer);
    else if (start_writer(db, large_pages(db) ? kov_large_page_size : kov_page_size, &db->writer))
        return -1;
    set_table(db, kov_table::building);
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
    btree_writer *w = db->writer ? db->writer : db->ahead_writer;
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
    if (db->ahead_chains.empty())
        return nullptr;
    auto it = db->ahead_chains.find(std::string_view(reinterpret_cast<const char *>(key.data), key.size));
    return it == db->ahead_chains.end() ? nullptr : &it->second;
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

// The note a failure that gives up the chains written ahead adds: the
// records whose values only those chains held, which are lost with them.
static std::string chains_lost(kov_handle db)
{
    if (db->ahead_chains.empty())
        return "";
    return "; the " + std::to_string(db->ahead_chains.size()) +
           " records whose values were written ahead were lost with it";
}

// The note a failure that loses n records of the build adds.  After a
// failed sync the kernel may have dropped any page written before it, and
// the build syncs its pages only at the commit: none of them is trusted.
static std::string records_lost(uint64_t n, bool after_failed_sync)
{
    if (n == 0)
        return "";
    return "; the " + std::to_string(n) + " records written to the file were lost" +
           (after_failed_sync ? ": after a failed sync, no page the build wrote can be trusted"
                              : "");
}

// Erases from the chains written ahead those of the first records of the
// build, up to key, which the sorter's merge does not give again: the
// chains left are those of records that the merge gives again.
static void forget_chains_up_to(kov_handle db, uint64_t records, const std::string &key)
{
    if (records > 0)
        db->ahead_chains.erase(db->ahead_chains.begin(), db->ahead_chains.upper_bound(key));
}

// Once no chain written ahead waits for its record: each is in the tree,
// or on the free list when its record was replaced, not written or lost.
static void forget_all_chains(kov_handle db)
{
    db->ahead_chains.clear();
    db->chain_cell_bytes = 0;
}

// A build whose first n records (up to key) are settled, kept in the tree
// at its mark or lost, falls back: the merge gives the others again, for
// SQLite to write, and only their chains stay known.  *fell_back is set and
// db->build_failure says what was lost, for kov_close.  Returns the text to
// report now: none.
static std::string fall_back(kov_handle db, bool *fell_back, const std::string &failure,
                             uint64_t n, const std::string &key)
{
    forget_chains_up_to(db, n, key);
    *fell_back = true;
    db->build_failure = failure + chains_lost(db);
    return "";
}

// After a failed page write: the writer goes back to its mark and finishes
// the tree there.  Returns 0 with its pages in *pages, or -1 with the
// reason added to *failure.
static int finish_at_mark(btree_writer *writer, uint32_t *pages, std::string *failure)
{
    std::string err;
    if (writer->rewind(&err) == 0 && writer->finish(pages, &err) == 0)
        return 0;
    *failure += "; " + err;
    return -1;
}

// The tree of the records up to the writer's mark (marked of records, up to
// key) is live.  With fell_back the merge gives the others again, for
// SQLite to write: *fell_back is set and db->build_failure says why.
// Otherwise they had no other copy and are lost.  Returns the text of the
// failure to report now.
static std::string kept_at_mark(kov_handle db, bool *fell_back, const std::string &failure,
                                uint64_t records, uint64_t marked, const std::string &key)
{
    db->table_max = key;
    if (fell_back)
        return fall_back(db, fell_back, failure, marked, key);
    forget_all_chains(db);
    if (records == marked)
        return failure;
    return failure + "; the " + std::to_string(records - marked) +
           " records written to the file after its last checkpoint were lost";
}

// After a build that could not be made live: puts the empty database back,
// losing lost records (up to key).  With fell_back the merge gives the
// others again, for SQLite to write: *fell_back is set and
// db->build_failure says what was lost.  Returns the text of the failure
// to report now.
static std::string put_back_empty(kov_handle db, bool *fell_back, std::string failure,
                                  uint64_t lost, const std::string &key, bool sync_failed)
{
    db->table_max.clear();
    // A failed abort leaves the journal hot: the connection plays it back
    // when it is brought to the file.  What the file then keeps is counted
    // by the caller (note_kept), so that the text never guesses.
    std::string err;
    if (btree_switch_abort(&db->live_switch, &err))
        return failure + "; " + err;
    failure += records_lost(lost, sync_failed);
    return fell_back ? fall_back(db, fell_back, failure, lost, key) : failure;
}

// Ends the build: finishes the tree of the records added and makes it live,
// or, when that fails, keeps what it can and says how many records were
// lost; then brings the connection to the file (reattach).  Returns 0, or
// -1 with the failure told: as the cause, or after a cause recorded before,
// since records lost are told whatever failed first.
//
// After a failed page write, the writer goes back to its mark and the tree
// of the records up to it is made live.  After a failed sync (sync_failed:
// of the pages written behind the build, recorded in the failure status, or
// the commit's own), no page the build wrote is trusted, and the empty
// database is put back.  With fell_back, the sorter's merge gives again
// every record added after the writer's mark, if it has one: only the
// records before the mark are at stake, *fell_back is set, db->build_failure
// says what was lost (with the records whose values were written ahead and
// whose chains went with the build), and the caller writes the others
// through SQLite.  Without, the records after the mark are lost.
int end_build(kov_handle db, bool *fell_back, bool sync_failed)
{
    if (!db->writer)
        return 0;
    std::unique_ptr<btree_writer> writer(db->writer);
    db->writer = nullptr;
    if (!writer->marked())
        fell_back = nullptr;
    uint64_t records = writer->records(), marked = writer->marked_records();
    std::string key = writer->marked_key(), err;
    uint32_t pages = 0;
    kov_table next = kov_table::filled;
    bool finished = !sync_failed && writer->finish(&pages, &err) == 0;
    std::string failure = sync_failed ? std::string(db->failure.latest()) : err;
    // A mark of no record keeps nothing that putting the empty database
    // back does not.
    bool at_mark = !finished && !sync_failed && writer->write_failed() && marked > 0 &&
                   finish_at_mark(writer.get(), &pages, &failure) == 0;
    // The writer's threads end before the connection reads the file.
    writer.reset();
    bool live = (finished || at_mark) &&
                btree_switch_commit(&db->live_switch, pages, db->build_page_size, &err) == 0;
    if (live && at_mark) {
        failure = kept_at_mark(db, fell_back, failure, records, marked, key);
    } else if (live) {
        // Every chain is in the tree, or on the free list when its record
        // was replaced or not written.  A failed build keeps the list: the
        // sorter's copies of those records are cut, and must never be
        // written as they are.
        forget_all_chains(db);
    } else {
        if (finished || at_mark) {
            failure += (failure.empty() ? "" : "; ") + err;
            sync_failed = db->live_switch.sync_failed;
        }
        failure =
            put_back_empty(db, fell_back, failure, fell_back ? marked : records, key, sync_failed);
        next = fell_back && *fell_back ? kov_table::given_up : kov_table::empty;
    }
    int rc = failure.empty() ? 0 : -1;
    if (rc)
        db->failure.tell(failure);
    set_table(db, next);
    // reattach tells its own failure.
    if (reattach(db))
        rc = -1;
    return rc;
}

// After a failed write of the writer of chains written ahead: puts the
// empty database back and brings the connection to it, so that the
// sorter's records go through SQLite from now on (given_up: no build, no
// chain).  The records whose values were written ahead are lost with the
// writer, which held their only copy; db->build_failure says so, and
// kov_close reports it with the count of what the file keeps.
void give_up_chains(kov_handle db, const std::string &cause)
{
    assert(db->table == kov_table::ahead);
    delete db->ahead_writer;
    db->ahead_writer = nullptr;
    std::string err;
    db->build_failure = cause;
    if (btree_switch_abort(&db->live_switch, &err))
        db->build_failure += "; " + err;
    db->build_failure += chains_lost(db);
    set_table(db, kov_table::given_up);
    if (reattach(db))
        db->build_failure += "; " + db->detach_cause;
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
    if (db->table != kov_table::ahead) {
        if (db->table != kov_table::empty || db->file.journal_fd < 0)
            return 2;
        size_t mark = db->failure.mark();
        if (start_writer(db, kov_large_page_size, &db->ahead_writer)) {
            set_table(db, kov_table::no_ahead);
            db->failure.take_back(mark);
            return 2;
        }
        set_table(db, kov_table::ahead);
    }
    if (!db->ahead_writer->overflows(key.size, value.size))
        return 2;
    size_t prefix = db->ahead_writer->chain_prefix(key.size, value.size);
    // Room for the chain and, counted with the others, its cell, which no
    // other record may take later (chain_cells_room).
    uint64_t cell = key.size + prefix + 32;
    db->chain_cell_bytes += cell;
    int e = 0;
    int rc = build_room(db, key.size + value.size + 20, &e)
                 ? 2
                 : db->sorter->add(key.data, key.size, value.data, prefix, must_be_new,
                                   db->failure.out());
    if (rc != 0) {
        assert(db->chain_cell_bytes >= cell);
        db->chain_cell_bytes -= cell;
        return rc;
    }
    std::string k(reinterpret_cast<const char *>(key.data), key.size), err;
    uint32_t first;
    if (db->ahead_writer->write_chain(key.data, key.size, value.data, value.size, &first, &err)) {
        // The whole value takes the cut one's place, and the store stands;
        // the chains written before are lost with the writer (give_up_chains).
        db->ahead_chains.erase(k);
        rc = db->sorter->add(key.data, key.size, value.data, value.size, false, db->failure.out());
        give_up_chains(db, err);
        if (rc == 0)
            return 0;
        errno = EIO;
        return -1;
    }
    db->ahead_chains[k] = {first, value.size};
    return 0;
}

}  // namespace kov_lib
