// The reader primitives take their input straight from the stream's buffer
// where they can, and one character at a time where they cannot (the end of
// the buffer, a quote, a bad escape, the end of the input).  These tests run
// them on streams with small buffers, so that every field meets the buffer's
// end at every place, and compare each call with a plain model that reads
// one character at a time: the result, the bytes decoded, the message on
// standard error and the input left unread must all be the same.

#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_reader.h"
#include "test_support.h"

namespace {

using kovtest::capture_stderr;
using kovtest::reader_model;
using kovtest::text_stream;

const size_t buffer_sizes[] = {1, 2, 3, 4, 7, 10, 11, 16, 33, 64, 4096};

// Skips `skip` characters, then reads one body of count bytes from text
// with read_data and with the model, on streams with the given buffer size.
void expect_same_read_data(const std::string &text, size_t skip, int count,
                           size_t buffer_size)
{
    SCOPED_TRACE("buffer " + std::to_string(buffer_size) + ", skip " +
                 std::to_string(skip) + ", count " + std::to_string(count) +
                 ", text \"" + text + "\"");
    text_stream real(text, buffer_size), model(text, buffer_size);
    for (size_t i = 0; i < skip; i++) {
        getc(real.get());
        getc(model.get());
    }
    datum d = {nullptr, 0};
    int rc = 0;
    std::string err = capture_stderr([&] { rc = read_data(real.get(), &d, count); });
    std::string want_bytes;
    reader_model m(model.get());
    int want = m.read_data(count, &want_bytes);
    ASSERT_EQ(rc, want);
    EXPECT_EQ(err, m.messages);
    if (rc == 0) {
        ASSERT_EQ(d.size, want_bytes.size());
        EXPECT_EQ(std::string(reinterpret_cast<char *>(d.data), d.size), want_bytes);
    }
    EXPECT_EQ(real.rest(), model.rest());
    free(d.data);
}

// A random body text of about n bytes: literals of every kind, escapes in
// either case, and line feeds.
std::string random_body(std::mt19937 &rng, size_t n, int *count)
{
    static const char hex[] = "0123456789ABCDEFabcdef";
    std::string text;
    *count = 0;
    while (text.size() < n) {
        switch (rng() % 4) {
        case 0:
            text += '\\';
            text += hex[rng() % 22];
            text += hex[rng() % 22];
            break;
        case 1: {
            unsigned char c = static_cast<unsigned char>(rng());
            if (c == '"' || c == '\\')
                c = '\n';
            text += static_cast<char>(c);
            break;
        }
        default: {
            // A run of printable literals, long enough to fill whole words.
            size_t run = rng() % 20;
            for (size_t i = 0; i < run; i++) {
                char c = static_cast<char>(0x20 + rng() % 95);
                text += c == '"' || c == '\\' ? 'x' : c;
            }
            *count += static_cast<int>(run) - 1;
            break;
        }
        }
        (*count)++;
    }
    return text;
}

TEST(ReadDataBuffered, WholeBodiesAtEveryBufferOffset)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 40; round++) {
        int count;
        std::string body = random_body(rng, 1 + rng() % 90, &count);
        std::string text = body + "\"\n}\n";
        for (size_t size : buffer_sizes) {
            for (size_t skip = 0; skip <= std::min<size_t>(size, 12); skip++)
                expect_same_read_data(std::string(skip, '.') + text, skip, count, size);
        }
    }
}

TEST(ReadDataBuffered, DenseEscapesAtEveryBufferSize)
{
    // Escapes only, and escapes between single literals: every escape comes
    // to lie across the end of the buffer, and to end exactly at it.
    std::string escapes, mixed;
    int escapes_count = 0, mixed_count = 0;
    for (int i = 0; i < 40; i++) {
        char e[4];
        snprintf(e, sizeof e, "\\%02X", (i * 37) & 0xff);
        escapes += e;
        escapes_count++;
        mixed += e;
        mixed += static_cast<char>('a' + i % 26);
        mixed_count += 2;
    }
    for (size_t size = 1; size <= 48; size++) {
        for (size_t skip = 0; skip < 4; skip++) {
            expect_same_read_data(std::string(skip, '.') + escapes + "\"\n", skip,
                                  escapes_count, size);
            expect_same_read_data(std::string(skip, '.') + mixed + "\"\n", skip,
                                  mixed_count, size);
        }
    }
}

TEST(ReadDataBuffered, CountShorterAndLongerThanTheBody)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 40; round++) {
        int count;
        std::string text = random_body(rng, 1 + rng() % 60, &count) + "\"\n";
        for (size_t size : buffer_sizes) {
            // Longer: the body ends at its quote first.  Shorter: the rest
            // of the body stays unread.
            expect_same_read_data(text, 0, count + 1 + static_cast<int>(rng() % 9), size);
            expect_same_read_data(text, 0, static_cast<int>(rng() % (count + 1)), size);
        }
    }
}

