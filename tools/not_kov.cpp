// SPDX-License-Identifier: MIT
// Why a file is not a kov database (not_kov.h).

#include "not_kov.h"

#include <assert.h>
#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include "kov.h"

namespace {

// The first 16 bytes of every SQLite 3 database file, terminator included.
const char sqlite_magic[] = "SQLite format 3";

const char *kind_of(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    case S_IFDIR: return "a directory";
    default: return "a special file";
    }
}

// name as a SQLite URI: every byte but the unreserved ones percent-encoded,
// so that '?', '#' and '%' in a path stay part of it.  An absolute path gets
// an empty authority ("file:///..."), so that one starting with "//" is not
// read as a host.
std::string file_uri(const std::string &name)
{
    std::string uri = name[0] == '/' ? "file://" : "file:";
    for (unsigned char c : name) {
        if (isalnum(c) || strchr("/-._~", c)) {
            uri += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        }
    }
    return uri + "?immutable=1";
}

// The first column of the first row of sql's answer ("" for none or NULL).
// *ok says whether SQLite could answer.
std::string query_text(sqlite3 *db, const char *sql, bool *ok)
{
    sqlite3_stmt *stmt = nullptr;
    std::string text;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        const unsigned char *t = sqlite3_column_text(stmt, 0);
        text = t ? reinterpret_cast<const char *>(t) : "";
    }
    *ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
    sqlite3_finalize(stmt);
    return text;
}

// What SQLite finds in a file that starts as a SQLite database: the
// header's fields as SQLite reads them (a damaged header fails here as it
// failed for the library), then the kov table.
std::string sqlite_reason(const char *name)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(file_uri(name).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                             nullptr);
    bool ok = rc == SQLITE_OK;
    std::string app, version, type, trigger;
    if (ok)
        app = query_text(db, "PRAGMA application_id", &ok);
    if (ok)
        version = query_text(db, "PRAGMA user_version", &ok);
    if (ok)
        type = query_text(db,
                          "SELECT type FROM sqlite_master WHERE name = 'kov' COLLATE NOCASE"
                          " AND type IN ('table', 'view')",
                          &ok);
    if (ok)
        trigger = query_text(db,
                             "SELECT name FROM sqlite_master WHERE type = 'trigger'"
                             " AND tbl_name = 'kov' COLLATE NOCASE",
                             &ok);
    char text[200];
    if (!ok) {
        snprintf(text, sizeof text, "a SQLite header, but SQLite cannot read the file: %s",
                 db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    } else if (strtoll(app.c_str(), nullptr, 10) != KOV_APPLICATION_ID) {
        // SQLite shows the id as a signed number; the hex shows its bytes.
        snprintf(text, sizeof text,
                 "a SQLite database of another application (application id 0x%08X, a kov "
                 "database has 0x%08X)",
                 (unsigned)strtoll(app.c_str(), nullptr, 10), (unsigned)KOV_APPLICATION_ID);
    } else if (strtoll(version.c_str(), nullptr, 10) != KOV_FORMAT_VERSION) {
        snprintf(text, sizeof text,
                 "a kov database of format version %s; this kovdump reads version %d",
                 version.c_str(), KOV_FORMAT_VERSION);
    } else if (type.empty()) {
        snprintf(text, sizeof text, "a kov database's id, but no kov table");
    } else if (type == "view") {
        snprintf(text, sizeof text, "its kov is a view, not a table");
    } else if (!trigger.empty()) {
        snprintf(text, sizeof text, "its kov table has a trigger, which a kov database never has");
    } else {
        snprintf(text, sizeof text, "its kov table is not of a kov database's definition");
    }
    sqlite3_close(db);
    return text;
}

}  // namespace

std::string not_kov_reason(const char *name)
{
    assert(name && *name);
    // Only a regular file is opened: opening a FIFO, even without blocking,
    // would wake a writer waiting for a reader.
    struct stat st;
    if (stat(name, &st) != 0)
        return "";
    if (!S_ISREG(st.st_mode))
        return std::string(kind_of(st.st_mode)) + ", not a regular file as a kov database is";
    if (st.st_size == 0)
        return "an empty file, not a kov database";
    // O_NONBLOCK: should the name lead elsewhere by now, a FIFO still does
    // not block the open.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    char magic[sizeof sqlite_magic];
    ssize_t got = pread(fd, magic, sizeof magic, 0);
    close(fd);
    if (got != (ssize_t)sizeof magic || memcmp(magic, sqlite_magic, sizeof magic) != 0)
        return "not a SQLite database, so not a kov database";
    return sqlite_reason(name);
}
