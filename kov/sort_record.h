/* SPDX-License-Identifier: MIT */
// The sorter's records and the helpers every part of it shares.
//
// Invariants:
//  - A record is a header of two native 32-bit words, key size and value
//    size, then the key, then the value or, for a value kept in the value
//    file, its 8-byte offset there.  The layout is the same in the buffer
//    and in runs, so a run is the buffer's records end to end.
//  - Keys are ordered as SQLite orders BLOBs (key_cmp); key_prefix orders
//    them the same way except between equal prefixes.
//  - Calls that fail return -1 (or false) with errno set, and where they
//    take a std::string *error, a text there.
#ifndef KOV_SORT_RECORD_H
#define KOV_SORT_RECORD_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "key_order.h"

namespace kov_sort {

// Record header in the buffer and in runs: key size, value size (native
// 32-bit words).  The top bit of the key size marks a buffered record that a
// later copy replaced.  The top bit of the value size marks a value kept in
// the value file: the record then holds its 8-byte offset there instead.
constexpr uint32_t dead_bit = 0x80000000u;
constexpr uint32_t external_bit = 0x80000000u;
constexpr size_t header_bytes = 8;
constexpr size_t ref_bytes = 8;

// Writes go to the kernel 1 MiB at a time.  A single write of 2 MiB or more
// lets the page cache take 2 MiB pages, which come from the memory blocks the
// system has left idle longest; on a virtual machine those are the blocks
// given back to the host, which must supply each afresh when touched again,
// far more than the copy itself costs.
constexpr size_t max_write = size_t{1} << 20;

// A call made every so often during a long step of the sorter (sorting the
// buffer, writing or merging runs), on the thread doing it, so that the
// caller's progress line keeps moving; fn null for none.  The steps call it
// at least once per pulse_records records.
struct pulse {
    void (*fn)(void *) = nullptr;
    void *ctx = nullptr;
    void operator()() const
    {
        if (fn)
            fn(ctx);
    }
};
constexpr size_t pulse_records = size_t{1} << 16;

inline uint64_t load64(const unsigned char *p)
{
    uint64_t x;
    memcpy(&x, p, 8);
    return x;
}

inline uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

inline uint64_t key_hash(const unsigned char *p, size_t n)
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
inline uint64_t key_prefix(const unsigned char *p, size_t n)
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

inline rec_view view(const unsigned char *rec)
{
    uint32_t ks, vs;
    memcpy(&ks, rec, 4);
    memcpy(&vs, rec + 4, 4);
    ks &= ~dead_bit;
    bool external = vs & external_bit;
    return {rec + header_bytes, ks, rec + header_bytes + ks, vs & ~external_bit, external};
}

inline bool is_dead(const unsigned char *rec)
{
    uint32_t ks;
    memcpy(&ks, rec, 4);
    return ks & dead_bit;
}

inline void set_dead(unsigned char *rec)
{
    uint32_t ks;
    memcpy(&ks, rec, 4);
    ks |= dead_bit;
    memcpy(rec, &ks, 4);
}

inline int no_memory(std::string *error)
{
    *error = "out of memory";
    errno = ENOMEM;
    return -1;
}

inline int sys_fail(std::string *error, const char *what, int err)
{
    *error = std::string(what) + ": " + strerror(err);
    errno = err;
    return -1;
}

// Writes a record at p: its header, the key, and the value, or for an
// external one its offset (value then points at the 8-byte offset).
inline void put_record(unsigned char *p, const unsigned char *key, size_t key_size,
                       const unsigned char *value, size_t value_size, bool external)
{
    uint32_t ks = static_cast<uint32_t>(key_size);
    uint32_t vs = static_cast<uint32_t>(value_size) | (external ? external_bit : 0);
    memcpy(p, &ks, 4);
    memcpy(p + 4, &vs, 4);
    if (key_size)
        memcpy(p + header_bytes, key, key_size);
    size_t n = external ? ref_bytes : value_size;
    if (n)
        memcpy(p + header_bytes + key_size, value, n);
}

// Writes (write) or reads exactly size bytes at offset; a read that meets
// the end of the file fails with EIO.
bool transfer_all(bool write, int fd, unsigned char *p, size_t size, uint64_t offset);

// A temporary file in the directory dir (a descriptor) with no name, or -1
// with errno set.  Where the file system cannot make a nameless file, a
// named one is unlinked at once.
int nameless_file(int dir);

}  // namespace kov_sort

#endif
