/* SPDX-License-Identifier: MIT */
/*
 * kov: a small key-value database library, stored as one SQLite 3 file.
 *
 * Conventions:
 *  1. Keys and values are byte strings passed as a datum: a pointer and a
 *     length.  A datum with size 0 is an empty string; its data pointer may
 *     then be null.  All other pointer arguments must be non-null.
 *  2. A kov_handle is opaque.  kov_open returns null on failure with errno
 *     set to the cause; every other call reports failure by -1 and leaves a
 *     text for kov_errorstr(handle).
 *  3. Memory passed in stays the caller's.  kov_fetch returns a buffer
 *     allocated with malloc that the caller frees with free.  The datums
 *     given to a kov_traverse callback are valid only during that call.
 *  4. Durability: every record whose kov_store returned success is in the
 *     file once the process ends through exit or a return from main, closed
 *     or not, just as stdio flushes its buffers.  A process killed at any
 *     moment leaves a valid kov database holding whole records only.
 *     kov_close returns 0 only once everything is on stable storage.
 *  5. A handle is used by one thread at a time.
 *  6. A handle that created its file (O_CREAT | O_EXCL) may buffer, sort and
 *     spill its stores and write them in key order later: at kov_close, at
 *     exit, or before a kov_fetch or kov_traverse through it.  kov_store
 *     still answers at once (KOV_INSERT of a key stored before fails in
 *     that call), and a failure of the deferred work fails the kov_close,
 *     kov_fetch or kov_traverse that ran into it.  The buffer holds at most
 *     256 MiB (never more than a quarter of physical memory); the
 *     environment variable KOV_SORT_MEMORY sets another cap in bytes, or
 *     with a suffix k, m or g.  Sorted runs that do not fit, and values of
 *     1 KiB or more, go to nameless temporary files in the database's
 *     directory (named for a moment only where the file system cannot make
 *     nameless ones).
 *     Records still buffered are lost when the process ends by _exit,
 *     abort or a fatal signal.
 *
 * File format: one SQLite 3 database at exactly the given path with
 * application_id 0x6B6F7631, user_version 1 and the single table
 *   CREATE TABLE kov(key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL)
 *   WITHOUT ROWID
 * Keys and values are BLOBs of exactly their bytes; empty ones are
 * zero-length BLOBs, never NULL.  Any SQLite client can read the file.
 */
#ifndef KOV_KOV_H
#define KOV_KOV_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    unsigned char *data; /* the bytes, owned by whoever holds the datum */
    size_t size;         /* number of bytes */
} datum;

typedef struct kov_context *kov_handle;

/* Store modes of kov_store. */
#define KOV_REPLACE 1 /* insert, or overwrite the value of an existing key */
#define KOV_INSERT 2  /* insert only; an existing key fails, "Record exists" */
#define KOV_MODIFY 3  /* overwrite only; an absent key fails */

/* Value of PRAGMA application_id in every kov file ("kov1"). */
#define KOV_APPLICATION_ID 0x6B6F7631
/* Value of PRAGMA user_version in every kov file. */
#define KOV_FORMAT_VERSION 1

/*
 * Opens the kov database at name, which is a path and nothing else (never
 * ":memory:" or a URI).  With O_CREAT in open_flags the file is created
 * here with open(2) and mode (the umask applies); with O_EXCL too, an
 * existing path fails with EEXIST and is never read, written or truncated.
 * A file created here also gets its rollback journal, name-journal, created
 * here with the file's mode and removed at a clean close; an existing
 * name-journal, name-wal or name-shm fails with EEXIST, and
 * kov_errorstr(NULL) names it.  A file that kov_open created and could not
 * initialise is removed again.  A handle holds its file against every other
 * kov handle, in this process or another, until it is closed: a writer
 * alone, readers together; an open that would break the hold fails with
 * EBUSY.  A writer also keeps every other SQLite client out.  The directory
 * is resolved once, here: a later chdir() changes nothing.  Without O_CREAT an existing kov file is
 * opened, read-only when the access mode is O_RDONLY; a zero-length file
 * is completed as a new database by a writer.  hash_size and kov_flags are
 * tuning hints kept for callers of older kov versions; 0 means the
 * defaults.  Returns a handle, or null with errno set: EINVAL for a file
 * that is not a kov database (anything but a regular file, which is never
 * opened, a file that is not SQLite's, another application id, a kov table
 * of another definition, and for a reader an empty file), with the cause in
 * kov_errorstr(NULL); ENOTSUP for a reader's open of a file in WAL mode,
 * which SQLite cannot read without creating files beside it.
 */
