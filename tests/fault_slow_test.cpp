// SPDX-License-Identifier: MIT
// The slow fault-injection tests, labelled slow (make test-slow, and CI):
// kill -9 at many points of a large piped dump, and fields at the engine's
// size limit, through the tools and through the B-tree writer.

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "btree_switch.h"
#include "btree_writer.h"
#include "kov.h"
#include "test_support.h"

using kovtest::child;
using kovtest::record;
using kovtest::run_result;

namespace {

// Number of records of the kov file at path, through the library.
int count_through_library(const std::string &path)
{
    kov_handle db = kov_open(path.c_str(), 0, 0, O_RDONLY, 0);
    if (!db) {
        ADD_FAILURE() << "kov_open " << path << ": " << kov_errorstr(nullptr);
        return -1;
    }
    int n = kov_traverse(
        db, [](kov_handle, datum, datum, void *) { return 0; }, nullptr);
    EXPECT_EQ(0, kov_close(db));
    return n;
}

// Waits until the file at db is at least target bytes long or the child has
// ended (it is not reaped), and returns the file's size then.
off_t wait_for_size(const child &c, const std::string &db, off_t target)
{
    struct stat st = {};
    siginfo_t info;
    while ((info.si_pid = 0, waitid(P_PID, static_cast<id_t>(c.pid), &info,
                                    WEXITED | WNOHANG | WNOWAIT)) == 0 &&
           info.si_pid == 0 && (stat(db.c_str(), &st) != 0 || st.st_size < target))
        sched_yield();
    return st.st_size;
}

TEST(KillNine, EveryPointLeavesNoneOrAllOfTheRecords)
{
    // 160 MiB of dump, about 130 MiB of stored data.  The keys of this dump
    // ascend, so a new database streams them into the B-tree writer, which
    // the close makes live in one step: a kill before that leaves the empty
    // database, whatever the file holds by then.  The first half of the
    // points kill while the dump is being read, the second half once the
    // input has ended, while the file grows past a share of the data.
    const kovtest::generated_dump dump = kovtest::generate_dump(160u << 20);
    setenv("KOV_SORT_MEMORY", "16m", 1);
    constexpr int points = 24;
    int survived = 0, in_build = 0;
    for (int k = 1; k <= points; k++) {
        SCOPED_TRACE("kill point " + std::to_string(k));
        kovtest::scratch_dir scratch;
        std::string db = scratch.path("killed.kov");
        bool writing = k > points / 2;
        size_t cut = writing ? dump.text.size() : dump.text.size() * k / (points / 2 + 1);
        child c = kovtest::start({KOVRESTORE_PATH, db});
        ASSERT_TRUE(kovtest::feed(c, dump.text.data(), cut));
        if (writing) {
            // Wait for the file to grow to its share, or for the end.
            close(c.in);
            c.in = -1;
            // Escapes make the dump a fifth larger than the data, and the
            // file is never smaller than the data.
            off_t target =
                static_cast<off_t>(dump.text.size() * 3 / 4 / (points / 2 + 1)) * (k - points / 2);
            in_build += wait_for_size(c, db, target) >= target;
        }
        // Everything but the last pipe's worth has been read by now.
        ASSERT_EQ(0, kill(c.pid, SIGKILL));
        run_result r = kovtest::finish(c);
        ASSERT_EQ(SIGKILL, r.signal) << "the restore ended on its own: " << r.err;

        std::vector<record> rows = kovtest::read_kov(db);
        if (::testing::Test::HasFailure())
            return;
        ASSERT_EQ(0u, rows.size()) << "records of a build that was not made live";
        ASSERT_EQ(0, count_through_library(db));
        survived++;
    }
    unsetenv("KOV_SORT_MEMORY");
    // The kills must land while the file is being written, or the test
    // proves little.
    EXPECT_GE(in_build, points / 2 - 1);
    printf("kill points survived: %d of %d, %d during the build (%zu records, %zu bytes)\n",
           survived, points, in_build, dump.ends.size(), dump.text.size());

    // Values of 1 MiB in reverse key order: their overflow pages go to the
    // file while the dump is still read, and a kill then leaves the empty
    // database too.  Each point waits until the file has room for the
    // chains of all but the last two records fed.
    std::vector<record> large;
    for (int i = 48; i > 0; i--)
        large.push_back({"v" + std::to_string(100 + i), std::string(1 << 20, char('A' + i % 26))});
    const std::string text = kovtest::dump_of(large);
    for (int k = 1; k <= 6; k++) {
        SCOPED_TRACE("kill point among large values " + std::to_string(k));
        kovtest::scratch_dir scratch;
        std::string db = scratch.path("killed.kov");
        child c = kovtest::start({KOVRESTORE_PATH, db});
        ASSERT_TRUE(kovtest::feed(c, text.data(), text.size() * k / 7));
        off_t target = (off_t(large.size()) * k / 7 - 2) << 20;
        off_t size = wait_for_size(c, db, target);
        ASSERT_EQ(0, kill(c.pid, SIGKILL));
        ASSERT_EQ(SIGKILL, kovtest::finish(c).signal);
        EXPECT_GE(size, target);
        EXPECT_EQ(0u, kovtest::read_kov(db).size());
        EXPECT_EQ(0, count_through_library(db));
    }
}

int switch_kill_point = 0;

// kill -9 at each point of the switch that makes a build live (numbered in
// btree_switch.h), here the one kov_close runs, through the switch's hook:
// the file holds none of the records, or from the zeroed journal header
// on, all of them; it opens through the library and passes SQLite's
// integrity check either way.
TEST(KillNine, DuringTheSwitchNoneOrAll)
{
    std::vector<record> recs;
    for (size_t i = 0; i < 3000; i++)
        recs.push_back(kovtest::generated_record(i));
    for (int point = 1; point <= 10; point++) {
        SCOPED_TRACE("switch point " + std::to_string(point));
        kovtest::scratch_dir scratch;
        std::string db = scratch.path("killed.kov");
        switch_kill_point = point;
        child c = kovtest::start_function([&] {
            kov_handle h = kov_open(db.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
            btree_switch_hook = [](int p) {
                if (p == switch_kill_point)
                    raise(SIGKILL);
            };
            for (const record &r : recs)
                if (!h || kov_store(h, kovtest::as_datum(r.first), kovtest::as_datum(r.second),
                                    KOV_INSERT))
                    return 2;
            return kov_close(h);
        });
        run_result r = kovtest::finish(c);
        ASSERT_EQ(SIGKILL, r.signal) << r.status << r.err;
        bool whole = point >= 9;
        // A writer's open plays a hot journal back; a reader's then finds
        // the records.
        kov_handle h = kov_open(db.c_str(), 0, 0, O_RDWR, 0);
        EXPECT_TRUE(h && kov_close(h) == 0) << kov_errorstr(nullptr);
        EXPECT_EQ(whole ? 3000 : 0, count_through_library(db));
        std::vector<record> rows = kovtest::read_kov(db);
        EXPECT_TRUE(whole ? rows == recs : rows.empty()) << rows.size() << " records";
    }
}

// The engine refuses a row larger than 1,000,000,000 bytes (SQLite's
// default length limit).
constexpr size_t engine_limit = 1000000000;

// Byte i of a large value: printable, never a quote or a backslash, so the
// dump holds it as is, and not periodic in the chunk size.
char big_byte(size_t i)
{
    static const char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .";
    return alphabet[(i + i / 4093) % (sizeof alphabet - 1)];
}

// Streams one record with key "big" and a value of size bytes of big_byte
// into c, after a small record.
void feed_big_record(child &c, size_t size)
{
    kovtest::feed(c, kovtest::canonical_record("small", "before") + "{\nkey(3) = \"big\"\nvalue(" +
                         std::to_string(size) + ") = \"");
    std::string chunk(1u << 20, '\0');
    for (size_t done = 0; done < size;) {
        size_t n = std::min(chunk.size(), size - done);
        for (size_t i = 0; i < n; i++)
            chunk[i] = big_byte(done + i);
        if (!kovtest::feed(c, chunk.data(), n))
            return;
        done += n;
    }
    kovtest::feed(c, "\"\n}\n");
}

TEST(EngineLimit, FieldAboveTheLimitIsAnError)
{
    kovtest::scratch_dir dir(kovtest::memory_fs);
    std::string db = dir.path("over.kov");
    child c = kovtest::start({KOVRESTORE_PATH, db});
    feed_big_record(c, engine_limit + 1);
    run_result r = kovtest::finish(c);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("KOV error: string or blob too big\n", r.err);
    std::vector<record> want = {{"small", "before"}};
    EXPECT_EQ(want, kovtest::read_kov(db));
}

TEST(EngineLimit, FieldJustBelowTheLimitRoundTrips)
{
    kovtest::scratch_dir dir(kovtest::memory_fs);
    std::string db = dir.path("under.kov");
    // Room for the key and the row's header within the limit.
    size_t size = engine_limit - 1000;
    child c = kovtest::start({KOVRESTORE_PATH, db});
    feed_big_record(c, size);
    run_result r = kovtest::finish(c);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("EOF\n", r.err);

    // Read the value back in pieces through SQLite.
    sqlite3 *sq = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(db.c_str(), &sq, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(sq, "SELECT count(*), max(length(value)) FROM kov", -1,
                                            &st, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
    EXPECT_EQ(2, sqlite3_column_int(st, 0));
    EXPECT_EQ(static_cast<sqlite3_int64>(size), sqlite3_column_int64(st, 1));
    sqlite3_finalize(st);
    // The row's rowid-less key cannot be opened as a blob handle, so read
    // the value a slice at a time.
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(
                  sq, "SELECT substr(value, ?1, ?2) FROM kov WHERE key = CAST('big' AS BLOB)", -1,
                  &st, nullptr));
    const size_t slice = 64u << 20;
    for (size_t off = 0; off < size; off += slice) {
        size_t n = std::min(slice, size - off);
        sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(off + 1));
        sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(n));
        ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
        const char *p = static_cast<const char *>(sqlite3_column_blob(st, 0));
        ASSERT_EQ(static_cast<int>(n), sqlite3_column_bytes(st, 0));
        for (size_t i = 0; i < n; i++)
            ASSERT_EQ(big_byte(off + i), p[i]) << "byte " << off + i;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(sq);

    // And through kovdump: the dump back is the dump in.
    kovtest::run_result d = kovtest::run({KOVDUMP_PATH, db}, kovtest::from_data(""));
    ASSERT_TRUE(d.exited) << "kovdump: signal " << d.signal;
    EXPECT_EQ(0, d.status) << d.err;
    std::string head = "{\nkey(3) = \"big\"\nvalue(" + std::to_string(size) + ") = \"";
    std::string tail = "\"\n}\n" + kovtest::canonical_record("small", "before");
    ASSERT_EQ(head.size() + size + tail.size(), d.out.size());
    EXPECT_EQ(head, d.out.substr(0, head.size()));
    for (size_t i = 0; i < size; i++)
        ASSERT_EQ(big_byte(i), d.out[head.size() + i]) << "byte " << i;
    EXPECT_EQ(tail, d.out.substr(head.size() + size));
}

// The largest key the library accepts goes through the B-tree writer
// between two small records, and SQLite reads the file back.  The library
// takes a key and value together up to the engine's length limit less 32
// bytes; one byte more is refused before its bytes are read, so that
// buffer is left untouched (calloc maps fresh zero pages).
//
// Memory: the writer runs in a child holding the key and the writer's copy
// of the last key, about 2 GB, checked against the writer's bound (the
// last key and two pages per level, never the payload); reading back holds
// SQLite's copy of the key and read_kov's, about 2 GB again, and the file
// (1 GB) sits in the page cache of a disk directory.
TEST(EngineLimit, LargestKeyThroughTheBtreeWriter)
{
    sqlite3 *sq = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(":memory:", &sq));
    size_t limit = static_cast<size_t>(sqlite3_limit(sq, SQLITE_LIMIT_LENGTH, -1));
    sqlite3_close(sq);
    const std::string value = "v";
    const size_t ksize = limit - 32 - value.size();
    kovtest::scratch_dir dir;
    {
        kov_handle h = kov_open(dir.path("refused.kov").c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_TRUE(h) << kov_errorstr(nullptr);
        unsigned char *over = static_cast<unsigned char *>(calloc(ksize + 1, 1));
        ASSERT_TRUE(over);
        EXPECT_EQ(-1, kov_store(h, datum{over, ksize + 1}, kovtest::as_datum(value), KOV_REPLACE));
        EXPECT_STREQ("string or blob too big", kov_errorstr(h));
        free(over);
        EXPECT_EQ(0, kov_close(h));
    }

    // Key byte i is big_byte(i): "ab...", after "a" and before "b".
    std::string db = dir.path("largest-key.kov");
    child c = kovtest::start_function([&] {
        std::string key(ksize, '\0'), err;
        for (size_t i = 0; i < ksize; i++)
            key[i] = big_byte(i);
        int fd = open(db.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        btree_header h;
        h.application_id = KOV_APPLICATION_ID;
        h.user_version = KOV_FORMAT_VERSION;
        btree_writer w(fd, h);
        uint32_t pages;
        if (fd < 0 || w.add("a", 1, "before", 6, &err) ||
            w.add(key.data(), ksize, value.data(), value.size(), &err))
            return fprintf(stderr, "add: %s\n", err.c_str()), 2;
        std::string().swap(key);
        if (w.add("b", 1, "after", 5, &err) || w.finish(&pages, &err))
            return fprintf(stderr, "%s\n", err.c_str()), 3;
        return close(fd) ? 4 : 0;
    });
    run_result r = kovtest::finish(c);
    ASSERT_TRUE(r.exited && r.status == 0) << r.status << " " << r.signal << " " << r.err;
    // A writer that held the payload as well would need a third copy.
    EXPECT_LT(static_cast<size_t>(r.max_rss_kib) * 1024, 2 * ksize + ksize / 4);
    printf("key of %zu bytes: the writer's process peaked at %ld MiB\n", ksize, r.max_rss_kib >> 10);

    std::vector<record> rows = kovtest::read_kov(db);
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(record("a", "before"), rows[0]);
    EXPECT_EQ(record("b", "after"), rows[2]);
    ASSERT_EQ(ksize, rows[1].first.size());
    EXPECT_EQ(value, rows[1].second);
    for (size_t i = 0; i < ksize; i++)
        ASSERT_EQ(big_byte(i), rows[1].first[i]) << "key byte " << i;
}

}  // namespace
