/* SPDX-License-Identifier: MIT */
// The handle of the kov library, kov_handle of kov.h: what one open file
// holds between calls.  Internal to the library; the units that work on it
// (connection.h, build.h, drain.h, open_list.h) say what each part means.
#ifndef KOV_HANDLE_H
#define KOV_HANDLE_H

#include "btree_switch.h"
#include "btree_writer.h"
#include "failure.h"
#include "kov.h"
#include "open_checks.h"
#include "sorter.h"
#include "tuning.h"

#include <assert.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>

#include <sqlite3.h>

// A handle's state is two values, each changed only by its setter, which
// checks the transition and the invariants below: the mode says where a
// store goes, the table where the records the sorter holds go when they are
// written, and how the file's table got where it is.
//
// The mode (set_mode):
//
//   kov_open --(existing file, reader, or no O_EXCL)--> plain
//   kov_open --(file created with O_EXCL: sorter)-----> ordered
//
//   ordered ---start_streaming: the held records were written and the next
//              ones go straight to the sink---------------------------> streaming
//   ordered ---start_streaming: that write failed---------------------> sorting
//   ordered, streaming ---store_new_file: a key out of order (a build
//              under way ends)---------------------------------------> sorting
//   ordered, streaming, sorting ---reattach: the connection could not be
//              brought to the file after a build----------------------> detached
//
//   plain      every store goes through SQLite; there is no sorter.
//   ordered    every key so far came after the one before; the sorter holds
//              the stores, and the first of them choose the page size.
//   streaming  keys still ascend; each store goes straight to the sink
//              (store_streamed): the build while it is open, else SQLite's
//              inserts.
//   sorting    the sorter holds every store until a write (write_held:
//              at a read, the close or exit, or on a full disk).
//   detached   the connection is gone (db is null; detach_cause says why):
//              every call but kov_close fails, and kov_close fails when
//              records stored were lost or are still held (close_detached).
//
// The table (set_table), for a handle with a sorter; a plain one stays empty:
//
//   empty ----store_chained: a large value's chain written ahead--------> ahead
//   empty ----store_chained: no writer of chains could start-----------> no_ahead
//   empty, no_ahead, ahead ---build_begin: a build begins (and adopts the
//              chains written ahead)-----------------------------------> building
//   ahead ----give_up_chains: a chain could not be written-------------> given_up
//   building -end_build: the tree was made live, whole or, after a failed
//              page write, up to the writer's mark----------------------> filled
//   building -end_build: it failed, and the merge still holds every
//              record added-------------------------------------------> given_up
//   building -end_build: it failed, and the records added were lost---> empty
//   empty, no_ahead, given_up ---sink_put: a record through SQLite-----> filled
//
//   empty      the table has no record; the next write of the sorter's
//              records is a build, and large values may be written ahead.
//   no_ahead   as empty, but large values go to the sorter whole.
//   ahead      the table has no record; the writer of chains (ahead_writer) holds
//              the large values written ahead, for the build to adopt.
//   building   the build (writer) is open: only while streaming between
//              calls, otherwise within one write (write_held).
//   given_up   a build, or the writing ahead, was given up after a failed
//              write or sync (build_failure says why, for kov_close): the table has
//              no record, and its records go through SQLite.
//   filled     the table may hold records: every write goes through SQLite.
enum class kov_mode : unsigned char { plain, ordered, streaming, sorting, detached };
enum class kov_table : unsigned char { empty, no_ahead, ahead, building, given_up, filled };