TEST(ReadDataBuffered, FaultsAtEveryPlace)
{
    // Each fault is put at every place of a body, which is also cut short
    // there (the end of the input inside the body or an escape).
    static const char *const faults[] = {"\"", "\\\"", "\\4\"", "\\4G", "\\G4",
                                         "\\\\41", "\\", "\\4", ""};
    std::mt19937 rng(13);
    for (int round = 0; round < 6; round++) {
        int count;
        std::string body = random_body(rng, 40, &count);
        for (size_t at = 0; at <= body.size(); at++) {
            for (const char *fault : faults) {
                std::string text = body.substr(0, at) + fault;
                if (*fault && rng() % 2)
                    text += body.substr(at) + "\"\n";
                for (size_t size : {size_t{3}, size_t{10}, size_t{16}, size_t{4096}})
                    expect_same_read_data(text, 0, count, size);
            }
        }
    }
}

TEST(ReadFieldLengthBuffered, SameCountsAsTheModel)
{
    static const char alphabet[] = " \t\n\v\f\r+-0123456789x(\0";
    std::vector<std::string> headers = {
        "key(5) = \"", "(2147483647) = \"", "(2147483648) = \"", "(-2147483648)\"",
        "(-2147483649)\"", "(99999999999999999999)\"", "( +12)\"", "(+-1)\"", "(-)\"",
        "(\"", "(0000000000000000000000000000042)\"", "(\t\n7\"", "(\r\f\v9\"", "no paren", "(12",
        "label\nmore(\n\n3) = \"", std::string("(1\0002\"", 5),
    };
    headers.push_back("(" + std::string(126, ' ') + "5\"");
    headers.push_back("(" + std::string(127, ' ') + "5\"");
    headers.push_back("(" + std::string(128, '1') + "\"");
    std::mt19937 rng(17);
    for (int i = 0; i < 300; i++) {
        std::string h(rng() % 6, 'a');
        h += '(';
        size_t n = rng() % 140;
        for (size_t j = 0; j < n; j++)
            h += alphabet[rng() % (sizeof alphabet - 1)];
        if (rng() % 4)
            h += '"';
        headers.push_back(h);
    }
    for (const std::string &h : headers) {
        for (size_t size : buffer_sizes) {
            // A character read first fills the buffer, as the previous
            // field's closing line does in a dump.
            for (size_t skip = 0; skip < 3; skip++) {
                std::string text = std::string(skip, '.') + h + "rest\"\n";
                SCOPED_TRACE("buffer " + std::to_string(size) + ", text \"" + text + "\"");
                text_stream real(text, size), model(text, size);
                for (size_t k = 0; k < skip; k++) {
                    getc(real.get());
                    getc(model.get());
                }
                EXPECT_EQ(read_field_length(real.get()),
                          reader_model(model.get()).read_field_length());
                EXPECT_EQ(real.rest(), model.rest());
            }
        }
    }
}

TEST(ExpectLineBuffered, SameAnswersAsTheModel)
{
    static const char *const expected[] = {"{\n", "\"\n", "}\n"};
    std::vector<std::string> inputs = {"{\n", "{", "{ \n", "{\r\n", "\"\n", "}\n",
                                       "}}\n", "\n", "", std::string(130, '{') + "\n",
                                       std::string("{\0\n", 3)};
    std::mt19937 rng(19);
    static const char alphabet[] = "{}\"\n \r";
    for (int i = 0; i < 200; i++) {
        std::string s;
        size_t n = rng() % 5;
        for (size_t j = 0; j < n; j++)
            s += alphabet[rng() % (sizeof alphabet - 1)];
        inputs.push_back(s);
    }
    for (const std::string &input : inputs) {
        for (const char *want : expected) {
            for (size_t size : buffer_sizes) {
                for (size_t skip = 0; skip < 3; skip++) {
                    std::string text = std::string(skip, '.') + input + "{\n";
                    SCOPED_TRACE("buffer " + std::to_string(size) + ", text \"" + text + "\"");
                    text_stream real(text, size), model(text, size);
                    for (size_t k = 0; k < skip; k++) {
                        getc(real.get());
                        getc(model.get());
                    }
                    int real_end = 0, model_end = 0;
                    EXPECT_EQ(expect_line(real.get(), want, &real_end),
                              reader_model(model.get()).expect_line(want, &model_end));
                    EXPECT_EQ(real_end, model_end);
                    EXPECT_EQ(real.rest(), model.rest());
                }
            }
        }
    }
}

}  // namespace
