/* SPDX-License-Identifier: MIT */
// The sorter's merge: runs and the sorted buffer handed out as one sequence
// in key order.
//
// Invariants:
//  - Sources are the runs, oldest first, then the buffer's entries as the
//    newest; the heap holds every source with records left, each at its
//    current record (cur).
//  - Each key comes out once, in the copy of the newest source that holds
//    it; older copies are stepped past, counted in consumed.
//  - The record handed out last stays where it is until the next call or
//    a checkpoint, which steps past it; a rewind goes back to where every
//    source stood at the last checkpoint (or at the start).
//  - The merge reads at most fan_in runs (sorter.h), each through its own
//    buffer out of the share of the cap for I/O; a last merge on a full disk
//    may read more, each through a buffer of min_read_bytes.
#ifndef KOV_SORT_MERGE_H
#define KOV_SORT_MERGE_H

#include <vector>

#include "sort_buffer.h"
#include "sort_record.h"
#include "sort_runs.h"

namespace kov_sort {

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

}  // namespace kov_sort

#endif
