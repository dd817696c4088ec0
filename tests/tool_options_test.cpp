// --help and --version of both tools: answered only as the first argument,
// so that every other command line, ./--help included, works as before.
#include "test_support.h"

#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kovtest;

namespace {

TEST(ToolOptions, HelpAndVersionAsFirstArgument)
{
    scratch_dir dir;
    const std::string sqlite_line = std::string("SQLite ") + sqlite3_libversion() + "\n";
    const struct {
        const char *tool, *arg;
        std::string out;  // a regular expression
    } cases[] = {
        {KOVRESTORE_PATH, "--help",
         std::string("Usage: ") + KOVRESTORE_PATH + " dbname < kovdump_output\n(.*\n)+"},
        {KOVDUMP_PATH, "--help",
         std::string("Usage: ") + KOVDUMP_PATH + " dbname > kovdump_output\n(.*\n)+"},
        {KOVRESTORE_PATH, "--version",
         "kovrestore \\(kov tools\\) [0-9]+\\.[0-9]+\\.[0-9]+\n" + sqlite_line},
        {KOVDUMP_PATH, "--version",
         "kovdump \\(kov tools\\) [0-9]+\\.[0-9]+\\.[0-9]+\n" + sqlite_line},
    };
    // Run where a file named after the option would land.
    std::string home = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.dir().c_str()), 0);
    for (const auto &t : cases) {
        SCOPED_TRACE(std::string(t.tool) + " " + t.arg);
        run_result r = run({t.tool, t.arg}, from_data(dump_record("k", "v")));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(std::regex_match(r.out, std::regex(t.out))) << r.out;
        EXPECT_FALSE(file_exists(t.arg));
    }
    ASSERT_EQ(chdir(home.c_str()), 0);
}

// A database named like an option is reached as a path; an option after the
// name is an ignored operand, as before.
TEST(ToolOptions, OtherCommandLinesAsBefore)
{
    scratch_dir dir;
    std::string home = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.dir().c_str()), 0);
    const std::string dump = dump_record("key", "value");
    run_result r = run({KOVRESTORE_PATH, "./--help", "--version"}, from_data(dump));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "EOF\n");
    EXPECT_EQ(read_kov("--help"), (std::vector<record>{{"key", "value"}}));

    r = run({KOVDUMP_PATH, "./--help", "--help"}, from_data(""));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, dump);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(chdir(home.c_str()), 0);
}

}  // namespace
