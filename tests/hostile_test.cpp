// SPDX-License-Identifier: MIT
// Hostile names and hostile files.  Each case runs the real tools through
// /bin/sh in a scratch directory and checks the outcome, that every file
// there before the run is unchanged, and what the directory holds after.

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "dump_model.h"
#include "test_support.h"

namespace {

const std::string one_record = kovtest::canonical_record("a", "b");

struct hostile_case {
    std::string setup, command;  // shell commands: $R is kovrestore, $D kovdump
    int status;
    std::string out, err, names;  // the outcome; the directory's entries after it
};

std::map<std::string, std::string> contents(const kovtest::scratch_dir &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(dir.dir()))
        files[e.path().filename()] = e.is_regular_file() ? kovtest::read_file(e.path()) : "";
    return files;
}

// Runs each case in a new directory of the given mode, with the one-record
// dump on the command's standard input.
void check(const std::vector<hostile_case> &cases, mode_t dir_mode = 0700)
{
    for (const hostile_case &c : cases) {
        SCOPED_TRACE(c.setup + "; " + c.command);
        kovtest::scratch_dir dir;
        ASSERT_EQ(0, chmod(dir.dir().c_str(), dir_mode));
        std::vector<std::string> sh = {
            "/bin/sh",       "-c",        "cd \"$0\" && R=$1 D=$2 && " + c.setup, dir.dir(),
            KOVRESTORE_PATH, KOVDUMP_PATH};
        ASSERT_EQ(0, kovtest::run(sh, kovtest::from_data("")).status);
        auto before = contents(dir);
        sh[2] = "cd \"$0\" && R=$1 D=$2 && " + c.command;
        kovtest::run_result r = kovtest::run(sh, kovtest::from_data(one_record));
        EXPECT_EQ(c.status, r.status) << "signal " << r.signal;
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
        std::string names;
        for (const auto &[name, bytes] : contents(dir)) {
            names += (names.empty() ? "" : " ") + name;
            EXPECT_TRUE(!before.count(name) || before[name] == bytes) << name << " changed";
        }
        EXPECT_EQ(c.names, names);
    }
}

TEST(Hostile, NamesArePlainFiles)
{
    const std::string round_trip = "\"$R\" \"$N\" && exec \"$D\" \"$N\"";
    check({
        {":", "N=:memory:; " + round_trip, 0, one_record, "EOF\n", ":memory:"},
        {":", "N='file:x?mode=memory'; " + round_trip, 0, one_record, "EOF\n",
         "file:x?mode=memory"},
        {": > victim", "N=file:victim; " + round_trip, 0, one_record, "EOF\n",
         "file:victim victim"},
    });
}

const std::string restore_h = "exec \"$R\" h.kov", dump_h = "exec \"$D\" h.kov";

std::string in_the_way(const std::string &side)
{
    return "kov_open: File exists\nFailed to open h.kov\n" + side +
           " already exists beside the new database; remove it or choose another name\n";
}

