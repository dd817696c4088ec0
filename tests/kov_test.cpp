// SPDX-License-Identifier: MIT
// Tests of the kov library against real files and the real SQLite.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "kov.h"
#include "test_support.h"

namespace {

using kovtest::as_datum;
using kovtest::record;

std::string fetch(kov_handle db, const std::string &key)
{
    datum v = kov_fetch(db, as_datum(key));
    if (!v.data)
        return "<absent>";
    std::string out(reinterpret_cast<char *>(v.data), v.size);
    free(v.data);
    return out;
}

kov_handle create(const std::string &path)
{
    return kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0666);
}

// Runs body(path, db) on a handle that writes path, once for each kind: one
// that creates it (written in key order at the close), and one on the empty
// kov file that an earlier handle created (written at once, committed at the
// close).  Each run has a scratch directory of its own.
void with_new_and_existing(const std::function<void(const std::string &, kov_handle)> &body)
{
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "existing file" : "new file");
        kovtest::scratch_dir dir;
        std::string path = dir.path("db.kov");
        if (existing) {
            ASSERT_EQ(0, kov_close(create(path)));
        }
        kov_handle db = existing ? kov_open(path.c_str(), 0, 0, O_RDWR, 0) : create(path);
        ASSERT_NE(nullptr, db) << kov_errorstr(nullptr);
        body(path, db);
    }
}

std::string sql_text(const std::string &path, const char *sql)
{
    sqlite3 *db;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *st;
    std::string out;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

TEST(KovOpen, CreatesAKovFileWithTheGivenMode)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("new.kov");
    mode_t old_mask = umask(022);
    kov_handle db = kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0640);
    umask(old_mask);
    ASSERT_NE(nullptr, db) << strerror(errno);
    ASSERT_EQ(0, kov_close(db));

    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ("1802466865", sql_text(path, "PRAGMA application_id"));  // 0x6B6F7631
    EXPECT_EQ("1", sql_text(path, "PRAGMA user_version"));
    EXPECT_EQ("CREATE TABLE kov(key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID",
              sql_text(path, "SELECT sql FROM sqlite_master WHERE name = 'kov'"));
    EXPECT_FALSE(kovtest::file_exists(path + "-journal"));
}

TEST(KovOpen, NeverTouchesAnExistingPath)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("existing");
    const std::string content = "precious bytes\n";
    kovtest::write_file(path, content);
    errno = 0;
    EXPECT_EQ(nullptr, create(path));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ(content, kovtest::read_file(path));
    EXPECT_FALSE(kovtest::file_exists(path + "-journal"));
}

