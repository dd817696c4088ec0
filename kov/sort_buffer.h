/* SPDX-License-Identifier: MIT */
// The sorter's buffer: the records held in memory, an index of them and a
// hash table of their keys.
//
// Invariants:
//  - Everything the buffer holds counts against buffer_cap: its blocks, the
//    index (entries, by capacity) and the table (by capacity); used() is
//    their sum, and a record that would take it past buffer_cap is refused
//    by must_spill until the buffer is written as a run and reset.
//  - Records lie in chunks carved from the blocks, one chunk per bucket of
//    key prefixes, so that records near in key order lie near in memory; a
//    record larger than a chunk has room of its own.
//  - The table maps (hash tag, entry index + 1) and stays at most three
//    quarters full; its slot is chosen by the tag, so that growing it reads
//    no record.  Sorting the index makes it invalid until rebuilt.
//  - Pages are faulted in ahead of use (sort_prefault.h) only inside blocks
//    and entries already mapped, and so counted in used(): faulting ahead
//    never takes the buffer's memory past buffer_cap.  Requests for blocks
//    go up to fault_step past the room handed out (fault_block, fault_end:
//    never beyond the current block) and, in one run, to at most twice the
//    record bytes plus fault_slack, so that a small dump does not pay for
//    pages it never uses; requests for entries go up to fault_step past
//    those in use.  Nothing is requested before a run holds fault_start
//    record bytes.  Memory requested is settled before it moves or goes.
//  - A key stored twice keeps its last copy: the older one is marked dead,
//    still counted in the index, and dropped when the index is sorted.
#ifndef KOV_SORT_BUFFER_H
#define KOV_SORT_BUFFER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include <algorithm>
#include <vector>

#include "sort_prefault.h"
#include "sort_record.h"

