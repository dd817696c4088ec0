/* SPDX-License-Identifier: MIT */
// The sorter's runs: sorted stretches of records in one nameless temporary
// file, each with a Bloom filter and a sparse index in memory.
//
// Invariants:
//  - Runs lie end to end in the run file, oldest first, from the reserve
//    (reserve_bytes taken at the file's start, given back by a last merge)
//    up to run_file_end; nothing past run_file_end is used.  A merge of runs
//    writes its run past the end, then gives the space of its inputs back.
//  - A run holds each key once, in ascending order; a key in a newer run
//    supersedes the same key in an older one.
//  - A run's filter and index cost about kov_sorter_record_cost bytes per
//    record, outside the cap; it has no filter once that was dropped for a
//    merge, and the run may then hold any key.
//  - The filters of spilled runs of about one size share the run set's
//    filter rows (filter_rows): row b holds block b of each of them, side by
//    side in the order of the runs, so that a lookup reads one row, a page
//    or two, instead of a block at a place of its own in each run.  A run
//    whose records would have less than 14 or more than 20 bits each there,
//    or one merged from others, keeps a filter of its own.  The runs in the rows are always the newest of them: runs
//    are only ever dropped from the end of the list.
//  - In a last merge (release_runs), released[i] is where run i has been
//    given back up to; everything before it was handed out and written.
//  - The run set holds at most one descriptor, run_fd, however many runs.
#ifndef KOV_SORT_RUNS_H
#define KOV_SORT_RUNS_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sort_buffer.h"
#include "sort_record.h"

namespace kov_sort {

struct entry;
struct merger;

// The smallest read buffer of a merge.
constexpr size_t min_read_bytes = 512;

// A run's sparse index has an entry every segment_bytes of the run, so that
// confirming a key reads about this much.
constexpr size_t segment_bytes = 16u << 10;

// Bloom filter: blocks of 512 bits (one cache line), 16 bits per key and 8
// probes within the key's block; about one false positive in 500 lookups.
// A run joins the filter rows when it has from 14 to 20 bits per key there:
// a smaller run would pay for the rows' width in memory, past its share
// per record (kov_sorter_record_cost), and keeps a filter of its own.
constexpr size_t bloom_bits_per_key = 16;
constexpr size_t bloom_min_bits_per_key = 14;
constexpr size_t bloom_max_bits_per_key = 20;
constexpr int bloom_probes = 8;

// The block of n for hash h: a multiplication, where h % n would be a
// division, which costs a lookup as much as its miss of the cache.
inline size_t bloom_block_of(uint64_t h, size_t n)
{
    return static_cast<size_t>((static_cast<unsigned __int128>(h) * n) >> 64);
}

// The bits a key sets in its block, word by word: bloom_probes bits picked
// by mix(h), 9 bits each.  Made once for a lookup in every run's filter,
// they are tested without a branch per bit.
struct bloom_mask {
    uint64_t word[8] = {};

    explicit bloom_mask(uint64_t h)
    {
        uint64_t bits = mix(h);
        for (int i = 0; i < bloom_probes; i++, bits >>= 9)
            word[(bits >> 6) & 7] |= 1ULL << (bits & 63);
    }
};

inline size_t bloom_blocks_for(uint64_t records)
{
    return std::max<size_t>(1, (records * bloom_bits_per_key + 511) / 512);
}

// The run file starts with this much space taken (fallocate) and not used,
// which a last merge gives back first: when runs have filled the disk, the
// database then has room for its first commit, after which the merge gives
// back the runs' space as it goes.
constexpr uint64_t reserve_bytes = 1u << 20;

// A last merge gives back the space of runs in whole pages of this size.
constexpr uint64_t release_align = 4096;

// One sorted run: a stretch of the run file, records end to end in
// ascending key order, one copy per key.  In memory it keeps a Bloom filter
// of its keys (none when it was lost to a failed merge: the run may then
// hold any key) and a sparse index, the offset and first key of every
// segment of about segment_bytes.
struct run {
    uint64_t start = 0;    // offset of its first byte in the run file
    uint64_t bytes = 0;    // its length
    uint64_t records = 0;  // records in it
    int generation = 0;    // 0: spilled; n + 1: merged from runs of n
    // Its filter: bloom_blocks blocks of 8 words, the first at bloom_base,
    // each bloom_stride words after the one before; in own_bloom, or in the
    // filter rows as column `column`.
    uint64_t *bloom_base = nullptr;
    size_t bloom_blocks = 0;  // 0: no filter
    size_t bloom_stride = 8;
    long column = -1;                    // its column in the filter rows, or -1
    std::vector<uint64_t> own_bloom;     // its filter when not in the rows
    std::vector<uint64_t> index_offset;  // offset of each segment's first record
    std::vector<uint32_t> index_key;     // where its key starts in index_keys
    std::string index_keys;              // the segments' first keys, end to end

