// SPDX-License-Identifier: MIT
// The kov sorter: bounded buffer, sorted runs in nameless temporary files,
// exact membership tests and a merge in SQLite's BLOB order.

#include "sorter.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <new>
#include <string_view>
#include <vector>

namespace {

// Default buffer cap, measured in bench/RESULTS.md ("Write order").  A
// restore that spills writes every byte of the buffer to a run and reads it
// back: 1 GiB holds 4 million small records without a run, which made that
// restore 40% faster than with 256 MiB.  (Values of 1 KiB or more have
// gone to the value file since, so they no longer fill the buffer.)  A
// larger cap only matters to larger dumps, whose runs are few and long.
// Never more than a quarter of physical memory (kov_sorter_cap).
constexpr size_t default_cap = 1u << 30;
constexpr size_t min_cap = 64u << 10;

// The share of the cap kept for the buffers of run writes and merges (a
// sixteenth, between 8 KiB and 16 MiB), the smallest read buffer of a merge,
// which bounds how many runs one merge reads at once, and the most it reads.
constexpr size_t io_share = 16;
constexpr size_t min_io_bytes = 8u << 10;
constexpr size_t max_io_bytes = 16u << 20;
constexpr size_t min_read_bytes = 512;
constexpr size_t max_fan_in = 64;

// The fewest entries the buffer's index grows by.
constexpr size_t min_entry_growth = 64;

// A run's sparse index has an entry every segment_bytes of the run, so that
// confirming a key reads about this much.
constexpr size_t segment_bytes = 16u << 10;

// Bloom filter: blocks of 512 bits (one cache line), 16 bits per key and 8
// probes within the key's block; about one false positive in 500 lookups.
constexpr size_t bloom_bits_per_key = 16;
constexpr int bloom_probes = 8;

// Record header in the buffer and in runs: key size, value size (native
// 32-bit words).  The top bit of the key size marks a buffered record that a
// later copy replaced.  The top bit of the value size marks a value kept in
// the value file: the record then holds its 8-byte offset there instead.
constexpr uint32_t dead_bit = 0x80000000u;
constexpr uint32_t external_bit = 0x80000000u;
constexpr size_t header_bytes = 8;
constexpr size_t ref_bytes = 8;

// Values of at least this many bytes go to the value file, a temporary file
// written with write(), and only their offset to the buffer.  Memory the
// process has not touched before costs more per byte to fill than the
// kernel's cache of a file (bench/RESULTS.md, "Values in a file"), and
// reading a value back costs one pread.
constexpr size_t external_value_bytes = 1024;

// The value file takes at most this share of the space free on its file
// system when it is created, so that the database still finds room: it only
// saves time, and values that do not go there are buffered as small ones.
constexpr uint64_t value_file_share = 4;

// Values bound for the value file are gathered in a buffer of this size and
// written together.
constexpr size_t staging_bytes = 256u << 10;

// A last merge gives the value file's space back in pieces of this size,
// each once every value in it has been handed out: the pages the kernel
// frees are the ones it fills next with the database, which costs less than
// fresh pages, and the disk never holds the data twice over.  Values stored
// in key order free their pieces as the merge goes; in random order, most
// pieces come free near the end.
constexpr uint64_t piece_bytes = 1u << 20;

// The run file starts with this much space taken (fallocate) and not used,
// which a last merge gives back first: when runs have filled the disk, the
// database then has room for its first commit, after which the merge gives
// back the runs' space as it goes.
constexpr uint64_t reserve_bytes = 1u << 20;

// A last merge gives back the space of runs in whole pages of this size.
constexpr uint64_t release_align = 4096;

// Orders keys as SQLite orders BLOBs.
int key_cmp(const unsigned char *a, size_t an, const unsigned char *b, size_t bn)
{
    size_t n = std::min(an, bn);
    int c = n ? memcmp(a, b, n) : 0;
    if (c)
        return c;
    return an < bn ? -1 : an > bn ? 1 : 0;
}

uint64_t load64(const unsigned char *p)
{
    uint64_t x;
    memcpy(&x, p, 8);
    return x;
}

uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t key_hash(const unsigned char *p, size_t n)
{
    uint64_t h = 0x6b6f7631ULL ^ (n * 0x9e3779b97f4a7c15ULL);
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        h = (h ^ load64(p + i)) * 0x9e3779b97f4a7c15ULL + (h >> 29);
    uint64_t tail = 0;
    if (i < n)
        memcpy(&tail, p + i, n - i);
    return mix(h ^ tail);
}

// The first eight key bytes as a big-endian number, zero-padded: comparing
// prefixes orders keys as key_cmp does, except between equal prefixes.
uint64_t key_prefix(const unsigned char *p, size_t n)
{
    uint64_t x = 0;
    for (size_t i = 0; i < 8; i++)
        x = (x << 8) | (i < n ? p[i] : 0);
    return x;
}

struct rec_view {
    const unsigned char *key;
    size_t key_size;
    const unsigned char *value;  // the value, or its offset in the value file
    size_t value_size;
    bool external;

