// SPDX-License-Identifier: MIT
// End-to-end tests of kovdump: the real binary on real kov files, its output
// restored by the real kovrestore and dumped again.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "kov.h"
#include "test_support.h"

using kovtest::as_datum;
using kovtest::from_data;
using kovtest::read_file;
using kovtest::record;
using kovtest::run;
using kovtest::run_result;
using kovtest::scratch_dir;

namespace {

// Creates a kov file through the library, storing records in the given order.
void make_db(const std::string &path, const std::vector<record> &records)
{
    kov_handle db = kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_NE(db, nullptr) << path << ": " << strerror(errno);
    for (const record &r : records)
        ASSERT_EQ(kov_store(db, as_datum(r.first), as_datum(r.second), KOV_INSERT), 0)
            << kov_errorstr(db);
    ASSERT_EQ(kov_close(db), 0);
}

run_result dump(const std::string &db)
{
    return run({KOVDUMP_PATH, db}, from_data(""));
}

// Runs a shell script with $0 = kovdump and $1... = args.
run_result shell(const std::string &script, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"/bin/sh", "-c", script, KOVDUMP_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, from_data(""));
}

// The canonical dump of records, in ascending byte order of the keys.
std::string canonical(const std::map<std::string, std::string> &records)
{
    std::string out;
    for (const auto &[key, value] : records)
        out += kovtest::canonical_record(key, value);
    return out;
}

// Compares two possibly huge texts and names the first difference instead
// of printing both.
::testing::AssertionResult same_bytes(const std::string &expected, const std::string &actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        i++;
    size_t from = i > 40 ? i - 40 : 0;
    return ::testing::AssertionFailure()
           << "sizes " << expected.size() << " and " << actual.size()
           << ", first difference at byte " << i << "\n  expected: ..."
           << ::testing::PrintToString(expected.substr(from, 80)) << "\n  actual:   ..."
           << ::testing::PrintToString(actual.substr(from, 80));
}

// kovdump's output restored into a new file and dumped again.
void expect_round_trip(const scratch_dir &dir, const std::string &first_dump)
{
    std::string db = dir.path("again.kov");
    run_result restored = kovtest::restore(db, first_dump);
    ASSERT_TRUE(restored.exited) << "signal " << restored.signal;
    ASSERT_EQ(restored.status, 0) << restored.err;
    run_result second = dump(db);
    ASSERT_TRUE(second.exited) << "signal " << second.signal;
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_TRUE(same_bytes(first_dump, second.out));
}

std::string all_byte_values()
{
    std::string s;
    for (int c = 0; c < 256; c++)
        s += static_cast<char>(c);
    return s;
}

// ---------------------------------------------------------------------------
// Output format

TEST(KovdumpFormat, WritesEveryRecordInKeyOrderInCanonicalForm)
{
    scratch_dir dir;
    std::string db = dir.path("f.kov");
    // Stored out of order; byte order puts "" first, "A" before "a", "a"
    // before "a\0", and 0xFF last.
    make_db(db, {{"\xff", "high"},
                 {"alpha", std::string("\x01\x0a\xff", 3)},
                 {"a", " ~\"\\\x7f\x1f"},
                 {std::string("a\0", 2), ""},
                 {"", "empty key"},
                 {"A", "line\r\nend"}});
    run_result r = dump(db);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "{\nkey(0) = \"\"\nvalue(9) = \"empty key\"\n}\n"
                     "{\nkey(1) = \"A\"\nvalue(9) = \"line\\0D\\0Aend\"\n}\n"
                     "{\nkey(1) = \"a\"\nvalue(6) = \" ~\\22\\5C\\7F\\1F\"\n}\n"
                     "{\nkey(2) = \"a\\00\"\nvalue(0) = \"\"\n}\n"
                     "{\nkey(5) = \"alpha\"\nvalue(3) = \"\\01\\0A\\FF\"\n}\n"
                     "{\nkey(1) = \"\\FF\"\nvalue(4) = \"high\"\n}\n");
}

