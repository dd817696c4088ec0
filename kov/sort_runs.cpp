// SPDX-License-Identifier: MIT
// The sorter's runs: writing, merging, looking up and giving back runs in
// their one temporary file.

#include "sort_runs.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "sort_buffer.h"
#include "sort_merge.h"

namespace kov_sort {

bool transfer_all(bool write, int fd, unsigned char *p, size_t size, uint64_t offset)
{
    while (size > 0) {
        off_t at = static_cast<off_t>(offset);
        ssize_t n = write ? pwrite(fd, p, std::min(size, max_write), at) : pread(fd, p, size, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

int nameless_file(int dir)
{
    int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    static thread_local unsigned serial = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        std::string name = ".kov-run-" + std::to_string(getpid()) + "-" + std::to_string(serial++) +
                           "-" + std::to_string(now.tv_nsec);
        fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            unlinkat(dir, name.c_str(), 0);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool filter_rows::add_column(run *r, uint64_t records)
{
    if (columns == 0)
        rows = bloom_blocks_for(records);
    else if (records * bloom_min_bits_per_key > rows * 512 ||
             records * bloom_max_bits_per_key < rows * 512)
        return false;
    size_t width = columns + 1;
    if (!words.reserve(rows * width * 8))
        return false;
    // Row b moves from b * columns blocks to b * width: the last row first,
    // so that none is overwritten before it has moved.
    for (size_t b = rows; b-- > 0;) {
        uint64_t *to = words.p + b * width * 8;
        memmove(to, words.p + b * columns * 8, columns * 64);
        memset(to + columns * 8, 0, 64);
    }
    words.n = rows * width * 8;
    r->column = static_cast<long>(columns);
    columns = width;
    return true;
}

void filter_rows::keep_columns(size_t keep)
{
    if (keep >= columns)
        return;
    for (size_t b = 0; b < rows; b++)
        memmove(words.p + b * keep * 8, words.p + b * columns * 8, keep * 64);
    columns = keep;
    words.shrink(rows * keep * 8);
}

void filter_rows::place(run &r) const
{
    if (r.column >= 0) {
        r.bloom_base = words.p + r.column * 8;
        r.bloom_blocks = rows;
        r.bloom_stride = columns * 8;
    }
}

void run_set::place_filters()
{
    for (const auto &r : runs)
        filters.place(*r);
}

void run_set::drop_filters(size_t from)
{
    size_t keep = filters.columns;
    for (size_t i = from; i < runs.size(); i++) {
        run &r = *runs[i];
        if (r.column >= 0)
            keep = std::min(keep, static_cast<size_t>(r.column));
        r.column = -1;
        r.bloom_blocks = 0;
        r.bloom_base = nullptr;
        std::vector<uint64_t>().swap(r.own_bloom);
    }
    filters.keep_columns(keep);
    place_filters();
}

void run_set::close_runs()
{
    runs.clear();
    filters.keep_columns(0);
    run_records = 0;
    run_file_end = 0;
    reserve = 0;
    if (run_fd >= 0)
        close(run_fd);
    run_fd = -1;
}

int run_set::write(const entry *entries, size_t n, std::string *error)
{
    if (run_fd < 0) {
        if ((run_fd = nameless_file(dir)) < 0)
            return sys_fail(error, "creating a temporary run", errno);
        if (fallocate(run_fd, 0, 0, static_cast<off_t>(reserve_bytes)) == 0)
            run_file_end = reserve = reserve_bytes;
    }
    auto r = std::make_unique<run>();
    r->start = run_file_end;
    if (filters.add_column(r.get(), n)) {
        place_filters();
        filters.place(*r);
    } else if (!r->own_filter(n)) {
        return no_memory(error);
    }
    // A run that fails gives its column back.
    auto fail = [&](const char *what, int err) {
        if (r->column >= 0) {
            filters.keep_columns(static_cast<size_t>(r->column));
            place_filters();
        }
        return run_write_fail(error, what, err);
    };
    run_writer w;
    if (!w.begin(run_fd, r.get(), std::min(io_bytes, max_write)))
        return fail("", ENOMEM);
    // The records lie in the buffer in the order they arrived, and each key
    // sets bits in a block of the filter picked by its hash: taken in key
    // order, both are misses of the cache, which cost a spilling restore
    // more than the rest of the run's writing.  So the keys a few entries
    // ahead are hashed and their blocks fetched, and the records further
    // ahead, while the earlier records are written.
    constexpr size_t ahead = 8;
    uint64_t hashes[ahead];
    auto hash_ahead = [&](size_t i) {
        rec_view v = view(entries[i].rec);
        uint64_t h = key_hash(v.key, v.key_size);
        r->bloom_prefetch(h);
        return h;
    };
    for (size_t i = 0; i < std::min(n, ahead); i++)
        hashes[i] = hash_ahead(i);
    for (size_t i = 0; i < n; i++) {
        uint64_t h = hashes[i % ahead];
        if (i + ahead < n)
            hashes[i % ahead] = hash_ahead(i + ahead);
        if (i + 2 * ahead < n)
            __builtin_prefetch(entries[i + 2 * ahead].rec);
        if (!w.put(entries[i].rec, h))
            return fail("writing a temporary run", errno);
        if (i % pulse_records == pulse_records - 1)
            beat();
    }
    if (!w.flush())
        return fail("writing a temporary run", errno);
    try {
        runs.reserve(runs.size() + 1);
    } catch (const std::bad_alloc &) {
        return fail("", ENOMEM);
    }
    run_file_end += r->bytes;
    run_records += r->records;
    runs.push_back(std::move(r));
    spills++;
    return 0;
}

int run_set::merge_generations(std::string *error)
{
    while (runs.size() >= fan_in) {
        size_t from = runs.size() - fan_in;
        if (runs[from]->generation != runs.back()->generation)
            break;
        if (merge_runs(from, error))
            return -1;
    }
    return 0;
}

int run_set::find(const unsigned char *key, size_t n, uint64_t h, std::string *error)
{
    bloom_mask m(h);
    for (const auto &r : runs) {
        if (!r->bloom_may_hold(h, m))
            continue;
        int rc = find_in_run(*r, key, n, error);
        if (rc)
            return rc;
    }
    return 0;
}

int run_set::begin_merge(bool last, std::string *error)
{
    release_runs = last;
    if (last && reserve) {
        fallocate(run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                  static_cast<off_t>(reserve));
        reserve = 0;
    }
    // With the buffer, at most fan_in + 1 sources.  A last merge that finds
    // no room for a merged run reads every run at once instead: a few more
    // small read buffers rather than records lost.
    while (runs.size() > fan_in) {
        if (merge_runs(runs.size() - std::min(fan_in, runs.size() - fan_in + 1), error)) {
            if (!last || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG))
                return -1;
            break;
        }
    }
    try {
        released.clear();
        for (const auto &r : runs)
            released.push_back(r->start);
    } catch (const std::bad_alloc &) {
        return no_memory(error);
    }
    return 0;
}

void run_set::give_back(size_t i, uint64_t mark)
{
    uint64_t upto = (runs[i]->start + mark) / release_align * release_align;
    if (upto > released[i]) {
        fallocate(run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(released[i]), static_cast<off_t>(upto - released[i]));
        released[i] = upto;
    }
}

// Fails a run write that err ended ("out of memory" for ENOMEM), giving
// back what the unfinished run took of the file; errno stays err.
int run_set::run_write_fail(std::string *error, const char *what, int err)
{
    if (ftruncate(run_fd, static_cast<off_t>(run_file_end)) != 0) {
        // The space stays taken until the file is closed.
    }
    errno = err;
    if (err == ENOMEM)
        return no_memory(error);
    return sys_fail(error, what, err);
}

// Makes m read runs[from ..], each through a buffer of the given size.
int run_set::open_readers(merger &m, size_t from, size_t buffer)
{
    m.readers.clear();
    try {
        m.readers.resize(runs.size() - from);
        for (size_t i = from; i < runs.size(); i++) {
            run_reader &rd = m.readers[i - from];
            rd.fd = run_fd;
            rd.r = runs[i].get();
            rd.buf.resize(buffer);
        }
    } catch (const std::bad_alloc &) {
        m.readers.clear();
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

// Merges runs[from ..] into one run of the next generation, written after
// the last, and gives their space back.  Their filters are dropped first:
// nothing looks keys up during the merge, and the merged run's filter takes
// their place, so the filters never take more than their share per record.
// On failure the runs stay, held and found without filters.
int run_set::merge_runs(size_t from, std::string *error)
{
    uint64_t records = 0;
    int generation = 0;
    for (size_t i = from; i < runs.size(); i++) {
        records += runs[i]->records;
        generation = std::max(generation, runs[i]->generation + 1);
    }
    drop_filters(from);
    size_t buffer = std::max<size_t>(io_bytes / (runs.size() - from + 1), min_read_bytes);
    merger m;
    auto merged = std::make_unique<run>();
    merged->start = run_file_end;
    merged->generation = generation;
    run_writer w;
    if (open_readers(m, from, buffer) || !merged->own_filter(records) ||
        !w.begin(run_fd, merged.get(), buffer) || !m.start())
        return errno == ENOMEM ? no_memory(error)
                               : sys_fail(error, "reading a temporary run", errno);
    for (;;) {
        rec_view v;
        int got = m.next(&v);
        if (got < 0)
            return sys_fail(error, "reading a temporary run", errno);
        if (got == 0)
            break;
        if (!w.put(v.key - header_bytes))
            return run_write_fail(error, "writing a temporary run", errno);
        if (merged->records % pulse_records == 0)
            beat();
    }
    if (!w.flush())
        return run_write_fail(error, "writing a temporary run", errno);
    for (size_t i = from; i < runs.size(); i++)
        fallocate(run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(runs[i]->start), static_cast<off_t>(runs[i]->bytes));
    run_records -= records - merged->records;
    run_file_end += merged->bytes;
    runs.resize(from);
    runs.push_back(std::move(merged));
    return 0;
}

// Looks key up in one run whose filter may hold it, reading the segment
// where it would be: 1 held, 0 not, -1 read error.
int run_set::find_in_run(const run &r, const unsigned char *key, size_t n, std::string *error)
{
    // The last segment whose first key is not above key.
    size_t lo = 0, hi = r.index_offset.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        std::string_view k = r.index_key_at(mid);
        if (key_cmp(reinterpret_cast<const unsigned char *>(k.data()), k.size(), key, n) <= 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return 0;
    size_t seg = lo - 1;
    uint64_t start = r.index_offset[seg];
    uint64_t end = seg + 1 < r.index_offset.size() ? r.index_offset[seg + 1] : r.bytes;
    try {
        scratch.resize(static_cast<size_t>(end - start));
    } catch (const std::bad_alloc &) {
        *error = "out of memory";
        return -1;
    }
    if (!transfer_all(false, run_fd, scratch.data(), scratch.size(), r.start + start))
        return sys_fail(error, "reading a temporary run", errno);
    for (size_t pos = 0; pos + header_bytes <= scratch.size();) {
        rec_view v = view(scratch.data() + pos);
        int c = key_cmp(v.key, v.key_size, key, n);
        if (c == 0)
            return 1;
        if (c > 0)
            return 0;
        pos += v.stored();
    }
    return 0;
}

}  // namespace kov_sort
