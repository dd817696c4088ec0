// SPDX-License-Identifier: MIT
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
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

static const char msg_eof_in_data[] = "Unexpected EOF in data\n";
static const char msg_quote_in_escape[] = "Unexpected \\\" sequence\n";
static const char msg_invalid_hex[] = "Invalid hex: %c\n";

// The cause of the last failure, and whether the messages are held back.
// Both are touched on failure paths only.
static dump_fault last_fault;
static bool quiet;

namespace {

// Records the cause of a failure; returns -1 for the failing primitive.
int fail(dump_fault_kind kind)
{
    last_fault.kind = kind;
    return -1;
}

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
// keeps its buffer private.  A stream with output still pending in its
// buffer is not looked into either: its read pointers do not describe
// input then.
struct buffer_view {
    const unsigned char *begin;
    const unsigned char *end;
};

inline buffer_view unread(FILE *in)
{
#if defined(__GLIBC__)
    if (in->_IO_write_ptr > in->_IO_write_base)
        return {nullptr, nullptr};
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
    if (!ferror(in) && !quiet)
        fputs(msg_eof_in_data, stderr);
}

int read_nibble_from(FILE *in)
{
    int c = getc_unlocked(in);
    if (c == EOF) {
        report_eof(in);
        return fail(DUMP_FAULT_EOF_IN_ESCAPE);
    }
    if (c == '"') {
        if (!quiet)
            fputs(msg_quote_in_escape, stderr);
        return fail(DUMP_FAULT_QUOTE_IN_ESCAPE);
    }
    int value = hex_table[c];
    if (value < 0) {
        if (!quiet)
            fprintf(stderr, msg_invalid_hex, c);
        last_fault.byte = c;
        return fail(DUMP_FAULT_BAD_HEX);
    }
    return value;
}

// Marks the bytes of w that are a quote or a backslash: the high bit of the
// lowest such byte is set, and no bit below it.  (Bits above it may be set
// wrongly by a borrow; only the lowest one is used.)
inline uint64_t special_bytes(uint64_t w)
{
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    uint64_t q = w ^ ('"' * ones);
    uint64_t b = w ^ ('\\' * ones);
    return ((q - ones) & ~q & highs) | ((b - ones) & ~b & highs);
}

// The widest vector path decode_buffered may take: 0 none, 1 SSSE3,
// 2 AVX-512.  Tests lower it to compare the paths; the tools never do.
int widest_path = 2;

#if defined(__x86_64__)
// Shuffle control that packs the bytes whose bits are set in an 8-bit mask
// to the front of an 8-byte group; the other lanes are zeroed.
struct pack_table {
    alignas(16) unsigned char lanes[256][8];
};

constexpr pack_table make_pack_table()
{
    pack_table t{};
    for (int mask = 0; mask < 256; mask++) {
        int n = 0;
        for (int i = 0; i < 8; i++) {
            if (mask & (1 << i))
                t.lanes[mask][n++] = static_cast<unsigned char>(i);
        }
        for (; n < 8; n++)
            t.lanes[mask][n] = 0x80;
    }
    return t;
}

constexpr pack_table pack = make_pack_table();

// Values of sixteen bytes as hexadecimal digits, and a mask with a set bit
// for each byte that is not one.
__attribute__((target("ssse3,popcnt"))) inline __m128i hex_values(__m128i x, unsigned *invalid)
{
    __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
    __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    __m128i l = _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(5)), l);
    __m128i value = _mm_or_si128(_mm_and_si128(d, is_digit),
                                 _mm_and_si128(_mm_add_epi8(l, _mm_set1_epi8(10)), is_letter));
    *invalid =
        ~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter))) & 0xffff;
    return value;
}

