/* SPDX-License-Identifier: MIT */
// The B-tree writer of the kov library: builds a complete SQLite 3 database
// file holding the kov table from records given in ascending key order,
// writing the pages itself instead of inserting rows one by one.
//
// The file it writes (fileformat2.html of SQLite's documents):
//  - Page 1 holds the 100-byte database header and the sqlite_schema table:
//    one row, the kov table with root page 2 and btree_table_sql as its text
//    (a WITHOUT ROWID table with a PRIMARY KEY gets no other row).
//  - The kov table is an index B-tree.  Each entry is one record (key,
//    value) as a two-column record of two BLOBs, stored once: in a leaf or,
//    as the divider between two children, in an interior page.  Payload
//    that does not stay local (btree_local_payload) goes to a chain of
//    overflow pages.
//  - Page 2 is the root; the other pages are numbered in the order they are
//    written, skipping the lock-byte page at 1 GiB (which stays a hole).
//    The file has no unused space but the free room of each page and the
//    free list of chains never added (below); without those it is no
//    larger than SQLite's own file of the same records.
//
// Shape: leaves are packed full, and an entry that does not fit in the leaf
// being filled becomes the divider above it; the interior levels are filled
// the same way.  A completed page is held back until the next one on its
// level has a cell, so that at the end the last page of each level can take
// the last cell of the page before it and never be left empty.
//
// Memory: two pages per level, the divider waiting between them, the last
// key and the cell of the record being added, whatever the number of
// records, and the page output's two batches; with a mark, a copy of the
// levels and of the list of chains not yet added.  Pages are written as they
// are completed, in the order of their numbers, through the page output
// (page_output.h), which writes them from a thread of its own; page 1 and
// the root last, by finish, which waits until every page is written.
//
// Chains written ahead: a record whose value is large can have its overflow
// pages written as soon as it is known, before its place in key order is
// (write_chain), and be added later with only the part its cell keeps
// (add_chained).  Such pages take the next page numbers like any other.  A
// chain never added (its record was replaced, refused or dropped) goes on
// the free list at finish, so that every page of the file is accounted
// for; otherwise the file has no free page.
//
// Marks: the writer can keep, in memory, the point it has reached (mark):
// its page count, the chains not yet added and the partly filled pages of
// its right edge on each level, the pages below that count being written
// out or queued.  After a failed page write, rewind waits for the pages
// queued and, when every page below the mark's count was written, sets the
// writer back there with a new page output, so that finish writes the tree
// of the records added up to the mark.  Pages written after the mark are
// then overwritten or lie past the end, and the chains added after it go
// on the free list.
//
// Invariants (asserted in builds with assert() on):
//  - Cell layout.  A page's cell pointers end at or below its lowest cell
//    byte (header + 2 * cells <= top); a cell is appended only where it
//    fits, and no page is completed without a cell.
//  - Order.  Each record's key is greater than the one before (key_cmp).
//  - Chains.  The page count kept for a chain written ahead is the number
//    of pages it was given, so the free list at finish names exactly the
//    pages of the chains never added (free_count), none of them live.
//  - Marks.  A mark holds a state the writer was in, never ahead of it:
//    its page count and records are at most the writer's.
//
// Conventions: calls that can fail return -1 and leave a text in *err.  A
// key not greater than the one before it is refused and changes nothing,
// so that finish still writes a valid tree of the records accepted before;
// after a failed write or a record too large for the format every call
// fails but rewind.
#ifndef KOV_BTREE_WRITER_H
#define KOV_BTREE_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

// Big-endian 32-bit integers, as the file and its journal store them.
inline void btree_put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t btree_get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The definition of the kov table, as sqlite_schema holds it.
extern const char btree_table_sql[];

// Bytes of a payload of n bytes that an index B-tree page of usable size
// usable keeps in the cell (SQLite's local payload rule for index pages);
// the rest goes to overflow pages of usable - 4 bytes each.
uint64_t btree_local_payload(uint64_t n, uint64_t usable);

