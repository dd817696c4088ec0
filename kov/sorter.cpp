// SPDX-License-Identifier: MIT
// The kov sorter: a bounded buffer (sort_buffer.h), sorted runs in one
// nameless temporary file (sort_runs.h), large values in another
// (sort_values.h), and a merge of them all in SQLite's BLOB order
// (sort_merge.h).  This unit sizes the parts from the cap and joins them.

#include "sorter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "sort_buffer.h"
#include "sort_merge.h"
#include "sort_record.h"
#include "sort_runs.h"
#include "sort_values.h"

using namespace kov_sort;

namespace {

// Default buffer cap.  A larger buffer spills fewer runs, but on a virtual
// machine the memory it fills may have to be supplied afresh by the host,
// and the runs it saves are cheap: 4 million small records, which 1 GiB
// holds without a run, restore no faster at 1 GiB than at 256 MiB with two
// runs, in a quarter of the memory (bench/RESULTS.md, "scale", the
// "kovrestore 1g cap" row).  256 MiB still holds a million small records
// without a run.  Never more than a quarter of
// physical memory (kov_sorter_cap).
constexpr size_t default_cap = 256u << 20;
constexpr size_t min_cap = 64u << 10;

// The share of the cap kept for the buffers of run writes and merges (a
// sixteenth, between 8 KiB and 16 MiB), which with min_read_bytes bounds
// how many runs one merge reads at once, and the most it reads.
constexpr size_t io_share = 16;
constexpr size_t min_io_bytes = 8u << 10;
constexpr size_t max_io_bytes = 16u << 20;
constexpr size_t max_fan_in = 64;

// Values of at least this many bytes go to the value file, a temporary file
// written with write(), and only their offset to the buffer.  Memory the
// process has not touched before costs more per byte to fill than the
// kernel's cache of a file, where the host may have taken that memory
// back, and reading a value back costs one pread.
constexpr size_t external_value_bytes = 1024;

// The share of the cap for I/O buffers, from the cap.
size_t io_bytes_of(size_t cap)
{
    return std::clamp<size_t>(cap / io_share, min_io_bytes, max_io_bytes);
}

}  // namespace

// Everything a sorter holds: what counts against the cap is the buffer and
// the runs' share for I/O (io_bytes); the runs' filters and indexes, the
// value file's two staging buffers and a few times the largest record lie
// outside it.
struct kov_sorter::state {
    int dir;          // directory of the temporary files, not owned
    size_t io_bytes;  // the share of the cap for run writes and merges
    sort_buffer buffer;
    run_set runs;
    std::unique_ptr<value_file> values;  // made for the first large value
    merger merge;                        // the merge handing out records

    state(int dir, size_t cap)
        : dir(dir), io_bytes(io_bytes_of(cap)),
          buffer(cap, cap > 2 * io_bytes ? cap - io_bytes : cap / 2)
    {
        runs.dir = dir;
        runs.io_bytes = io_bytes;
        runs.fan_in = std::clamp<size_t>(io_bytes / min_read_bytes - 1, 2, max_fan_in);
    }

    // Sorts the buffer and writes it as a new run, then merges the newest
    // runs while fan_in of them are of one generation.  On failure the
    // buffer is as it was and the partial run is gone; a failed merge of
    // runs leaves them as they were, all held.
    int spill(std::string *error)
    {
        merge = merger();
        buffer.sort_entries();
        if (runs.write(buffer.entries.begin(), buffer.entries.size(), error))
            return -1;
        buffer.reset();
        return runs.merge_generations(error);
    }

    // Puts a large value in the value file: *offset is where, and *external
    // false when it must be buffered instead.  -1 when out of memory.
    int put_value(const unsigned char *value, size_t n, uint64_t *offset, bool *external,
                  std::string *error)
    {
        if (!values)
            values.reset(new (std::nothrow) value_file);
        if (!values || !values->reserve_out(n))
            return no_memory(error);
        *external = values->append(dir, value, n, offset);
        return 0;
    }
};