struct kov_context {
    sqlite3 *db = nullptr;              // the connection
    sqlite3_stmt *insert = nullptr;     // INSERT, for KOV_INSERT
    sqlite3_stmt *replace = nullptr;    // INSERT OR REPLACE, for KOV_REPLACE
    sqlite3_stmt *update = nullptr;     // UPDATE, for KOV_MODIFY
    sqlite3_stmt *select = nullptr;     // lookup of one key, for kov_fetch
    kov_file file;                      // the file, its journal and their descriptors
    kov_failure failure;                // the failure of the call under way (failure.h)
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
    // The B-tree writer's build of the file, exactly while the table is
    // building (see build_begin), the switch that makes it live, its page
    // size and the pages of the file that have room on the disk already.
    btree_writer *writer = nullptr;
    btree_switch live_switch;
    uint32_t build_page_size = 0;
    uint64_t build_reserved = 0;
    bool build_full = false;       // the last build stopped for lack of room
    // Why a build, or the writing ahead, was given up after a failed write
    // or sync, its records written through SQLite instead (given_up; the
    // text stays once the table is filled); kov_close reports it as the
    // first cause of its failure (kov_failure::precede).
    std::string build_failure;
    // Chains written ahead (store_chained): the writer that holds them until
    // a build adopts it, exactly while the table is ahead, and for each key
    // whose last store wrote one, where it begins and the value's size.
    btree_writer *ahead_writer = nullptr;
    struct chain_ref {
        uint32_t first;
        size_t value_size;
    };
    std::map<std::string, chain_ref, std::less<>> ahead_chains;
    uint64_t chain_cell_bytes = 0;  // room the cells of those chains will take
    sqlite3_int64 build_bytes = 0; // streamed into the build since the last sync
    bool journal_synced = false;   // the journal's directory entry was synced
    kov_mode mode = kov_mode::plain;     // where a store goes (above)
    kov_table table = kov_table::empty;  // where the table is (above)
    std::string detach_cause;      // why the connection is gone (detached)
    std::string table_max;         // the greatest key written to the table
    uint64_t stored = 0;           // stores that succeeded
    // Stored bytes after which the key-order write commits: smaller once a
    // commit did not fit on the disk, and smaller as the room left shrinks
    // (room_limit, room_commit_bytes).
    sqlite3_int64 commit_limit = kov_lib::kov_sorted_commit_bytes;
    sqlite3_int64 room_limit = kov_lib::kov_sorted_commit_bytes;
    // Keys stored into a new file so far: whether there was one, and the
    // last of them, which the next must follow to keep the mode ordered.
    bool stored_any = false;
    std::string last_key;
    // Bytes the records given to the sorter would take in pages of
    // kov_page_size and of kov_large_page_size, and their payload.
    uint64_t footprint_small = 0, footprint_large = 0, held_payload = 0;
    kov_context *next = nullptr;  // list of open handles, for the exit hook
    kov_context *prev = nullptr;
};

// Whether a handle may go from mode from to mode to (the diagram above).
inline bool mode_change_legal(const kov_context *db, kov_mode from, kov_mode to)
{
    switch (from) {
    case kov_mode::plain: return to == kov_mode::ordered && db->sorter && db->stored == 0;
    case kov_mode::ordered:
        return to == kov_mode::streaming || to == kov_mode::sorting || to == kov_mode::detached;
    case kov_mode::streaming: return to == kov_mode::sorting || to == kov_mode::detached;
    case kov_mode::sorting: return to == kov_mode::detached;
    case kov_mode::detached: return false;
    }
    return false;
}

// Whether a handle's table may go from from to to (the diagram above).
inline bool table_change_legal(kov_table from, kov_table to)
{
    using t = kov_table;
    switch (from) {
    case t::empty: return to == t::ahead || to == t::no_ahead || to == t::building || to == t::filled;
    case t::no_ahead: return to == t::building || to == t::filled;
    case t::ahead: return to == t::building || to == t::given_up;
    case t::building: return to == t::filled || to == t::given_up || to == t::empty;
    case t::given_up: return to == t::filled;
    case t::filled: return false;
    }
    return false;
}

// The invariants that tie the handle's state to what it holds: a plain
// handle has no sorter and its table stays empty; a detached one has no
// connection; the build's writer exists exactly while the table is
// building, the writer of chains exactly while it is ahead, so never both;
// a table given up says why.
inline void check_state(const kov_context *db)
{
    assert((db->mode == kov_mode::plain) == (db->sorter == nullptr));
    assert(db->sorter || db->table == kov_table::empty);
    assert(db->mode != kov_mode::detached || !db->db);
    assert((db->writer != nullptr) == (db->table == kov_table::building));
    assert((db->ahead_writer != nullptr) == (db->table == kov_table::ahead));
    assert(db->table != kov_table::given_up || !db->build_failure.empty());
    (void)db;
}

// The one place where a handle's mode changes.
inline void set_mode(kov_context *db, kov_mode to)
{
    assert(mode_change_legal(db, db->mode, to));
    db->mode = to;
    check_state(db);
}

// The one place where a handle's table changes, once the writers it holds
// are those of the new state.
inline void set_table(kov_context *db, kov_table to)
{
    assert(table_change_legal(db->table, to));
    db->table = to;
    check_state(db);
}

// Whether the table may hold records: lookups and the page size depend on it.
inline bool table_may_hold_records(const kov_context *db)
{
    return db->table == kov_table::building || db->table == kov_table::filled;
}

#endif