// Decodes sixteen bytes of input per step while at least 18 bytes of input
// and 16 of output are left.  Every backslash starts an escape, so the
// escapes of a step are found at once: each backslash's lane takes the
// byte its two digits make, the two digit lanes are dropped, and the kept
// lanes are packed.  An escape that starts in the last two lanes takes its
// digits from the next bytes, which the step then consumes too.  A step
// with a quote or a bad escape is left to the byte-wise loops.
__attribute__((target("ssse3,popcnt"))) void decode_sixteen(const unsigned char **pp,
                                                            const unsigned char *end,
                                                            unsigned char **oo,
                                                            unsigned char *o_end)
{
    const unsigned char *p = *pp;
    unsigned char *o = *oo;
    while (end - p >= 18 && o_end - o >= 16) {
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2));
        __m128i is_escape = _mm_cmpeq_epi8(v0, _mm_set1_epi8('\\'));
        unsigned escapes = static_cast<unsigned>(_mm_movemask_epi8(is_escape));
        unsigned quotes =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v0, _mm_set1_epi8('"'))));
        unsigned bad_high, bad_low;
        __m128i high = hex_values(v1, &bad_high);
        __m128i low = hex_values(v2, &bad_low);
        if (quotes | (escapes & (bad_high | bad_low)))
            break;
        __m128i byte = _mm_or_si128(
            _mm_and_si128(_mm_slli_epi16(high, 4), _mm_set1_epi8(static_cast<char>(0xf0))), low);
        __m128i out = _mm_or_si128(_mm_and_si128(is_escape, byte), _mm_andnot_si128(is_escape, v0));
        unsigned dropped = escapes << 1 | escapes << 2;
        unsigned keep = ~dropped & 0xffff;
        __m128i lo_ctl =
            _mm_loadl_epi64(reinterpret_cast<const __m128i *>(pack.lanes[keep & 0xff]));
        __m128i hi_ctl =
            _mm_add_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(pack.lanes[keep >> 8])),
                         _mm_set1_epi8(8));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(out, lo_ctl));
        o += __builtin_popcount(keep & 0xff);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(out, hi_ctl));
        o += __builtin_popcount(keep >> 8);
        p += 16 + __builtin_popcount(dropped >> 16);
    }
    *pp = p;
    *oo = o;
}

// Values of 64 bytes as hexadecimal digits, and a mask with a set bit for
// each byte that is not one.
__attribute__((target("avx512f,avx512bw"))) inline __m512i hex_values_64(__m512i x,
                                                                         __mmask64 *invalid)
{
    __m512i d = _mm512_sub_epi8(x, _mm512_set1_epi8('0'));
    __mmask64 is_digit = _mm512_cmple_epu8_mask(d, _mm512_set1_epi8(9));
    __m512i l = _mm512_sub_epi8(_mm512_or_si512(x, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
    __mmask64 is_letter = _mm512_cmple_epu8_mask(l, _mm512_set1_epi8(5));
    *invalid = ~(is_digit | is_letter);
    return _mm512_mask_blend_epi8(is_letter, d, _mm512_add_epi8(l, _mm512_set1_epi8(10)));
}

// decode_sixteen with 64 bytes per step, where the processor can pack the
// kept bytes of a whole step with one instruction (AVX-512 VBMI2).  Needs 66
// bytes of input and 64 of output.  An escape in the last two lanes takes
// its digits from the next one or two bytes, which the step consumes too.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt"))) void
decode_sixty_four(const unsigned char **pp, const unsigned char *end, unsigned char **oo,
                  unsigned char *o_end)
{
    const unsigned char *p = *pp;
    unsigned char *o = *oo;
    while (end - p >= 66 && o_end - o >= 64) {
        __m512i v0 = _mm512_loadu_si512(p);
        __mmask64 escapes = _mm512_cmpeq_epi8_mask(v0, _mm512_set1_epi8('\\'));
        __mmask64 quotes = _mm512_cmpeq_epi8_mask(v0, _mm512_set1_epi8('"'));
        __mmask64 bad_high, bad_low;
        __m512i high = hex_values_64(_mm512_loadu_si512(p + 1), &bad_high);
        __m512i low = hex_values_64(_mm512_loadu_si512(p + 2), &bad_low);
        if (quotes | (escapes & (bad_high | bad_low)))
            break;
        __m512i byte = _mm512_or_si512(
            _mm512_and_si512(_mm512_slli_epi16(high, 4), _mm512_set1_epi8(static_cast<char>(0xf0))),
            low);
        __m512i out = _mm512_mask_blend_epi8(escapes, v0, byte);
        uint64_t e = escapes;
        uint64_t keep = ~(e << 1 | e << 2);
        _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, out));
        o += __builtin_popcountll(keep);
        // Lanes 64 and 65 are digits of an escape in lane 62 or 63.
        p += 64 + ((e >> 62) & 1) + 2 * (e >> 63);
    }
    *pp = p;
    *oo = o;
}

bool have_avx512_vbmi2()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt");
    }();
    return supported;
}

bool have_ssse3()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
    }();
    return supported;
}
#endif