kov_handle kov_open(const char *name, int hash_size, int kov_flags, int open_flags, mode_t mode);

/*
 * Stores value under key in the given mode (KOV_REPLACE, KOV_INSERT or
 * KOV_MODIFY).  The library keeps no pointer to either datum after the
 * call.  Returns 0, or -1 with the cause in kov_errorstr.
 */
int kov_store(kov_handle db, datum key, datum value, int flag);

/*
 * Looks up key.  Returns the value in a buffer from malloc (non-null even
 * for an empty value) that the caller frees, or a datum whose data is null
 * when the key is absent or on error (then kov_errorstr says why and is not
 * the empty string).
 */
datum kov_fetch(kov_handle db, datum key);

/*
 * Calls fn(db, key, value, ctx) for every record in ascending byte order of
 * the keys, stopping early when fn returns non-zero.  The datums point into
 * the library's memory and are valid only during the call; fn must not
 * change the database.  Returns the number of records visited (INT_MAX
 * for INT_MAX or more), or -1, also at the first key that another SQLite
 * client stored as anything but a BLOB ("key of type text").
 */
int kov_traverse(kov_handle db, int (*fn)(kov_handle, datum, datum, void *), void *ctx);

/*
 * Returns a text describing the last failure on db ("" when none).  With a
 * null handle it describes the last failed kov_open or kov_close of the
 * calling thread.
 * The text stays valid until the next call on the same handle.
 */
const char *kov_errorstr(kov_handle db);

/*
 * Installs fn as the progress handler of db, replacing any earlier one; a
 * null fn removes it.  The library calls fn(ctx, done, total) from time to
 * time during work that may run long inside one call: the writing of
 * buffered records into a new database, at kov_close, at process exit and
 * before the first kov_fetch or kov_traverse that needs them.  done and
 * total count the records of that work; a first call has done == 0,
 * before any record is written, done rises to total, and a last call has
 * done == total.  While buffered records are sorted, or spilled to a
 * temporary file inside kov_store, the calls have done 0 and total the
 * records held, so that a caller's progress line moves on through those
 * steps too.  fn runs on the thread that called the library
 * (at exit, on the exiting thread), must not call the library with db, and
 * cannot stop the work.
 */
void kov_progress_handler(kov_handle db,
                          void (*fn)(void *ctx, unsigned long long done, unsigned long long total),
                          void *ctx);

/*
 * Returns the number of records stored through db that are not in its table
 * yet: those a new database holds for its key-order write, which happens at
 * kov_close, at process exit and before a read through db that needs them
 * (a key stored again before then counts once per store).  Returns 0 when
 * every store so far is in the table (committed or in the open
 * transaction), as with a new database whose records come in key order,
 * which go straight to the table once its first few MiB have been written,
 * and for a null handle.  A caller learns from it whether a long write is
 * still to come.
 */
unsigned long long kov_pending(kov_handle db);

/*
 * Writes any buffered records, commits, syncs the file and its directory
 * to stable storage and releases the handle, which is gone whatever the
 * result.  A writer's close also fails when the name no longer leads to
 * the file written (it was removed or renamed), and then leaves no journal
 * behind.  Returns 0 on success, -1 on failure with the cause in
 * kov_errorstr(NULL).
 */
int kov_close(kov_handle db);

#ifdef __cplusplus
}
#endif

#endif /* KOV_KOV_H */
