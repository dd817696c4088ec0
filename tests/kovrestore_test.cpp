// SPDX-License-Identifier: MIT
// End-to-end tests of build/kovrestore: the real program, real pipes and
// files, and the database read back through SQLite.

#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kovtest::canonical_record;
using kovtest::dump_of;
using kovtest::record;
using kovtest::restore;
using kovtest::run;
using kovtest::run_result;

const std::string prog = KOVRESTORE_PATH;

void expect_failure(const run_result &r, const std::string &err)
{
    ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(err, r.err);
    EXPECT_EQ("", r.out);
}

TEST(Usage, NoOperandPrintsUsageOnStdout)
{
    run_result r = run({prog}, kovtest::from_data(""));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Usage: " + prog + " dbname < kovdump_output\n", r.out);
    EXPECT_EQ("", r.err);
}

TEST(Usage, NoProgramNameFallsBackToKovrestore)
{
    // An empty argument vector: argv[0] is null (or, on kernels that patch
    // the vector up, the empty string).
    kovtest::limits no_argv;
    no_argv.empty_argv = true;
    run_result r = run({prog}, kovtest::from_data(""), no_argv);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Usage: kovrestore dbname < kovdump_output\n", r.out);
}

TEST(Usage, ExtraOperandsAreIgnored)
{
    kovtest::scratch_dir dir;
    run_result r = run({prog, dir.path("a.kov"), dir.path("b.kov"), "-x"},
                       kovtest::from_data(canonical_record("k", "v")));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("EOF\n", r.err);
    EXPECT_EQ(1u, kovtest::read_kov(dir.path("a.kov")).size());
    EXPECT_FALSE(kovtest::file_exists(dir.path("b.kov")));
}

TEST(Open, ExistingFileIsLeftByteForByte)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("existing.kov");
    // Both an arbitrary file and a real kov database must stay as they are.
    for (bool is_kov : {false, true}) {
        unlink(path.c_str());
        if (is_kov)
            ASSERT_EQ(0, restore(path, canonical_record("old", "data")).status);
        else
            kovtest::write_file(path, "not a database\n");
        std::string before = kovtest::read_file(path);
        struct stat st_before, st_after;
        stat(path.c_str(), &st_before);
        run_result r = restore(path, canonical_record("new", "record"));
        expect_failure(r, "kov_open: File exists\nFailed to open " + path + "\n");
        stat(path.c_str(), &st_after);
        EXPECT_EQ(before, kovtest::read_file(path));
        EXPECT_EQ(st_before.st_mtim.tv_nsec, st_after.st_mtim.tv_nsec);
        EXPECT_FALSE(kovtest::file_exists(path + "-journal"));
    }
}

TEST(Open, MissingDirectory)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("no/such/dir.kov");
    expect_failure(restore(path, ""),
                   "kov_open: No such file or directory\nFailed to open " + path + "\n");
}

TEST(Restore, EmptyInputMakesAnEmptyDatabase)
{
    kovtest::scratch_dir dir;
    run_result r = restore(dir.path("db.kov"), "");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("EOF\n", r.err);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(kovtest::read_kov(dir.path("db.kov")).empty());
}

TEST(Restore, SampleDump)
{
    kovtest::scratch_dir dir;
    run_result r = run({prog, dir.path("db.kov")}, kovtest::from_file(SAMPLE_DUMP_PATH));
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<record> rows = kovtest::read_kov(dir.path("db.kov"));
    ASSERT_EQ(6u, rows.size());
    EXPECT_EQ(record(std::string("empty\0key", 9), ""), rows[2]);
    EXPECT_EQ(record("greeting", "Hello,\nworld: a line feed!"), rows[3]);
}

TEST(Restore, EveryByteValueEmptyFieldsAndLabels)
{
    kovtest::scratch_dir dir;
    std::string all;
    for (int c = 0; c < 256; c++)
        all += static_cast<char>(c);
    std::string reversed(all.rbegin(), all.rend());
    std::vector<record> records = {
        {all, reversed}, {"", ""}, {reversed, all}, {"x", ""}, {std::string(1, '\0'), "\n"}};
    std::string dump = dump_of(records);
    // Raw bytes are accepted as themselves too, escapes in either case,
    // and any label or text before "(".
    dump += "{\nanything at all\n(3) = \"\x01\\22\\0a\"\n\t(+2) = \"\\ff\xfe\"\n}\n";
    records.push_back({"\x01\"\n", "\xff\xfe"});
    run_result r = restore(dir.path("db.kov"), dump);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("EOF\n", r.err);
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, kovtest::read_kov(dir.path("db.kov")));
}

TEST(Restore, MultiMegabyteValue)
{
    kovtest::scratch_dir dir;
    std::mt19937 rng(7);
    std::string big(6 << 20, '\0');
    for (char &c : big)
        c = static_cast<char>(rng());
    std::vector<record> records = {{"big", big}, {"small", "s"}};
    run_result r = restore(dir.path("db.kov"), dump_of(records));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(records, kovtest::read_kov(dir.path("db.kov")));
}