TEST(KovdumpFormat, EncodesEveryByteValueAndLongFields)
{
    scratch_dir dir;
    std::string db = dir.path("b.kov");
    std::string bytes = all_byte_values();
    // Fields far larger than the output buffer, all escapes or all literals,
    // so that encoding crosses many buffer boundaries.
    std::string escapes(3 << 20, '\0');
    for (size_t i = 0; i < escapes.size(); i++)
        escapes[i] = static_cast<char>(i % 0x20);
    std::string literals(5 << 20, 'x');
    std::map<std::string, std::string> records = {
        {bytes, bytes}, {"escapes", escapes}, {"literals", literals}};
    make_db(db, {records.begin(), records.end()});
    run_result r = dump(db);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(canonical(records), r.out));
}

TEST(KovdumpFormat, EmptyDatabasesDumpNothing)
{
    scratch_dir dir;
    make_db(dir.path("empty.kov"), {});
    run_result r = dump(dir.path("empty.kov"));
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// ---------------------------------------------------------------------------
// Round trips

// Random keys and values of 0 to 64 KiB over every byte value.  Most fields
// are short and a few long, so thousands of records stay quick.  Replay a
// failure with KOV_SEED=<seed>.
TEST(KovdumpRoundTrip, RandomDatabasesDumpRestoreDumpIdentically)
{
    const char *env = getenv("KOV_SEED");
    unsigned long long seed = env && *env ? strtoull(env, nullptr, 0) : std::random_device{}();
    SCOPED_TRACE("KOV_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);

    auto random_length = [&rng] {
        size_t limit = size_t{1} << (rng() % 17);  // 1 .. 64 KiB
        return static_cast<size_t>(rng() % (limit + 1));
    };
    auto random_bytes = [&rng](size_t n) {
        std::string s(n, '\0');
        switch (rng() % 3) {
        case 0:  // any byte
            for (char &c : s)
                c = static_cast<char>(rng());
            break;
        case 1:  // printable text
            for (char &c : s)
                c = static_cast<char>(0x20 + rng() % 95);
            break;
        default:  // the bytes at the edges of the escape rule
            static const char edges[] = {'"',  '\\',   '\n',   '\r', 0,   0x1f, 0x20, 0x7e,
                                         0x7f, '\x80', '\xff', '{',  '}', '(',  ')',  '='};
            for (char &c : s)
                c = edges[rng() % sizeof edges];
            break;
        }
        return s;
    };

    std::map<std::string, std::string> records = {
        {"", all_byte_values()},
        {all_byte_values(), ""},
        {std::string(65536, '\xff'), random_bytes(65536)},
    };
    while (records.size() < 3000) {
        std::string key = random_bytes(random_length());
        records.emplace(key, random_bytes(random_length()));
    }
    std::vector<record> shuffled(records.begin(), records.end());
    std::shuffle(shuffled.begin(), shuffled.end(), rng);

    scratch_dir dir;
    std::string db = dir.path("random.kov");
    make_db(db, shuffled);
    run_result first = dump(db);
    ASSERT_TRUE(first.exited);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "");
    ASSERT_TRUE(same_bytes(canonical(records), first.out));
    expect_round_trip(dir, first.out);
}

// Files nobody here wrote, keyed by path: licence texts and binaries.  The
// dump is written in canonical form in key order, so kovdump must give it
// back byte for byte.
TEST(KovdumpRoundTrip, SystemFilesComeBackIdentical)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto &entry :
         std::filesystem::recursive_directory_iterator("/usr/share/common-licenses", ec))
        if (entry.is_regular_file())
            files[entry.path().string()] = read_file(entry.path().string());
    for (const char *bin : {"/usr/bin/cat", "/usr/bin/ls", "/usr/bin/dash", "/usr/bin/sqlite3"})
        if (std::filesystem::is_regular_file(bin))
            files[bin] = read_file(bin);
    if (files.size() < 5)
        GTEST_SKIP() << "too few system files to make a corpus";

    scratch_dir dir;
    std::string input = canonical(files);
    std::string db = dir.path("files.kov");
    run_result restored = kovtest::restore(db, input);
    ASSERT_EQ(restored.status, 0) << restored.err;
    std::vector<record> rows = kovtest::read_kov(db);
    EXPECT_EQ(rows.size(), files.size());
    EXPECT_TRUE(std::equal(
        rows.begin(), rows.end(), files.begin(), files.end(),
        [](const record &a, const auto &b) { return a.first == b.first && a.second == b.second; }));

    run_result r = dump(db);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(input, r.out));
}

