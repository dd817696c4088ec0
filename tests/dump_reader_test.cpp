// SPDX-License-Identifier: MIT
// Unit tests of the dump reader primitives on in-memory and file streams,
// and of the writer against them.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_reader.h"
#include "dump_writer.h"
#include "test_support.h"

namespace {

using kovtest::capture_stderr;

using kovtest::text_stream;

TEST(ExpectLine, MatchesOnlyTheWholeLine)
{
    struct {
        const char *input;
        int result;
        int at_end;
    } cases[] = {
        {"{\n", 0, 0},    {"{ \n", -1, 0},
        {"{\r\n", -1, 0}, {"{", -1, 0},  // the last line, without its line feed
        {"\n", -1, 0},    {" {\n", -1, 0},
        {"{\n}\n", 0, 0}, {"", -1, 1},  // end of the input: the only clean stop
    };
    for (const auto &c : cases) {
        text_stream in(c.input);
        int at_end = 0;
        EXPECT_EQ(c.result, expect_line(in.get(), "{\n", &at_end)) << c.input;
        EXPECT_EQ(c.at_end, at_end) << c.input;
    }
}

TEST(ExpectLine, LongLineNeverMatchesAndFlagIsOptional)
{
    // A line longer than the buffer is cut; its tail stays unread.
    text_stream in(std::string(200, '}') + "\n");
    EXPECT_EQ(-1, expect_line(in.get(), "}\n", nullptr));
    text_stream empty("");
    EXPECT_EQ(-1, expect_line(empty.get(), "}\n", nullptr));
}

TEST(ExpectLine, ReadErrorIsNotTheEnd)
{
    // A stream opened for writing only fails every read with an error.
    FILE *out = tmpfile();
    FILE *write_only = fdopen(dup(fileno(out)), "w");
    int at_end = 0;
    EXPECT_EQ(-1, expect_line(write_only, "{\n", &at_end));
    EXPECT_TRUE(ferror(write_only));
    EXPECT_EQ(0, at_end);
    fclose(write_only);
    fclose(out);
}

TEST(ReadFieldLength, ParsesTheCount)
{
    struct {
        std::string input;
        int count;
        std::string rest;  // what the next primitive sees
    } cases[] = {
        {"key(5) = \"alpha", 5, "alpha"},
        {"(0) = \"\"", 0, "\""},
        {"(+7) = \"x", 7, "x"},
        {"(  12) = \"x", 12, "x"},
        {"(\t\n 3) = \"x", 3, "x"},
        {"(007) = \"x", 7, "x"},
        {"(9)garbage\"x", 9, "x"},                  // text after the number is not checked
        {"label\nmore (text\n(4) = \"x", -1, "x"},  // "(text" has no number
        {"\n\nlabel(4) = \"x", 4, "x"},             // blank lines and labels are skipped
        {"(2147483647) = \"", 2147483647, ""},
        {"(-2147483648) = \"", -2147483647 - 1, ""},
        {"(2147483648) = \"x", -1, "x"},  // out of range: refused, not wrapped
        {"(99999999999999999999) = \"x", -1, "x"},
        {"(-2147483649) = \"x", -1, "x"},
        {"(-1) = \"x", -1, "x"},
        {"(-5) = \"x", -5, "x"},  // negative: read_data refuses it
        {"(x5) = \"x", -1, "x"},
        {"(+) = \"x", -1, "x"},
        {"(- 5) = \"x", -1, "x"},
        {"() = \"x", -1, "x"},
        {"no parenthesis", -1, ""},
        {"(5) = no quote", -1, ""},
    };
    for (const auto &c : cases) {
        text_stream in(c.input);
        EXPECT_EQ(c.count, read_field_length(in.get())) << c.input;
        EXPECT_EQ(c.rest, in.rest()) << c.input;
    }
}

TEST(ReadFieldLength, HeaderUpTo127Characters)
{
    // 127 characters between "(" and the quote are read; 128 are not.
    std::string ok = "(5)" + std::string(125, ' ');
    ASSERT_EQ(127u, ok.size() - 1);
    text_stream in_ok(ok + "\"abc");
    EXPECT_EQ(5, read_field_length(in_ok.get()));
    EXPECT_EQ("abc", in_ok.rest());

    text_stream in_long(ok + " \"abc");
    EXPECT_EQ(-1, read_field_length(in_long.get()));
    // All 128 characters were consumed, the quote was not.
    EXPECT_EQ("\"abc", in_long.rest());
}

struct data_case {
    std::string body;  // text after the opening quote
    int count;
    int result;
    std::string decoded;  // the datum's bytes on success
    std::string message;  // standard error
    std::string rest;     // left in the stream
};

TEST(ReadData, DecodesAndReports)
{
    const data_case cases[] = {
        {"alpha\"\n", 5, 0, "alpha", "", "\"\n"},
        {"\\4A\\4a\\00\\ff\"\n", 4, 0, std::string("JJ\0\xff", 4), "", "\"\n"},
        {"a\nb\"\n", 3, 0, "a\nb", "", "\"\n"},  // a line feed is data
        {"\"\n", 0, 0, "", "", "\"\n"},          // count 0 reads nothing
        {"\r\t\x01\xff\"", 4, 0, "\r\t\x01\xff", "", "\""},
        {"abcdef\"\n", 3, 0, "abc", "", "def\"\n"},  // longer body: rest stays
        {"\\4G\"\n", 1, -1, "", "Invalid hex: G\n", "\"\n"},
        {"\\G4\"\n", 1, -1, "", "Invalid hex: G\n", "4\"\n"},
        {"\\\"\n", 1, -1, "", "Unexpected \\\" sequence\n", "\n"},
        {"\\4\"\n", 1, -1, "", "Unexpected \\\" sequence\n", "\n"},
        {"ab", 3, -1, "", "Unexpected EOF in data\n", ""},
        {"\\4", 1, -1, "", "Unexpected EOF in data\n", ""},
        {"\\", 1, -1, "", "Unexpected EOF in data\n", ""},
        {"", 1, -1, "", "Unexpected EOF in data\n", ""},
        // A body that ends before its count is refused: the datum would
        // otherwise carry bytes that were never in the input.
        {"ab\"\"\n", 5, -1, "", "", "\"\n"},
        {"ab\"\n", 3, -1, "", "", "\n"},
    };
    for (const auto &c : cases) {
        text_stream in(c.body);
        datum d = {nullptr, 12345};
        int result = 0;
        std::string err = capture_stderr([&] { result = read_data(in.get(), &d, c.count); });
        SCOPED_TRACE(c.body);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.message, err);
        ASSERT_NE(nullptr, d.data);  // attached even on failure
        EXPECT_EQ(static_cast<size_t>(c.count), d.size);
        if (c.result == 0) {
            EXPECT_EQ(c.decoded, std::string(reinterpret_cast<char *>(d.data), d.size));
        }
        EXPECT_EQ(c.rest, in.rest());
        free(d.data);
    }
}