// Every malformed input fails with status 1 and its own message or none,
// keeps the records stored before it, and never prints "EOF".
TEST(Restore, MalformedInputKeepsEarlierRecords)
{
    const std::string good = canonical_record("first", "kept");
    struct {
        const char *name;
        std::string bad;
        std::string err;
    } cases[] = {
        {"blank line at the end", "\n", ""},
        {"CRLF opening line", "{\r\nkey(1) = \"a\"\r\nvalue(1) = \"b\"\r\n}\r\n", ""},
        {"lone brace at end", "{", ""},
        {"closing line missing", "{\nkey(1) = \"a\"\nvalue(1) = \"b\"\n", ""},
        {"closing line wrong", "{\nkey(1) = \"a\"\nvalue(1) = \"b\"\n} \n", ""},
        {"text after closing quote", "{\nkey(1) = \"a\" \nvalue(1) = \"b\"\n}\n", ""},
        {"body longer than count", "{\nkey(1) = \"ab\"\nvalue(1) = \"b\"\n}\n", ""},
        {"body shorter than count", "{\nkey(3) = \"ab\"\nvalue(1) = \"b\"\n}\n", ""},
        {"early quote then quote line", "{\nkey(5) = \"ab\"\"\nvalue(1) = \"b\"\n}\n", ""},
        {"negative count", "{\nkey(-3) = \"\"\nvalue(1) = \"b\"\n}\n", ""},
        {"count -1", "{\nkey(-1) = \"\"\nvalue(1) = \"b\"\n}\n", ""},
        {"count not a number", "{\nkey(x) = \"a\"\nvalue(1) = \"b\"\n}\n", ""},
        {"count beyond 32 bits", "{\nkey(4294967297) = \"a\"\nvalue(1) = \"b\"\n}\n", ""},
        {"header too long", "{\nkey(1)" + std::string(130, ' ') + "\"a\"\nvalue(1) = \"b\"\n}\n",
         ""},
        {"bad hex digit", "{\nkey(1) = \"\\4G\"\nvalue(1) = \"b\"\n}\n", "Invalid hex: G\n"},
        {"quote in escape", "{\nkey(1) = \"\\\"\nvalue(1) = \"b\"\n}\n",
         "Unexpected \\\" sequence\n"},
        {"cut inside body", "{\nkey(3) = \"ab", "Unexpected EOF in data\n"},
        {"cut inside escape", "{\nkey(3) = \"ab\\0", "Unexpected EOF in data\n"},
        {"duplicate key", canonical_record("first", "second"), "KOV error: Record exists\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kovtest::scratch_dir dir;
        run_result r = restore(dir.path("db.kov"), good + c.bad);
        expect_failure(r, c.err);
        std::vector<record> want = {{"first", "kept"}};
        EXPECT_EQ(want, kovtest::read_kov(dir.path("db.kov")));
    }
}

// Every proper prefix of a record fails cleanly; only the whole record, or
// nothing of it, is a clean end.
TEST(Restore, EveryTruncationOfARecordFails)
{
    const std::string first = canonical_record("a", "1");
    const std::string rec = canonical_record("key\n", std::string("v\0\xff", 3));
    const size_t body_start = rec.find("\"") + 1;
    kovtest::scratch_dir dir;
    for (size_t len = 0; len <= rec.size(); len++) {
        SCOPED_TRACE("prefix of " + std::to_string(len) + " bytes");
        std::string path = dir.path("db" + std::to_string(len) + ".kov");
        run_result r = restore(path, first + rec.substr(0, len));
        ASSERT_TRUE(r.exited);
        std::vector<record> rows = kovtest::read_kov(path);
        if (len == 0 || len == rec.size()) {
            EXPECT_EQ(0, r.status);
            EXPECT_EQ("EOF\n", r.err);
            EXPECT_EQ(len ? 2u : 1u, rows.size());
            continue;
        }
        EXPECT_EQ(1, r.status);
        // Inside a body (between an opening quote and the bytes it
        // declares) the end of the input has a message; anywhere else not.
        size_t key_body_end = body_start + 6;  // key\0A
        size_t value_open = rec.find("\"", rec.find("value")) + 1;
        bool in_body = (len >= body_start && len < key_body_end) ||
                       (len >= value_open && len < value_open + 7);  // v\00\FF
        EXPECT_EQ(in_body ? "Unexpected EOF in data\n" : "", r.err);
        EXPECT_EQ(1u, rows.size());
    }
}

TEST(ReadError, StdinIsADirectory)
{
    kovtest::scratch_dir dir;
    run_result r = run({prog, dir.path("db.kov")}, kovtest::from_file(dir.dir()));
    expect_failure(r, "stdin: Is a directory\n");
    // The database was created and holds no records.
    EXPECT_TRUE(kovtest::read_kov(dir.path("db.kov")).empty());
}

TEST(ReadError, StdinClosed)
{
    kovtest::scratch_dir dir;
    run_result r = run({prog, dir.path("db.kov")}, kovtest::closed_stdin());
    expect_failure(r, "stdin: Bad file descriptor\n");
    EXPECT_TRUE(kovtest::read_kov(dir.path("db.kov")).empty());
}

// Records stored before a failure are in the file after the process exits,
// across several internal commits.
TEST(Durability, RecordsBeforeAFailureSurvive)
{
    kovtest::scratch_dir dir;
    std::vector<record> records;
    std::string value(40000, 'v');
    for (int i = 0; i < 1000; i++)
        records.push_back({"k" + std::to_string(100000 + i), value + std::to_string(i)});
    run_result r = restore(dir.path("db.kov"), dump_of(records) + "{\nkey(2) = \"\\zz\"\n");
    expect_failure(r, "Invalid hex: z\n");
    EXPECT_EQ(records, kovtest::read_kov(dir.path("db.kov")));
}

}  // namespace
