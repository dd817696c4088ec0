// SPDX-License-Identifier: MIT
// The sorter's buffer: records in blocks, their index and hash table.

#include "sort_buffer.h"

#include <assert.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>

namespace kov_sort {

void *map_memory(size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    // Also for small maps: arrays grow by mremap, which keeps the advice.
    madvise(p, size, MADV_NOHUGEPAGE);
    return p;
}

void unmap_memory(void *p, size_t size)
{
    if (p)
        munmap(p, size);
}

sort_buffer::sort_buffer(size_t cap, size_t buffer_cap) : buffer_cap(buffer_cap)
{
    block_size = std::clamp<size_t>(buffer_cap / 16, 4096, 8u << 20);
    // Up to 1024 buckets, as long as their partly filled chunks take at most
    // a sixteenth of the buffer.
    chunk_size = std::min<size_t>(64u << 10, block_size);
    size_t buckets = std::bit_floor(std::clamp<size_t>(buffer_cap / 16 / chunk_size, 1, 1024));
    bucket_shift = 64 - std::countr_zero(buckets);
    bucket_at.assign(buckets, nullptr);
    bucket_end.assign(buckets, nullptr);
    // Small first arrays, so that a small cap still holds many records.
    first_entries = std::bit_ceil(std::clamp<size_t>(cap / 1024, 64, 4096));
    faulting = block_size >= fault_step;
}

sort_buffer::~sort_buffer()
{
    faults.stop();
    for (size_t i = 0; i < blocks.size(); i++)
        unmap_memory(blocks[i], block_sizes[i]);
}

bool sort_buffer::ready()
{
    if (!table.empty() && table_valid)
        return true;
    return rebuild_table(std::max<size_t>(table.size(), 2 * first_entries));
}

size_t sort_buffer::plan(size_t rec, size_t bucket, size_t *take, size_t *entry_growth)
{
    // Bytes to take from the blocks: the record's own room, a new chunk for
    // its bucket, or nothing when the bucket's chunk has room.
    size_t room = static_cast<size_t>(bucket_end[bucket] - bucket_at[bucket]);
    *take = rec > chunk_size ? rec : room >= rec ? 0 : chunk_size;
    // Room for the record, and for the index and table should they grow:
    // while a vector grows, its old and new arrays both exist.
    // The entries grow in place (mremap), by doubling or, when that would
    // not fit, by what fits, so that they never cut a run short.
    size_t need = 0;
    if (*take && !block_room(*take))
        need += std::max(*take, block_size);
    if (table_full())
        need += table.size() * 16;
    *entry_growth = 0;
    if (entries.size() == entries.cap) {
        size_t growth = std::max(entries.cap, first_entries);
        size_t left_bytes = buffer_cap > used() + need ? buffer_cap - used() - need : 0;
        // No more entries than the records that still fit, each with its
        // bytes so far on average, its entry and two table slots, and an
        // eighth more: doubling past them would take the room of records.
        if (!entries.empty()) {
            size_t fit = left_bytes / (record_bytes / entries.size() + sizeof(entry) + 16);
            growth = std::min(growth, std::max(fit + fit / 8, min_entry_growth));
        }
        size_t left = left_bytes / sizeof(entry);
        if (left >= min_entry_growth)
            growth = std::min(growth, left);
        need += growth * sizeof(entry);
        *entry_growth = growth;
    }
    return need;
}

bool sort_buffer::must_spill(size_t rec, size_t bucket)
{
    size_t take, entry_growth;
    return used() + plan(rec, bucket, &take, &entry_growth) > buffer_cap && !entries.empty();
}

unsigned char *sort_buffer::place(size_t rec, size_t bucket)
{
    // Only a buffer written out and reset takes a record past the cap.
    assert(entries.empty() || !must_spill(rec, bucket));
    size_t take, entry_growth;
    plan(rec, bucket, &take, &entry_growth);
    bool own = rec > chunk_size;
    try {
        // What is taken comes from the current block, the next kept one, or
        // a new block (of its own size when it is larger than a block).
        while (take && cur_block < blocks.size() && cur_used + take > block_sizes[cur_block]) {
            cur_block++;
            cur_used = 0;
        }
        if (take && cur_block == blocks.size()) {
            size_t size = std::max(take, block_size);
            blocks.reserve(blocks.size() + 1);
            block_sizes.reserve(blocks.size() + 1);
            unsigned char *b = static_cast<unsigned char *>(map_memory(size));
            if (!b)
                return nullptr;
            blocks.push_back(b);
            block_sizes.push_back(size);
            block_bytes += size;
            cur_used = 0;
        }
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (entries.size() == entries.cap) {
        // Moving the entries moves the range being faulted in.
        faults.settle(prefaulter::entries_lane);
        if (!entries.reserve(entries.cap + entry_growth))
            return nullptr;
    }
    if (table_full() && !rebuild_table(table.size() * 2))
        return nullptr;
    unsigned char *p = nullptr;
    if (take) {
        p = blocks[cur_block] + cur_used;
        cur_used += take;
        if (!own) {
            bucket_at[bucket] = p;
            bucket_end[bucket] = p + take;
        }
    }
    if (!own) {
        p = bucket_at[bucket];
        bucket_at[bucket] += rec;
    }
    return p;
}

void sort_buffer::insert(const unsigned char *key, size_t n, uint64_t h, unsigned char *p,
                         size_t rec)
{
    // The table may have been rebuilt or emptied since the last probe.
    bool found;
    size_t slot = probe(key, n, h, &found);
    if (found) {
        set_dead(entries[(table[slot] & 0xffffffffu) - 1].rec);
        live--;
    }
    entries[entries.n++] = {key_prefix(key, n), p};
    record_bytes += rec;
    table[slot] = (tag_of(h) << 32) | entries.size();
    live++;
    assert(live <= entries.size() && entries.size() <= entries.cap);
    assert(record_bytes <= block_bytes);
    assert(live * 4 <= table.size() * 3);
    fault_ahead();
}

void sort_buffer::fault_more()
{
    // Blocks, from where the requests got to: whole blocks up to the
    // current one, in it up to fault_step past the room handed out.
    size_t limit = 2 * record_bytes + fault_slack;
    while (fault_block <= cur_block && fault_block < blocks.size() && faulted < limit) {
        size_t size = block_sizes[fault_block];
        size_t to = fault_block < cur_block
                        ? size
                        : std::min(size, (cur_used / fault_step + 2) * fault_step);
        to = std::min(to, fault_end + (limit - faulted) / fault_unit * fault_unit);
        if (to <= fault_end)
            break;
        faults.request(prefaulter::blocks_lane, blocks[fault_block] + fault_end, to - fault_end);
        faulted += to - fault_end;
        fault_end = to;
        if (to < size)
            break;
        fault_block++;
        fault_end = 0;
    }
    assert(faulted <= limit && fault_end % fault_unit == 0);
    assert(fault_block >= blocks.size() || fault_end <= block_sizes[fault_block]);
    // Entries, from the last unit requested on.
    size_t in_use = entries.size() * sizeof(entry), mapped = entries.cap * sizeof(entry);
    if (entries_faulted < mapped && in_use + fault_step > entries_faulted) {
        size_t from = entries_faulted / fault_unit * fault_unit;
        size_t to = std::min(mapped, (in_use / fault_step + 2) * fault_step);
        faults.request(prefaulter::entries_lane, reinterpret_cast<unsigned char *>(entries.p) + from,
                       to - from);
        entries_faulted = to;
    }
    assert(entries_faulted <= mapped);
}

// Whether a block from the current one on has room for take bytes.
bool sort_buffer::block_room(size_t take) const
{
    for (size_t i = cur_block; i < blocks.size(); i++)
        if ((i == cur_block ? cur_used : 0) + take <= block_sizes[i])
            return true;
    return false;
}

void sort_buffer::reset()
{
    // Blocks of the usual size are kept for the next run: refilling
    // memory already mapped is cheaper than mapping it again.
    faults.settle(prefaulter::blocks_lane);
    fault_block = fault_end = faulted = 0;
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
    assert(block_sizes.size() == blocks.size());
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

// Finds key in the table: the slot holding it, or the empty slot where
// it would go.
size_t sort_buffer::probe(const unsigned char *key, size_t n, uint64_t h, bool *found)
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
bool sort_buffer::rebuild_table(size_t slots)
{
    if (table_valid && table.cap) {
        mapped_array<uint64_t> old;
        std::swap(old.p, table.p);
        std::swap(old.n, table.n);
        std::swap(old.cap, table.cap);
        if (!table.assign_zero(slots))
            return false;
        // The new table is written all over at once: faulted in first, in
        // one call rather than a fault per page.
        if (faulting)
            populate(table.p, slots * 8);
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
void sort_buffer::sort_entries()
{
    if (live != entries.size()) {
        entries.n =
            static_cast<size_t>(std::remove_if(entries.begin(), entries.end(),
                                               [](const entry &e) { return is_dead(e.rec); }) -
                                entries.begin());
    }
    table_valid = false;
    entry *e = entries.begin();
    size_t n = entries.size();
    auto less = [](const entry &a, const entry &b) { return entry_less(a, b); };
    // A part of many entries (or a buffer whose prefixes are all equal) is
    // sorted with a count of comparisons that beats the pulse now and then,
    // since one sort of millions of entries is a long step of its own.
    auto sort_part = [this, &less](entry *from, entry *to) {
        if (static_cast<size_t>(to - from) < pulse_records) {
            std::sort(from, to, less);
            return;
        }
        size_t compared = 0;
        std::sort(from, to, [this, &compared](const entry &a, const entry &b) {
            if (++compared % (16 * pulse_records) == 0)
                beat();
            return entry_less(a, b);
        });
        beat();
    };
    // One sort of a whole run goes through memory at each of its top
    // levels.  So the entries are first put in place by 8 bits of their
    // prefix, the first bits in which the prefixes differ (a pass that
    // counts and one that swaps each entry into its part), and each part,
    // a few thousand entries that the cache holds, is sorted on its own.
    uint64_t differ = 0;
    for (size_t i = 1; n >= 4096 && i < n; i++)
        differ |= e[i].prefix ^ e[0].prefix;
    if (differ == 0) {
        sort_part(e, e + n);
        assert(std::adjacent_find(e, e + n, [](const entry &a, const entry &b) {
                   return !entry_less(a, b);
               }) == e + n);
        return;
    }
    int lead = __builtin_clzll(differ);
    auto digit = [lead](const entry &x) { return static_cast<size_t>((x.prefix << lead) >> 56); };
    size_t start[257] = {}, next[256];
    for (size_t i = 0; i < n; i++)
        start[digit(e[i]) + 1]++;
    for (size_t d = 0; d < 256; d++) {
        start[d + 1] += start[d];
        next[d] = start[d];
    }
    beat();
    for (size_t d = 0; d < 256; d++) {
        if (d % 64 == 0)
            beat();
        while (next[d] < start[d + 1]) {
            entry x = e[next[d]];
            // Each entry taken out goes to its part, and the one it displaces
            // is taken out in turn, until one belongs where the first was.
            for (size_t to = digit(x); to != d; to = digit(x))
                std::swap(x, e[next[to]++]);
            e[next[d]++] = x;
        }
    }
    for (size_t d = 0; d < 256; d++) {
        sort_part(e + start[d], e + start[d + 1]);
        if (d % 16 == 15)
            beat();
    }
    // Each key once, ascending: the order of the run written from here.
    assert(std::adjacent_find(e, e + n, [](const entry &a, const entry &b) {
               return !entry_less(a, b);
           }) == e + n);
}

}  // namespace kov_sort
