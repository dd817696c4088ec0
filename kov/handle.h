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

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>

#include <sqlite3.h>

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
    sqlite3_int64 commit_limit = kov_lib::kov_sorted_commit_bytes;
    sqlite3_int64 room_limit = kov_lib::kov_sorted_commit_bytes;
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

#endif
