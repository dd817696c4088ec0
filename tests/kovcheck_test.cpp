// SPDX-License-Identifier: MIT
// End-to-end tests of build/kovcheck: every verdict checked against
// kovrestore's on the same input, through real pipes.

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kovtest::canonical_record;
using kovtest::run;
using kovtest::run_result;

const std::string check_prog = KOVCHECK_PATH;

// Runs both tools on the same input and requires the same verdict: kovcheck
// exits 0 exactly when kovrestore restores it all ("EOF", status 0), and
// neither dies of a signal.  Returns kovcheck's run.
run_result check_agrees(const kovtest::stdin_source &in, const std::string &label)
{
    kovtest::scratch_dir dir;
    run_result restored = run({KOVRESTORE_PATH, dir.path("db.kov")}, in);
    run_result checked = run({check_prog}, in);
    EXPECT_TRUE(restored.exited && checked.exited) << label;
    bool restored_all = restored.status == 0 && restored.err == "EOF\n";
    EXPECT_EQ(restored_all, checked.status == 0) << label << "\nkovcheck: " << checked.err;
    return checked;
}

TEST(Kovcheck, NamesTheFirstFault)
{
    const std::string two = kovtest::dump_of({{"a", "1"}, {"b", "2"}});  // lines 1 to 8
    const std::string r1 = canonical_record("k", "v");
    const struct {
        const char *what;
        std::string dump;
        std::string message;  // after "kovcheck: "
    } rows[] = {
        {"long body", two + "{\nkey(1) = \"c\"\nvalue(4) = \"caf\xC3\xA9\"\n}\n",
         "line 11 (record 3, value): body longer than its count 4"},
        {"short body", "{\nkey(5) = \"abc\"\nvalue(1) = \"v\"\n}\n",
         "line 2 (record 1, key): body shorter than its count 5 (a quote after 3 bytes)"},
        {"no closing quote", "{\nkey(1) = \"a\n\"\n",
         "line 2 (record 1, key): a line feed where the closing quote should follow the body "
         "(count 1)"},
        {"text after quote", "{\nkey(1) = \"a\"x\n",
         "line 2 (record 1, key): text after the closing quote"},
        {"bad escape", "{\nkey(1) = \"k\"\nvalue(2) = \"\\4G\"\n}\n",
         "line 3 (record 1, value): bad escape: 'G' is not a hexadecimal digit"},
        {"bad escape after body lines", "{\nkey(1) = \"k\"\nvalue(5) = \"a\nb\n\\4x\"\n}\n",
         "line 5 (record 1, value): bad escape: 'x' is not a hexadecimal digit"},
        {"quote in escape", "{\nkey(1) = \"\\\"\n",
         "line 2 (record 1, key): a quote inside an escape (\"\\\" takes two hexadecimal digits)"},
        {"eof in body", "{\nkey(5) = \"ab",
         "line 2 (record 1, key): the input ends inside the body, after 2 of its 5 bytes"},
        {"eof in escape", "{\nkey(1) = \"\\4",
         "line 2 (record 1, key): the input ends inside an escape"},
        {"eof after body", "{\nkey(1) = \"a",
         "line 2 (record 1, key): the input ends after the body, before its closing quote"},
        {"eof before (", r1 + "{\n",
         "line 6 (record 2, key): the input ends before the field's \"(\""},
        {"eof in header", "{\nkey(3",
         "line 2 (record 1, key): the input ends before the body's opening quote"},
        {"eof before }", r1.substr(0, r1.size() - 2),
         "line 4 (record 1): the input ends before the record's \"}\""},
        {"missing }", r1.substr(0, r1.size() - 2) + two, "line 4 (record 1): expected \"}\""},
        {"missing {", r1.substr(2), "line 1: expected \"{\""},
        {"extra line", r1 + "x\n" + r1, "line 5: expected \"{\""},
        {"bad count", "{\nkey(x) = \"\"\n",
         "line 2 (record 1, key): count is not a number from 0 to 2147483647"},
        {"count -1", "{\nkey(-1) = \"\"\n", "line 2 (record 1, key): negative count -1"},
        {"negative count", r1 + "{\nkey(1) = \"k\"\nvalue(-7) = \"\"\n",
         "line 7 (record 2, value): negative count -7"},
        {"header too long", "{\nkey(" + std::string(128, ' ') + "1) = \"k\"\n",
         "line 2 (record 1, key): no opening quote within 127 characters after \"(\""},
        {"blank line at end", two + "\n", "line 9: blank line after the last record"},
        {"lone { at end", r1 + "{",
         "line 5: the input ends inside this line, before its line feed"},
        {"crlf", r1 + "{\r\nkey(1) = \"k\"\r\n",
         "line 5: carriage return before the line end (CRLF dump?)"},
        {"duplicate", two + canonical_record("a", "again"),
         "line 9 (record 3): key stored twice, first by record 1 at line 1"},
    };
    for (const auto &row : rows) {
        run_result r = check_agrees(kovtest::from_data(row.dump), row.what);
        EXPECT_EQ(1, r.status) << row.what;
        EXPECT_EQ("kovcheck: " + row.message + "\n", r.err) << row.what;
        EXPECT_EQ("", r.out) << row.what;
    }
}

