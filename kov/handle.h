/* SPDX-License-Identifier: MIT */
// The handle of the kov library, kov_handle of kov.h: what one open file
// holds between calls.  Internal to the library; the units that work on it
// (connection.h, build.h, drain.h, open_list.h) say what each part means.
#ifndef KOV_HANDLE_H
#define KOV_HANDLE_H

#include "btree_switch.h"
#include "btree_writer.h"
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

// The handle's mode says where a store goes; it is one value, changed only
// by set_mode, which checks the transition:
//
//   kov_open --(existing file, reader, or no O_EXCL)--> plain
//   kov_open --(file created with O_EXCL: sorter)-----> ordered
//
//   ordered ---store_sorted: the held records were written and the build
//              stays open for the next ones------------------------> streaming
//   ordered ---store_sorted: a key out of order, or that write failed--> sorting
//   streaming -store_sorted: a key out of order (the build ends)------> sorting
//   ordered, streaming, sorting ---reattach: the connection could not be
//              brought to the file after a build--------------------> detached
//
//   plain      every store goes through SQLite; there is no sorter.
//   ordered    every key so far came after the one before; the sorter holds
//              the stores, and the first of them choose the page size.
//   streaming  keys still ascend; each store goes straight to the sink
//              (store_streamed): the build while it is open (writer), else
//              SQLite's inserts.
//   sorting    the sorter holds every store until a write (write_sorted:
//              at a read, the close or exit, or on a full disk).
//   detached   the connection is gone (db is null; detach_cause says why):
//              every call but kov_close fails.
//
// In ordered, streaming and sorting the build (writer) is open between calls
// only while streaming; otherwise write_sorted opens and ends it within one
// call.  The writer of chains written ahead (chains) exists only before the
// first build, and never beside the build's writer.
enum class kov_mode : unsigned char { plain, ordered, streaming, sorting, detached };

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
    kov_mode mode = kov_mode::plain;  // where a store goes (above)
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
    uint64_t footprint_small = 0, footprint_large = 0, payload = 0;
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

// The one place where a handle's mode changes.
inline void set_mode(kov_context *db, kov_mode to)
{
    assert(mode_change_legal(db, db->mode, to));
    db->mode = to;
    // A plain handle has no sorter, a detached one no connection, and the
    // build's writer and the writer of chains are never open together.
    assert((db->mode == kov_mode::plain) == (db->sorter == nullptr));
    assert(db->mode != kov_mode::detached || (!db->db && !db->writer));
    assert(!(db->writer && db->chains));
}

#endif