    uint64_t *bloom_block(uint64_t h) const
    {
        return bloom_base + bloom_block_of(h, bloom_blocks) * bloom_stride;
    }

    // Gives the run a filter of its own for this many records: false when
    // out of memory.
    bool own_filter(uint64_t records)
    {
        try {
            own_bloom.assign(bloom_blocks_for(records) * 8, 0);
        } catch (const std::bad_alloc &) {
            return false;
        }
        bloom_base = own_bloom.data();
        bloom_blocks = own_bloom.size() / 8;
        bloom_stride = 8;
        return true;
    }

    void bloom_add(uint64_t h)
    {
        uint64_t *block = bloom_block(h);
        bloom_mask m(h);
        for (int i = 0; i < 8; i++)
            block[i] |= m.word[i];
    }

    // Brings the filter's block for h into the cache ahead of bloom_add.
    void bloom_prefetch(uint64_t h) const { __builtin_prefetch(bloom_block(h), 1); }

    // m is the mask of h.
    bool bloom_may_hold(uint64_t h, const bloom_mask &m) const
    {
        if (bloom_blocks == 0)
            return true;
        const uint64_t *block = bloom_block(h);
        uint64_t missing = 0;
        for (int i = 0; i < 8; i++)
            missing |= m.word[i] & ~block[i];
        return missing == 0;
    }

    std::string_view index_key_at(size_t i) const
    {
        size_t end = i + 1 < index_key.size() ? index_key[i + 1] : index_keys.size();
        return std::string_view(index_keys).substr(index_key[i], end - index_key[i]);
    }
};

// Writes a run at a given offset of the run file, through a buffer of a
// given size, building its filter and index as the records go by.  Every
// call returns false with errno set on failure; the run is then unfinished
// and its bytes are not counted as used in the file.
struct run_writer {
    int fd = -1;
    run *r = nullptr;
    std::vector<unsigned char> out;
    uint64_t since_index = segment_bytes;

    // The target has its filter, empty, for the records it will hold.
    bool begin(int file, run *target, size_t buffer)
    {
        fd = file;
        r = target;
        try {
            out.reserve(buffer);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            return false;
        }
        return true;
    }

    bool put(const unsigned char *rec)
    {
        rec_view v = view(rec);
        return put(rec, key_hash(v.key, v.key_size));
    }

    // put, given the key_hash of the record's key.
    bool put(const unsigned char *rec, uint64_t hash)
    {
        rec_view v = view(rec);
        size_t size = v.stored();
        if (since_index >= segment_bytes) {
            try {
                r->index_offset.push_back(r->bytes);
                r->index_key.push_back(static_cast<uint32_t>(r->index_keys.size()));
                r->index_keys.append(reinterpret_cast<const char *>(v.key), v.key_size);
            } catch (const std::bad_alloc &) {
                errno = ENOMEM;
                return false;
            }
            since_index = 0;
        }
        r->bloom_add(hash);
        // The file holds every record counted in r->bytes but those still in
        // out, which a record larger than out's capacity has just emptied.
        if (out.size() + size > out.capacity()) {
            if (!flush())
                return false;
        }
        if (size > out.capacity()) {
            if (!transfer_all(true, fd, const_cast<unsigned char *>(rec), size,
                              r->start + r->bytes))
                return false;
        } else {
            out.insert(out.end(), rec, rec + size);
        }
        r->bytes += size;
        since_index += size;
        r->records++;
        return true;
    }

    bool flush()
    {
        if (!transfer_all(true, fd, out.data(), out.size(), r->start + r->bytes - out.size()))
            return false;
        out.clear();
        return true;
    }
};

// Reads a run from its start, one whole record at a time.
struct run_reader {
    int fd = -1;  // the run file
    const run *r = nullptr;
    uint64_t offset = 0;  // offset in the run of buf[0]
    std::vector<unsigned char> buf;
    size_t pos = 0, len = 0;  // current record at pos; bytes in buf

    bool at_end() const { return offset + pos >= r->bytes; }