    // Bytes of the record in the buffer or a run.
    size_t stored() const { return header_bytes + key_size + (external ? ref_bytes : value_size); }
};

rec_view view(const unsigned char *rec)
{
    uint32_t ks, vs;
    memcpy(&ks, rec, 4);
    memcpy(&vs, rec + 4, 4);
    ks &= ~dead_bit;
    bool external = vs & external_bit;
    return {rec + header_bytes, ks, rec + header_bytes + ks, vs & ~external_bit, external};
}

bool is_dead(const unsigned char *rec)
{
    uint32_t ks;
    memcpy(&ks, rec, 4);
    return ks & dead_bit;
}

void set_dead(unsigned char *rec)
{
    uint32_t ks;
    memcpy(&ks, rec, 4);
    ks |= dead_bit;
    memcpy(rec, &ks, 4);
}

int no_memory(std::string *error)
{
    *error = "out of memory";
    errno = ENOMEM;
    return -1;
}

int sys_fail(std::string *error, const char *what, int err)
{
    *error = std::string(what) + ": " + strerror(err);
    errno = err;
    return -1;
}

// Writes go to the kernel 1 MiB at a time.  A single write of 2 MiB or more
// lets the page cache take 2 MiB pages, which come from the memory blocks the
// system has left idle longest; on a virtual machine those are the blocks
// given back to the host, and touching them again cost about 2 ns a byte
// (writing 400 MiB of large values took 0.77 s in 2 MiB writes, 0.05 s in
// 1 MiB writes).
constexpr size_t max_write = size_t{1} << 20;

// Writes (write) or reads exactly size bytes at offset; a read that meets
// the end of the file fails with EIO.
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

// A temporary file in the directory dir (a descriptor) with no name, or -1
// with errno set.  Where the file system cannot make a nameless file, a
// named one is unlinked at once.
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

// One sorted run: a stretch of the run file, records end to end in
// ascending key order, one copy per key.  In memory it keeps a Bloom filter
// of its keys (empty when it was lost to a failed merge: the run may then
// hold any key) and a sparse index, the offset and first key of every
// segment of about segment_bytes.
struct run {
    uint64_t start = 0;                  // offset of its first byte in the run file
    uint64_t bytes = 0;                  // its length
    uint64_t records = 0;                // records in it
    int generation = 0;                  // 0: spilled; n + 1: merged from runs of n
    std::vector<uint64_t> bloom;         // 8 words per 512-bit block
    std::vector<uint64_t> index_offset;  // offset of each segment's first record
    std::vector<uint32_t> index_key;     // where its key starts in index_keys
    std::string index_keys;              // the segments' first keys, end to end

    size_t bloom_blocks() const { return bloom.size() / 8; }

    void bloom_add(uint64_t h)
    {
        uint64_t *block = &bloom[(h % bloom_blocks()) * 8];
        uint64_t bits = mix(h);
        for (int i = 0; i < bloom_probes; i++, bits >>= 9)
            block[(bits >> 6) & 7] |= 1ULL << (bits & 63);
    }