kov_sorter::kov_sorter(int dir, size_t cap) : s_(new state(dir, cap)) {}

kov_sorter::~kov_sorter() = default;

uint64_t kov_sorter::size() const
{
    return s_->runs.run_records + s_->buffer.entries.size();
}

void kov_sorter::set_pulse(void (*fn)(void *), void *ctx)
{
    pulse beat;
    beat.fn = fn;
    beat.ctx = fn ? ctx : nullptr;
    s_->buffer.beat = beat;
    s_->runs.beat = beat;
}

uint64_t kov_sorter::runs_written() const
{
    return s_->runs.spills;
}

int kov_sorter::contains(const unsigned char *key, size_t key_size, std::string *error)
{
    sort_buffer &b = s_->buffer;
    uint64_t h = key_hash(key, key_size);
    if (!b.entries.empty()) {
        if (!b.table_valid && !b.rebuild_table(b.table.size()))
            return no_memory(error);
        bool found;
        b.probe(key, key_size, h, &found);
        if (found)
            return 1;
    }
    return s_->runs.find(key, key_size, h, error);
}

int kov_sorter::add(const unsigned char *key, size_t key_size, const unsigned char *value,
                    size_t value_size, bool must_be_new, std::string *error)
{
    state &s = *s_;
    sort_buffer &b = s.buffer;
    uint64_t h = key_hash(key, key_size);
    if (!b.ready())
        return no_memory(error);
    // The runs' filters are looked up after the buffer's table, each a miss
    // of the cache: fetched now, they come in while the table is probed.
    if (must_be_new)
        s.runs.prefetch(h);
    bool found = false;
    if (!b.entries.empty())
        b.probe(key, key_size, h, &found);
    if (found && must_be_new)
        return 1;
    if (!found && must_be_new) {
        if (int rc = s.runs.find(key, key_size, h, error))
            return rc;
    }
    uint64_t offset = 0;
    bool external = false;
    if (value_size >= external_value_bytes &&
        s.put_value(value, value_size, &offset, &external, error))
        return -1;
    size_t rec = header_bytes + key_size + (external ? ref_bytes : value_size);
    size_t bucket = b.bucket_of(key_prefix(key, key_size));
    if (b.must_spill(rec, bucket) && s.spill(error))
        return -1;
    unsigned char *p = b.place(rec, bucket);
    if (!p)
        return no_memory(error);
    put_record(p, key, key_size, external ? reinterpret_cast<unsigned char *>(&offset) : value,
               value_size, external);
    b.insert(key, key_size, h, p, rec);
    return 0;
}

int kov_sorter::merge_begin(bool last, std::string *error)
{
    state &s = *s_;
    if (s.values) {
        // A chunk still being written would fill again the pieces a last
        // merge gives back.  One that failed stays readable where it is.
        s.values->drain();
        s.values->release_pieces = last;
        s.values->handed_out.clear();
    }
    s.merge.readers.clear();
    // The buffer takes no more records until the merge ends.
    s.buffer.stop_faulting();
    if (s.runs.begin_merge(last, error))
        return -1;
    s.buffer.sort_entries();
    size_t buffer = std::clamp<size_t>(s.io_bytes / std::max<size_t>(s.runs.runs.size(), 1),
                                       min_read_bytes, max_write);
    if (s.runs.open_readers(s.merge, 0, buffer))
        return no_memory(error);
    s.merge.mem = s.buffer.entries.begin();
    s.merge.mem_size = s.buffer.entries.size();
    if (!s.merge.start())
        return errno == ENOMEM ? no_memory(error)
                               : sys_fail(error, "reading a temporary run", errno);
    return 0;
}

int kov_sorter::merge_next(const unsigned char **key, size_t *key_size, const unsigned char **value,
                           size_t *value_size, uint64_t *consumed, std::string *error)
{
    state &s = *s_;
    rec_view best;
    int got;
    do
        got = s.merge.next(&best);
    while (got > 0 && best.external && s.values->dropped);
    if (got < 0)
        return sys_fail(error, "reading a temporary run", errno);
    if (got == 0) {
        *consumed = s.merge.consumed;
        return 0;
    }
    const unsigned char *v = best.external ? s.values->read(best) : best.value;
    if (!v)
        return sys_fail(error, "reading a temporary file", errno);
    *key = best.key;
    *key_size = best.key_size;
    *value = v;
    *value_size = best.value_size;
    *consumed = s.merge.consumed + 1;
    return 1;
}

