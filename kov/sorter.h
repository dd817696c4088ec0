/* SPDX-License-Identifier: MIT */
// The sorter of the kov library: records stored into a new database are
// collected here and handed back in ascending key order, so that the B-tree
// is written from left to right instead of at random leaves.
//
// Conventions:
//  - Keys are ordered as SQLite orders BLOBs: memcmp over the common length,
//    then the shorter key first.
//  - Everything the sorter keeps in memory counts against a cap of bytes:
//    the records, their index and the hash table of their keys (the buffer),
//    and a fixed share of the cap for the buffers of run writes and merges.
//    Only the filters and indexes of spilled records (below), a few times
//    the largest record, and the value file's two staging buffers lie outside it.
//  - A full buffer is sorted and written as a run.  Every run goes to one
//    temporary file in the database's directory, end after end; the file
//    has no name from the start (or, where the file system cannot make such
//    a file, for a moment only), so nothing is left after a crash, and the
//    sorter holds at most two descriptors (runs and values) however many
//    runs there are.
//  - The merge reads at most fan_in runs at once through a tree of losers.
//    Whenever the newest fan_in runs are of the same generation they are
//    merged into one run of the next, so that runs stay few and lookups
//    cheap; a merge of the whole makes a last such pass first if there are
//    more runs left (a last merge that finds no room for it reads them all
//    at once).
//  - Values of 1 KiB or more go to a value file, a nameless temporary file
//    beside the runs, and the buffer and the runs keep only their offset
//    there; the merge reads each back once.  The file takes at most a
//    quarter of the free space; past that, or when it cannot be written,
//    values are buffered like small ones.
//  - A last merge gives the temporary space back as it goes, so that the
//    records fit where their runs were: the run file's reserve first, then
//    at each checkpoint the runs and values handed out before it; where not
//    even one record fits, a whole run or the value file (merge_drop).
//  - Each run keeps a Bloom filter of its keys and a sparse index of key
//    positions in memory (about kov_sorter_record_cost bytes per record), so
//    that a lookup is exact: the filter rules most keys out, a read of one
//    segment of the run confirms the others.
//  - A key stored twice keeps the last value: the buffer replaces its copy,
//    and the merge prefers a newer run over an older one.
//  - Calls that can fail return -1 and leave a text in *error; the sorter
//    then holds what it held before the call.
#ifndef KOV_SORTER_H
#define KOV_SORTER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

// Memory the runs keep per spilled record, beyond the buffer's cap: the Bloom
// filter's bits and a share of the sparse index.
constexpr size_t kov_sorter_record_cost = 3;

// Memory a record takes in the buffer beyond its key and value, within the
// cap: its header (8 bytes), its index entry (16) and its share of the hash
// table, which is kept between 3/8 and 3/4 full (at most 22 bytes).  A run
// holds the records that fill the cap but for the share kept for run writes
// and merges (a sixteenth, at least 8 KiB) and the room it leaves unused
// (at most a block, a sixteenth of the rest): it is full of records and
// their cost, so that small records fill it with fewer bytes of keys and
// values than the cap.
constexpr size_t kov_sorter_buffer_record_cost = 46;

class kov_sorter {
  public:
    // A sorter whose runs go to the directory open as dir, which stays open
    // for the sorter's life, and whose buffer holds at most cap bytes.
    kov_sorter(int dir, size_t cap);
    ~kov_sorter();
    kov_sorter(const kov_sorter &) = delete;
    kov_sorter &operator=(const kov_sorter &) = delete;

    // Adds a record.  With must_be_new, a key already held is refused: the
    // result is 1 and nothing changes.  Returns 0 when stored, -1 on failure
    // with errno set (a run could not be written, ENOSPC among others when
    // the disk is full; ENOMEM when out of memory).
    int add(const unsigned char *key, size_t key_size, const unsigned char *value,
            size_t value_size, bool must_be_new, std::string *error);

    // Returns 1 when key is held, 0 when not, -1 on a read error.
    int contains(const unsigned char *key, size_t key_size, std::string *error);

    // Number of records held (a replaced record counts once per copy).
    uint64_t size() const;

    // Starts handing out every record held in ascending key order, one copy
    // per key (the last one stored).  Returns 0 or -1.  A last merge, after
    // which the sorter is only cleared or destroyed, gives back the space
    // of the runs and values it has handed out at each checkpoint
    // (merge_checkpoint), and first the reserve of the run file; no other
    // merge may follow it.
    int merge_begin(bool last, std::string *error);

    // The next record of the merge: 1 with *key and *value pointing into the
    // sorter's memory until the next call, 0 at the end, -1 on failure.
    // *consumed counts the records read so far, superseded copies included;
    // it reaches size() at the end.
    int merge_next(const unsigned char **key, size_t *key_size, const unsigned char **value,
                   size_t *value_size, uint64_t *consumed, std::string *error);

    // Marks every record handed out so far as written for good: a last
    // merge gives back the space they took in the runs and the value file,
    // and merge_rewind comes back to this point.  The pointers merge_next
    // handed out are no longer valid.  Returns 0, or -1 on a read error.
    int merge_checkpoint(std::string *error);

    // Goes back to the last checkpoint, or to the start of the merge: the
    // records handed out since come again, so that a write that failed can
    // be made again.  Returns 0, or -1 on a read error.
    int merge_rewind(std::string *error);

    // In a last merge that has gone back to its checkpoint, after a write
    // found no room even for one record: gives back whole the run that
    // takes the most space, or the value file if it takes more, and drops
    // the records it holds that the merge has not handed out, so that the
    // rest may fit.  Returns 1 with *freed set to the bytes given back, 0
    // when there is nothing to give back, -1 on failure.
    int merge_drop(uint64_t *freed, std::string *error);

    // Drops every record, closing the runs.
    void clear();

    // Calls fn(ctx), on the calling thread, every so often during the long
    // steps of add and merge_begin (sorting the buffer, writing a run,
    // merging runs), so that a progress line keeps moving; a null fn stops
    // it.  fn must not call the sorter.
    void set_pulse(void (*fn)(void *), void *ctx);

    // Runs written since the sorter was made: the buffer's spills, not the
    // merges of runs.
    uint64_t runs_written() const;

    struct state;

  private:
    std::unique_ptr<state> s_;
};

// The buffer cap of a new sorter: the environment variable KOV_SORT_MEMORY
// (bytes, or with a suffix k, m or g) when set, otherwise the default; never
// more than a quarter of physical memory nor less than 64 KiB.  A value that
// is not a positive number of bytes that fits a size_t is refused: false,
// with a text naming the variable in *error.
bool kov_sorter_cap(size_t *cap, std::string *error);

#endif