TEST(Hostile, FilesAreRefusedOrReadAsBytesAndNeverWritten)
{
    // A new, empty kov file h.kov, then the sqlite3 shell runs SQL on it.
    const std::string kov = "\"$R\" h.kov < /dev/null 2>&- && sqlite3 h.kov > /dev/null ";
    auto not_kov = [](const std::string &why) {
        return "kov_open: Invalid argument\nFailed to open h.kov\nh.kov: not a kov database: " + why +
               "\n";
    };
    std::vector<hostile_case> cases = {
        {": > h.kov", dump_h, 1, "", not_kov("the file is empty"), "h.kov"},
        {"ln -s /dev/zero h.kov", dump_h, 1, "", not_kov("a character device, not a regular file"),
         "h.kov"},
        // SQLite would take the journal for one to play back into the file.
        {"echo text > h.kov && echo x > h.kov-journal", dump_h, 1, "",
         not_kov("not a SQLite database"), "h.kov h.kov-journal"},
        {kov + "'DROP TABLE kov; CREATE VIEW kov AS SELECT 1 key, 1 value'", dump_h, 1, "",
         not_kov("kov is a view"), "h.kov"},
        {kov + "'DROP TABLE kov; CREATE TABLE kov(key, value)'", dump_h, 1, "",
         not_kov("the kov table has another definition"), "h.kov"},
        {kov + "'CREATE TRIGGER t AFTER INSERT ON kov BEGIN SELECT 1; END'", dump_h, 1, "",
         not_kov("the kov table has a trigger"), "h.kov"},
        {kov + "\"INSERT INTO kov VALUES('abc', x'00'), (x'616263', x'01')\"", dump_h, 1, "",
         "KOV error: key of type text\n", "h.kov"},
        {kov + "\"INSERT INTO kov VALUES(x'01', 'text'), (x'02', 7.5)\"", dump_h, 0,
         kovtest::canonical_record("\x01", "text") + kovtest::canonical_record("\x02", "7.5"), "",
         "h.kov"},
        {kov + "'PRAGMA journal_mode=WAL'", dump_h, 1, "",
         "kov_open: Operation not supported\n"
         "Failed to open h.kov\nh.kov: in WAL mode, which kovdump cannot read without writing "
         "beside it; convert it first: sqlite3 h.kov 'PRAGMA journal_mode=DELETE'\n",
         "h.kov"},
        {kov + "\"INSERT INTO kov VALUES(x'01', zeroblob(9000))\"",
         "ulimit -f 8; " + dump_h + " > o", 1, "", "stdout: File too large\n", "h.kov o"},
        {":", "ulimit -f 8; " + restore_h, 1, "",
         "kov_open: Input/output error\nFailed to open h.kov\n", ""},
        {"ln -s nowhere h.kov", restore_h, 1, "", "kov_open: File exists\nFailed to open h.kov\n",
         "h.kov"},
        {"mkdir d", "exec \"$R\" d/", 1, "", "kov_open: Is a directory\nFailed to open d/\n", "d"},
    };
    for (std::string side : {"h.kov-journal", "h.kov-wal", "h.kov-shm"})
        cases.push_back({": > " + side, restore_h, 1, "", in_the_way(side), side});
    check(cases);
}

// In a shared sticky directory, user nobody plants the journal, open to
// all; a private restore must not write into it.
TEST(Hostile, AnotherUsersJournalIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can act as a second user (nobody)";
    check({{"setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "
            "'umask 0; : > h.kov-journal'",
            "umask 077; " + restore_h, 1, "", in_the_way("h.kov-journal"), "h.kov-journal"}},
          01777);
}

// A name whose full path, with "-journal" beside it, passes SQLite's limit
// of 512 bytes is refused by name before anything is made; one byte less
// makes a database both tools use.
TEST(Hostile, LongPathsWorkUpToTheLimitAndAreRefusedPastIt)
{
    size_t dir_len;
    {
        kovtest::scratch_dir probe;  // every scratch directory's name is as long
        dir_len = std::filesystem::canonical(probe.dir()).string().size();
    }
    auto name = [dir_len](size_t full) {  // a relative name of that full length
        std::string n;
        for (char c = 'a'; dir_len + 1 + n.size() + 200 + strlen("/x.kov") < full; c++)
            n += std::string(199, c) + "/";
        n += std::string(full - dir_len - 1 - n.size() - strlen("/x.kov"), 'z') + "/x.kov";
        return n;
    };
    std::string fits = name(504), too_long = name(505);
    std::string refused = "kov_open: File name too long\nFailed to open " + too_long + "\n";
    check({
        {"mkdir -p " + fits.substr(0, fits.size() - 6),
         "\"$R\" " + fits + " && exec \"$D\" " + fits, 0, one_record, "EOF\n",
         std::string(199, 'a')},
        {"mkdir -p " + too_long.substr(0, too_long.size() - 6),
         "\"$R\" " + too_long + "; \"$D\" " + too_long + "; ls -A " +
             too_long.substr(0, too_long.size() - 6),
         0, "", refused + refused, std::string(199, 'a')},
    });
}

}  // namespace
