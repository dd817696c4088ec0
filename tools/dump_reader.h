/* SPDX-License-Identifier: MIT */
/*
 * Reader primitives for the kov dump text format.  A dump is zero or more
 * records of four lines each:
 *
 *   {
 *   key(5) = "alpha"
 *   value(3) = "\01\0A\FF"
 *   }
 *
 * A field is a label (any text without "("), "(", a decimal byte count,
 * ") = ", and a body in double quotes that encodes exactly that many bytes:
 * any byte but '"' and '\' stands for itself, "\XX" for the byte with hex
 * value XX.  The primitives are called in the order of that grammar on one
 * stream; each continues where the previous one stopped, and everything a
 * primitive reads is consumed, including the character that made it fail.
 *
 * dump_read_record calls them in that order for one whole record.
 *
 * Results: 0 for success and -1 for failure (read_field_length returns the
 * count, -1 meaning failure).  Messages about the input are printed by the
 * primitive that finds the fault (unless dump_reader_quiet asks otherwise);
 * a read error on the stream is never printed here: the caller sees it
 * through ferror() and reports it.
 *
 * Every failure also leaves its cause in dump_reader_fault(), so that a
 * checker can explain the failures the primitives pass over in silence.
 * The cause is written on failure paths only, never per byte.  The state is
 * static: one stream at a time, one thread.
 */
#ifndef KOV_DUMP_READER_H
#define KOV_DUMP_READER_H

#include <stdio.h>

#include "kov.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Why the last primitive that failed failed. */
enum dump_fault_kind {
    DUMP_FAULT_NONE,
    DUMP_FAULT_NO_LINE,          /* expect_line: end of input or read error */
    DUMP_FAULT_LINE,             /* expect_line: another line, kept in line */
    DUMP_FAULT_EOF_BEFORE_PAREN, /* read_field_length: no "(" before the end */
    DUMP_FAULT_EOF_IN_HEADER,    /* read_field_length: no quote before the end */
    DUMP_FAULT_LONG_HEADER,      /* read_field_length: 128 bytes and no quote */
    DUMP_FAULT_BAD_COUNT,        /* read_field_length: no number, or too large */
    DUMP_FAULT_NEGATIVE_COUNT,   /* read_field_length (-1) or read_data */
    DUMP_FAULT_NO_MEMORY,        /* read_data: the buffer was refused */
    DUMP_FAULT_EOF_IN_BODY,      /* read_data: end of input inside the body */
    DUMP_FAULT_EOF_IN_ESCAPE,    /* read_nibble: end of input inside an escape */
    DUMP_FAULT_QUOTE_IN_ESCAPE,  /* read_nibble: a quote for a digit */
    DUMP_FAULT_BAD_HEX,          /* read_nibble: byte is no hexadecimal digit */
    DUMP_FAULT_SHORT_BODY        /* read_data: a quote after done of count bytes */
};

struct dump_fault {
    enum dump_fault_kind kind;
    int byte;       /* DUMP_FAULT_BAD_HEX: the byte that is no digit */
    size_t done;    /* DUMP_FAULT_SHORT_BODY, _EOF_IN_BODY: bytes decoded */
    char line[128]; /* DUMP_FAULT_LINE: the line read, as fgets left it */
};

/* The cause of the last failure; its kind is DUMP_FAULT_NONE before any. */
const struct dump_fault *dump_reader_fault(void);

/*
 * With quiet non-zero, the primitives print no message on standard error;
 * the causes are left in dump_reader_fault() all the same.
 */
void dump_reader_quiet(int quiet);

/*
 * Bytes of in's buffer not consumed yet, where the C library lets the
 * reader see its buffer (glibc); 0 elsewhere.
 */
size_t dump_reader_unread(FILE *in);

/*
 * Reads one line of at most 127 bytes and compares it with expected (a
 * whole line, line feed included).  Returns 0 when equal, -1 otherwise.
 * When the stream is at its end before the first byte, sets *at_end to 1
 * if at_end is not null.  A read error never sets *at_end.
 */
int expect_line(FILE *in, const char *expected, int *at_end);

/*
 * Skips to the next "(", then reads the count that follows: optional
 * blanks, an optional sign and decimal digits that fit a signed 32-bit
 * integer, within at most 127 bytes up to the body's opening quote, which
 * is consumed.  Returns the count, or -1 on failure (no message).
 */
int read_field_length(FILE *in);

/*
 * Decodes a body of count bytes into a buffer from malloc of exactly count
 * bytes (a valid pointer even for 0), attached to d->data at once whatever
 * happens next; d->size is set to count.  The caller frees d->data.  A body
 * that ends at a double quote before count bytes fails, so a datum never
 * holds bytes that were not in the input.  Returns 0 or -1; prints
 * "Unexpected EOF in data" at the end of the input, and the messages of
 * read_nibble for a bad escape.
 */
int read_data(FILE *in, datum *d, int count);

/*
 * Reads one hexadecimal digit from standard input.  Returns 0 to 15, or -1
 * after printing "Unexpected EOF in data", "Unexpected \" sequence" or
 * "Invalid hex: %c" on standard error.
 */
int read_nibble(void);

/*
 * For tests that compare the body decoder's paths: sets the widest vector
 * path it may take, 0 for none, 1 for SSSE3 (16 bytes a step), 2 for
 * AVX-512 (64 bytes a step; the default is the widest the processor has).
 * Returns 0, or -1 changing nothing when the processor lacks that path.
 */
int dump_reader_vector_path(int widest);

/*
 * Reads one record: the line "{", the key field, the line of its closing
 * quote, the value field, the line of its closing quote and the line "}".
 * Clears *at_end, key->data and value->data first; then each field's buffer
 * is attached as read_data attaches it, and the caller frees both whatever
 * the result.  Returns 0 for a whole record, -1 at the first failure, with
 * *at_end set to 1 when the input ended cleanly where the record's opening
 * line was expected.
 */
int dump_read_record(FILE *in, datum *key, datum *value, int *at_end);

#ifdef __cplusplus
}
#endif

#endif /* KOV_DUMP_READER_H */