// The fields of page 1 the writer fills in beyond the fixed ones.
struct btree_header {
    uint32_t page_size = 4096;      // a power of two from 512 to 65536
    uint32_t change_counter = 1;    // also written as the version-valid-for
    uint32_t schema_cookie = 1;     // changed whenever the schema changes
    uint32_t application_id = 0;    // PRAGMA application_id
    uint32_t user_version = 0;      // PRAGMA user_version
};

class btree_writer {
  public:
    // A writer of a new database through fd, which must be open for writing
    // and is not closed, and through direct_fd, the same file opened with
    // O_DIRECT (page_output_open_direct), or -1.  A page size the format
    // does not allow is reported by the first call.
    btree_writer(int fd, const btree_header &header, int direct_fd = -1);
    ~btree_writer();
    btree_writer(const btree_writer &) = delete;
    btree_writer &operator=(const btree_writer &) = delete;

    // Adds a record whose key is greater than every key added before.
    // Returns 0, or -1: for a key out of order or repeated nothing changes.
    int add(const void *key, size_t ksize, const void *value, size_t vsize, std::string *err);

    // Value bytes the cell of a record of ksize and vsize bytes keeps when
    // its overflow pages are written ahead: the rest of the value is in the
    // chain.  0 when the cell keeps only (part of) the key.
    size_t chain_prefix(size_t ksize, size_t vsize) const;

    // Whether a record of ksize and vsize bytes overflows its cell, so that
    // its chain can be written ahead.
    bool overflows(size_t ksize, size_t vsize) const;

    // Writes the overflow pages of the record (key, value), which must
    // overflow, and gives the first in *first.  The record itself is added
    // later by add_chained.  Returns 0 or -1.
    int write_chain(const void *key, size_t ksize, const void *value, size_t vsize,
                    uint32_t *first, std::string *err);

    // Adds the record whose chain write_chain wrote as first, given its key,
    // the first chain_prefix(ksize, vsize) bytes of its value and the
    // value's size, as add does.  A chain is added at most once.
    int add_chained(const void *key, size_t ksize, const void *prefix, size_t vsize,
                    uint32_t first, std::string *err);

    // Writes the pages still held, the levels above them and page 1, and
    // gives the number of pages of the file in *pages.  The file is not
    // truncated: a caller reusing a longer file cuts it to *pages pages.
    int finish(uint32_t *pages, std::string *err);

    // Keeps the state reached so far as the point rewind goes back to,
    // replacing the one kept before.  Returns 0, or -1 (out of memory) with
    // no point kept.
    int mark();

    // Forgets the point kept by mark.
    void drop_mark();

    // Whether a point is kept, the records added up to it and the greatest
    // of their keys.
    bool marked() const;
    uint64_t marked_records() const;
    const std::string &marked_key() const;

    // Whether the failure that stopped the writer was a page write (a
    // failed write(2), or no room that the caller did not foresee).
    bool write_failed() const;

    // After a failed page write: waits for the pages queued, and when every
    // page below the mark was written, goes back to the mark with a new
    // page output and no failure, so that finish writes the tree of the
    // records added up to it; the mark is used up.  Returns 0, or -1 with
    // the reason in *err (no mark, or a page below it was not written) and
    // the writer stopped.
    int rewind(std::string *err);

    // Records added so far.
    uint64_t records() const;

    // The greatest key added, empty when none was.
    const std::string &last_key() const;

    // Pages given out so far: the file's last page written or about to be
    // (pages 1 and 2 are written by finish).
    uint32_t pages() const;

    // Levels of the tree built so far, the leaves counting as one.
    size_t depth() const;

    // Whether the pages go to the disk past the kernel's page cache
    // (page_output.h), so that there are no dirty pages to start writing.
    bool writes_direct() const;

  private:
    struct state;
    std::unique_ptr<state> s_;
};

#endif