// Decodes whatever complete literals and escapes sit in the stream's buffer
// into out[*done..count).  Stops at the end of the field, the end of the
// buffer, a quote, or an escape that is bad or cut by the buffer's end.
//
// Every backslash in a body starts an escape (hex digits are never
// backslashes), and every other byte but the quote is a literal, so escapes
// and runs of literals can be found without looking at each byte on its
// own.  Where the processor has SSSE3, sixteen bytes are decoded per step.
// Then a loop copies eight bytes at once, keeps those before the first
// quote or backslash among them, and decodes that one escape.  Near the end
// of the field or of the buffer a byte-wise loop takes over; it chooses
// between literal and escape without a branch, since in binary data they
// alternate at random.
void decode_buffered(FILE *in, unsigned char *out, size_t *done, size_t count)
{
    buffer_view buf = unread(in);
    const unsigned char *p = buf.begin;
    unsigned char *o = out + *done;
    unsigned char *o_end = out + count;
#if defined(__x86_64__)
    if (widest_path >= 2 && have_avx512_vbmi2())
        decode_sixty_four(&p, buf.end, &o, o_end);
    if (widest_path >= 1 && have_ssse3())
        decode_sixteen(&p, buf.end, &o, o_end);
#endif
    while (o_end - o >= 8 && buf.end - p >= 10) {
        uint64_t w;
        memcpy(&w, p, 8);
        memcpy(o, &w, 8);
        uint64_t special = special_bytes(w);
        if (!special) {
            o += 8;
            p += 8;
            continue;
        }
        size_t literals = static_cast<size_t>(__builtin_ctzll(special)) / 8;
        o += literals;
        p += literals;
        int high = hex_table[p[1]];
        int low = hex_table[p[2]];
        if (*p == '"' || (high | low) < 0)
            break;
        *o++ = static_cast<unsigned char>(high << 4 | low);
        p += 3;
    }
    while (o < o_end && buf.end - p >= 3) {
        unsigned c = p[0];
        int high = hex_table[p[1]];
        int low = hex_table[p[2]];
        unsigned escape = c == '\\';
        unsigned bad = (c == '"') | (escape & ((high | low) < 0));
        if (bad)
            break;
        unsigned decoded = static_cast<unsigned>(high << 4 | low);
        *o++ = static_cast<unsigned char>(escape ? decoded : c);
        p += 1 + 2 * escape;
    }
    // The last bytes of the buffer: literals only; an escape cut by the end
    // of the buffer is left to the caller's byte-wise path.
    while (o < o_end && p < buf.end && literal_table[*p])
        *o++ = *p++;
    consume(in, static_cast<size_t>(p - buf.begin));
    *done = static_cast<size_t>(o - out);
}

}  // namespace

extern "C" const dump_fault *dump_reader_fault(void)
{
    return &last_fault;
}

extern "C" void dump_reader_quiet(int q)
{
    quiet = q != 0;
}

extern "C" size_t dump_reader_unread(FILE *in)
{
    buffer_view buf = unread(in);
    return static_cast<size_t>(buf.end - buf.begin);
}

extern "C" int dump_reader_vector_path(int widest)
{
    bool supported = widest == 0;
#if defined(__x86_64__)
    supported |= (widest == 1 && have_ssse3()) || (widest == 2 && have_avx512_vbmi2());
#endif
    if (!supported)
        return -1;
    widest_path = widest;
    return 0;
}

extern "C" int read_nibble(void)
{
    return read_nibble_from(stdin);
}