int kov_sorter::merge_checkpoint(std::string *error)
{
    state &s = *s_;
    if (!s.merge.checkpoint())
        return sys_fail(error, "reading a temporary run", errno);
    if (s.values)
        s.values->settle();
    if (s.runs.release_runs) {
        for (size_t i = 0; i < s.merge.readers.size(); i++)
            s.runs.give_back(i, s.merge.mark_at[i]);
    }
    return 0;
}

int kov_sorter::merge_drop(uint64_t *freed, std::string *error)
{
    state &s = *s_;
    run_set &rs = s.runs;
    if (!rs.release_runs)
        return 0;
    // The run, or the value file, that takes the most space.
    size_t pick = s.merge.readers.size();
    uint64_t most = s.values ? s.values->on_disk() : 0;
    for (size_t i = 0; i < s.merge.readers.size(); i++) {
        uint64_t left = rs.runs[i]->start + rs.runs[i]->bytes - rs.released[i];
        if (s.merge.mark_at[i] < rs.runs[i]->bytes && left > most) {
            pick = i;
            most = left;
        }
    }
    if (most == 0)
        return 0;
    if (pick < s.merge.readers.size()) {
        fallocate(rs.run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(rs.released[pick]), static_cast<off_t>(most));
        rs.released[pick] += most;
        s.merge.mark_at[pick] = rs.runs[pick]->bytes;
    } else {
        if (ftruncate(s.values->fd, 0) != 0)
            return sys_fail(error, "giving back a temporary file", errno);
        s.values->dropped = true;
        s.values->handed_out.clear();
    }
    *freed = most;
    if (!s.merge.rewind())
        return sys_fail(error, "reading a temporary run", errno);
    return 1;
}

int kov_sorter::merge_rewind(std::string *error)
{
    state &s = *s_;
    if (s.values)
        s.values->handed_out.clear();
    if (!s.merge.rewind())
        return sys_fail(error, "reading a temporary run", errno);
    return 0;
}

void kov_sorter::clear()
{
    state &s = *s_;
    s.merge = merger();
    s.runs.close_runs();
    s.buffer.stop_faulting();
    s.buffer.reset();
    s.runs.scratch.clear();
    s.runs.scratch.shrink_to_fit();
    s.values.reset();
}

bool kov_sorter_cap(size_t *cap, std::string *error)
{
    *cap = default_cap;
    if (const char *env = getenv("KOV_SORT_MEMORY")) {
        // Digits only, then at most a suffix: strtoull alone would take a
        // sign, leading spaces, or nothing at all.
        const char *end = env;
        while (*end >= '0' && *end <= '9')
            end++;
        int shift = 0;
        switch (*end) {
        case 'k':
        case 'K': shift = 10; break;
        case 'm':
        case 'M': shift = 20; break;
        case 'g':
        case 'G': shift = 30; break;
        default: break;
        }
        errno = 0;
        unsigned long long n = end > env ? strtoull(env, nullptr, 10) : 0;
        bool valid = end > env && end[shift ? 1 : 0] == '\0' && errno == 0 && n > 0 &&
                     n <= (SIZE_MAX >> shift);
        if (!valid) {
            *error = std::string("KOV_SORT_MEMORY: \"") + env +
                     "\" is not a size (a number of bytes above 0 that fits in memory, "
                     "optionally followed by k, m or g)";
            return false;
        }
        *cap = static_cast<size_t>(n) << shift;
    }
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0)
        *cap = std::min<size_t>(*cap, static_cast<size_t>(pages) / 4 * static_cast<size_t>(page));
    *cap = std::max(*cap, min_cap);
    return true;
}
