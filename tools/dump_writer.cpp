// SPDX-License-Identifier: MIT
// Writer of the kov dump text format (see dump_writer.h).
//
// Field bodies are most of a dump, so they are encoded straight into the
// output buffer, which goes to the descriptor in large writes: 16 bytes per
// step with vector byte compression where the processor has it, otherwise
// two bytes per step with one lookup in a table of every pair and one fixed
// eight-byte store.

#include "dump_writer.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include <array>
#include <vector>

namespace {

// How one input byte is written: up to three characters and their count.
// The count sits in the fourth byte so that an entry is stored with one
// four-byte copy; the next entry overwrites whatever lands past the text.
struct encoding {
    char text[3];
    unsigned char length;
};
static_assert(sizeof(encoding) == 4);

constexpr std::array<encoding, 256> encoding_table = [] {
    constexpr char hex[] = "0123456789ABCDEF";
    std::array<encoding, 256> t{};
    for (int c = 0; c < 256; c++) {
        if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\')
            t[c] = {{static_cast<char>(c), 0, 0}, 1};
        else
            t[c] = {{'\\', hex[c >> 4], hex[c & 15]}, 3};
    }
    return t;
}();

// How a pair of input bytes is written: up to six characters, with their
// count in the last byte so that an entry is stored with one eight-byte
// copy.  Half the lookups and stores of the one-byte table, which is what
// random bytes cost most in; the 512 KiB the table takes stay in the
// second-level cache, and the pairs of text-like fields in far less.
struct pair_encoding {
    char text[7];
    unsigned char length;
};
static_assert(sizeof(pair_encoding) == 8);

// The pair table, indexed by the two bytes as a 16-bit value read from
// memory, so that the index means the same bytes on any byte order.  Built
// on first use rather than at compile time: it would add 512 KiB to the
// program.
const pair_encoding *pair_table()
{
    static const std::vector<pair_encoding> table = [] {
        std::vector<pair_encoding> t(1 << 16);
        for (size_t i = 0; i < t.size(); i++) {
            uint16_t index = static_cast<uint16_t>(i);
            unsigned char pair[2];
            memcpy(pair, &index, sizeof pair);
            const encoding &first = encoding_table[pair[0]];
            const encoding &second = encoding_table[pair[1]];
            pair_encoding &e = t[i];
            memset(&e, 0, sizeof e);
            memcpy(e.text, first.text, first.length);
            memcpy(e.text + first.length, second.text, second.length);
            e.length = static_cast<unsigned char>(first.length + second.length);
        }
        return t;
    }();
    return table.data();
}

// Where the processor has 512-bit byte permutes and byte compression
// (x86-64 with AVX-512 VBMI and VBMI2, chosen at run time), bodies are
// encoded 16 bytes per step: each byte is spread over three slots of a
// vector that hold its escape ('\\' and two hex digits), the slots a
// literal byte does not need are dropped, and the rest are packed together
// and stored in one 64-byte write.  Elsewhere, and for the last bytes of a
// body, the pair table above does the work; both give the same text.
#if defined(__GNUC__) && defined(__x86_64__)
#define WIDE_ENCODER 1

#define WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))

// Bytes of input one step of the wide encoder takes, and how far its store
// may reach past the text it writes.
constexpr size_t wide_block = 16;
constexpr size_t wide_overrun = 64 - wide_block;
constexpr size_t wide_prefetch = 1024;

// Cleared by tests to compare the wide encoder with the pair table.
bool wide_allowed = true;

bool have_wide_encoder()
{
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
               __builtin_cpu_supports("avx512vbmi2");
    }();
    return have;
}

// Encodes blocks * 16 bytes from in to out and returns the end of the text.
// Writes up to wide_overrun bytes past that end.
WIDE_TARGET unsigned char *encode_wide(unsigned char *out, const unsigned char *in, size_t blocks)
{
    // Slot 3i, 3i+1 and 3i+2 of the spread vector all hold input byte i.
    alignas(64) static constexpr std::array<unsigned char, 64> spread_index = [] {
        std::array<unsigned char, 64> t{};
        for (size_t j = 0; j < 3 * wide_block; j++)
            t[j] = static_cast<unsigned char>(j / 3);
        return t;
    }();
    // The hex digits in each 16-byte lane, for the in-lane byte shuffle.
    alignas(64) static constexpr char digit_lanes[] =
        "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    const __m512i spread = _mm512_load_si512(spread_index.data());
    const __m512i digits = _mm512_load_si512(digit_lanes);
    const __m512i low_nibble = _mm512_set1_epi8(0x0F);
    const __m512i backslash = _mm512_set1_epi8('\\');
    const __m512i quote = _mm512_set1_epi8('"');
    const __m512i space = _mm512_set1_epi8(0x20);
    const __m512i printable_span = _mm512_set1_epi8(0x7E - 0x20);
    // The first, second and third slot of each of the 16 bytes.
    const __mmask64 first = 0x249249249249ULL;
    const __mmask64 second = first << 1;
    const __mmask64 third = first << 2;

    for (; blocks; blocks--, in += wide_block) {
        // The hardware's own prefetch does not keep up with a long value
        // that has just been copied out of the database pages; asking for
        // the input 1 KiB ahead halves the time of a large binary field.
        if (blocks > wide_prefetch / wide_block)
            __builtin_prefetch(in + wide_prefetch);
        // The masked forms leave no lane undefined.
        __m512i block = _mm512_maskz_loadu_epi8(0xFFFF, in);
        __m512i t = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, block);
        // Escaped: outside 0x20..0x7E (one unsigned compare after moving
        // 0x20 to 0), or a quote or a backslash.
        __mmask64 escaped = _mm512_cmpgt_epu8_mask(_mm512_sub_epi8(t, space), printable_span) |
                            _mm512_cmpeq_epi8_mask(t, quote) | _mm512_cmpeq_epi8_mask(t, backslash);
        __m512i high =
            _mm512_shuffle_epi8(digits, _mm512_and_si512(_mm512_srli_epi16(t, 4), low_nibble));
        __m512i low = _mm512_shuffle_epi8(digits, _mm512_and_si512(t, low_nibble));
        __m512i text = _mm512_mask_mov_epi8(t, escaped & first, backslash);
        text = _mm512_mask_mov_epi8(text, second, high);
        text = _mm512_mask_mov_epi8(text, third, low);
        // Every byte keeps its first slot, an escaped one all three.
        __mmask64 keep = first | (escaped & (second | third));
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, text));
        out += __builtin_popcountll(keep);
    }
    return out;
}
#endif

