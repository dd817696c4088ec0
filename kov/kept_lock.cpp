// SPDX-License-Identifier: MIT
// The VFS that keeps a connection's lock (kept_lock.h).  Every call but the
// three on the lock goes to the default VFS as it is.

#include "kept_lock.h"

#include <assert.h>

#include <algorithm>
#include <iterator>

namespace kov_lib {

namespace {

constexpr const char vfs_name[] = "kov-kept-lock";

// The default VFS when this one was registered: every call goes on to it.
sqlite3_vfs *base_vfs = nullptr;

struct kept_file {
    sqlite3_file file;   // methods: one of kept_methods, once the base file is open
    sqlite3_file *base;  // the base VFS's file, in the bytes after this one
    int level;           // the lock the pager holds as far as it knows
    int held;            // the lock the base file holds
    bool keep;           // the pager's unlocks stop here
    bool claim;          // the next lock goes on to the exclusive one
};

kept_file *kept(sqlite3_file *f)
{
    return reinterpret_cast<kept_file *>(f);
}

sqlite3_file *base(sqlite3_file *f)
{
    return kept(f)->base;
}

const sqlite3_io_methods *base_io(sqlite3_file *f)
{
    return base(f)->pMethods;
}

void check(const kept_file *k)
{
    assert(k->level >= SQLITE_LOCK_NONE && k->level <= k->held && k->held <= SQLITE_LOCK_EXCLUSIVE);
    (void)k;
}

// Takes the file's first lock, of a claimed file, on to the exclusive one
// in the steps the base VFS takes them: the pager's shared lock is granted,
// and the reserved and exclusive ones follow at once.  When another client
// is in the way, the file is left unlocked, as the pager expects of a
// refused lock.
int claim_exclusive(kept_file *k, int level)
{
    assert(k->held == SQLITE_LOCK_NONE);
    k->claim = false;
    const sqlite3_io_methods *io = k->base->pMethods;
    int rc = io->xLock(k->base, level);
    for (int step : {SQLITE_LOCK_RESERVED, SQLITE_LOCK_EXCLUSIVE}) {
        if (rc == SQLITE_OK && step > level)
            rc = io->xLock(k->base, step);
    }
    if (rc != SQLITE_OK) {
        io->xUnlock(k->base, SQLITE_LOCK_NONE);
        return rc;
    }
    k->level = level;
    k->held = SQLITE_LOCK_EXCLUSIVE;
    return SQLITE_OK;
}

int kept_lock(sqlite3_file *f, int level)
{
    kept_file *k = kept(f);
    if (k->claim && level > SQLITE_LOCK_NONE) {
        int rc = claim_exclusive(k, level);
        check(k);
        return rc;
    }
    int rc = base_io(f)->xLock(k->base, level);
    // A lock at or below the one the file holds is granted as it stands.
    if (rc == SQLITE_OK) {
        k->level = level;
        k->held = std::max(k->held, level);
    }
    check(k);
    return rc;
}

int kept_unlock(sqlite3_file *f, int level)
{
    kept_file *k = kept(f);
    int rc = k->keep ? SQLITE_OK : base_io(f)->xUnlock(k->base, level);
    if (rc == SQLITE_OK) {
        k->level = std::min(k->level, level);
        if (!k->keep)
            k->held = std::min(k->held, level);
    }
    check(k);
    return rc;
}

int kept_check_reserved(sqlite3_file *f, int *reserved)
{
    if (kept(f)->keep) {
        *reserved = 0;
        return SQLITE_OK;
    }
    return base_io(f)->xCheckReservedLock(base(f), reserved);
}

// The methods of a kept file, for a base file whose methods are of version
// 1, 2 and 3: SQLite asks a file's version before it uses the later ones.
sqlite3_io_methods kept_methods[3];

sqlite3_io_methods methods_of_version(int version)
{
    sqlite3_io_methods m = {};
    m.iVersion = version;
    m.xClose = [](sqlite3_file *f) { return base_io(f)->xClose(base(f)); };
    m.xRead = [](sqlite3_file *f, void *p, int n, sqlite3_int64 off) {
        return base_io(f)->xRead(base(f), p, n, off);
    };
    m.xWrite = [](sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
        return base_io(f)->xWrite(base(f), p, n, off);
    };
    m.xTruncate = [](sqlite3_file *f, sqlite3_int64 n) { return base_io(f)->xTruncate(base(f), n); };
    m.xSync = [](sqlite3_file *f, int flags) { return base_io(f)->xSync(base(f), flags); };
    m.xFileSize = [](sqlite3_file *f, sqlite3_int64 *n) { return base_io(f)->xFileSize(base(f), n); };
    m.xLock = kept_lock;
    m.xUnlock = kept_unlock;
    m.xCheckReservedLock = kept_check_reserved;
    m.xFileControl = [](sqlite3_file *f, int op, void *arg) {
        return base_io(f)->xFileControl(base(f), op, arg);
    };
    m.xSectorSize = [](sqlite3_file *f) { return base_io(f)->xSectorSize(base(f)); };
    m.xDeviceCharacteristics = [](sqlite3_file *f) {
        return base_io(f)->xDeviceCharacteristics(base(f));
    };
    if (version < 2)
        return m;
    m.xShmMap = [](sqlite3_file *f, int page, int size, int extend, void volatile **p) {
        return base_io(f)->xShmMap(base(f), page, size, extend, p);
    };
    m.xShmLock = [](sqlite3_file *f, int offset, int n, int flags) {
        return base_io(f)->xShmLock(base(f), offset, n, flags);
    };
    m.xShmBarrier = [](sqlite3_file *f) { base_io(f)->xShmBarrier(base(f)); };
    m.xShmUnmap = [](sqlite3_file *f, int remove) { return base_io(f)->xShmUnmap(base(f), remove); };
    if (version < 3)
        return m;
    m.xFetch = [](sqlite3_file *f, sqlite3_int64 off, int n, void **p) {
        return base_io(f)->xFetch(base(f), off, n, p);
    };
    m.xUnfetch = [](sqlite3_file *f, sqlite3_int64 off, void *p) {
        return base_io(f)->xUnfetch(base(f), off, p);
    };
    return m;
}

int kept_open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags)
{
    kept_file *k = kept(f);
    k->base = reinterpret_cast<sqlite3_file *>(k + 1);
    k->base->pMethods = nullptr;
    k->level = k->held = SQLITE_LOCK_NONE;
    k->keep = false;
    k->claim = false;
    int rc = base_vfs->xOpen(base_vfs, name, k->base, flags, out_flags);
    // SQLite closes a file whose methods are set, even after a failed open.
    const sqlite3_io_methods *m = k->base->pMethods;
    k->file.pMethods = m ? &kept_methods[std::clamp(m->iVersion, 1, 3) - 1] : nullptr;
    return rc;
}

sqlite3_vfs make_vfs()
{
    sqlite3_vfs v = {};
    v.iVersion = std::min(base_vfs->iVersion, 3);
    v.szOsFile = static_cast<int>(sizeof(kept_file)) + base_vfs->szOsFile;
    v.mxPathname = base_vfs->mxPathname;
    v.zName = vfs_name;
    v.xOpen = kept_open;
    v.xDelete = [](sqlite3_vfs *, const char *name, int sync) {
        return base_vfs->xDelete(base_vfs, name, sync);
    };
    v.xAccess = [](sqlite3_vfs *, const char *name, int flags, int *out) {
        return base_vfs->xAccess(base_vfs, name, flags, out);
    };
    v.xFullPathname = [](sqlite3_vfs *, const char *name, int n, char *out) {
        return base_vfs->xFullPathname(base_vfs, name, n, out);
    };
    v.xDlOpen = [](sqlite3_vfs *, const char *name) { return base_vfs->xDlOpen(base_vfs, name); };
    v.xDlError = [](sqlite3_vfs *, int n, char *out) { base_vfs->xDlError(base_vfs, n, out); };
    v.xDlSym = [](sqlite3_vfs *, void *lib, const char *sym) {
        return base_vfs->xDlSym(base_vfs, lib, sym);
    };
    v.xDlClose = [](sqlite3_vfs *, void *lib) { base_vfs->xDlClose(base_vfs, lib); };
    v.xRandomness = [](sqlite3_vfs *, int n, char *out) {
        return base_vfs->xRandomness(base_vfs, n, out);
    };
    v.xSleep = [](sqlite3_vfs *, int us) { return base_vfs->xSleep(base_vfs, us); };
    v.xCurrentTime = [](sqlite3_vfs *, double *t) { return base_vfs->xCurrentTime(base_vfs, t); };
    v.xGetLastError = [](sqlite3_vfs *, int n, char *out) {
        return base_vfs->xGetLastError(base_vfs, n, out);
    };
    if (v.iVersion >= 2) {
        v.xCurrentTimeInt64 = [](sqlite3_vfs *, sqlite3_int64 *t) {
            return base_vfs->xCurrentTimeInt64(base_vfs, t);
        };
    }
    if (v.iVersion >= 3) {
        v.xSetSystemCall = [](sqlite3_vfs *, const char *name, sqlite3_syscall_ptr call) {
            return base_vfs->xSetSystemCall(base_vfs, name, call);
        };
        v.xGetSystemCall = [](sqlite3_vfs *, const char *name) {
            return base_vfs->xGetSystemCall(base_vfs, name);
        };
        v.xNextSystemCall = [](sqlite3_vfs *, const char *name) {
            return base_vfs->xNextSystemCall(base_vfs, name);
        };
    }
    return v;
}

// Registers the VFS (not as the default one).  The first caller does it;
// any other waits for it (a static's initialisation).
bool register_vfs()
{
    if (sqlite3_initialize() != SQLITE_OK || !(base_vfs = sqlite3_vfs_find(nullptr)))
        return false;
    for (int version = 1; version <= 3; version++)
        kept_methods[version - 1] = methods_of_version(version);
    static sqlite3_vfs vfs = make_vfs();
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
}

}  // namespace