    bool bloom_may_hold(uint64_t h) const
    {
        if (bloom.empty())
            return true;
        const uint64_t *block = &bloom[(h % bloom_blocks()) * 8];
        uint64_t bits = mix(h);
        for (int i = 0; i < bloom_probes; i++, bits >>= 9)
            if (!(block[(bits >> 6) & 7] & (1ULL << (bits & 63))))
                return false;
        return true;
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

    // records is the most the run will hold, which sizes its filter.
    bool begin(int file, run *target, uint64_t records, size_t buffer)
    {
        fd = file;
        r = target;
        size_t blocks = std::max<size_t>(1, (records * bloom_bits_per_key + 511) / 512);
        try {
            r->bloom.assign(blocks * 8, 0);
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
        r->bloom_add(key_hash(v.key, v.key_size));
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

// The value file: large values end to end, the last ones still in staged.
// Records in the buffer and in runs hold their offset in it.
struct value_file {
    int fd = -1;
    uint64_t bytes = 0;   // its length, staged bytes included
    uint64_t limit = 0;   // the most it may hold
    bool closed = false;  // no more values go there
    bool dropped = false;  // given back whole: the merge skips its records
    uint64_t given_back = 0;  // bytes of the pieces given back
    std::vector<unsigned char> staged;
    // A value handed out by the merge: room for the largest value in the
    // file, taken when the value is stored so that the merge cannot run out
    // of it.
    std::unique_ptr<unsigned char[]> out;
    size_t out_size = 0;
    std::vector<uint32_t> piece_left;  // bytes of values not handed out, per piece
    bool release_pieces = false;       // the merge is the last one
    // Values handed out since the merge's last checkpoint: their bytes are
    // counted off their pieces only at the next one, since a merge that
    // goes back to the checkpoint reads them again.
    std::vector<std::pair<uint64_t, uint32_t>> handed_out;

    ~value_file()
    {
        if (fd >= 0)
            close(fd);
    }

    // Makes room in out for a value of n bytes.  Not zeroed: only the pages
    // a merge reads into are ever touched.
    bool reserve_out(size_t n)
    {
        if (n <= out_size)
            return true;
        unsigned char *room = new (std::nothrow) unsigned char[n];
        if (!room)
            return false;
        out.reset(room);
        out_size = n;
        return true;
    }

    // Writes the staged values.  On failure they stay staged.
    bool flush()
    {
        if (staged.empty())
            return true;
        if (!transfer_all(true, fd, staged.data(), staged.size(), bytes - staged.size()))
            return false;
        staged.clear();
        return true;
    }

    // Appends a value to the file, made in dir at the first call, and sets
    // *offset to where it starts.  Returns false when the value must be
    // buffered instead: the file is full or cannot be made or written.
    // After a failure no more values go there; what it holds, or still has
    // staged, stays readable.
    bool append(int dir, const unsigned char *v, size_t n, uint64_t *offset)
    {
        if (closed)
            return false;
        if (fd < 0) {
            struct statvfs st;
            fd = nameless_file(dir);
            if (fd < 0 || fstatvfs(fd, &st) != 0)
                return closed = true, false;
            limit = static_cast<uint64_t>(st.f_bavail) * st.f_frsize / value_file_share;
            try {
                staged.reserve(staging_bytes);
            } catch (const std::bad_alloc &) {
                return closed = true, false;
            }
        }
        if (bytes + n > limit || (staged.size() + n > staging_bytes && !flush()))
            return closed = true, false;
        // Counted before the write: a count left too high only keeps a
        // piece from being given back.
        try {
            piece_left.resize((bytes + n + piece_bytes - 1) / piece_bytes);
        } catch (const std::bad_alloc &) {
            return closed = true, false;
        }
        for_pieces(bytes, n, [this](uint64_t p, uint32_t b) { piece_left[p] += b; });
        if (n > staging_bytes) {
            // Written from the caller's memory, not copied first.
            if (!transfer_all(true, fd, const_cast<unsigned char *>(v), n, bytes))
                return closed = true, false;
        } else {
            staged.insert(staged.end(), v, v + n);
        }
        *offset = bytes;
        bytes += n;
        return true;
    }

    // The value of a record that holds an offset: still staged, or read
    // back into out.  Returns nullptr with errno set on a read error.
    // Staged values are read where they are, so that a merge needs no write
    // to the file, which may be what failed.
    const unsigned char *read(const rec_view &v)
    {
        uint64_t offset;
        memcpy(&offset, v.value, ref_bytes);
        uint64_t staged_from = bytes - staged.size();
        if (offset >= staged_from)
            return staged.data() + (offset - staged_from);
        if (!transfer_all(false, fd, out.get(), v.value_size, offset))
            return nullptr;
        if (release_pieces) {
            try {
                handed_out.emplace_back(offset, static_cast<uint32_t>(v.value_size));
            } catch (const std::bad_alloc &) {
                // Its piece is then never given back.
            }
        }
        return out.get();
    }

    // Counts the values handed out since the last checkpoint off their
    // pieces, and gives back each piece that no value still needs.
    void settle()
    {
        for (const auto &[offset, size] : handed_out) {
            for_pieces(offset, size, [this](uint64_t p, uint32_t b) {
                if ((piece_left[p] -= b) == 0) {
                    fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                              static_cast<off_t>(p * piece_bytes), piece_bytes);
                    given_back += piece_bytes;
                }
            });
        }
        handed_out.clear();
    }

    // Bytes of values the file still takes on the disk.
    uint64_t on_disk() const
    {
        uint64_t written = bytes - staged.size();
        return dropped || given_back >= written ? 0 : written - given_back;
    }

    // Calls f(piece, bytes) for each piece that [offset, offset + n) meets.
    template <class F>
    static void for_pieces(uint64_t offset, uint64_t n, F f)
    {
        while (n > 0) {
            uint64_t piece = offset / piece_bytes;
            uint64_t here = std::min(n, (piece + 1) * piece_bytes - offset);
            f(piece, static_cast<uint32_t>(here));
            offset += here;
            n -= here;
        }
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

    bool advance()
    {
        pos += view(buf.data() + pos).stored();
        return load();
    }
};

// Anonymous memory from mmap, with transparent huge pages where the kernel
// gives them on request: filling hundreds of MiB one 4 KiB page fault at a
// time cost a restore more than sorting it.  Fresh memory reads as zeros.
void *map_memory(size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (size >= (2u << 20))
        madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void unmap_memory(void *p, size_t size)
{
    if (p)
        munmap(p, size);
}

// A growable array of trivially copyable T in mapped memory.
template <class T>
struct mapped_array {
    T *p = nullptr;
    size_t n = 0;    // elements in use
    size_t cap = 0;  // elements mapped

    mapped_array() = default;
    mapped_array(const mapped_array &) = delete;
    mapped_array &operator=(const mapped_array &) = delete;
    ~mapped_array() { unmap_memory(p, cap * sizeof(T)); }

    bool reserve(size_t c)
    {
        if (c <= cap)
            return true;
        // Moving the pages needs no room for a copy.
        T *q;
        if (p) {
            void *m = mremap(p, cap * sizeof(T), c * sizeof(T), MREMAP_MAYMOVE);
            if (m == MAP_FAILED)
                return false;
            q = static_cast<T *>(m);
        } else if (!(q = static_cast<T *>(map_memory(c * sizeof(T))))) {
            return false;
        }
        p = q;
        cap = c;
        return true;
    }
    // Replaces the contents with c zeroed elements.
    bool assign_zero(size_t c)
    {
        if (c != cap) {
            unmap_memory(p, cap * sizeof(T));
            p = static_cast<T *>(map_memory(c * sizeof(T)));
            cap = p ? c : 0;
            n = cap;
            return p != nullptr;
        }
        memset(static_cast<void *>(p), 0, c * sizeof(T));
        n = c;
        return true;
    }
    void release()
    {
        unmap_memory(p, cap * sizeof(T));
        p = nullptr;
        n = cap = 0;
    }
    T *begin() { return p; }
    T *end() { return p + n; }
    T &operator[](size_t i) { return p[i]; }
    size_t size() const { return n; }
    bool empty() const { return n == 0; }
};

struct entry {
    uint64_t prefix;     // key_prefix of the key
    unsigned char *rec;  // header, key and value in the buffer
};

bool entry_less(const entry &a, const entry &b)
{
    if (a.prefix != b.prefix)
        return a.prefix < b.prefix;
    rec_view x = view(a.rec), y = view(b.rec);
    return key_cmp(x.key, x.key_size, y.key, y.key_size) < 0;
}

// Merges sorted sources through a binary heap: runs, read through their
// readers, oldest first, and optionally the sorted buffer as the newest
// source.  Each record handed out is the smallest key left, in the copy of
// the newest source that holds it; older copies of it are skipped.  A
// record handed out stays where it is until the next call, so its pointers
// stay valid until then.  Costs O(log k) comparisons a record for k sources.
struct merger {
    std::vector<run_reader> readers;  // sources 0 .. readers.size() - 1
    const entry *mem = nullptr;       // the buffer's entries, the newest source
    size_t mem_size = 0, mem_at = 0;
    std::vector<rec_view> cur;   // current record of each source
    std::vector<uint32_t> heap;  // sources with records left
    int last = -1;               // source of the record handed out last
    uint64_t consumed = 0;       // records read past, superseded ones included
    // The checkpoint: where each run and the buffer stood after the last
    // record handed out before it, and how many records were consumed then.
    std::vector<uint64_t> mark_at;
    size_t mark_mem = 0;
    uint64_t mark_consumed = 0;

    size_t sources() const { return readers.size() + (mem ? 1 : 0); }

    // Loads source i's current record; false at its end.
    bool load(size_t i, bool *failed)
    {
        if (i < readers.size()) {
            run_reader &rd = readers[i];
            if (rd.at_end())
                return false;
            if (!rd.load())
                return *failed = true, false;
            cur[i] = view(rd.buf.data() + rd.pos);
            return true;
        }
        if (mem_at >= mem_size)
            return false;
        if (mem_at + 8 < mem_size)
            __builtin_prefetch(mem[mem_at + 8].rec);
        cur[i] = view(mem[mem_at].rec);
        return true;
    }

    // Steps source i past its current record and puts it back in the heap
    // when it has more.  False with errno set on a read error.
    bool advance(size_t i)
    {
        consumed++;
        if (i < readers.size())
            readers[i].pos += cur[i].stored();
        else
            mem_at++;
        bool failed = false;
        if (load(i, &failed))
            push(static_cast<uint32_t>(i));
        return !failed;
    }

    // Whether source a's record comes before source b's: a smaller key, or
    // the same key in a newer source.
    bool before(uint32_t a, uint32_t b) const
    {
        int c = key_cmp(cur[a].key, cur[a].key_size, cur[b].key, cur[b].key_size);
        return c < 0 || (c == 0 && a > b);
    }

    void push(uint32_t i)
    {
        heap.push_back(i);
        for (size_t at = heap.size() - 1; at > 0;) {
            size_t up = (at - 1) / 2;
            if (!before(heap[at], heap[up]))
                break;
            std::swap(heap[at], heap[up]);
            at = up;
        }
    }

    uint32_t pop()
    {
        uint32_t top = heap[0];
        heap[0] = heap.back();
        heap.pop_back();
        for (size_t at = 0, n = heap.size();;) {
            size_t l = 2 * at + 1, best = at;
            if (l < n && before(heap[l], heap[best]))
                best = l;
            if (l + 1 < n && before(heap[l + 1], heap[best]))
                best = l + 1;
            if (best == at)
                break;
            std::swap(heap[at], heap[best]);
            at = best;
        }
        return top;
    }

    // Loads every source from its start.  False with errno set.
    bool start()
    {
        try {
            cur.assign(sources(), rec_view{});
            heap.clear();
            heap.reserve(sources());
            mark_at.assign(readers.size(), 0);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            return false;
        }
        mark_mem = 0;
        mark_consumed = 0;
        return rewind();
    }

    // Makes the checkpoint where the merge now stands: past the record
    // handed out last, whose pointers are then no longer valid.  False with
    // errno set on a read error.
    bool checkpoint()
    {
        if (last >= 0 && !advance(static_cast<size_t>(last)))
            return false;
        last = -1;
        for (size_t i = 0; i < readers.size(); i++)
            mark_at[i] = readers[i].offset + readers[i].pos;
        mark_mem = mem_at;
        mark_consumed = consumed;
        return true;
    }

    // Goes back to the checkpoint, so that the records handed out after it
    // come again.  False with errno set.
    bool rewind()
    {
        heap.clear();
        last = -1;
        consumed = mark_consumed;
        mem_at = mark_mem;
        for (size_t i = 0; i < readers.size(); i++) {
            readers[i].offset = mark_at[i];
            readers[i].pos = readers[i].len = 0;
        }
        for (size_t i = 0; i < sources(); i++) {
            bool failed = false;
            if (load(i, &failed))
                push(static_cast<uint32_t>(i));
            if (failed)
                return false;
        }
        return true;
    }

    // The next record: 1 with *v set, 0 at the end, -1 with errno set.
    int next(rec_view *v)
    {
        if (last >= 0 && !advance(static_cast<size_t>(last)))
            return -1;
        last = -1;
        if (heap.empty())
            return 0;
        uint32_t best = pop();
        while (!heap.empty() && key_cmp(cur[heap[0]].key, cur[heap[0]].key_size, cur[best].key,
                                        cur[best].key_size) == 0) {
            if (!advance(pop()))
                return -1;
        }
        last = static_cast<int>(best);
        *v = cur[best];
        return 1;
    }
};

}  // namespace

struct kov_sorter::state {
    int dir;  // descriptor of the directory of the temporary files, not owned
    size_t cap;
    size_t block_size;
    size_t first_entries;  // initial entry capacity, a power of two

    // The buffer: records packed into blocks, an entry per record, and an
    // open-addressing table of (hash high bits, entry index + 1) whose slot
    // is chosen by those same bits, so that growing it reads no record.
    std::vector<unsigned char *> blocks;
    std::vector<size_t> block_sizes;
    size_t block_bytes = 0;  // sum of block_sizes
    size_t cur_block = 0;    // block being filled
    size_t cur_used = 0;     // bytes used in it
    // Records are grouped by the first bits of their key: each bucket fills
    // chunks of its own, carved from the blocks, so that the records the
    // merge hands out one after another lie near each other instead of
    // anywhere in the buffer (the merge of 4 million records spent most of
    // its time waiting for memory).  A record larger than a chunk gets room
    // of its own.
    size_t chunk_size;
    int bucket_shift;  // a key's prefix >> bucket_shift is its bucket; 64: one bucket
    std::vector<unsigned char *> bucket_at, bucket_end;  // free room of each bucket's chunk
    mapped_array<entry> entries;
    mapped_array<uint64_t> table;
    size_t live = 0;          // entries not replaced
    size_t record_bytes = 0;  // bytes of the records in the blocks
    bool table_valid = true;  // false once entries were reordered

    // The part of the cap kept for the buffers of run writes and merges,
    // and the rest, the buffer's.
    size_t io_bytes;
    size_t buffer_cap;
    size_t fan_in;  // most runs a merge reads at once

    // The runs, oldest first, in one file: run_fd, made at the first spill,
    // with its bytes in use up to run_file_end.  A merge of runs writes past
    // the end and then gives the space of its inputs back to the system.
    int run_fd = -1;
    uint64_t run_file_end = 0;
    uint64_t reserve = 0;            // bytes held in reserve at the file's start
    bool release_runs = false;       // the merge is the last one
    std::vector<uint64_t> released;  // per run of the merge: given back up to here
    std::vector<std::unique_ptr<run>> runs;
    uint64_t run_records = 0;
    uint64_t spills = 0;
    std::unique_ptr<value_file> values;  // made for the first large value

    std::vector<unsigned char> scratch;  // segment read by a lookup

    merger merge;  // the merge handing out records

    ~state()
    {
        for (size_t i = 0; i < blocks.size(); i++)
            unmap_memory(blocks[i], block_sizes[i]);
        close_runs();
    }

    void close_runs()
    {
        merge.readers.clear();
        runs.clear();
        run_records = 0;
        run_file_end = 0;
        reserve = 0;
        if (run_fd >= 0)
            close(run_fd);
        run_fd = -1;
    }

    size_t used() const { return block_bytes + entries.cap * sizeof(entry) + table.cap * 8; }

    // Whether a block from the current one on has room for take bytes.
    bool block_room(size_t take) const
    {
        for (size_t i = cur_block; i < blocks.size(); i++)
            if ((i == cur_block ? cur_used : 0) + take <= block_sizes[i])
                return true;
        return false;
    }

    void reset_buffer()
    {
        // Blocks of the usual size are kept for the next run: refilling
        // memory already mapped is cheaper than mapping it again.
        size_t keep = 0;
        for (size_t i = 0; i < blocks.size(); i++) {
            if (block_sizes[i] == block_size) {
                blocks[keep] = blocks[i];
                block_sizes[keep++] = block_size;
            } else {
                unmap_memory(blocks[i], block_sizes[i]);
            }
        }
        blocks.resize(keep);
        block_sizes.resize(keep);
        block_bytes = keep * block_size;
        cur_block = 0;
        cur_used = 0;
        std::fill(bucket_at.begin(), bucket_at.end(), nullptr);
        std::fill(bucket_end.begin(), bucket_end.end(), nullptr);
        entries.n = 0;
        record_bytes = 0;
        if (table.cap)
            table.assign_zero(table.cap);
        live = 0;
        table_valid = true;
    }

    // Whether one more key would fill the table past three quarters.
    bool table_full() const { return (live + 1) * 4 > table.cap * 3; }

    static uint64_t tag_of(uint64_t h) { return (h >> 32) | 1; }

    // Finds key in the table: the slot holding it, or the empty slot where
    // it would go.
    size_t probe(const unsigned char *key, size_t n, uint64_t h, bool *found)
    {
        size_t mask = table.size() - 1;
        uint64_t tag = tag_of(h);
        for (size_t i = static_cast<size_t>(tag) & mask;; i = (i + 1) & mask) {
            uint64_t slot = table[i];
            if (!slot) {
                *found = false;
                return i;
            }
            if ((slot >> 32) == tag) {
                rec_view v = view(entries[(slot & 0xffffffffu) - 1].rec);
                if (v.key_size == n && (n == 0 || memcmp(v.key, key, n) == 0)) {
                    *found = true;
                    return i;
                }
            }
        }
    }

    // Gives the table the given number of slots.  A valid table is rehashed
    // from its tags; after a sort it is rebuilt from the records.
    bool rebuild_table(size_t slots)
    {
        if (table_valid && table.cap) {
            mapped_array<uint64_t> old;
            std::swap(old.p, table.p);
            std::swap(old.n, table.n);
            std::swap(old.cap, table.cap);
            if (!table.assign_zero(slots))
                return false;
            size_t mask = slots - 1;
            for (uint64_t slot : old) {
                if (!slot)
                    continue;
                size_t i = static_cast<size_t>(slot >> 32) & mask;
                while (table[i])
                    i = (i + 1) & mask;
                table[i] = slot;
            }
            return true;
        }
        if (!table.assign_zero(slots))
            return false;
        size_t mask = slots - 1;
        for (size_t i = 0; i < entries.size(); i++) {
            if (is_dead(entries[i].rec))
                continue;
            rec_view v = view(entries[i].rec);
            uint64_t tag = tag_of(key_hash(v.key, v.key_size));
            size_t at = static_cast<size_t>(tag) & mask;
            while (table[at])
                at = (at + 1) & mask;
            table[at] = (tag << 32) | (i + 1);
        }
        table_valid = true;
        return true;
    }

    // Removes replaced records and sorts the rest.
    void sort_entries()
    {
        if (live != entries.size()) {
            entries.n =
                static_cast<size_t>(std::remove_if(entries.begin(), entries.end(),
                                                   [](const entry &e) { return is_dead(e.rec); }) -
                                    entries.begin());
        }
        std::sort(entries.begin(), entries.end(), entry_less);
        table_valid = false;
    }

    int spill(std::string *error);
    int run_write_fail(std::string *error, const char *what, int err);
    int merge_runs(size_t from, std::string *error);
    int open_readers(merger &m, size_t from, size_t buffer);
    int find_in_run(const run &r, const unsigned char *key, size_t n, uint64_t h,
                    std::string *error);
};

// Sorts the buffer and writes it as a new run, then merges the newest runs
// while fan_in of them are of one generation.  On failure the buffer is as
// it was and the partial run is gone; a failed merge of runs leaves them as
// they were, all held.
int kov_sorter::state::spill(std::string *error)
{
    merge = merger();
    sort_entries();
    if (run_fd < 0) {
        if ((run_fd = nameless_file(dir)) < 0)
            return sys_fail(error, "creating a temporary run", errno);
        if (fallocate(run_fd, 0, 0, static_cast<off_t>(reserve_bytes)) == 0)
            run_file_end = reserve = reserve_bytes;
    }
    auto r = std::make_unique<run>();
    r->start = run_file_end;
    run_writer w;
    if (!w.begin(run_fd, r.get(), entries.size(), std::min(io_bytes, max_write)))
        return no_memory(error);
    for (const entry &e : entries) {
        if (!w.put(e.rec))
            return run_write_fail(error, "writing a temporary run", errno);
    }
    if (!w.flush())
        return run_write_fail(error, "writing a temporary run", errno);
    try {
        runs.reserve(runs.size() + 1);
    } catch (const std::bad_alloc &) {
        return run_write_fail(error, "", ENOMEM);
    }
    run_file_end += r->bytes;
    run_records += r->records;
    runs.push_back(std::move(r));
    spills++;
    reset_buffer();
    while (runs.size() >= fan_in) {
        size_t from = runs.size() - fan_in;
        if (runs[from]->generation != runs.back()->generation)
            break;
        if (merge_runs(from, error))
            return -1;
    }
    return 0;
}

// Fails a run write that err ended ("out of memory" for ENOMEM), giving
// back what the unfinished run took of the file; errno stays err.
int kov_sorter::state::run_write_fail(std::string *error, const char *what, int err)
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
int kov_sorter::state::open_readers(merger &m, size_t from, size_t buffer)
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
int kov_sorter::state::merge_runs(size_t from, std::string *error)
{
    uint64_t records = 0;
    int generation = 0;
    for (size_t i = from; i < runs.size(); i++) {
        records += runs[i]->records;
        generation = std::max(generation, runs[i]->generation + 1);
        std::vector<uint64_t>().swap(runs[i]->bloom);
    }
    size_t buffer = std::max<size_t>(io_bytes / (runs.size() - from + 1), min_read_bytes);
    merger m;
    auto merged = std::make_unique<run>();
    merged->start = run_file_end;
    merged->generation = generation;
    run_writer w;
    if (open_readers(m, from, buffer) || !w.begin(run_fd, merged.get(), records, buffer) ||
        !m.start())
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

// Looks key up in one run: 1 held, 0 not, -1 read error.
int kov_sorter::state::find_in_run(const run &r, const unsigned char *key, size_t n, uint64_t h,
                                   std::string *error)
{
    if (!r.bloom_may_hold(h))
        return 0;
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

kov_sorter::kov_sorter(int dir, size_t cap) : s_(new state)
{
    s_->dir = dir;
    s_->cap = cap;
    s_->io_bytes = std::clamp<size_t>(cap / io_share, min_io_bytes, max_io_bytes);
    s_->buffer_cap = cap > 2 * s_->io_bytes ? cap - s_->io_bytes : cap / 2;
    s_->fan_in = std::clamp<size_t>(s_->io_bytes / min_read_bytes - 1, 2, max_fan_in);
    s_->block_size = std::clamp<size_t>(s_->buffer_cap / 16, 4096, 8u << 20);
    // Up to 1024 buckets, as long as their partly filled chunks take at most
    // a sixteenth of the buffer.
    s_->chunk_size = std::min<size_t>(64u << 10, s_->block_size);
    size_t buckets =
        std::bit_floor(std::clamp<size_t>(s_->buffer_cap / 16 / s_->chunk_size, 1, 1024));
    s_->bucket_shift = 64 - std::countr_zero(buckets);
    s_->bucket_at.assign(buckets, nullptr);
    s_->bucket_end.assign(buckets, nullptr);
    // Small first arrays, so that a small cap still holds many records.
    s_->first_entries = std::bit_ceil(std::clamp<size_t>(cap / 1024, 64, 4096));
}

kov_sorter::~kov_sorter() = default;

uint64_t kov_sorter::size() const
{
    return s_->run_records + s_->entries.size();
}

uint64_t kov_sorter::runs_written() const
{
    return s_->spills;
}

int kov_sorter::contains(const unsigned char *key, size_t key_size, std::string *error)
{
    state &s = *s_;
    uint64_t h = key_hash(key, key_size);
    if (!s.entries.empty()) {
        if (!s.table_valid && !s.rebuild_table(s.table.size()))
            return no_memory(error);
        bool found;
        s.probe(key, key_size, h, &found);
        if (found)
            return 1;
    }
    for (const auto &r : s.runs) {
        int rc = s.find_in_run(*r, key, key_size, h, error);
        if (rc)
            return rc;
    }
    return 0;
}

int kov_sorter::add(const unsigned char *key, size_t key_size, const unsigned char *value,
                    size_t value_size, bool must_be_new, std::string *error)
{
    state &s = *s_;
    uint64_t h = key_hash(key, key_size);
    if (s.table.empty() || !s.table_valid) {
        if (!s.rebuild_table(std::max<size_t>(s.table.size(), 2 * s.first_entries)))
            return no_memory(error);
    }
    bool found = false;
    size_t slot = s.entries.empty() ? 0 : s.probe(key, key_size, h, &found);
    if (found && must_be_new)
        return 1;
    if (!found && must_be_new) {
        for (const auto &r : s.runs) {
            int rc = s.find_in_run(*r, key, key_size, h, error);
            if (rc)
                return rc;
        }
    }

    uint64_t offset = 0;
    bool external = value_size >= external_value_bytes;
    if (external) {
        if (!s.values)
            s.values.reset(new (std::nothrow) value_file);
        if (!s.values || !s.values->reserve_out(value_size))
            return no_memory(error);
        external = s.values->append(s.dir, value, value_size, &offset);
    }
    size_t rec = header_bytes + key_size + (external ? ref_bytes : value_size);
    uint64_t prefix = key_prefix(key, key_size);
    size_t bucket = s.bucket_shift < 64 ? static_cast<size_t>(prefix >> s.bucket_shift) : 0;
    bool own = rec > s.chunk_size;
    // Bytes to take from the blocks: the record's own room, a new chunk for
    // its bucket, or nothing when the bucket's chunk has room.
    auto to_take = [&]() -> size_t {
        if (own)
            return rec;
        size_t room = static_cast<size_t>(s.bucket_end[bucket] - s.bucket_at[bucket]);
        return room >= rec ? 0 : s.chunk_size;
    };
    size_t take = to_take();
    // Room for the record, and for the index and table should they grow:
    // while a vector grows, its old and new arrays both exist.
    // The entries grow in place (mremap), by doubling or, when that would
    // not fit, by what fits, so that they never cut a run short.
    size_t need = 0;
    if (take && !s.block_room(take))
        need += std::max(take, s.block_size);
    if (s.table_full())
        need += s.table.size() * 16;
    size_t entry_growth = 0;
    if (s.entries.size() == s.entries.cap) {
        entry_growth = std::max(s.entries.cap, s.first_entries);
        size_t left_bytes = s.buffer_cap > s.used() + need ? s.buffer_cap - s.used() - need : 0;
        // No more entries than the records that still fit, each with its
        // bytes so far on average, its entry and two table slots, and an
        // eighth more: doubling past them would take the room of records.
        if (!s.entries.empty()) {
            size_t fit = left_bytes / (s.record_bytes / s.entries.size() + sizeof(entry) + 16);
            entry_growth = std::min(entry_growth, std::max(fit + fit / 8, min_entry_growth));
        }
        size_t left = left_bytes / sizeof(entry);
        if (left >= min_entry_growth)
            entry_growth = std::min(entry_growth, left);
        need += entry_growth * sizeof(entry);
    }
    if (s.used() + need > s.buffer_cap && !s.entries.empty()) {
        if (s.spill(error))
            return -1;
        found = false;
        take = to_take();
    }

    try {
        // What is taken comes from the current block, the next kept one, or
        // a new block (of its own size when it is larger than a block).
        while (take && s.cur_block < s.blocks.size() &&
               s.cur_used + take > s.block_sizes[s.cur_block]) {
            s.cur_block++;
            s.cur_used = 0;
        }
        if (take && s.cur_block == s.blocks.size()) {
            size_t size = std::max(take, s.block_size);
            s.blocks.reserve(s.blocks.size() + 1);
            s.block_sizes.reserve(s.blocks.size() + 1);
            unsigned char *b = static_cast<unsigned char *>(map_memory(size));
            if (!b)
                throw std::bad_alloc();
            s.blocks.push_back(b);
            s.block_sizes.push_back(size);
            s.block_bytes += size;
            s.cur_used = 0;
        }
        if (s.entries.size() == s.entries.cap && !s.entries.reserve(s.entries.cap + entry_growth))
            throw std::bad_alloc();
        if (s.table_full() && !s.rebuild_table(s.table.size() * 2))
            throw std::bad_alloc();
    } catch (const std::bad_alloc &) {
        *error = "out of memory";
        return -1;
    }
    unsigned char *p = nullptr;
    if (take) {
        p = s.blocks[s.cur_block] + s.cur_used;
        s.cur_used += take;
        if (!own) {
            s.bucket_at[bucket] = p;
            s.bucket_end[bucket] = p + take;
        }
    }
    if (!own) {
        p = s.bucket_at[bucket];
        s.bucket_at[bucket] += rec;
    }
    uint32_t ks = static_cast<uint32_t>(key_size);
    uint32_t vs = static_cast<uint32_t>(value_size) | (external ? external_bit : 0);
    memcpy(p, &ks, 4);
    memcpy(p + 4, &vs, 4);
    if (key_size)
        memcpy(p + header_bytes, key, key_size);
    if (external)
        memcpy(p + header_bytes + key_size, &offset, ref_bytes);
    else if (value_size)
        memcpy(p + header_bytes + key_size, value, value_size);

    // The table may have been rebuilt or emptied since the probe.
    slot = s.probe(key, key_size, h, &found);
    if (found) {
        set_dead(s.entries[(s.table[slot] & 0xffffffffu) - 1].rec);
        s.live--;
    }
    s.entries[s.entries.n++] = {prefix, p};
    s.record_bytes += rec;
    s.table[slot] = (state::tag_of(h) << 32) | s.entries.size();
    s.live++;
    return 0;
}

int kov_sorter::merge_begin(bool last, std::string *error)
{
    state &s = *s_;
    if (s.values) {
        s.values->release_pieces = last;
        s.values->handed_out.clear();
    }
    s.merge.readers.clear();
    s.release_runs = last;
    if (last && s.reserve) {
        fallocate(s.run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                  static_cast<off_t>(s.reserve));
        s.reserve = 0;
    }
    // With the buffer, at most fan_in + 1 sources.
    while (s.runs.size() > s.fan_in) {
        if (s.merge_runs(s.runs.size() - std::min(s.fan_in, s.runs.size() - s.fan_in + 1), error))
            return -1;
    }
    s.sort_entries();
    size_t buffer = std::clamp<size_t>(s.io_bytes / std::max<size_t>(s.runs.size(), 1),
                                       min_read_bytes, max_write);
    if (s.open_readers(s.merge, 0, buffer))
        return no_memory(error);
    try {
        s.released.clear();
        for (const auto &r : s.runs)
            s.released.push_back(r->start);
    } catch (const std::bad_alloc &) {
        return no_memory(error);
    }
    s.merge.mem = s.entries.begin();
    s.merge.mem_size = s.entries.size();
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
    if (!s.release_runs)
        return 0;
    for (size_t i = 0; i < s.merge.readers.size(); i++) {
        uint64_t upto = (s.runs[i]->start + s.merge.mark_at[i]) / release_align * release_align;
        if (upto > s.released[i]) {
            fallocate(s.run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                      static_cast<off_t>(s.released[i]), static_cast<off_t>(upto - s.released[i]));
            s.released[i] = upto;
        }
    }
    return 0;
}

int kov_sorter::merge_drop(uint64_t *freed, std::string *error)
{
    state &s = *s_;
    if (!s.release_runs)
        return 0;
    // The run, or the value file, that takes the most space.
    size_t pick = s.merge.readers.size();
    uint64_t most = s.values ? s.values->on_disk() : 0;
    for (size_t i = 0; i < s.merge.readers.size(); i++) {
        uint64_t left = s.runs[i]->start + s.runs[i]->bytes - s.released[i];
        if (s.merge.mark_at[i] < s.runs[i]->bytes && left > most) {
            pick = i;
            most = left;
        }
    }
    if (most == 0)
        return 0;
    if (pick < s.merge.readers.size()) {
        fallocate(s.run_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(s.released[pick]), static_cast<off_t>(most));
        s.released[pick] += most;
        s.merge.mark_at[pick] = s.runs[pick]->bytes;
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
    s.close_runs();
    s.reset_buffer();
    s.scratch.clear();
    s.scratch.shrink_to_fit();
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
