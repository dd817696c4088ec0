/* SPDX-License-Identifier: MIT */
// Tuning constants of the kov library: cache and page sizes, commit sizes
// and the thresholds that choose a record's road into a new file.  Each
// carries its reason; the figures behind them are in bench/RESULTS.md.
#ifndef KOV_TUNING_H
#define KOV_TUNING_H

#include <stddef.h>
#include <stdint.h>

#include <sqlite3.h>

namespace kov_lib {

// Whether a record of these sizes is beyond the engine's length limit once
// it is a row: each field alone, and both with the row's own header, which
// takes at most 32 bytes besides.  The store refuses such a record at once
// ("string or blob too big"), and kovcheck refuses it by the same rule.
inline bool record_too_long(size_t key, size_t value, size_t limit)
{
    return key > limit || value > limit || key + value + 32 > limit;
}

// Page cache of one handle, in KiB.  Bounds the memory a restore of any size
// needs beyond the record in hand.  Records stored in random key order touch
// every leaf of the B-tree, so each page that does not fit costs a read and
// a write through the kernel: the cache must hold the working set of a
// large restore (bench/RESULTS.md, "scale").
constexpr int kov_cache_kib = 96 * 1024;

// Page cache of a handle opened read-only.  A dump reads the file once in
// key order, which a large cache does not speed up but slows down and
// grows; lookups get SQLite's usual 2 MiB.
constexpr int kov_read_cache_kib = 2 * 1024;

// Page size of new files.  Larger pages mean fewer overflow pages for big
// values and fewer B-tree levels for many small records.
constexpr int kov_page_size = 16384;

// Page size a file written in key order gets instead when its records are
// large (choose_page_size).  A 10 KiB record fits a 64 KiB page whole but
// needs a 16 KiB overflow page beside a 16 KiB leaf, and a 20 MiB value
// needs a quarter of the pages; with small records the bigger pages only
// cost time, as each insert moves more bytes (bench/RESULTS.md,
// "ordered-medium" and "ordered").
constexpr int kov_large_page_size = 65536;

// Page cache of a handle that writes through the sorter.  Records arrive in
// key order, so only the right edge of the B-tree is being changed.
constexpr int kov_sorted_cache_kib = 4 * 1024;

// Stored bytes after which the key-order write commits.  Appending in key
// order journals almost nothing, so a commit costs little, and a process
// killed while writing keeps what was committed.
constexpr sqlite3_int64 kov_sorted_commit_bytes = 16LL << 20;

// The smallest commit the key-order write makes for want of room, unless a
// larger one failed (retry_smaller).
constexpr sqlite3_int64 kov_min_commit_bytes = 64LL << 10;

// Records of a new file stored in key order from the start stream straight
// to the table once the sorter holds this many bytes of them (or a quarter
// of its cap), which are written first and choose the page size.
constexpr uint64_t kov_stream_bytes = 4u << 20;

// ... and once they are at least this many records.  A few large records
// whose keys happen to ascend say little about the order of the rest: a
// dump in random order starts with k keys in order once in k! dumps.  A
// wrong guess costs much with such records: the first key out of order
// ends the build, and every later lookup and insert through SQLite reads
// whole overflowing records to compare keys, many times the work of the
// sorter's single pass over them.  Dumps of small records
// reach kov_stream_bytes long after this count, and are not delayed.
constexpr uint64_t kov_stream_records = 8;

// Values of at least this many bytes stored into the sorter of a new file
// have their overflow pages written into the file at once (store_chained),
// in pages of kov_large_page_size, and the sorter keeps only the part the
// record's cell holds.  Such a value would otherwise go to the sorter's
// value file and be read back by the build; this way it is written once,
// by the page output's thread while the dump is still being read
// (bench/RESULTS.md, "large").
constexpr size_t kov_chain_bytes = 256u << 10;

// Pages kept, beyond the cells themselves, for the cells of chains written
// ahead: the two levels a tree of them may grow by, three pages on each,
// and a leaf begun on each side of a record added between them.
constexpr uint64_t kov_chain_cell_levels = 8;

// The progress handler is called once per this many records written.
constexpr unsigned long long kov_progress_step = 4096;

// Stored bytes (keys, values and a fixed per-record charge) after which the
// write transaction may be committed and a new one begins.  Each commit makes
// the next transaction journal every page it changes again, which for random
// keys is most of the file; so a transaction runs until it has stored as much
// as all those before it.  A killed process loses at most half its work, and
// journalling costs at most one more write of the file.
constexpr sqlite3_int64 kov_commit_bytes = 16LL << 20;
constexpr sqlite3_int64 kov_record_charge = 64;

}  // namespace kov_lib

#endif