const char *kept_lock_vfs()
{
    static const bool registered = register_vfs();
    // Without it, the open fails for want of a VFS of that name.
    (void)registered;
    return vfs_name;
}

namespace {

// The file of db's main database, when it was opened through this VFS, or
// null.
kept_file *main_file(sqlite3 *db)
{
    sqlite3_file *f = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &f) != SQLITE_OK || !f ||
        std::none_of(std::begin(kept_methods), std::end(kept_methods),
                     [&](const sqlite3_io_methods &m) { return f->pMethods == &m; }))
        return nullptr;
    return kept(f);
}

}  // namespace

int claim_lock(sqlite3 *db)
{
    kept_file *k = main_file(db);
    if (!k || k->held != SQLITE_LOCK_NONE)
        return -1;
    k->keep = true;
    k->claim = true;
    check(k);
    return 0;
}

int keep_lock(sqlite3 *db, bool keep)
{
    kept_file *k = main_file(db);
    if (!k)
        return -1;
    sqlite3_file *f = &k->file;
    k->keep = keep;
    k->claim = false;
    // Should that unlock fail, the lock is uncertain either way; the pager
    // asks for the lock it needs from its own.
    if (!keep && k->held > k->level) {
        base_io(f)->xUnlock(k->base, k->level);
        k->held = k->level;
    }
    check(k);
    return 0;
}

}  // namespace kov_lib
