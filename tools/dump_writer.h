/* SPDX-License-Identifier: MIT */
/*
 * Writer of the kov dump text format, the mirror of dump_reader.h.  Each
 * record becomes four lines:
 *
 *   {
 *   key(5) = "alpha"
 *   value(3) = "\01\0A\FF"
 *   }
 *
 * Bytes 0x20 to 0x7E other than '"' and '\' are written as themselves,
 * every other byte as '\' and two uppercase hexadecimal digits, so a record
 * never spans more than four lines and the reader decodes it to the same
 * bytes.
 *
 * Conventions: the writer encodes into a buffer that the caller provides
 * and owns, and writes it to a file descriptor with write(2) whenever it is
 * full.  Calls return 0 or -1.  The first failed write is kept as an errno
 * value in the writer's error field; after it every call fails at once
 * without writing, so the output never has a gap in its middle.
 */
#ifndef KOV_DUMP_WRITER_H
#define KOV_DUMP_WRITER_H

#include <stddef.h>

#include "kov.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Smallest buffer dump_writer_init accepts. */
#define DUMP_WRITER_MIN_BUFFER 256

typedef struct {
    int fd;             /* descriptor the dump is written to */
    unsigned char *buf; /* output buffer, owned by the caller */
    size_t capacity;    /* size of buf in bytes */
    size_t used;        /* encoded bytes waiting in buf */
    int error;          /* errno of the first failed write, 0 if none */
} dump_writer;

/*
 * Prepares w to write to fd through buf, which holds capacity bytes and
 * must outlive w.  Returns 0, or -1 with errno EINVAL when capacity is
 * below DUMP_WRITER_MIN_BUFFER.
 */
int dump_writer_init(dump_writer *w, int fd, unsigned char *buf, size_t capacity);

/*
 * Appends one record to the dump.  The bytes of key and value are copied
 * out before the call returns.  Returns 0, or -1 once a write has failed
 * (w->error holds its errno).
 */
int dump_write_record(dump_writer *w, datum key, datum value);

/*
 * Writes out everything still buffered, retrying partial and interrupted
 * writes.  Returns 0, or -1 with errno and w->error set to the cause.
 */
int dump_writer_flush(dump_writer *w);

/*
 * For tests that compare the body encoder's paths: 0 keeps it to the pair
 * table, 1 lets it take the AVX-512 path (the default where the processor
 * has it).  Returns 0, or -1 changing nothing when the processor lacks it.
 */
int dump_writer_vector_path(int widest);

#ifdef __cplusplus
}
#endif

#endif /* KOV_DUMP_WRITER_H */