TEST(Kovcheck, CountsSoundDumps)
{
    const std::string odd = "{\n\nlabel\n(+3) = \"a\nb\"\nvalue( 0) = \"\"\n}\n";
    const struct {
        kovtest::stdin_source in;
        const char *out;
    } rows[] = {
        {kovtest::from_data(""), "0 records\n"},
        {kovtest::from_data(odd), "1 record\n"},
        {kovtest::from_data(kovtest::dump_of({{"a", "1"}, {"b", "2"}})), "2 records\n"},
        {kovtest::from_file(SAMPLE_DUMP_PATH), "6 records\n"},
    };
    for (const auto &row : rows) {
        run_result r = check_agrees(row.in, row.out);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(row.out, r.out);
        EXPECT_EQ("", r.err);
    }
}

// Lines are counted across the refills of the reader's buffer, and a key
// stored twice is found after the keys have spilled to temporary files,
// which are gone afterwards.
TEST(Kovcheck, LongDumps)
{
    kovtest::scratch_dir tmp;
    setenv("TMPDIR", tmp.dir().c_str(), 1);
    kovtest::sort_memory cap("64k");
    kovtest::generated_dump big = kovtest::generate_dump(3 << 20);
    std::string small;
    for (int i = 0; i < 20000; i++)
        small += canonical_record(std::to_string(i), "");
    const size_t big_lines =
        static_cast<size_t>(std::count(big.text.begin(), big.text.end(), '\n'));
    const struct {
        std::string dump;
        int status;
        std::string out, err;
    } rows[] = {
        {big.text, 0, std::to_string(big.ends.size()) + " records\n", ""},
        {big.text + "}\n", 1, "",
         "kovcheck: line " + std::to_string(big_lines + 1) + ": expected \"{\"\n"},
        {small + canonical_record("0", "again"), 1, "",
         "kovcheck: line 80001 (record 20001): key stored twice, first by record 1 at line 1\n"},
    };
    for (const auto &row : rows) {
        run_result r = check_agrees(kovtest::from_data(row.dump), row.err);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.out, r.out);
        EXPECT_EQ(row.err, r.err);
    }
    unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(tmp.dir()));
}

TEST(Kovcheck, AgreesWithRestoreOnTheFuzzCorpus)
{
    size_t files = 0;
    for (const char *sub : {"corpus", "regressions"}) {
        for (const auto &e :
             std::filesystem::directory_iterator(std::string(FUZZ_DIR) + "/" + sub)) {
            run_result r = check_agrees(kovtest::from_file(e.path().string()), e.path().string());
            EXPECT_TRUE(r.status == 0 || (r.status == 1 && r.err.rfind("kovcheck: line ", 0) == 0))
                << e.path() << ": " << r.err;
            files++;
        }
    }
    EXPECT_GE(files, 20u);
}

TEST(Kovcheck, UsageAndReadErrors)
{
    kovtest::scratch_dir dir;
    const std::string usage = "Usage: " + check_prog + " < kovdump_output\n";
    const std::string unreadable = "kovcheck: standard input: Is a directory\n";
    const struct {
        std::vector<std::string> argv;
        kovtest::stdin_source in;
        int status;
        std::string out, err;
    } rows[] = {
        {{check_prog, "x.dump"}, kovtest::from_data(""), 2, "", usage},
        {{check_prog, "-h"}, kovtest::from_data(""), 0, usage, ""},
        {{check_prog}, kovtest::from_file(dir.dir()), 2, "", unreadable},
    };
    for (const auto &row : rows) {
        run_result r = run(row.argv, row.in);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.out, r.out);
        EXPECT_EQ(row.err, r.err);
    }
}

}  // namespace