// Dumps that kovrestore accepts but that are not what kovdump writes: other
// labels, lower-case hex, escaped printable bytes, a raw line feed, records
// out of order.  The first dump is canonical and stays so.
TEST(KovdumpRoundTrip, AcceptedDumpsBecomeCanonical)
{
    scratch_dir dir;
    const std::string input = "{\nzebra(2) = \"zz\"\ndata(1) = \"\\7e\"\n}\n"
                              "{\n\nfirst line\n(+3) = \"\\61\\62c\"\n  (4) = \"a\nb\r\"\n}\n"
                              "{\nk(1) = \"\\ff\"\nv(0) = \"\"\n}\n";
    std::string db = dir.path("odd.kov");
    ASSERT_EQ(kovtest::restore(db, input).status, 0);
    run_result r = dump(db);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\nkey(3) = \"abc\"\nvalue(4) = \"a\\0Ab\\0D\"\n}\n"
                     "{\nkey(2) = \"zz\"\nvalue(1) = \"~\"\n}\n"
                     "{\nkey(1) = \"\\FF\"\nvalue(0) = \"\"\n}\n");
    expect_round_trip(dir, r.out);

    scratch_dir sample_dir;
    std::string sample_db = sample_dir.path("sample.kov");
    ASSERT_EQ(kovtest::restore(sample_db, read_file(SAMPLE_DUMP_PATH)).status, 0);
    run_result sample = dump(sample_db);
    EXPECT_EQ(sample.status, 0);
    std::vector<record> rows = kovtest::read_kov(sample_db);
    EXPECT_EQ(sample.out, canonical({rows.begin(), rows.end()}));
    expect_round_trip(sample_dir, sample.out);
}

// ---------------------------------------------------------------------------
// Command line and open failures

TEST(KovdumpErrors, NoOperandPrintsUsageOnStandardOutput)
{
    run_result r = run({KOVDUMP_PATH}, from_data(""));
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("Usage: ") + KOVDUMP_PATH + " dbname > kovdump_output\n");
    EXPECT_EQ(r.err, "");
}

// Each refusal says, in the library's words, why the file is not a kov
// database, and leaves it unchanged.
TEST(KovdumpErrors, FilesThatAreNotKovDatabasesFailToOpen)
{
    scratch_dir dir;
    kovtest::write_file(dir.path("text"), "just some text, longer than nothing\n");
    kovtest::write_file(dir.path("torn"), std::string("SQLite format 3\0", 16) + "torn off");
    kovtest::write_file(dir.path("empty"), "");
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0) << strerror(errno);
    const std::string kov_table = "CREATE TABLE kov(key BLOB PRIMARY KEY NOT NULL, "
                                  "value BLOB NOT NULL) WITHOUT ROWID;";
    const std::string kov_id = "PRAGMA application_id=1802466865;";
    struct {
        std::string name, sql;
    } databases[] = {
        {"other.db", "PRAGMA application_id=-2; CREATE TABLE kov(key BLOB PRIMARY KEY, value BLOB)"},
        {"no id.db", kov_table},
        {"v2.db", kov_id + "PRAGMA user_version=2;" + kov_table},
        {"odd?name#%41.db", kov_id + "PRAGMA user_version=1; CREATE TABLE t(a)"},
    };
    for (const auto &d : databases) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(dir.path(d.name).c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, d.sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    struct {
        std::string path;
        const char *system_text;
        std::string why;  // the third line without "path: "; "" for none
    } cases[] = {
        {dir.path("missing.kov"), "No such file or directory", ""},
        {dir.dir(), "Is a directory", ""},
        {dir.path("text"), "Invalid argument", "not a kov database: not a SQLite database"},
        {dir.path("torn"), "Invalid argument",
         "not a kov database: a damaged SQLite file (file is not a database)"},
        {dir.path("empty"), "Invalid argument", "not a kov database: the file is empty"},
        {dir.path("fifo"), "Invalid argument", "not a kov database: a FIFO, not a regular file"},
        {"/dev/null", "Invalid argument",
         "not a kov database: a character device, not a regular file"},
        {dir.path("other.db"), "Invalid argument",
         "not a kov database: the application id is 0xFFFFFFFE, not the kov id 0x6B6F7631"},
        {dir.path("no id.db"), "Invalid argument",
         "not a kov database: the application id is 0x00000000, not the kov id 0x6B6F7631"},
        {dir.path("v2.db"), "Invalid argument",
         "unsupported kov format version 2; this library reads version 1"},
        {dir.path("odd?name#%41.db"), "Invalid argument", "not a kov database: no kov table"},
    };
    for (const auto &c : cases) {
        bool regular = std::filesystem::is_regular_file(c.path);
        std::string before = regular ? read_file(c.path) : "";
        run_result r = dump(c.path);
        EXPECT_TRUE(r.exited) << c.path;
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(r.out, "") << c.path;
        EXPECT_EQ(r.err, std::string("kov_open: ") + c.system_text + "\nFailed to open " + c.path +
                             "\n" + (c.why.empty() ? "" : c.path + ": " + c.why + "\n"));
        if (regular) {
            EXPECT_EQ(read_file(c.path), before) << c.path;
        }
    }
    // Nothing was created beside the files either.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.dir()), {}), 8);
}