TEST(KovOpen, RefusesWhatIsNotAKovDatabase)
{
    kovtest::scratch_dir dir;
    errno = 0;
    EXPECT_EQ(nullptr, kov_open(dir.path("missing").c_str(), 0, 0, O_RDONLY, 0));
    EXPECT_EQ(ENOENT, errno);

    std::string text = dir.path("text");
    kovtest::write_file(text, std::string(5000, 'x'));
    errno = 0;
    EXPECT_EQ(nullptr, kov_open(text.c_str(), 0, 0, O_RDONLY, 0));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_STREQ("not a kov database: not a SQLite database", kov_errorstr(nullptr));
    // A writer neither plays a journal beside it back into it nor removes it.
    kovtest::write_file(text + "-journal", "x");
    errno = 0;
    EXPECT_EQ(nullptr, kov_open(text.c_str(), 0, 0, O_RDWR, 0));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(std::string(5000, 'x'), kovtest::read_file(text));
    EXPECT_EQ("x", kovtest::read_file(text + "-journal"));

    // A valid SQLite file of some other application.
    std::string other = dir.path("other.db");
    sqlite3 *s;
    sqlite3_open(other.c_str(), &s);
    sqlite3_exec(s, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(s);
    std::string before = kovtest::read_file(other);
    errno = 0;
    EXPECT_EQ(nullptr, kov_open(other.c_str(), 0, 0, O_RDWR, 0));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(before, kovtest::read_file(other));
}

TEST(KovOpen, ZeroLengthFileIsACreationCutShort)
{
    // What a process killed inside kov_open leaves behind: a reader refuses
    // it and leaves it alone, a writer completes the creation.
    kovtest::scratch_dir dir;
    std::string path = dir.path("empty.kov");
    kovtest::write_file(path, "");
    errno = 0;
    EXPECT_EQ(nullptr, kov_open(path.c_str(), 0, 0, O_RDONLY, 0));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ("", kovtest::read_file(path));
    kov_handle rw = kov_open(path.c_str(), 0, 0, O_RDWR, 0);
    ASSERT_NE(nullptr, rw) << kov_errorstr(nullptr);
    EXPECT_EQ(0, kov_store(rw, as_datum("k"), as_datum("v"), KOV_INSERT));
    EXPECT_EQ(0, kov_close(rw));
    EXPECT_EQ((std::vector<record>{{"k", "v"}}), kovtest::read_kov(path));
}

// On a file the handle creates (written in key order at the close) and on an
// existing one (written at once, committed at the close).
TEST(KovStore, ModesAndEmptyBlobs)
{
    with_new_and_existing([](const std::string &path, kov_handle db) {
        EXPECT_EQ(0, kov_store(db, as_datum("k"), as_datum("one"), KOV_INSERT));
        EXPECT_EQ(-1, kov_store(db, as_datum("k"), as_datum("two"), KOV_INSERT));
        EXPECT_STREQ("Record exists", kov_errorstr(db));
        EXPECT_EQ("one", fetch(db, "k"));

        EXPECT_EQ(0, kov_store(db, as_datum("k"), as_datum("three"), KOV_REPLACE));
        EXPECT_EQ("three", fetch(db, "k"));
        EXPECT_EQ(0, kov_store(db, as_datum("new"), as_datum("r"), KOV_REPLACE));

        EXPECT_EQ(0, kov_store(db, as_datum("k"), as_datum("four"), KOV_MODIFY));
        EXPECT_EQ("four", fetch(db, "k"));
        EXPECT_EQ(-1, kov_store(db, as_datum("absent"), as_datum("x"), KOV_MODIFY));
        EXPECT_STRNE("", kov_errorstr(db));
        EXPECT_EQ("<absent>", fetch(db, "absent"));

        EXPECT_EQ(-1, kov_store(db, as_datum("k"), as_datum("x"), 7));

        // Empty keys and values, with and without a data pointer.
        EXPECT_EQ(0, kov_store(db, datum{nullptr, 0}, datum{nullptr, 0}, KOV_INSERT));
        EXPECT_EQ(0, kov_store(db, as_datum("e"), as_datum(""), KOV_INSERT));
        datum empty = kov_fetch(db, datum{nullptr, 0});
        EXPECT_NE(nullptr, empty.data);
        EXPECT_EQ(0u, empty.size);
        free(empty.data);
        EXPECT_EQ(-1, kov_store(db, datum{nullptr, 3}, as_datum("v"), KOV_INSERT));
        EXPECT_EQ(nullptr, kov_fetch(db, datum{nullptr, 5}).data);
        EXPECT_STREQ("datum with a size but no data", kov_errorstr(db));
        ASSERT_EQ(0, kov_close(db));

        std::vector<record> rows = kovtest::read_kov(path);  // also checks BLOB, not NULL
        std::vector<record> want = {{"", ""}, {"e", ""}, {"k", "four"}, {"new", "r"}};
        EXPECT_EQ(want, rows);
    });
}

// A new file's records in key order stream into its B-tree as they are
// stored; a repeated key, or one out of order, ends that, and a key that
// streamed is then still found: refused as a duplicate, replaced on request.
TEST(KovStore, KeyOrderThenOutOfOrderThenAStreamedKeyAgain)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("db.kov");
    setenv("KOV_SORT_MEMORY", "64k", 1);
    kov_handle db = create(path);
    unsetenv("KOV_SORT_MEMORY");
    ASSERT_NE(nullptr, db);
    std::vector<record> want;
    for (int i = 0; i < 200; i++) {
        size_t n = i > 0 && i < 7 ? 20000 : 1000;
        want.push_back({"k" + std::to_string(1000 + i), std::string(n, 'a' + i % 26)});
        ASSERT_EQ(0, kov_store(db, as_datum(want[i].first), as_datum(want[i].second), KOV_INSERT));
        EXPECT_EQ(i < 7 ? i + 1u : 0u, kov_pending(db));  // held until 8 records
    }
    EXPECT_EQ(0u, kov_pending(db));  // streamed, not held by the sorter
    for (const char *key : {"k1199", "a", "k1100", "k1000"}) {
        bool fresh = key[0] == 'a';
        EXPECT_EQ(fresh ? 0 : -1, kov_store(db, as_datum(key), as_datum("new"), KOV_INSERT)) << key;
        EXPECT_STREQ(fresh ? "" : "Record exists", kov_errorstr(db));
    }
    // The build has ended and its connection was opened again: the writer
    // still keeps every other SQLite client out.
    for (const char *sql : {"SELECT count(*) FROM kov", "INSERT INTO kov VALUES(x'00', x'00')"}) {
        kovtest::run_result r =
            kovtest::run({"/bin/sh", "-c", "exec sqlite3 \"$0\" \"$1\"", path, sql}, {});
        EXPECT_NE(std::string::npos, r.err.find("database is locked")) << sql << r.out << r.err;
    }
    EXPECT_EQ(0, kov_store(db, as_datum("k1000"), as_datum("replaced"), KOV_REPLACE));
    EXPECT_EQ(0, kov_close(db));
    want[0].second = "replaced";
    want.insert(want.begin(), {"a", "new"});
    EXPECT_EQ(want, kovtest::read_kov(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(std::to_string(st.st_size), sql_text(path, "SELECT page_count * page_size FROM "
                                                         "pragma_page_count, pragma_page_size"));
    EXPECT_EQ("0", sql_text(path, "PRAGMA freelist_count"));
}

// Values of 256 KiB or more stored into a new file have their overflow pages
// written ahead; when such a record is replaced, or refused, its chain goes
// to the free list.  Every page is then in a tree or on the free list, once:
// the free list holds exactly the pages no tree uses.  Sizes sit where the
// part of the record beyond its cell (about 8 KiB on 64 KiB pages) fills
// whole overflow pages or one byte more, where a count of a chain's pages
// goes wrong first.
TEST(KovStore, ReplacedValuesWrittenAheadGoToTheFreeList)
{
    constexpr size_t page = 65536 - 4, big = 256u << 10, whole = 4 * page + 8180;
    const struct {
        const char *name;
        std::vector<size_t> sizes;  // stored in this order, key i for size i
        std::vector<std::pair<size_t, size_t>> replace;  // key, new size
    } cases[] = {
        {"replaced by small values",
         {whole, whole + 4, whole + 8, whole + 12, whole + 16, whole + 20, big},
         {{0, 10}, {1, 10}, {2, 10}, {3, 10}, {4, 10}, {5, 10}, {6, 0}}},
        {"replaced by large values, twice", {6 * page, big, 5 * page - 1},
         {{2, big}, {0, 7 * page + 1}, {2, 10}, {1, 5 * page}}},
        {"one of three replaced, out of key order", {big + 100, big + 200, big + 300},
         {{1, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kovtest::scratch_dir dir;
        std::string path = dir.path("db.kov");
        kov_handle db = create(path);
        ASSERT_NE(nullptr, db);
        std::map<std::string, std::string> want;
        auto store = [&](size_t i, size_t size, int flag) {
            std::string key = "key" + std::to_string(9 - i);  // descending: sorted later
            std::string value(size, static_cast<char>('a' + want.size() % 26));
            ASSERT_EQ(0, kov_store(db, as_datum(key), as_datum(value), flag)) << kov_errorstr(db);
            want[key] = value;
        };
        for (size_t i = 0; i < c.sizes.size(); i++)
            store(i, c.sizes[i], KOV_INSERT);
        EXPECT_EQ(-1, kov_store(db, as_datum("key9"), as_datum(std::string(big, 'x')),
                                KOV_INSERT));
        for (const auto &[i, size] : c.replace)
            store(i, size, KOV_REPLACE);
        ASSERT_EQ(0, kov_close(db)) << kov_errorstr(nullptr);
        EXPECT_EQ(std::vector<record>(want.begin(), want.end()), kovtest::read_kov(path));
        std::string unused = sql_text(path, "SELECT page_count - (SELECT count(*) FROM dbstat) "
                                            "FROM pragma_page_count");
        EXPECT_EQ(unused, sql_text(path, "PRAGMA freelist_count"));
        EXPECT_GE(std::stoul(unused), c.replace.size() * (big / page));
    }
}

// A writer's close fails with ENOENT when the name no longer leads to the
// file written, and leaves no journal under that name.  A read before it
// finds the record or fails with that cause, every time: never "absent".
TEST(KovClose, FileMovedWhileOpenIsENOENT)
{
    for (const char *how : {"removed", "renamed", "replaced"}) {
        SCOPED_TRACE(how);
        with_new_and_existing([how](const std::string &path, kov_handle db) {
            ASSERT_EQ(0, kov_store(db, as_datum("k"), as_datum("v"), KOV_INSERT));
            if (std::string(how) == "removed")
                ASSERT_EQ(0, unlink(path.c_str()));
            else
                ASSERT_EQ(0, rename(path.c_str(), (path + ".moved").c_str()));
            if (std::string(how) == "replaced")
                kovtest::write_file(path, "another file");
            const std::string moved = path + " no longer leads to the database written: the file "
                                             "was removed or renamed while it was open";
            for (int read = 0; read < 2; read++) {
                datum v = kov_fetch(db, as_datum("k"));
                EXPECT_TRUE(v.data ? v.size == 1 : kov_errorstr(db) == moved) << kov_errorstr(db);
                free(v.data);
            }
            errno = 0;
            EXPECT_EQ(-1, kov_close(db));
            EXPECT_EQ(ENOENT, errno);
            EXPECT_EQ(moved, kov_errorstr(nullptr));
            EXPECT_FALSE(kovtest::file_exists(path + "-journal"));
        });
    }
}

// A close after the connection was lost in an earlier call (its journal
// was moved away, so SQLite would no longer use the library's) fails when
// records stored were never written (a file-size limit stopped the build a
// read began), and counts what the file keeps, as every failed close does.
TEST(KovClose, LostConnectionWithRecordsUnwrittenFails)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("db.kov");
    kov_handle db = create(path);
    for (int i = 2999; i >= 0; i--)
        ASSERT_EQ(0, kov_store(db, as_datum("k" + std::to_string(10000 + i)),
                               as_datum(std::string(900, 'v')), KOV_INSERT));
    ASSERT_EQ(0, rename((path + "-journal").c_str(), (path + "-moved").c_str()));
    struct rlimit saved, limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    limit = {1u << 20, saved.rlim_max};
    auto xfsz = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ("<absent>", fetch(db, "k"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, xfsz);
    errno = 0;
    EXPECT_EQ(-1, kov_close(db));
    EXPECT_EQ(EIO, errno);
    size_t kept = kovtest::read_kov(path).size();
    EXPECT_TRUE(kept > 0 && kept < 3000) << kept;
    EXPECT_EQ("SQLite would use another journal than the one created for it; the file keeps " +
                  std::to_string(kept) + " of the 3000 records stored",
              std::string(kov_errorstr(nullptr)));
}

TEST(KovStore, FieldBeyondTheEngineLimitIsAnErrorText)
{
    kovtest::scratch_dir dir;
    kov_handle db = create(dir.path("db.kov"));
    ASSERT_NE(nullptr, db);
    // SQLite checks the length before it reads a byte, so a short buffer
    // with a huge declared size is safe to pass here.
    unsigned char small[8] = {0};
    EXPECT_EQ(-1, kov_store(db, as_datum("k"), datum{small, 1500000000u}, KOV_INSERT));
    EXPECT_STREQ("string or blob too big", kov_errorstr(db));
    // The handle still works afterwards.
    EXPECT_EQ(0, kov_store(db, as_datum("k"), as_datum("v"), KOV_INSERT));
    EXPECT_EQ(0, kov_close(db));
}

// Each write of held records reports through the progress handler: every
// call of one write has the number held when it began as its total, the
// first has done == 0, done rises from call to call and the last has
// done == total.  Nothing held, no call.
TEST(KovProgress, FirstAndLastCalls)
{
    using calls_t = std::vector<std::pair<unsigned long long, unsigned long long>>;
    const struct {
        const char *name;
        std::vector<int> batches;  // stored in descending key order; a traversal
                                   // after each but the last, then the close
    } cases[] = {
        {"one record", {1}},
        {"many records", {10000}},
        {"a traversal between two writes", {9000, 5000}},
        {"nothing held at the traversal", {20, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kovtest::scratch_dir dir;
        kov_handle db = create(dir.path("db.kov"));
        ASSERT_NE(nullptr, db);
        calls_t calls;
        kov_progress_handler(
            db,
            [](void *ctx, unsigned long long done, unsigned long long total) {
                static_cast<calls_t *>(ctx)->push_back({done, total});
            },
            &calls);
        int key = 1000000;
        for (size_t b = 0; b < c.batches.size(); b++) {
            for (int i = 0; i < c.batches[b]; i++)
                ASSERT_EQ(0, kov_store(db, as_datum("k" + std::to_string(key--)), as_datum("v"),
                                       KOV_INSERT));
            unsigned long long held = kov_pending(db);
            EXPECT_EQ(static_cast<unsigned long long>(c.batches[b]), held);
            calls.clear();
            if (b + 1 < c.batches.size())
                EXPECT_LE(0, kov_traverse(db, [](kov_handle, datum, datum, void *) { return 0; },
                                          nullptr));
            else
                ASSERT_EQ(0, kov_close(db)) << kov_errorstr(nullptr);
            if (held == 0) {
                EXPECT_TRUE(calls.empty());
                continue;
            }
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(held, calls.back().first);
            // A meter starts the write's clock at the first call.
            EXPECT_EQ(0u, calls.front().first) << "no call before the first record is written";
            for (size_t k = 0; k < calls.size(); k++) {
                EXPECT_EQ(held, calls[k].second) << "call " << k;
                // Calls at 0 repeat while the records are sorted; then done rises.
                EXPECT_TRUE(k == 0 || calls[k].first > calls[k - 1].first ||
                            (calls[k].first == 0 && calls[k - 1].first == 0))
                    << "call " << k << ": " << calls[k].first;
            }
        }
    }
}

TEST(KovTraverse, AscendingByteOrderAndEarlyStop)
{
    kovtest::scratch_dir dir;
    kov_handle db = create(dir.path("db.kov"));
    ASSERT_NE(nullptr, db);
    const std::vector<std::string> keys = {"b", std::string("a\0", 2), "\xff", "a",
                                           "",  std::string("\0", 1),  "\x80"};
    for (const std::string &k : keys)
        ASSERT_EQ(0, kov_store(db, as_datum(k), as_datum("v" + k), KOV_INSERT));
    EXPECT_EQ(7u, kov_pending(db));  // held for the key-order write

    std::vector<record> seen;
    int n = kov_traverse(
        db,
        [](kov_handle, datum k, datum v, void *ctx) {
            static_cast<std::vector<record> *>(ctx)->emplace_back(
                std::string(reinterpret_cast<char *>(k.data), k.size),
                std::string(reinterpret_cast<char *>(v.data), v.size));
            return 0;
        },
        &seen);
    EXPECT_EQ(7, n);
    EXPECT_EQ(0u, kov_pending(db));
    std::vector<std::string> order;
    for (const record &r : seen) {
        order.push_back(r.first);
        EXPECT_EQ("v" + r.first, r.second);
    }
    std::vector<std::string> want = {
        "", std::string("\0", 1), "a", std::string("a\0", 2), "b", "\x80", "\xff"};
    EXPECT_EQ(want, order);

    int calls = 0;
    EXPECT_EQ(3, kov_traverse(
                     db,
                     [](kov_handle, datum, datum, void *c) {
                         return ++*static_cast<int *>(c) == 3 ? 1 : 0;
                     },
                     &calls));
    EXPECT_EQ(0, kov_close(db));
}

// Runs body in a child process that then ends through exit with body's
// result; expects 0.
void in_child(const std::function<int()> &body)
{
    kovtest::child c = kovtest::start_function(body);
    kovtest::run_result r = kovtest::finish(c);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    ASSERT_EQ(0, r.status) << r.err;
}

TEST(KovDurability, StoredRecordsSurviveExitWithoutClose)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("db.kov");
    in_child([&] {
        kov_handle db = create(path);
        if (!db)
            return 2;
        for (int i = 0; i < 1000; i++) {
            std::string k = "key" + std::to_string(1000 + i);
            if (kov_store(db, as_datum(k), as_datum(std::string(i, 'v')), KOV_INSERT))
                return 3;
        }
        // No kov_close: exit must still keep every record.
        return 0;
    });
    std::vector<record> rows = kovtest::read_kov(path);
    ASSERT_EQ(1000u, rows.size());
    EXPECT_EQ(std::string(999, 'v'), rows.back().second);
    EXPECT_FALSE(kovtest::file_exists(path + "-journal"));
}

TEST(KovDurability, ForkedChildDoesNotCommitItsParentsHandle)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("db.kov");
    kov_handle db = create(path);
    ASSERT_NE(nullptr, db);
    ASSERT_EQ(0, kov_store(db, as_datum("a"), as_datum("1"), KOV_INSERT));
    in_child([] { return 0; });
    ASSERT_EQ(0, kov_store(db, as_datum("b"), as_datum("2"), KOV_INSERT));
    ASSERT_EQ(0, kov_close(db));
    std::vector<record> want = {{"a", "1"}, {"b", "2"}};
    EXPECT_EQ(want, kovtest::read_kov(path));
}

// Values large enough that their overflow pages go to the file as they are
// stored, in key order (which then streams) and in reverse order (which the
// sorter takes), with a key longer than a cell keeps.  A repeated key is
// refused before a page is written, and a replaced value leaves its pages
// on the free list: two chains of 48 pages of 64 KiB.
TEST(KovDurability, LargeValuesAcrossCommits)
{
    for (bool ascending : {true, false}) {
        SCOPED_TRACE(ascending ? "key order" : "reverse order");
        kovtest::scratch_dir dir;
        std::string path = dir.path("db.kov");
        kov_handle db = create(path);
        ASSERT_NE(nullptr, db);
        std::vector<record> want;
        std::string big(3 << 20, '\0');
        for (int i = 0; i < 12; i++) {
            for (size_t j = 0; j < big.size(); j += 4096)
                big[j] = static_cast<char>(i + j);
            std::string k = "big" + std::to_string(ascending ? 10 + i : 21 - i);
            ASSERT_EQ(0, kov_store(db, as_datum(k), as_datum(big), KOV_INSERT)) << kov_errorstr(db);
            want.push_back({k, big});
        }
        std::sort(want.begin(), want.end());
        EXPECT_EQ(-1, kov_store(db, as_datum("big15"), as_datum(big), KOV_INSERT));
        std::string long_key(20000, 'L'), other(300 << 10, 'o');
        for (const record &r : {record{"big11", "small"}, record{"big12", other},
                                record{long_key, other}}) {
            EXPECT_EQ(0, kov_store(db, as_datum(r.first), as_datum(r.second), KOV_REPLACE));
            auto at = std::lower_bound(want.begin(), want.end(), record{r.first, ""});
            if (at != want.end() && at->first == r.first)
                at->second = r.second;
            else
                want.insert(at, r);
        }
        ASSERT_EQ(0, kov_close(db)) << kov_errorstr(nullptr);
        EXPECT_EQ(want, kovtest::read_kov(path));
        if (!ascending) {  // in key order, SQLite itself replaces them
            EXPECT_EQ("96", sql_text(path, "PRAGMA freelist_count"));
        }

        kov_handle ro = kov_open(path.c_str(), 0, 0, O_RDONLY, 0);
        ASSERT_NE(nullptr, ro);
        EXPECT_EQ(want[9].second, fetch(ro, want[9].first));
        EXPECT_EQ(int(want.size()),
                  kov_traverse(ro, [](kov_handle, datum, datum, void *) { return 0; }, nullptr));
        EXPECT_EQ(-1, kov_store(ro, as_datum("x"), as_datum("y"), KOV_INSERT));
        EXPECT_EQ(0, kov_close(ro));
    }
}

// A writer holds its file against every other kov handle and SQLite client,
// here or in another process, and an open refused here must not drop the
// locks of the writer's connection (closing any descriptor of a file drops
// them all).
TEST(KovOpen, WriterHoldsItsFileExclusively)
{
    with_new_and_existing([](const std::string &path, kov_handle db) {
        for (int flags : {O_RDONLY, O_RDWR, O_RDWR | O_CREAT}) {
            errno = 0;
            EXPECT_EQ(nullptr, kov_open(path.c_str(), 0, 0, flags, 0));
            EXPECT_EQ(EBUSY, errno);
        }
        kovtest::run_result r = kovtest::run(
            {"/bin/sh", "-c", "exec sqlite3 \"$0\" 'SELECT count(*) FROM kov'", path}, {});
        EXPECT_NE(std::string::npos, r.err.find("database is locked")) << r.out << r.err;
        r = kovtest::run({KOVDUMP_PATH, path}, kovtest::from_data(""));
        EXPECT_EQ("kov_open: Device or resource busy\nFailed to open " + path + "\n", r.err);
        ASSERT_EQ(0, kov_store(db, as_datum("k"), as_datum("v"), KOV_INSERT));
        ASSERT_EQ(0, kov_close(db));

        // The hold is gone with the writer.  A reader in another process,
        // between two calls, keeps writers out.
        kovtest::child reader = kovtest::start_function([&] {
            char end;
            if (!kov_open(path.c_str(), 0, 0, O_RDONLY, 0) || write(1, "open", 4) != 4)
                return 1;
            return static_cast<int>(read(0, &end, 1));  // 0 at the end of the input
        });
        char ready[4];
        ASSERT_EQ(4, read(reader.out, ready, 4));
        errno = 0;
        EXPECT_EQ(nullptr, kov_open(path.c_str(), 0, 0, O_RDWR, 0));
        EXPECT_EQ(EBUSY, errno);
        EXPECT_EQ(0, kovtest::finish(reader).status);
    });
}

// The journal, the temporary files and the directory sync stay with the
// directory the file was opened in, whatever the working directory becomes.
TEST(KovOpen, SideFilesStayInTheDatabasesDirectoryAfterChdir)
{
    kovtest::scratch_dir dir;
    std::string away = dir.path("away");
    in_child([&] {
        setenv("KOV_SORT_MEMORY", "64k", 1);
        if (mkdir(away.c_str(), 0700) || chdir(dir.dir().c_str()))
            return 2;
        kov_handle db = create("db.kov");
        // Nothing can be made in the new working directory: it is gone.
        if (!db || chdir(away.c_str()) || rmdir(away.c_str()))
            return 3;
        for (int i = 0; i < 500; i++)
            if (kov_store(db, as_datum(std::to_string(1000 + i)), as_datum(std::string(4 * i, 'v')),
                          KOV_INSERT))
                return 4;
        return kov_close(db) ? 5 : 0;
    });
    EXPECT_EQ(500u, kovtest::read_kov(dir.path("db.kov")).size());
    EXPECT_FALSE(kovtest::file_exists(dir.path("db.kov-journal")));
}

}  // namespace