namespace kov_sort {

// The fewest entries the buffer's index grows by.
constexpr size_t min_entry_growth = 64;

// A buffer whose blocks are at least fault_step bytes has its memory
// faulted in ahead of use by a thread, in requests of about fault_step
// bytes: steps large enough that the kernel works through many pages per
// call, small enough that the thread keeps ahead of the records.
constexpr size_t fault_step = size_t{512} << 10;
// Nothing is faulted in ahead before a run holds this many record bytes.
// A dump in key order streams once the buffer holds a few MiB, and one of
// large values keeps only their offsets in the buffer: pages faulted in
// ahead of such a buffer would never be used, and would only raise the
// restore's peak memory.  A run that passes it is large enough for the
// pages it saves to outweigh the thread.
constexpr size_t fault_start = size_t{8} << 20;
// Requests start on a multiple of this many bytes (a page of any size the
// kernel uses) from the start of their mapping.
constexpr size_t fault_unit = size_t{64} << 10;
// Blocks are faulted in ahead, in one run, up to twice its record bytes and
// this much beside.  The room handed out runs ahead of the records by up
// to a chunk per bucket, which a dump of a few records never fills: it
// must not cost them the pages of every chunk.
constexpr size_t fault_slack = size_t{4} << 20;

// Anonymous memory from mmap, in 4 KiB pages even where the kernel would
// give transparent huge pages.  A virtual machine's host takes back the
// 2 MiB blocks the guest leaves free, and a huge page is made of one, so
// touching huge pages of memory left idle for a while makes the host supply
// each block afresh, several times the cost of the same bytes in 4 KiB
// pages, which the guest reuses.  Fresh memory reads as zeros.
void *map_memory(size_t size);
void unmap_memory(void *p, size_t size);

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
    // Gives back the memory past c elements.
    void shrink(size_t c)
    {
        if (c == 0) {
            release();
            return;
        }
        if (c < cap && mremap(p, cap * sizeof(T), c * sizeof(T), 0) != MAP_FAILED)
            cap = c;
        n = std::min(n, c);
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

inline bool entry_less(const entry &a, const entry &b)
{
    if (a.prefix != b.prefix)
        return a.prefix < b.prefix;
    rec_view x = view(a.rec), y = view(b.rec);
    return key_cmp(x.key, x.key_size, y.key, y.key_size) < 0;
}

struct sort_buffer {
    size_t buffer_cap = 0;     // the most used() may reach
    size_t block_size = 0;     // size of the usual block
    size_t first_entries = 0;  // initial entry capacity, a power of two

    // The records, packed into blocks.
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
    size_t chunk_size = 0;
    int bucket_shift = 64;  // a key's prefix >> bucket_shift is its bucket; 64: one bucket
    std::vector<unsigned char *> bucket_at, bucket_end;  // free room of each bucket's chunk
    mapped_array<entry> entries;  // one per record, in the order stored or sorted
    mapped_array<uint64_t> table;
    size_t live = 0;          // entries not replaced
    size_t record_bytes = 0;  // bytes of the records in the blocks
    bool table_valid = true;  // false once entries were reordered
    pulse beat;               // called during sort_entries
    // Faulting ahead: whether blocks are large enough for it, where the
    // next request for blocks starts, the bytes of blocks requested in this
    // run, and the bytes of entries requested from their start.
    bool faulting = false;
    size_t fault_block = 0, fault_end = 0;
    size_t faulted = 0;
    size_t entries_faulted = 0;
    prefaulter faults;

    // A buffer of at most buffer_cap bytes, out of a sorter's cap.
    sort_buffer(size_t cap, size_t buffer_cap);
    sort_buffer(const sort_buffer &) = delete;
    sort_buffer &operator=(const sort_buffer &) = delete;
    ~sort_buffer();

    size_t used() const { return block_bytes + entries.cap * sizeof(entry) + table.cap * 8; }
    // Makes the table usable for probes: false when out of memory.
    bool ready();
    size_t bucket_of(uint64_t prefix) const
    {
        return bucket_shift < 64 ? static_cast<size_t>(prefix >> bucket_shift) : 0;
    }
    // Whether a record of rec bytes in bucket would take the buffer past
    // its cap, so that the buffer must first be written as a run.
    bool must_spill(size_t rec, size_t bucket);
    // Room for a record of rec bytes in bucket, growing the blocks, the
    // index and the table as needed; null when out of memory.
    unsigned char *place(size_t rec, size_t bucket);
    // Indexes the record at p, whose key is key (hash h), replacing an
    // older copy of it.
    void insert(const unsigned char *key, size_t n, uint64_t h, unsigned char *p, size_t rec);
    bool block_room(size_t take) const;
    void reset();
    bool table_full() const { return (live + 1) * 4 > table.cap * 3; }
    static uint64_t tag_of(uint64_t h) { return (h >> 32) | 1; }
    size_t probe(const unsigned char *key, size_t n, uint64_t h, bool *found);
    bool rebuild_table(size_t slots);
    void sort_entries();
    // Asks for the pages the next records will take to be faulted in.
    void fault_ahead()
    {
        // A run of fewer than fault_start record bytes is faulted in by
        // its own writes: a handful of stores starts no thread.
        if (faulting && record_bytes >= fault_start &&
            (fault_block < cur_block ||
                         (fault_block == cur_block && cur_used + fault_step > fault_end) ||
                         (entries_faulted < entries.cap * sizeof(entry) &&
                          entries.size() * sizeof(entry) + fault_step > entries_faulted)))
            fault_more();
    }
    // Stops faulting ahead until the next record.
    void stop_faulting() { faults.stop(); }

  private:
    // What a record of rec bytes in bucket needs: the bytes to take from
    // the blocks (*take, 0 when its bucket's chunk has room), the entries
    // the index grows by (*entry_growth), and the bytes all that adds.
    size_t plan(size_t rec, size_t bucket, size_t *take, size_t *entry_growth);
    void fault_more();
};

}  // namespace kov_sort

#endif