// A child that opens the database with open_flags and stores one record,
// then either kills itself or says "r" on its standard output and waits
// until its standard input is closed.
kovtest::child start_writer(const std::string &path, int open_flags, bool kill_self)
{
    return kovtest::start_function([=] {
        kov_handle db = kov_open(path.c_str(), 0, 0, open_flags, 0666);
        if (!db || kov_store(db, as_datum("uncommitted"), as_datum("value"), KOV_INSERT))
            return 2;
        if (kill_self)
            raise(SIGKILL);
        char c;
        if (write(1, "r", 1) != 1 || read(0, &c, 1) != 0)
            return 3;
        return 0;
    });
}

// A restore in progress keeps its new database locked.
TEST(KovdumpErrors, DatabaseBeingCreatedIsBusy)
{
    scratch_dir dir;
    std::string db = dir.path("busy.kov");
    kovtest::child writer = start_writer(db, O_RDWR | O_CREAT | O_EXCL, false);
    char c;
    ASSERT_EQ(read(writer.out, &c, 1), 1) << "the writer failed";

    run_result r = dump(db);
    EXPECT_EQ(kovtest::finish(writer).status, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kov_open: Device or resource busy\nFailed to open " + db + "\n");
}

// A writer killed inside a transaction leaves a rollback journal.  kovdump
// does not write to its input, so it refuses and says how to recover;
// after a read-write open has rolled the journal back, the committed
// records dump.
TEST(KovdumpErrors, InterruptedWriteIsReportedAndLeftAlone)
{
    scratch_dir dir;
    std::string db = dir.path("killed.kov");
    make_db(db, {{"committed", "value"}});
    kovtest::child writer = start_writer(db, O_RDWR, true);
    ASSERT_EQ(kovtest::finish(writer).signal, SIGKILL)
        << "the writer did not get as far as the kill";
    ASSERT_TRUE(kovtest::file_exists(db + "-journal"));
    std::string db_before = read_file(db), journal_before = read_file(db + "-journal");

    run_result r = dump(db);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kov_open: Permission denied\nFailed to open " + db + "\n" + db +
                         "-journal: left by an interrupted write, or from another file; if a "
                         "writer of " +
                         db + " was killed, open " + db +
                         " read-write once to roll it back; if not, remove it (see kovdump(1))\n");
    EXPECT_EQ(read_file(db), db_before);
    EXPECT_EQ(read_file(db + "-journal"), journal_before);

    sqlite3 *recover = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &recover, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(recover, "PRAGMA quick_check", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(recover);
    r = dump(db);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kovtest::canonical_record("committed", "value"));
}

// Damaged pages in the middle of the table: the scan fails part way, and
// the run must not end as a success.
TEST(KovdumpErrors, DamagedDatabaseFailsTheDump)
{
    scratch_dir dir;
    std::string db = dir.path("damaged.kov");
    std::vector<record> records;
    for (int i = 0; i < 20000; i++)
        records.emplace_back("key" + std::to_string(100000 + i), std::string(100, 'v'));
    make_db(db, records);
    std::string bytes = read_file(db);
    ASSERT_GT(bytes.size(), 1u << 20);
    std::fill(bytes.begin() + (1 << 20), bytes.begin() + (1 << 20) + 65536, '\xff');
    kovtest::write_file(db, bytes);

    run_result r = dump(db);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "KOV error: database disk image is malformed\n");
}

