// SPDX-License-Identifier: MIT
// The ordered drain of a new file (drain.h).
//
// What a failure leaves: the SQL side commits as it goes, so a failure
// keeps every commit made, and a commit that does not fit is made again in
// smaller ones.  The build's side (build_held) keeps the writer's mark
// where the merge's checkpoint stands; a failed page write keeps the tree up
// to it, a failed sync puts the empty database back and loses those
// records (build.cpp says why a sync is different); either way the merge
// goes back to the checkpoint and the rest goes through SQLite.  A dump
// streamed into the build (store_streamed) has no copy of its records
// beyond the pages: a failed write keeps the records up to the writer's
// last mark and loses the others.

#include "build.h"
#include "connection.h"
#include "drain.h"
#include "key_order.h"
#include "tuning.h"
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
#include <memory>
#include <string>
#include <string_view>

#include <sqlite3.h>

namespace kov_lib {

// Whether key sorts after k, in the table's order of BLOBs.
bool key_after(datum key, const std::string &k)
{
    return key_cmp(key.data, key.size, k.data(), k.size()) > 0;
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
    if (table_may_hold_records(db) || db->in_txn || !large_pages(db))
        return;
    char sql[128];
    snprintf(sql, sizeof sql,
             "PRAGMA temp_store=MEMORY; PRAGMA page_size=%d; VACUUM; PRAGMA temp_store=DEFAULT;",
             kov_large_page_size);
    sqlite3_exec(db->db, sql, nullptr, nullptr, nullptr);
}

// Whether the table holds key: 1, 0, or -1 on error.  Every key written
// is at most db->table_max, so a key above it needs no lookup.
int table_holds(kov_handle db, datum key)
{
    if (!table_may_hold_records(db) || key_after(key, db->table_max))
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

// The first progress call of a write of held records, before any is
// written, so that a meter times the write from its start: the next call
// comes only after kov_progress_step records, which for large values can
// take long.
void progress_start(kov_handle db, unsigned long long total)
{
    if (db->progress && total > 0)
        db->progress(db->progress_ctx, 0, total);
}

// What a sink makes of one step of the merge: go on to the next record,
// take the next one without counting this one as done (a record left out,
// a commit made again after a rewind), or stop with the failure recorded.
enum class drain_step { next, skip, stop };

// The one loop over the sorter's merge, for the build (build_sink) and for
// SQLite's inserts (sql_sink): hands each record, in ascending key order,
// to sink.put, and the merge's end to sink.end, and reports progress every
// kov_progress_step records.  Sink is a type known at compile time, so the
// calls made per record are direct.  Returns 0 once the merge is drained
// and the sink has taken its end, or -1 with the failure recorded.
template <class Sink>
int drain(kov_handle db, Sink &sink, unsigned long long total)
{
    kov_sorter *sorter = db->sorter;
    std::string error;
    for (;;) {
        datum key, value;
        uint64_t done;
        int got = sorter->merge_next(const_cast<const unsigned char **>(&key.data), &key.size,
                                     const_cast<const unsigned char **>(&value.data), &value.size,
                                     &done, &error);
        if (got < 0)
            return fail(db, error.c_str());
        drain_step step = got ? sink.put(key, value) : sink.end();
        if (step == drain_step::stop)
            return -1;
        if (step == drain_step::skip)
            continue;
        if (got == 0)
            return 0;
        if (db->progress && done % kov_progress_step == 0 && done < total)
            db->progress(db->progress_ctx, done, total);
    }
}

// The end of a drain: a failed sync of the pages written out behind it
// fails the write, in the words of a failed sync at the close, and sets
// *sync_failed when given (a build, which then keeps none of its pages
// and says what it lost), also after another failure (whose text then
// stands).  Pages written through SQLite stay in the file, but the disk
// may not hold them (not_on_disk).
int writeback_result(kov_handle db, int rc, background_writeback &writeback,
                     bool *sync_failed = nullptr)
{
    int err = writeback.error();
    if (err && sync_failed)
        *sync_failed = true;
    if (rc != 0 || err == 0)
        return rc;
    return fail(db, (std::string("cannot sync the database: ") + strerror(err) +
                     (sync_failed ? "" : not_on_disk(db)))
                        .c_str());
}

// The build's side of the drain (build_held): each record goes to the
// writer.  Every kov_sorted_commit_bytes the kernel starts writing the file
// out, the merge is checkpointed and the writer marks where it stands, so
// that a failed write goes back to both (end_build).  A record without room
// ends the write as a failure, but in the last write temporary space is
// given back first (make_room).
//
// Invariant: while the writer holds a mark, the merge's last checkpoint (or
// its start) stands right after the last record added before the mark.
struct build_sink {
    build_sink(kov_handle d, background_writeback &w, bool l) : db(d), writeback(w), last(l) {}

    kov_handle db;
    background_writeback &writeback;
    bool last;
    // Bytes added since the last checkpoint.
    sqlite3_int64 bytes = 0;
    // The errno of the lack of room for a record left out, or 0.
    int full_errno = 0;
    // The record in hand, copied when a checkpoint moves the merge's
    // pointers away from it.
    std::string held_key, held_value;

    drain_step put(datum key, datum value);
    drain_step end() { return drain_step::next; }
    drain_step make_room(datum *key, datum *value, uint64_t n, int *e);
};

drain_step build_sink::put(datum key, datum value)
{
    // A record whose value was written ahead has its cell counted among the
    // cells of the chains (chain_cell_bytes) already.
    const kov_context::chain_ref *chain = chain_of(db, key);
    uint64_t n = chain ? 0 : key.size + value.size + 20;
    int e = 0;
    if (build_room(db, n, &e) != 0) {
        if (!last) {
            db->build_full = true;
            fail(db, room_error(e));
            return drain_step::stop;
        }
        drain_step step = make_room(&key, &value, n, &e);
        if (step != drain_step::next)
            return step;
    }
    if (build_add_merged(db, key, value, chain) != 0)
        return drain_step::stop;
    bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
    if (bytes < kov_sorted_commit_bytes)
        return drain_step::next;
    bytes = 0;
    // Pages written past the page cache leave nothing to sync.
    if (!db->writer->writes_direct())
        writeback.kick();
    // The checkpoint bounds what the merge keeps for a rewind (and in a
    // last write gives temporary space back); the writer's mark keeps the
    // tree of the records before it.  Without a mark (no memory for it) a
    // failed write loses the build.
    if (db->sorter->merge_checkpoint(db->failure.out()))
        return drain_step::stop;
    db->writer->mark();
    return drain_step::next;
}

// In the last write, a record of n bytes without room: gives back the
// temporary space of the records handed out, then whole temporary files
// (merge_drop), until it fits.  Returns next when it fits, skip when it is
// left out, stop on failure.
drain_step build_sink::make_room(datum *key, datum *value, uint64_t n, int *e)
{
    // The checkpoint makes the merge's pointers invalid.
    held_key.assign(reinterpret_cast<const char *>(key->data), key->size);
    held_value.assign(reinterpret_cast<const char *>(value->data), value->size);
    key->data = reinterpret_cast<unsigned char *>(held_key.data());
    value->data = reinterpret_cast<unsigned char *>(held_value.data());
    // The checkpoint steps past the record in hand, which the writer has
    // not taken yet: its mark goes, and a new one follows as soon as the
    // record is added (a checkpoint right after it) or left out.
    db->writer->drop_mark();
    if (db->sorter->merge_checkpoint(db->failure.out()) != 0)
        return drain_step::stop;
    bytes = kov_sorted_commit_bytes;
    // A temporary file is given back, with the records in it not yet
    // written, only when no chain was written ahead: the file may hold the
    // only copy of the part of a value that a chain's cell keeps.  The
    // record is left out then.
    uint64_t freed;
    bool room;
    int rc = 0;
    while (!(room = build_room(db, n, e) == 0) && db->ahead_chains.empty() &&
           (rc = db->sorter->merge_drop(&freed, db->failure.out())) > 0) {
    }
    if (rc < 0)
        return drain_step::stop;
    if (room)
        return drain_step::next;
    // This record does not fit; a later one may, as a record whose value
    // was written ahead needs room for its cell only.  The write ends as a
    // failure.
    db->build_full = true;
    full_errno = *e;
    bytes = 0;
    db->writer->mark();
    return drain_step::skip;
}

// write_held into the build: as write_held, but a write that cannot go
// on for lack of room first gives back the temporary space of the records
// handed out (in the last write), then whole temporary files (merge_drop),
// and otherwise ends the build with the records added so far.  With
// keep_building the build stays open after a complete write, for the stores
// that stream after it, and the writer marks where it stands.  The writer's
// mark stands where the merge's checkpoint does (at the start when nothing
// was streamed into the build before), so that a build that fails for
// another cause keeps the tree of the records before the checkpoint, or
// puts the empty database back (end_build): then the merge goes back to its
// checkpoint, what the build recorded in the failure status is taken back
// (db->build_failure keeps it for kov_close), and 2 is returned, for
// write_held to write the rest through SQLite.  Returns 0 once the records are in the file, 2, or -1.
int build_held(kov_handle db, bool last, bool keep_building)
{
    kov_sorter *sorter = db->sorter;
    assert(db->writer && !db->ahead_writer);
    size_t mark = db->failure.mark();
    int rc = sorter->merge_begin(last, db->failure.out());
    unsigned long long total = sorter->size();
    if (db->writer->records() != 0 || rc != 0 || db->writer->mark() != 0)
        db->writer->drop_mark();
    bool sync_failed = false;
    if (rc == 0) {
        progress_start(db, total);
        background_writeback writeback(db->file.fd);
        build_sink sink(db, writeback, last);
        rc = writeback_result(db, drain(db, sink, total), writeback, &sync_failed);
        if (rc == 0 && sink.full_errno)
            rc = fail(db, room_error(sink.full_errno));
    }
    if (rc == 0 && keep_building) {
        db->writer->mark();
        sorter->clear();
        return 0;
    }
    // The build ends: whole, or with what it keeps after a failure
    // (end_build tells what it could not keep).
    bool fell_back = false;
    int ended = end_build(db, &fell_back, sync_failed);
    if (fell_back && db->db) {
        db->failure.take_back(mark);
        return sorter->merge_rewind(db->failure.out()) ? -1 : 2;
    }
    if (rc == 0) {
        sorter->clear();
        return ended;
    }
    return -1;
}

// The sink of records in ascending key order, the one place where the
// key-order write puts records into the file: the merge of the sorter
// (write_held) and the stores of a dump in key order (store_streamed)
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
    if (db->table != kov_table::filled)
        set_table(db, kov_table::filled);
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

// After a write of the sorter's records failed with records and bytes
// stored since the last commit: when it was for lack of room, rolls back
// what the transaction holds, takes the merge back to the last commit and
// makes commits of at most half what failed from then on.  The pages a
// rolled-back transaction added are given back, and a commit in the last
// write gives back the temporary space of what it holds (merge_checkpoint),
// so a smaller commit may fit where the larger one did not.  When not even
// one record fits, the last write gives back the temporary file that takes
// the most room, and loses the records in it not yet written, so that the
// others fit (merge_drop).  Returns false when the failure stands; true
// when the write goes on, with what it recorded since mark taken back.
bool retry_smaller(kov_handle db, sqlite3_int64 records, sqlite3_int64 failed_bytes, size_t mark)
{
    if (!out_of_room(db))
        return false;
    if (!sqlite3_get_autocommit(db->db) &&
        sqlite3_exec(db->db, "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    db->in_txn = false;
    db->txn_bytes = 0;
    db->txn_records = 0;
    if (db->sorter->merge_rewind(db->failure.out()))
        return false;
    if (records > 1) {
        db->commit_limit = std::max<sqlite3_int64>(std::min(db->commit_limit, failed_bytes) / 2, 1);
    } else {
        uint64_t freed = 0;
        if (db->sorter->merge_drop(&freed, db->failure.out()) <= 0)
            return false;
        db->commit_limit = std::max(db->commit_limit, static_cast<sqlite3_int64>(freed / 4));
    }
    db->failure.take_back(mark);
    return true;
}

// The SQL side of the drain (write_held): each record goes to the table
// through sink_put, which commits as it goes.  After each commit the kernel
// starts writing the file out and the merge is checkpointed; a commit that
// fails for lack of room is made again in smaller ones, and in the last
// write what does not fit is dropped (retry).
struct sql_sink {
    sql_sink(kov_handle d, background_writeback &w) : db(d), writeback(w) {}

    kov_handle db;
    background_writeback &writeback;
    // The failure status before the write, which a smaller commit goes
    // back to.
    size_t mark = db->failure.mark();
    // Records and bytes written since the last commit.
    sqlite3_int64 records = 0, bytes = 0;

    drain_step put(datum key, datum value)
    {
        // The cell's part of a value whose chain was lost with a build given
        // up (db->build_failure counts them) is not the record.
        if (chain_of(db, key)) {
            if (!db->build_failure.empty())
                return drain_step::skip;
            fail(db, "a record whose value was written ahead was lost with its build");
            return drain_step::stop;
        }
        sqlite3_int64 size = static_cast<sqlite3_int64>(key.size + value.size);
        if (sink_put(db, key, value, true) != 0)
            return retry(records + 1, bytes + size);
        records++;
        bytes += size + kov_record_charge;
        if (db->in_txn)
            return drain_step::next;
        records = bytes = 0;
        writeback.kick();
        return db->sorter->merge_checkpoint(db->failure.out()) ? drain_step::stop
                                                               : drain_step::next;
    }

    drain_step end() { return commit(db) ? retry(records, bytes) : drain_step::next; }

    // After a failed write of failed_records and failed_bytes since the last
    // commit: the merge goes back to that commit (retry_smaller).
    drain_step retry(sqlite3_int64 failed_records, sqlite3_int64 failed_bytes)
    {
        if (!retry_smaller(db, failed_records, failed_bytes, mark))
            return drain_step::stop;
        records = bytes = 0;
        return drain_step::skip;
    }
};

// write_held through SQLite's inserts, of the merge begun by a build that
// fell back (merging) or of a new one.
static int sql_held(kov_handle db, bool last, bool merging)
{
    kov_sorter *sorter = db->sorter;
    // Records streamed before are committed first, so that a failure of
    // this write cannot take them along in a rollback.  A build that fell
    // back has taken the merge back to its last checkpoint.
    if (commit(db) || (!merging && sorter->merge_begin(last, db->failure.out())))
        return -1;
    unsigned long long total = sorter->size();
    progress_start(db, total);
    choose_page_size(db);
    db->room_limit = room_commit_bytes(db);
    background_writeback writeback(db->file.fd);
    sql_sink sink(db, writeback);
    if (writeback_result(db, drain(db, sink, total), writeback))
        return -1;
    sorter->clear();
    return 0;
}

// Writes every record the sorter holds into the table in key order,
// committing as it goes, then empties the sorter.  A commit that fails for
// lack of room is made again in smaller ones (retry_smaller).  On failure
// the sorter keeps its records, so a later call writes them again: the
// INSERT OR REPLACE makes that harmless for records already written.  The
// last write of a handle (at kov_close or exit, or once a store has met a
// full disk), which nothing follows, lets the sorter give back its space at
// each commit, so that the records it holds fit where its temporary files
// were.  The first write of a new file is a build (build_held), which
// ends here unless keep_building, also when the sorter is empty.
int write_held(kov_handle db, bool last, bool keep_building)
{
    kov_sorter *sorter = db->sorter;
    if (!sorter || sorter->size() == 0) {
        if (db->table == kov_table::ahead && build_begin(db))
            return -1;
        return keep_building ? 0 : end_build(db);
    }
    // A build that cannot start leaves the file as it was: SQLite writes it.
    size_t mark = db->failure.mark();
    if (build_wanted(db) && build_begin(db))
        db->failure.take_back(mark);
    unsigned long long total = sorter->size();
    bool building = db->writer != nullptr;
    int rc = building ? build_held(db, last, keep_building) : 2;
    if (rc == 2)
        rc = sql_held(db, last, building);
    if (rc != 0)
        return -1;
    if (db->progress)
        db->progress(db->progress_ctx, total, total);
    return 0;
}

// kov_store of a key above every key stored before, while the dump arrives
// in key order: straight to the build or the table, the sorter being empty.
// Such a key is new, so only KOV_MODIFY can fail.  Each commit, and each
// kov_sorted_commit_bytes of a build, starts the kernel writing the file
// out, as the writeback thread does for write_held, which cannot run here
// between calls; there the writer also marks where it stands.  A build that
// cannot go on is ended, so that the file keeps the records added so far;
// after a failed page write, those added up to the writer's mark (the
// others had no copy but the pages that failed), which the text counts.
int store_streamed(kov_handle db, datum key, datum value, int flag)
{
    if (flag == KOV_MODIFY)
        return fail(db, "Record not found");
    bool building = db->writer != nullptr;
    if (sink_put(db, key, value, false)) {
        bool full = building ? db->build_full : out_of_room(db);
        // The records added so far become the file; end_build tells what
        // it could not keep.
        if (building)
            end_build(db);
        if (full || building)
            note_kept(db);
        return -1;
    }
    if (building) {
        db->build_bytes += static_cast<sqlite3_int64>(key.size + value.size) + kov_record_charge;
        if (db->build_bytes < kov_sorted_commit_bytes)
            return 0;
        db->build_bytes = 0;
        // A failed write goes back here: the file keeps the records added
        // so far, and loses those streamed after, which have no other copy.
        db->writer->mark();
        if (db->writer->writes_direct())
            return 0;
    } else if (db->in_txn) {
        return 0;
    }
    sync_file_range(db->file.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return 0;
}

// After the sorter could not write a run for lack of room: writes what it
// holds into the table in a last merge, which gives its temporary space
// back at each commit, and drops what still does not fit, so that the file
// keeps what fits.  The failure's text, whose cause stays the run that
// could not be written, then says how many records it keeps.
void keep_what_fits(kov_handle db)
{
    assert(db->failure.failed());
    write_held(db, true);
    db->sorter->clear();
    note_kept(db);
}

// Whether the engine would refuse the record's row as longer than its
// length limit.
bool too_long(kov_handle db, datum key, datum value)
{
    size_t limit = static_cast<size_t>(sqlite3_limit(db->db, SQLITE_LIMIT_LENGTH, -1));
    return record_too_long(key.size, value.size, limit);
}

// Whether a store of key with flag may go on: 0, or -1 with the failure
// recorded ("Record exists" for KOV_INSERT, "Record not found" for
// KOV_MODIFY).  The sorter holds records not yet written and the table
// those written already; only KOV_MODIFY needs the sorter's answer, as the
// sorter itself refuses a second insert of a key it holds.
int check_flag(kov_handle db, datum key, int flag)
{
    if (flag == KOV_REPLACE)
        return 0;
    int exists = table_holds(db, key);
    if (exists < 0)
        return -1;
    if (!exists && flag == KOV_MODIFY &&
        (exists = db->sorter->contains(key.data, key.size, db->failure.out())) < 0)
        return -1;
    if (exists && flag == KOV_INSERT)
        return fail(db, "Record exists");
    if (!exists && flag == KOV_MODIFY)
        return fail(db, "Record not found");
    return 0;
}

// After a store in key order: once the records held reach kov_stream_bytes
// (or a quarter of the sorter's cap), writes them and lets the following
// records stream.  The store has succeeded whatever comes next: if the
// sorter's records cannot be written now, it keeps them for a later write,
// and the dump goes on through the sorter.
void start_streaming(kov_handle db)
{
    if (db->held_payload < std::min<uint64_t>(kov_stream_bytes, db->sort_cap / 4) ||
        db->sorter->size() < kov_stream_records)
        return;
    size_t mark = db->failure.mark();
    if (write_held(db, false, true) == 0) {
        set_mode(db, kov_mode::streaming);
        return;
    }
    if (db->mode == kov_mode::ordered)
        set_mode(db, kov_mode::sorting);
    db->failure.take_back(mark);
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
int store_new_file(kov_handle db, datum key, datum value, int flag)
{
    // The engine refuses a row longer than its length limit; say so now, not
    // when the row is written.
    if (too_long(db, key, value))
        return fail(db, "string or blob too big");
    bool ascending = (db->mode == kov_mode::ordered || db->mode == kov_mode::streaming) &&
                     (!db->stored_any || key_after(key, db->last_key));
    if (!ascending && db->mode != kov_mode::sorting)
        set_mode(db, kov_mode::sorting);
    // A key out of order is looked up in the table: the build ends first.
    if (!ascending && db->writer && end_build(db)) {
        note_kept(db);
        return -1;
    }
    if (ascending) {
        db->last_key.assign(reinterpret_cast<const char *>(key.data), key.size);
        db->stored_any = true;
        if (db->mode == kov_mode::streaming)
            return store_streamed(db, key, value, flag);
    }
    if (check_flag(db, key, flag))
        return -1;
    int rc = value.size >= kov_chain_bytes ? store_chained(db, key, value, flag == KOV_INSERT) : 2;
    if (rc == 2) {
        rc = db->sorter->add(key.data, key.size, value.data, value.size, flag == KOV_INSERT,
                             db->failure.out());
        if (rc == 0 && chain_of(db, key))
            db->ahead_chains.erase(std::string(reinterpret_cast<const char *>(key.data), key.size));
    }
    if (rc < 0) {
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
            keep_what_fits(db);
        return -1;
    }
    if (rc > 0)
        return fail(db, "Record exists");
    uint64_t n = key.size + value.size + 4;
    db->held_payload += n;
    db->footprint_small += record_footprint(n, kov_page_size);
    db->footprint_large += record_footprint(n, kov_large_page_size);
    if (ascending)
        start_streaming(db);
    return 0;
}

}  // namespace kov_lib
