/* SPDX-License-Identifier: MIT */
// The one order of keys in the kov library: the kov table's primary key is
// a BLOB, and SQLite orders BLOBs by their bytes (memcmp), a shorter key
// before every longer key it is the start of.  The sorter, the B-tree
// writer and the handle's key-order checks all compare with key_cmp, so
// that the order they agree on is the one SQLite reads the file in.
#ifndef KOV_KEY_ORDER_H
#define KOV_KEY_ORDER_H

#include <stddef.h>
#include <string.h>

// Negative, zero or positive as key a (an bytes) sorts before, with or
// after key b (bn bytes).
inline int key_cmp(const void *a, size_t an, const void *b, size_t bn)
{
    size_t n = an < bn ? an : bn;
    int c = n ? memcmp(a, b, n) : 0;
    if (c)
        return c;
    return an < bn ? -1 : an > bn ? 1 : 0;
}

#endif