extern "C" int expect_line(FILE *in, const char *expected, int *at_end)
{
    // The usual case, the expected line whole in the buffer, is settled by
    // one comparison.  It is the line fgets would read only when the line
    // feed that ends expected is its first one.
    size_t len = strlen(expected);
    buffer_view buf = unread(in);
    if (len > 0 && len < 128 && static_cast<size_t>(buf.end - buf.begin) >= len &&
        memchr(expected, '\n', len) == expected + len - 1 &&
        memcmp(buf.begin, expected, len) == 0) {
        consume(in, len);
        return 0;
    }

    char line[128];
#if HAVE_FGETS_UNLOCKED
    if (!fgets_unlocked(line, sizeof line, in)) {
#else
    if (!fgets(line, sizeof line, in)) {
#endif
        // Only the real end of the input is a clean place to stop; a read
        // error is a failure the caller reports.
        if (at_end && !ferror(in))
            *at_end = 1;
        return fail(DUMP_FAULT_NO_LINE);
    }
    if (strcmp(line, expected) == 0)
        return 0;
    static_assert(sizeof last_fault.line == sizeof line);
    memcpy(last_fault.line, line, sizeof line);
    return fail(DUMP_FAULT_LINE);
}

// Reads a count from [s, e) as "%d" reads it: blanks, an optional sign,
// digits; anything after the number is not checked (a zero byte, which would
// end the text for "%d", is no blank, sign or digit either).  Unlike "%d", a number
// out of the range of a signed 32-bit integer is refused instead of being
// undefined.  Returns 0 and the number in *count, or -1.
static int parse_count(const char *s, const char *e, int *count)
{
    while (s < e && (*s == ' ' || (*s >= '\t' && *s <= '\r')))
        s++;
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-'))
        negative = *s++ == '-';
    if (s == e || *s < '0' || *s > '9')
        return -1;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; s < e && *s >= '0' && *s <= '9'; s++) {
        value = value * 10 + (*s - '0');
        if (value > limit)
            return -1;
    }
    *count = static_cast<int>(negative ? -value : value);
    return 0;
}

// The count of a field header [s, e), or -1 with its cause.  A count of -1
// is returned as read, and since it doubles as the failure it is recorded
// as a negative count.
static int field_count(const char *s, const char *e)
{
    int count;
    if (parse_count(s, e, &count))
        return fail(DUMP_FAULT_BAD_COUNT);
    if (count == -1)
        fail(DUMP_FAULT_NEGATIVE_COUNT);
    return count;
}

extern "C" int read_field_length(FILE *in)
{
    char header[128];
    size_t len = 0;

    // The usual case: the "(" and the opening quote both in the buffer.
    // (A stream not yet read from has no buffer at all: null pointers.)
    buffer_view buf = unread(in);
    const void *open = buf.begin == buf.end
                           ? nullptr
                           : memchr(buf.begin, '(', static_cast<size_t>(buf.end - buf.begin));
    if (open) {
        consume(in, static_cast<size_t>(static_cast<const unsigned char *>(open) - buf.begin) + 1);
        buf = unread(in);
        size_t avail = static_cast<size_t>(buf.end - buf.begin);
        const void *quote = memchr(buf.begin, '"', avail < sizeof header ? avail : sizeof header);
        if (quote) {
            const char *begin = reinterpret_cast<const char *>(buf.begin);
            const char *end = static_cast<const char *>(quote);
            consume(in, static_cast<size_t>(end - begin) + 1);
            return field_count(begin, end);
        }
    } else {
        int c;
        do {
            c = getc_unlocked(in);
            if (c == EOF)
                return fail(DUMP_FAULT_EOF_BEFORE_PAREN);
        } while (c != '(');
    }

    for (;;) {
        if (len == sizeof header)
            return fail(DUMP_FAULT_LONG_HEADER);
        int c = getc_unlocked(in);
        if (c == EOF)
            return fail(DUMP_FAULT_EOF_IN_HEADER);
        if (c == '"')
            break;
        header[len++] = static_cast<char>(c);
    }
    return field_count(header, header + len);
}

extern "C" int read_data(FILE *in, datum *d, int count)
{
    if (count < 0) {
        d->data = nullptr;
        return fail(DUMP_FAULT_NEGATIVE_COUNT);
    }
    size_t size = static_cast<size_t>(count);
    // malloc(0) may return null; ask for one byte so that an empty field
    // still gets a pointer the caller can free.
    d->data = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (!d->data)
        return fail(DUMP_FAULT_NO_MEMORY);
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
            last_fault.done = done;
            return fail(DUMP_FAULT_EOF_IN_BODY);
        }
        if (c == '"') {
            // The body ended before its count.  The rest of the datum would
            // be bytes that were never in the input: refuse the field.
            last_fault.done = done;
            return fail(DUMP_FAULT_SHORT_BODY);
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

extern "C" int dump_read_record(FILE *in, datum *key, datum *value, int *at_end)
{
    *at_end = 0;
    key->data = nullptr;
    value->data = nullptr;
    if (expect_line(in, "{\n", at_end) || read_data(in, key, read_field_length(in)) ||
        expect_line(in, "\"\n", nullptr) || read_data(in, value, read_field_length(in)) ||
        expect_line(in, "\"\n", nullptr) || expect_line(in, "}\n", nullptr))
        return -1;
    return 0;
}
