// SPDX-License-Identifier: MIT
// The reader primitives take their input straight from the stream's buffer
// where they can, and one character at a time where they cannot (the end of
// the buffer, a quote, a bad escape, the end of the input).  These tests run
// dumps built to put every field, escape and line across the buffer's end
// at every place through the fuzz targets' reader check, on streams with
// small buffers: each primitive must give the byte-wise model's result,
// bytes, messages and stream position.

#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_checks.h"
#include "test_support.h"

namespace {

const size_t buffer_sizes[] = {1, 2, 3, 4, 7, 10, 11, 16, 33, 64, 4096};

// Checks input on streams of every buffer size in sizes.
void expect_same_as_model(const std::string &input,
                          const std::vector<size_t> &sizes = {std::begin(buffer_sizes),
                                                              std::end(buffer_sizes)})
{
    for (size_t size : sizes) {
        std::string err = kovfuzz::check_reader(input, size);
        if (!err.empty()) {
            ADD_FAILURE() << "buffer " << size << ", input \"" << kovtest::canonical_body(input)
                          << "\": " << err;
            return;
        }
    }
}

// A record whose key field is body with the given count; the label's
// length shifts everything after it by shift bytes.
std::string key_record(size_t shift, int count, const std::string &body)
{
    return "{\n" + std::string(shift, 'k') + "(" + std::to_string(count) + ") = \"" + body +
           "\"\nv(0) = \"\"\n}\n";
}

// A random body text of about n bytes: literals of every kind, escapes in
// either case, and line feeds; *count is the number of bytes it encodes.
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
            text += static_cast<char>(c == '"' || c == '\\' ? '\n' : c);
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

TEST(ReaderBuffered, BodiesAtEveryBufferOffsetWithEveryCount)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 40; round++) {
        int count;
        std::string body = random_body(rng, 1 + rng() % 90, &count);
        for (size_t shift = 0; shift <= 12; shift++)
            expect_same_as_model(key_record(shift, count, body));
        // A count too large (the body ends at its quote first) and one too
        // small (the rest of the body stays unread).
        expect_same_as_model(key_record(0, count + 1 + static_cast<int>(rng() % 9), body));
        expect_same_as_model(key_record(0, static_cast<int>(rng() % (count + 1)), body));
    }
    // Binary data of every byte value, larger than most buffers.
    std::string bytes(3000, '\0');
    for (char &b : bytes)
        b = static_cast<char>(rng());
    expect_same_as_model(kovtest::canonical_record("k", bytes));
}

TEST(ReaderBuffered, DenseEscapesAtEveryBufferSize)
{
    // Escapes only, and escapes between single literals: every escape comes
    // to lie across the end of the buffer, and to end exactly at it.
    std::string escapes, mixed;
    for (int i = 0; i < 40; i++) {
        char e[4];
        snprintf(e, sizeof e, "\\%02X", (i * 37) & 0xff);
        escapes += e;
        mixed += e;
        mixed += static_cast<char>('a' + i % 26);
    }
    std::vector<size_t> sizes;
    for (size_t size = 1; size <= 48; size++)
        sizes.push_back(size);
    for (size_t shift = 0; shift < 4; shift++) {
        expect_same_as_model(key_record(shift, 40, escapes), sizes);
        expect_same_as_model(key_record(shift, 80, mixed), sizes);
    }
}

TEST(ReaderBuffered, FaultsAtEveryPlace)
{
    // Each fault is put at every place of a body, which is also cut short
    // there (the end of the input inside the body or an escape).
    static const char *const faults[] = {"\"",     "\\\"", "\\4\"", "\\4G", "\\G4",
                                         "\\\\41", "\\",   "\\4",   ""};
    std::mt19937 rng(13);
    for (int round = 0; round < 6; round++) {
        int count;
        std::string body = random_body(rng, 40, &count);
        for (size_t at = 0; at <= body.size(); at++) {
            for (const char *fault : faults) {
                std::string text =
                    "{\nk(" + std::to_string(count) + ") = \"" + body.substr(0, at) + fault;
                if (*fault && rng() % 2)
                    text += body.substr(at) + "\"\nv(0) = \"\"\n}\n";
                expect_same_as_model(text, {3, 10, 16, 4096});
            }
        }
    }
}

TEST(ReaderBuffered, FieldHeaders)
{
    static const char alphabet[] = " \t\n\v\f\r+-0123456789x(\0";
    std::vector<std::string> headers = {
        "key(5) = \"",
        "(2147483647) = \"",
        "(2147483648) = \"",
        "(-2147483648)\"",
        "(-2147483649)\"",
        "(99999999999999999999)\"",
        "( +12)\"",
        "(+-1)\"",
        "(-)\"",
        "(\"",
        "(0000000000000000000000000000042)\"",
        "(\t\n7\"",
        "(\r\f\v9\"",
        "no paren",
        "(12",
        "label\nmore(\n\n3) = \"",
        std::string("(1\0002\"", 5),
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
    for (const std::string &h : headers)
        for (size_t shift = 0; shift < 3; shift++)
            expect_same_as_model("{\n" + std::string(shift, '.') + h + "rest\"\n}\n");
}

TEST(ReaderBuffered, Lines)
{
    std::vector<std::string> lines = {"{\n",
                                      "{",
                                      "{ \n",
                                      "{\r\n",
                                      "\"\n",
                                      "}\n",
                                      "}}\n",
                                      "\n",
                                      "",
                                      std::string(130, '{') + "\n",
                                      std::string("{\0\n", 3)};
    std::mt19937 rng(19);
    static const char alphabet[] = "{}\"\n \r";
    for (int i = 0; i < 200; i++) {
        std::string s;
        size_t n = rng() % 5;
        for (size_t j = 0; j < n; j++)
            s += alphabet[rng() % (sizeof alphabet - 1)];
        lines.push_back(s);
    }
    // Each line where "{", the closing quote and "}" are expected.
    for (const std::string &line : lines) {
        for (size_t shift = 0; shift < 3; shift++) {
            std::string label(shift, 'k');
            expect_same_as_model(line + "{\n");
            expect_same_as_model("{\n" + label + "(1) = \"a" + line + "{\n");
            expect_same_as_model("{\n" + label + "(1) = \"a\"\nv(1) = \"b\"\n" + line + "{\n");
        }
    }
}

}  // namespace
