// SPDX-License-Identifier: MIT
// --help and --version of both tools: answered only as the first argument,
// so that every other command line, ./--help included, works as before.
#include "dump_model.h"
#include "test_support.h"

#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kovtest;

namespace {

TEST(ToolOptions, OnlyAsFirstArgument)
{
    const std::string dump = canonical_record("key", "value");
    const std::string version = " \\(kov tools\\) [0-9]+\\.[0-9]+\\.[0-9]+\nSQLite " +
                                std::string(sqlite3_libversion()) + "\n";
    const struct {
        std::vector<std::string> argv;
        std::string out;  // a regular expression
        std::string err;
    } cases[] = {
        {{KOVRESTORE_PATH, "--help"},
         std::string("Usage: ") + KOVRESTORE_PATH + " dbname < kovdump_output\n(.*\n)+",
         ""},
        {{KOVDUMP_PATH, "--help"},
         std::string("Usage: ") + KOVDUMP_PATH + " dbname > kovdump_output\n(.*\n)+",
         ""},
        {{KOVRESTORE_PATH, "--version"}, "kovrestore" + version, ""},
        {{KOVDUMP_PATH, "--version"}, "kovdump" + version, ""},
        // A database named like an option, and an option after the name.
        {{KOVRESTORE_PATH, "./--help", "--version"}, "", "EOF\n"},
        {{KOVDUMP_PATH, "./--help", "--help"},
         "\\{\nkey\\(3\\) = \"key\"\nvalue\\(5\\) = \"value\"\n\\}\n",
         ""},
    };
    // Run where a file named after an option would land.
    scratch_dir dir;
    std::string home = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.dir().c_str()), 0);
    for (const auto &t : cases) {
        SCOPED_TRACE(t.argv[1]);
        run_result r = run(t.argv, from_data(dump));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, t.err);
        EXPECT_TRUE(std::regex_match(r.out, std::regex(t.out))) << r.out;
    }
    EXPECT_FALSE(file_exists("--version"));
    EXPECT_EQ(read_kov("--help"), (std::vector<record>{{"key", "value"}}));
    ASSERT_EQ(chdir(home.c_str()), 0);
}

}  // namespace