// Room kept free for the fixed text around a field: a label, a decimal
// count of at most 20 digits and the quotes.
constexpr size_t header_room = 64;

int fail(dump_writer *w)
{
    errno = w->error;
    return -1;
}

// Makes at least need bytes free in the buffer, writing it out if needed.
inline int reserve(dump_writer *w, size_t need)
{
    if (w->capacity - w->used >= need)
        return 0;
    return dump_writer_flush(w);
}

void put_text(dump_writer *w, const char *text, size_t length)
{
    memcpy(w->buf + w->used, text, length);
    w->used += length;
}

void put_count(dump_writer *w, size_t n)
{
    char digits[24];
    char *p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    put_text(w, p, static_cast<size_t>(digits + sizeof digits - p));
}

// Encodes n bytes, in pieces that fit the free space even if every byte
// needs an escape.
int put_body(dump_writer *w, const unsigned char *bytes, size_t n)
{
    const pair_encoding *pairs = pair_table();
#ifdef WIDE_ENCODER
    const bool wide = wide_allowed && have_wide_encoder();
    const size_t overrun = wide ? wide_overrun : 2;
#else
    const size_t overrun = 2;
#endif
    while (n) {
        // Three characters per byte at worst, plus the bytes past the text
        // that the last store touches.
        if (reserve(w, header_room))
            return -1;
        size_t take = (w->capacity - w->used - overrun) / 3;
        if (take > n)
            take = n;
        unsigned char *out = w->buf + w->used;
        size_t i = 0;
#ifdef WIDE_ENCODER
        if (wide) {
            out = encode_wide(out, bytes, take / wide_block);
            i = take - take % wide_block;
        }
#endif
        for (; i + 2 <= take; i += 2) {
            uint16_t index;
            memcpy(&index, bytes + i, sizeof index);
            const pair_encoding &e = pairs[index];
            memcpy(out, &e, sizeof e);
            out += e.length;
        }
        if (i < take) {
            const encoding &e = encoding_table[bytes[i]];
            memcpy(out, &e, sizeof e);
            out += e.length;
        }
        w->used = static_cast<size_t>(out - w->buf);
        bytes += take;
        n -= take;
    }
    return 0;
}

}  // namespace

extern "C" int dump_writer_init(dump_writer *w, int fd, unsigned char *buf, size_t capacity)
{
    if (capacity < DUMP_WRITER_MIN_BUFFER) {
        errno = EINVAL;
        return -1;
    }
    w->fd = fd;
    w->buf = buf;
    w->capacity = capacity;
    w->used = 0;
    w->error = 0;
    return 0;
}

extern "C" int dump_writer_vector_path(int widest)
{
#ifdef WIDE_ENCODER
    if (widest == 0 || (widest == 1 && have_wide_encoder())) {
        wide_allowed = widest == 1;
        return 0;
    }
#else
    if (widest == 0)
        return 0;
#endif
    return -1;
}

extern "C" int dump_writer_flush(dump_writer *w)
{
    if (w->error)
        return fail(w);
    size_t done = 0;
    while (done < w->used) {
        ssize_t n = write(w->fd, w->buf + done, w->used - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            w->error = errno;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    w->used = 0;
    return 0;
}

extern "C" int dump_write_record(dump_writer *w, datum key, datum value)
{
    static const char open_key[] = "{\nkey(";
    static const char open_body[] = ") = \"";
    static const char open_value[] = "\"\nvalue(";
    static const char close_record[] = "\"\n}\n";

    if (w->error)
        return fail(w);
    if (reserve(w, header_room))
        return -1;
    put_text(w, open_key, sizeof open_key - 1);
    put_count(w, key.size);
    put_text(w, open_body, sizeof open_body - 1);
    if (put_body(w, key.data, key.size) || reserve(w, header_room))
        return -1;
    put_text(w, open_value, sizeof open_value - 1);
    put_count(w, value.size);
    put_text(w, open_body, sizeof open_body - 1);
    if (put_body(w, value.data, value.size) || reserve(w, header_room))
        return -1;
    put_text(w, close_record, sizeof close_record - 1);
    return 0;
}
