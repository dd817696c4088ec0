// Reader primitives for the kov dump text format (see dump_reader.h).
//
// Field bodies are most of a dump, so read_data decodes them straight from
// the stream's buffer where the C library lets us see it: a table lookup per
// byte, no call per character.  Anything unusual (the end of the buffer, a
// quote, a bad escape, the end of the input) drops to a path that reads one
// character at a time and reports exactly as the byte-wise reader would.

#include "dump_reader.h"

#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <array>

static const char msg_eof_in_data[] = "Unexpected EOF in data\n";
static const char msg_quote_in_escape[] = "Unexpected \\\" sequence\n";
static const char msg_invalid_hex[] = "Invalid hex: %c\n";

namespace {

// Value of each byte as a hexadecimal digit, -1 for every other byte.
constexpr std::array<signed char, 256> hex_table = [] {
    std::array<signed char, 256> t{};
    for (int c = 0; c < 256; c++)
        t[c] = -1;
    for (int c = '0'; c <= '9'; c++)
        t[c] = static_cast<signed char>(c - '0');
    for (int c = 'A'; c <= 'F'; c++)
        t[c] = static_cast<signed char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; c++)
        t[c] = static_cast<signed char>(c - 'a' + 10);
    return t;
}();

// Bytes that stand for themselves inside a body: all but '"' and '\'.
constexpr std::array<bool, 256> literal_table = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; c++)
        t[c] = c != '"' && c != '\\';
    return t;
}();

// The unread bytes of in's buffer, or an empty range where the C library
// keeps its buffer private.
struct buffer_view {
    const unsigned char *begin;
    const unsigned char *end;
};

inline buffer_view unread(FILE *in)
{
#if defined(__GLIBC__)
    return {reinterpret_cast<const unsigned char *>(in->_IO_read_ptr),
            reinterpret_cast<const unsigned char *>(in->_IO_read_end)};
#else
    (void)in;
    return {nullptr, nullptr};
#endif
}

inline void consume(FILE *in, size_t n)
{
#if defined(__GLIBC__)
    in->_IO_read_ptr += n;
#else
    (void)in;
    (void)n;
#endif
}

// Reports the end of the input inside a field.  A read error is left to the
// caller, which reports it with the system's text.
void report_eof(FILE *in)
{
    if (!ferror(in))
        fputs(msg_eof_in_data, stderr);
}

int read_nibble_from(FILE *in)
{
    int c = getc_unlocked(in);
    if (c == EOF) {
        report_eof(in);
        return -1;
    }
    if (c == '"') {
        fputs(msg_quote_in_escape, stderr);
        return -1;
    }
    int value = hex_table[c];
    if (value < 0)
        fprintf(stderr, msg_invalid_hex, c);
    return value;
}

// Decodes whatever complete literals and escapes sit in the stream's buffer
// into out[*done..count).  Stops at the end of the field, the end of the
// buffer, a quote, or an escape that is bad or cut by the buffer's end.
void decode_buffered(FILE *in, unsigned char *out, size_t *done, size_t count)
{
    buffer_view buf = unread(in);
    const unsigned char *p = buf.begin;
    unsigned char *o = out + *done;
    unsigned char *o_end = out + count;
    while (o < o_end && p < buf.end) {
        unsigned char c = *p;
        if (literal_table[c]) {
            *o++ = c;
            p++;
            continue;
        }
        if (c == '\\' && buf.end - p >= 3) {
            int high = hex_table[p[1]];
            int low = hex_table[p[2]];
            if ((high | low) >= 0) {
                *o++ = static_cast<unsigned char>(high << 4 | low);
                p += 3;
                continue;
            }
        }
        break;
    }
    consume(in, static_cast<size_t>(p - buf.begin));
    *done = static_cast<size_t>(o - out);
}

}  // namespace

extern "C" int read_nibble(void)
{
    return read_nibble_from(stdin);
}

extern "C" int expect_line(FILE *in, const char *expected, int *at_end)
{
    char line[128];
    if (!fgets_unlocked(line, sizeof line, in)) {
        // Only the real end of the input is a clean place to stop; a read
        // error is a failure the caller reports.
        if (at_end && !ferror(in))
            *at_end = 1;
        return -1;
    }
    return strcmp(line, expected) == 0 ? 0 : -1;
}

extern "C" int read_field_length(FILE *in)
{
    int c;
    do {
        c = getc_unlocked(in);
        if (c == EOF)
            return -1;
    } while (c != '(');

    char header[128];
    size_t len = 0;
    for (;;) {
        if (len == sizeof header)
            return -1;
        c = getc_unlocked(in);
        if (c == EOF)
            return -1;
        if (c == '"')
            break;
        header[len++] = static_cast<char>(c);
    }
    header[len] = '\0';

    // As "%d" reads it: blanks, an optional sign, digits; anything after the
    // number is not checked.  Unlike "%d", a number out of the range of a
    // signed 32-bit integer is refused instead of being undefined.
    char *end;
    errno = 0;
    long count = strtol(header, &end, 10);
    if (end == header || errno == ERANGE || count < INT_MIN || count > INT_MAX)
        return -1;
    return static_cast<int>(count);
}

extern "C" int read_data(FILE *in, datum *d, int count)
{
    if (count < 0) {
        d->data = nullptr;
        return -1;
    }
    size_t size = static_cast<size_t>(count);
    // malloc(0) may return null; ask for one byte so that an empty field
    // still gets a pointer the caller can free.
    d->data = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (!d->data)
        return -1;
    d->size = size;

    unsigned char *out = d->data;
    size_t done = 0;
    while (done < size) {
        decode_buffered(in, out, &done, size);
        if (done == size)
            break;

        // One character the fast path could not take.
        int c = getc_unlocked(in);
        if (c == EOF) {
            report_eof(in);
            return -1;
        }
        if (c == '"') {
            // The body ended before its count.  The rest of the datum would
            // be bytes that were never in the input: refuse the field.
            return -1;
        }
        if (c == '\\') {
            int high = read_nibble_from(in);
            if (high == -1)
                return -1;
            int low = read_nibble_from(in);
            if (low == -1)
                return -1;
            high <<= 4;
            assert(high == (high & 0xf0));
            assert(low == (low & 0x0f));
            c = high + low;
        }
        out[done++] = static_cast<unsigned char>(c);
    }
    return 0;
}