TEST(ReadData, NegativeOrUnallocatableCountFailsSilently)
{
    text_stream in("abc\"\n");
    datum d = {reinterpret_cast<unsigned char *>(1), 0};
    std::string err = capture_stderr([&] { EXPECT_EQ(-1, read_data(in.get(), &d, -5)); });
    EXPECT_EQ(nullptr, d.data);
    EXPECT_EQ("", err);
    EXPECT_EQ("abc\"\n", in.rest());
}

// The writer encodes several bytes per step, so every byte value is placed
// at every offset of a few words, beside literal and escaped neighbours, and
// in long runs, one of them holding every pair of bytes at both alignments.
// Each field is a record's key and value, written through the smallest
// buffer (many flushes inside a field) and a large one.  The text must be
// the canonical form and read back to the same bytes, through every vector
// path of the writer and the reader this processor has: each must give
// what the plain path gives.  Offsets and lengths straddle the vector
// widths (16 and 64 bytes).
TEST(DumpWriter, EveryByteAtEveryOffsetReadsBackOnEveryPath)
{
    std::vector<size_t> offsets;
    for (size_t at = 0; at < 18; at++)
        offsets.push_back(at);
    for (size_t at : {31, 32, 33, 47, 48, 49, 62, 63, 64, 65, 66, 127, 128, 129})
        offsets.push_back(at);
    std::vector<std::string> fields = {""};
    for (char fill : {'x', '\x01', '"'})
        for (size_t at : offsets)
            for (int c = 0; c < 256; c++)
                fields.push_back(std::string(at, fill) + static_cast<char>(c) +
                                 std::string(c % 11, fill));
    std::string every_pair;
    for (int i = 0; i < 256 * 256; i++)
        every_pair += {static_cast<char>(i >> 8), static_cast<char>(i)};
    for (const std::string &run : {every_pair, std::string(5000, 'a'), std::string(5000, '\0')})
        for (size_t cut = 0; cut < 3; cut++)
            fields.push_back(run.substr(cut));

    // Writer path, reader path, buffer capacity; paths the processor lacks
    // are skipped (and said so).
    std::vector<std::array<size_t, 3>> runs;
    for (int writer = 0; writer <= 1; writer++)
        for (int reader = 0; reader <= 2; reader++)
            for (size_t capacity : {size_t{DUMP_WRITER_MIN_BUFFER}, size_t{1} << 16})
                runs.push_back({size_t(writer), size_t(reader), capacity});
    for (auto [writer, reader, capacity] : runs) {
        SCOPED_TRACE("writer path " + std::to_string(writer) + ", reader path " +
                     std::to_string(reader) + ", buffer " + std::to_string(capacity));
        if (dump_writer_vector_path(int(writer)) || dump_reader_vector_path(int(reader))) {
            printf("writer path %zu or reader path %zu: not on this processor\n", writer, reader);
            continue;
        }
        FILE *file = tmpfile();
        ASSERT_NE(nullptr, file);
        std::vector<unsigned char> buffer(capacity);
        dump_writer w;
        ASSERT_EQ(0, dump_writer_init(&w, fileno(file), buffer.data(), capacity));
        std::string expected;
        for (const std::string &f : fields) {
            ASSERT_EQ(0, dump_write_record(&w, kovtest::as_datum(f), kovtest::as_datum(f)));
            expected += kovtest::canonical_record(f, f);
        }
        ASSERT_EQ(0, dump_writer_flush(&w));

        std::string text(expected.size() + 1, '\0');
        rewind(file);
        text.resize(fread(&text[0], 1, text.size(), file));
        ASSERT_TRUE(expected == text)
            << "first difference at byte "
            << std::mismatch(expected.begin(), expected.end(), text.begin(), text.end()).first -
                   expected.begin();
        rewind(file);
        for (const std::string &f : fields) {
            datum key, value;
            int at_end = 0;
            ASSERT_EQ(0, dump_read_record(file, &key, &value, &at_end));
            EXPECT_EQ(f, std::string(reinterpret_cast<char *>(key.data), key.size));
            EXPECT_EQ(f, std::string(reinterpret_cast<char *>(value.data), value.size));
            free(key.data);
            free(value.data);
        }
        fclose(file);
    }
    dump_writer_vector_path(1);
    dump_reader_vector_path(2);
}

}  // namespace
