/* SPDX-License-Identifier: MIT */
// The sorter's merge: runs and the sorted buffer handed out as one sequence
// in key order.
//
// Invariants:
//  - Sources are the runs, oldest first, then the buffer's entries as the
//    newest; each source with records left stands at its current record
//    (cur), and the tree of losers holds at its top the one that comes
//    first.
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

#include <assert.h>

#include <string>
#include <vector>

#include "sort_buffer.h"
#include "sort_record.h"
#include "sort_runs.h"

namespace kov_sort {

// Merges sorted sources through a tree of losers: runs, read through their
// readers, oldest first, and optionally the sorted buffer as the newest
// source.  Each record handed out is the smallest key left, in the copy of
// the newest source that holds it; older copies of it are skipped.  A
// record handed out stays where it is until the next call, so its pointers
// stay valid until then.  A record costs ceil(log2 k) comparisons for k
// sources, one per level of the tree from its source to the top, and one
// more against the key handed out before it.
struct merger {
    std::vector<run_reader> readers;  // sources 0 .. readers.size() - 1
    const entry *mem = nullptr;       // the buffer's entries, the newest source
    size_t mem_size = 0, mem_at = 0;
    std::vector<rec_view> cur;     // current record of each source
    std::vector<uint8_t> live;     // whether each source has a current record
    std::vector<uint32_t> losers;  // [0]: the winner; [p]: the loser at node p
    int last = -1;                 // source of the record handed out last
    std::string last_key;          // its key, when its source's buffer moves on
    uint64_t consumed = 0;         // records read past, superseded ones included
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

    // Whether source a's record comes before source b's: a smaller key, or
    // the same key in a newer source; a source at its end comes last.
    bool before(uint32_t a, uint32_t b) const
    {
        if (!live[a] || !live[b])
            return live[a] && !live[b];
        int c = key_cmp(cur[a].key, cur[a].key_size, cur[b].key, cur[b].key_size);
        return c < 0 || (c == 0 && a > b);
    }

    // Plays source i's new record up the tree to the top.
    void replay(uint32_t i)
    {
        uint32_t winner = i;
        for (size_t p = (i + sources()) / 2; p > 0; p /= 2) {
            if (before(losers[p], winner))
                std::swap(losers[p], winner);
        }
        losers[0] = winner;
    }

    // Steps source i past its current record and plays its next one.
    // False with errno set on a read error.
    bool advance(size_t i)
    {
        consumed++;
        if (i < readers.size())
            readers[i].pos += cur[i].stored();
        else
            mem_at++;
        bool failed = false;
        live[i] = load(i, &failed);
        replay(static_cast<uint32_t>(i));
        return !failed;
    }

    // Steps past the record handed out last and every older copy of it.
    // Its key stays where it is unless its run's reader must read on, which
    // moves the buffer: only then is the key copied first.
    bool advance_last()
    {
        if (last < 0)
            return true;
        size_t i = static_cast<size_t>(last);
        const unsigned char *key = cur[i].key;
        size_t n = cur[i].key_size;
        if (i < readers.size() && !readers[i].next_in_buffer(cur[i].stored())) {
            try {
                last_key.assign(reinterpret_cast<const char *>(key), n);
            } catch (const std::bad_alloc &) {
                errno = ENOMEM;
                return false;
            }
            key = reinterpret_cast<const unsigned char *>(last_key.data());
        }
        if (!advance(i))
            return false;
        last = -1;
        // A source holds a key once: the copies are in other sources, whose
        // reading leaves key where it is.
        for (uint32_t w = losers[0]; live[w] && key_cmp(cur[w].key, cur[w].key_size, key, n) == 0;
             w = losers[0]) {
            if (!advance(w))
                return false;
        }
        // Merge order: the next key to come out is greater than this one.
        assert(!live[losers[0]] ||
               key_cmp(cur[losers[0]].key, cur[losers[0]].key_size, key, n) > 0);
        return true;
    }

    // Loads every source from its start.  False with errno set.
    bool start()
    {
        try {
            cur.assign(sources(), rec_view{});
            live.assign(sources(), 0);
            losers.assign(std::max<size_t>(sources(), 1), 0);
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
        if (!advance_last())
            return false;
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
        last = -1;
        consumed = mark_consumed;
        mem_at = mark_mem;
        for (size_t i = 0; i < readers.size(); i++) {
            readers[i].offset = mark_at[i];
            readers[i].pos = readers[i].len = 0;
        }
        size_t k = sources();
        for (size_t i = 0; i < k; i++) {
            bool failed = false;
            live[i] = load(i, &failed);
            if (failed)
                return false;
        }
        if (k == 0)
            return true;
        // Node p's winner is played from the winners of its children, the
        // leaves k .. 2k - 1 being the sources; the loser stays at p.
        std::vector<uint32_t> win;
        try {
            win.resize(2 * k);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            return false;
        }
        for (size_t i = 0; i < k; i++)
            win[k + i] = static_cast<uint32_t>(i);
        for (size_t p = k - 1; p > 0; p--) {
            uint32_t a = win[2 * p], b = win[2 * p + 1];
            bool a_first = before(a, b);
            win[p] = a_first ? a : b;
            losers[p] = a_first ? b : a;
        }
        losers[0] = win[k > 1 ? 1 : k];
        return true;
    }

    // The next record: 1 with *v set, 0 at the end, -1 with errno set.
    int next(rec_view *v)
    {
        if (!advance_last())
            return -1;
        if (sources() == 0 || !live[losers[0]])
            return 0;
        uint32_t best = losers[0];
        last = static_cast<int>(best);
        *v = cur[best];
        return 1;
    }
};

}  // namespace kov_sort

#endif