// ---------------------------------------------------------------------------
// Writing the output

// A database whose dump is far larger than any pipe or output buffer.
std::string make_large_db(const scratch_dir &dir)
{
    std::string db = dir.path("large.kov");
    std::vector<record> records;
    for (int i = 0; i < 4000; i++)
        records.emplace_back("key" + std::to_string(10000 + i), std::string(4000, '\x01'));
    make_db(db, records);
    return db;
}

TEST(KovdumpOutput, WriteErrorsAreReportedWithStatusOne)
{
    scratch_dir dir;
    std::string small = dir.path("small.kov");
    make_db(small, {{"k", "v"}});
    std::string large = make_large_db(dir);
    std::string out = dir.path("out");

    // Full device, found at the last flush and in the middle of the scan.
    for (const std::string &db : {small, large}) {
        run_result r = shell("exec \"$0\" \"$1\" > /dev/full", {db});
        EXPECT_TRUE(r.exited) << db;
        EXPECT_EQ(r.status, 1) << db;
        EXPECT_EQ(r.err, "stdout: No space left on device\n") << db;
    }

    // A file size limit of 512 KiB with SIGXFSZ ignored: the write fails
    // with EFBIG part way through a dump of about 47 MB.
    run_result r = shell("ulimit -f 1024; trap '' XFSZ; exec \"$0\" \"$1\" > \"$2\"", {large, out});
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "stdout: File too large\n");
    std::string written = read_file(out);
    EXPECT_GT(written.size(), 0u);
    EXPECT_LE(written.size(), 1u << 20);
    EXPECT_EQ(written.compare(0, 6, "{\nkey("), 0);

    r = shell("exec \"$0\" \"$1\" >&-", {small});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "stdout: Bad file descriptor\n");
}

// kovdump db | head -c 10: the reader goes away and kovdump ends by
// SIGPIPE, silently, even though this test process ignores SIGPIPE and the
// shell inherits that.
TEST(KovdumpOutput, ReaderClosingThePipeEndsTheDump)
{
    scratch_dir dir;
    std::string db = make_large_db(dir);
    std::string status_file = dir.path("status");
    run_result r = shell("{ \"$0\" \"$1\"; echo $? > \"$2\"; } | head -c 10", {db, status_file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\nkey(8) =");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(status_file), std::to_string(128 + SIGPIPE) + "\n");
}

// 1,000,000 records and one 8 MiB value: kovdump's peak memory stays within
// the library's 2 MiB read cache plus the largest record, with room for
// the program itself, while the dump is about 110 MB.
TEST(KovdumpMemory, MillionRecordsDumpInBoundedMemory)
{
#ifdef KOV_SANITIZE
    GTEST_SKIP() << "a sanitizer's runtime adds its own memory to the peak";
#endif
    scratch_dir dir;
    std::string db = dir.path("million.kov");
    {
        kov_handle h = kov_open(db.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
        ASSERT_NE(h, nullptr);
        char key[32];
        std::string value(64, 'v');
        for (int i = 0; i < 1000000; i++) {
            snprintf(key, sizeof key, "record%09d", i);
            value[0] = static_cast<char>(i);
            datum k = {reinterpret_cast<unsigned char *>(key), strlen(key)};
            ASSERT_EQ(kov_store(h, k, as_datum(value), KOV_INSERT), 0) << kov_errorstr(h);
        }
        ASSERT_EQ(
            kov_store(h, as_datum("record~large"), as_datum(std::string(8 << 20, 'L')), KOV_INSERT),
            0);
        ASSERT_EQ(kov_close(h), 0);
    }

    run_result r = dump(db);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_GT(r.out.size(), 100000000u);
    const long limit_kib = 2 * 1024 + 8 * 1024 + 24 * 1024;
    EXPECT_LT(r.max_rss_kib, limit_kib) << "peak RSS in KiB";
}

}  // namespace
