// SPDX-License-Identifier: MIT
// The list of open handles and the exit hook (open_list.h).

#include "connection.h"
#include "drain.h"
#include "open_checks.h"
#include "open_list.h"

#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace kov_lib {

namespace {

std::mutex open_list_lock;
kov_context *open_list = nullptr;
bool exit_hook_installed = false;

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
        db->failure.clear();
        int rc = write_held(db, true);
        if (commit(db))
            rc = -1;
        finalize_all(db);
        if (sqlite3_close_v2(db->db) != SQLITE_OK)
            rc = -1;
        db->db = nullptr;
        // A journal beside a name that leads elsewhere now protects nothing.
        std::string unused;
        release_journal(db->file, rc == 0 || kov_file_check_named(db->file, &unused));
    }
}

}  // namespace

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

}  // namespace kov_lib