    // Makes need bytes from pos available.  Returns false with errno set.
    bool fill(size_t need)
    {
        if (len - pos >= need)
            return true;
        if (pos > 0) {
            memmove(buf.data(), buf.data() + pos, len - pos);
            offset += pos;
            len -= pos;
            pos = 0;
        }
        try {
            if (buf.size() < need)
                buf.resize(need);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            return false;
        }
        uint64_t left = r->bytes - offset - len;
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size() - len, left));
        if (len + want < need) {
            errno = EIO;
            return false;
        }
        if (!transfer_all(false, fd, buf.data() + len, want, r->start + offset + len))
            return false;
        len += want;
        return true;
    }

    // Makes the whole current record available from pos.
    bool load()
    {
        if (at_end())
            return true;
        if (!fill(header_bytes))
            return false;
        return fill(view(buf.data() + pos).stored());
    }

    // Whether the record after the current one, of `stored` bytes, lies
    // whole in the buffer already, so that stepping to it moves nothing.
    bool next_in_buffer(size_t stored) const
    {
        size_t at = pos + stored, left = len - at;
        return offset + at >= r->bytes ||
               (left >= header_bytes && left >= view(buf.data() + at).stored());
    }

    bool advance()
    {
        pos += view(buf.data() + pos).stored();
        return load();
    }
};

// The filters of spilled runs, interleaved: row b holds block b of each
// column's filter, the columns side by side.  Every filter in the rows has
// the same number of blocks, set by the first run that joins.
struct filter_rows {
    mapped_array<uint64_t> words;  // rows * columns blocks of 8 words
    size_t rows = 0;               // blocks of each filter
    size_t columns = 0;

    // Adds a column, zeroed, for a run of this many records: false when it
    // holds too many for the rows' filters or memory runs out.
    bool add_column(run *r, uint64_t records);
    // Keeps only the first `keep` columns.
    void keep_columns(size_t keep);
    // Points the filter of a run in the rows at its column.
    void place(run &r) const;

    // Brings the row for h into the cache, ahead of the lookups.
    void prefetch(uint64_t h) const
    {
        if (columns == 0)
            return;
        const char *row =
            reinterpret_cast<const char *>(words.p + bloom_block_of(h, rows) * columns * 8);
        for (size_t i = 0; i < columns; i++)
            __builtin_prefetch(row + i * 64);
    }
};

// The runs of a sorter and their file.
struct run_set {
    int dir = -1;         // directory of the run file, not owned
    size_t io_bytes = 0;  // the share of the cap for write and read buffers
    size_t fan_in = 2;    // most runs a merge reads at once

    int run_fd = -1;                 // the run file, made at the first spill
    uint64_t run_file_end = 0;       // end of the bytes in use
    uint64_t reserve = 0;            // bytes held in reserve at the file's start
    bool release_runs = false;       // the merge is the last one
    std::vector<uint64_t> released;  // per run of the merge: given back up to here
    std::vector<std::unique_ptr<run>> runs;
    uint64_t run_records = 0;            // records in the runs, superseded copies included
    uint64_t spills = 0;                 // runs written from the buffer
    std::vector<unsigned char> scratch;  // segment read by a lookup
    filter_rows filters;                 // the filters of spilled runs of about one size
    pulse beat;                          // called during run writes and merges

    run_set() = default;
    run_set(const run_set &) = delete;
    run_set &operator=(const run_set &) = delete;
    ~run_set() { close_runs(); }

    void close_runs();
    // Writes n sorted entries as a new run.  On failure the partial run is
    // given back and the runs are as they were.
    int write(const entry *entries, size_t n, std::string *error);
    // Merges the newest runs while fan_in of them are of one generation.
    int merge_generations(std::string *error);
    int merge_runs(size_t from, std::string *error);
    // Drops the filters of runs[from ..], which may then hold any key.
    void drop_filters(size_t from);
    void place_filters();
    // Brings the filters' blocks for h into the cache, ahead of find.
    void prefetch(uint64_t h) const
    {
        filters.prefetch(h);
        for (const auto &r : runs)
            if (r->column < 0 && r->bloom_blocks)
                __builtin_prefetch(r->bloom_block(h));
    }
    int open_readers(merger &m, size_t from, size_t buffer);
    // Looks key up in every run: 1 held, 0 not, -1 read error.
    int find(const unsigned char *key, size_t n, uint64_t h, std::string *error);
    // Reads the segment of r where key would be: 1 held, 0 not, -1 read error.
    int find_in_run(const run &r, const unsigned char *key, size_t n, std::string *error);
    int run_write_fail(std::string *error, const char *what, int err);
    // Starts a merge of every run: a last one gives the reserve back and
    // then each run as far as a checkpoint has passed (give_back).
    int begin_merge(bool last, std::string *error);
    void give_back(size_t i, uint64_t mark);
};

}  // namespace kov_sort

#endif
