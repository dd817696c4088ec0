// SPDX-License-Identifier: MIT
// Tests of the B-tree writer and the switch: files of many shapes read back
// through the real SQLite library, and processes killed at each point of a
// build made live over an empty kov database; and of the shape of the
// library's I/O threads, the page output's among them.

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "btree_switch.h"
#include "btree_writer.h"
#include "io_thread.h"
#include "kov.h"
#include "test_support.h"

namespace {

using kovtest::record;

// Record i: a key of ksize bytes, i repeated below 4 bytes, else i as a
// 4-byte big-endian number padded with 'k', and vsize pseudo-random bytes.
record make_record(size_t i, size_t ksize, size_t vsize)
{
    std::string key(std::min<size_t>(ksize, 4), static_cast<char>(i));
    for (int s = 24; ksize >= 4 && s >= 0; s -= 8)
        key[3 - s / 8] = static_cast<char>(i >> s);
    key.resize(ksize, 'k');
    std::string value(vsize, '\0');
    for (size_t k = 0; k < vsize; k++)
        value[k] = static_cast<char>((i * 131 + k * 7) ^ (k >> 3));
    return {key, value};
}

// Levels of the tree: pages from the root down its first children.
int depth(const std::string &path, size_t page_size)
{
    std::string file = kovtest::read_file(path);
    size_t off = page_size, levels = 1;
    for (; levels < 10 && file[off] == 0x02; levels++) {
        size_t cell = off + uint8_t(file[off + 12]) * 256 + uint8_t(file[off + 13]);
        uint32_t child = 0;
        for (int k = 0; k < 4; k++)
            child = child << 8 | uint8_t(file[cell + k]);
        off = (child - 1) * page_size;
    }
    return int(levels);
}

// The size of the file SQLite itself makes of the records, in order.
off_t sqlite_size(const std::string &path, uint32_t page_size, const std::vector<record> &recs)
{
    sqlite3 *db;
    sqlite3_stmt *st;
    std::string sql = "PRAGMA page_size=" + std::to_string(page_size) + ";" + btree_table_sql +
                      "; BEGIN";
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_prepare_v2(db, "INSERT INTO kov VALUES (?, ?)", -1, &st, nullptr);
    for (const record &r : recs) {
        sqlite3_bind_blob(st, 1, r.first.data(), int(r.first.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 2, r.second.data(), int(r.second.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    EXPECT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    return kovtest::read_file(path).size();
}

struct shape {
    const char *name;
    uint32_t page_size;
    size_t first, last;                           // numbers of records, each tried
    std::function<size_t(size_t)> ksize, vsize;   // sizes of record i
    int levels;                                   // depth of the last tree, 0: any
};

TEST(BtreeWriter, ShapesReadBackThroughSqlite)
{
    auto fixed = [](size_t n) { return [n](size_t) { return n; }; };
    // The largest payload an index page keeps in the cell.
    auto max_local = [](size_t page) { return (page - 12) * 64 / 255 - 23; };
    const shape shapes[] = {
        {"empty and one record", 4096, 0, 1, fixed(0), fixed(0), 1},
        {"keys of 0 and 1 byte", 4096, 3, 3, [](size_t i) { return i; }, fixed(1), 1},
        {"key of 4 MiB", 4096, 3, 3, [](size_t i) { return i == 1 ? 4u << 20 : 4; },
         fixed(9), 1},
        {"values around the local limit, 512", 512, 40, 40, fixed(4),
         [&](size_t i) { return max_local(512) - 27 + i; }, 0},
        {"values around the local limit, 4096", 4096, 40, 40, fixed(4),
         [&](size_t i) { return max_local(4096) - 27 + i; }, 0},
        {"values around the local limit, 65536", 65536, 40, 40, fixed(4),
         [&](size_t i) { return max_local(65536) - 27 + i; }, 0},
        {"overflowing dividers", 512, 300, 300, fixed(6),
         [](size_t i) { return 300 + i * 37 % 2000; }, 3},
        {"every tail, two levels", 512, 2, 60, fixed(20), fixed(80), 2},
        {"every tail, three levels", 512, 180, 330, fixed(20), fixed(80), 3},
        {"four levels", 512, 2000, 2000, fixed(20), fixed(80), 4},
        {"five levels of large keys", 1024, 1500, 1500, fixed(200), fixed(0), 5},
    };
    kovtest::scratch_dir dir;
    int files = 0;
    for (const shape &sh : shapes) {
        for (size_t n = sh.first; n <= sh.last; n++) {
            SCOPED_TRACE(std::string(sh.name) + ", " + std::to_string(n) + " records");
            std::vector<record> recs;
            for (size_t i = 0; i < n; i++)
                recs.push_back(make_record(i, sh.ksize(i), sh.vsize(i)));
            std::string path = dir.path(std::to_string(files++)), ref = path + "-sqlite";
            int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            btree_header h;
            h.page_size = sh.page_size;
            h.application_id = KOV_APPLICATION_ID;
            h.user_version = KOV_FORMAT_VERSION;
            btree_writer w(fd, h);
            std::string err;
            for (const record &r : recs)
                ASSERT_EQ(w.add(r.first.data(), r.first.size(), r.second.data(),
                                r.second.size(), &err), 0) << err;
            // A repeated and a smaller key are refused and change nothing.
            if (n > 0) {
                EXPECT_EQ(w.add(recs.back().first.data(), recs.back().first.size(), "", 0, &err), -1);
                EXPECT_EQ(err, "duplicate key");
                EXPECT_EQ(w.add(recs[0].first.data(), recs[0].first.size(), "", 0, &err), -1);
                EXPECT_EQ(err, n > 1 ? "key out of order" : "duplicate key");
            }
            uint32_t pages = 0;
            ASSERT_EQ(w.finish(&pages, &err), 0) << err;
            close(fd);
            EXPECT_EQ(kovtest::read_kov(path), recs);
            off_t size = off_t(kovtest::read_file(path).size());
            EXPECT_EQ(size, off_t(pages) * sh.page_size);
            EXPECT_LE(size, sqlite_size(ref, sh.page_size, recs));
            EXPECT_TRUE(n < sh.last || !sh.levels || depth(path, sh.page_size) == sh.levels);
        }
    }
}

// A write that fails, here past a file-size limit, fails the build in the
// call that finds it (a later add, or finish), with the page and the cause,
// whether the pages go out past the page cache (64 KiB) or through it (512).
TEST(BtreeWriter, FailedWriteIsReported)
{
    kovtest::scratch_dir dir;
    for (uint32_t page_size : {512u, 65536u}) {
        SCOPED_TRACE(page_size);
        std::string path = dir.path(std::to_string(page_size));
        kovtest::child c = kovtest::start_function([&] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim = {4u << 20, 4u << 20};
            setrlimit(RLIMIT_FSIZE, &lim);
            int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            btree_header h;
            h.page_size = page_size;
            btree_writer w(fd, h);
            std::string err;
            uint32_t pages;
            for (size_t i = 0; i < 4000; i++) {
                record r = make_record(i, 8, 3000);
                if (w.add(r.first.data(), r.first.size(), r.second.data(), r.second.size(), &err))
                    break;
            }
            if (err.empty() && w.finish(&pages, &err) == 0)
                return 0;
            fprintf(stderr, "%s", err.c_str());
            return 1;
        });
        kovtest::run_result r = kovtest::finish(c);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot write page "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(strerror(EFBIG)), std::string::npos) << r.err;
    }
}

// The library's I/O threads: jobs run in the order handed over, and the
// errno of the first failed one is the one reported, whatever fails after
// it (the writeback goes on syncing after a failed sync).  An offer made
// while a job is under way is kept for after it, a second one folded in.
TEST(IoThread, OrderFirstErrnoAndFoldedOffers)
{
    const struct {
        std::vector<int> results;  // what job i returns
        int reported;
    } cases[] = {
        {{0, 0, 0, 0}, 0},
        {{0, EIO, 0, ENOSPC, EFBIG}, EIO},
        {{ENOSPC, EIO}, ENOSPC},
    };
    for (const auto &c : cases) {
        std::vector<size_t> ran;
        io_thread<size_t, 2> jobs([&](const size_t &i) {
            ran.push_back(i);
            return c.results[i];
        });
        for (size_t i = 0; i < c.results.size(); i++)
            jobs.hand(i);
        EXPECT_EQ(c.reported, jobs.drain());
        EXPECT_EQ(c.reported, jobs.stop(io_thread<size_t, 2>::at_stop::finish));
        EXPECT_EQ(ran.size(), c.results.size());
        for (size_t i = 0; i < ran.size(); i++)
            EXPECT_EQ(i, ran[i]);
    }
    std::promise<void> started, go;
    std::vector<size_t> ran;
    io_thread<size_t, 2> jobs([&](const size_t &i) {
        if (ran.empty()) {
            started.set_value();
            go.get_future().wait();
        }
        ran.push_back(i);
        return 0;
    });
    jobs.hand(0);
    started.get_future().wait();
    EXPECT_TRUE(jobs.offer(1));
    EXPECT_FALSE(jobs.offer(2));
    go.set_value();
    EXPECT_EQ(0, jobs.drain());
    EXPECT_EQ(ran, std::vector<size_t>({0, 1}));
}

// Points of a child's life at which it kills itself: 1 to 14 are the
// switch's own; 100 + k is after k records were written; 200 is after the
// writer's finish.
int kill_at = 0;

void die_here(int point)
{
    if (point == kill_at)
        raise(SIGKILL);
}

// Builds records over the empty kov database at path and makes them live
// (or, with abort_switch, puts the empty database back).
int build_and_switch(const std::string &path, const std::vector<record> &recs, bool abort_switch)
{
    btree_switch_hook = die_here;
    std::string dir = path.substr(0, path.rfind('/'));
    int fd = open(path.c_str(), O_RDWR),
        jfd = open((path + "-journal").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600),
        dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    btree_switch sw;
    std::string err;
    if (fd < 0 || jfd < 0 || dfd < 0 || btree_switch_begin(&sw, fd, jfd, dfd, true, &err))
        return 2;
    btree_header h = btree_switch_header(&sw, 4096);
    btree_writer w(fd, h);
    uint32_t pages;
    int point = 100;
    for (const record &r : recs)
        if (die_here(point++), w.add(r.first.data(), r.first.size(), r.second.data(),
                                     r.second.size(), &err))
            return 3;
    if (w.finish(&pages, &err))
        return 4;
    die_here(200);
    if (abort_switch)
        return btree_switch_abort(&sw, &err) ? 5 : 0;
    return btree_switch_commit(&sw, pages, 4096, &err) ? 6 : 0;
}

TEST(BtreeSwitch, KilledAnywhereLeavesEmptyOrWholeDatabase)
{
    std::vector<record> recs;
    for (size_t i = 0; i < 1000; i++)
        recs.push_back(make_record(i, 12, 100 + i % 300));
    // Each point, then whether the child aborts rather than commits; 0 is
    // a child that runs to its end.
    const std::pair<int, bool> points[] = {
        {0, false}, {1, false},   {2, false},   {3, false},   {4, false},   {5, false},
        {6, false}, {7, false},   {8, false},   {9, false},   {10, false},  {100, false},
        {101, false}, {150, false}, {600, false}, {1099, false}, {200, false}, {0, true},
        {11, true}, {12, true},   {13, true},   {14, true}};
    kovtest::scratch_dir dir;
    int files = 0;
    for (auto [at, aborting] : points) {
        SCOPED_TRACE((aborting ? "abort, point " : "commit, point ") + std::to_string(at));
        std::string path = dir.path(std::to_string(files++));
        kov_handle db = kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_TRUE(db && kov_close(db) == 0);
        kill_at = at;
        kovtest::child c = kovtest::start_function(
            [&, aborting = aborting] { return build_and_switch(path, recs, aborting); });
        kovtest::run_result r = kovtest::finish(c);
        EXPECT_TRUE(at ? r.signal == SIGKILL : r.exited && r.status == 0) << r.status;
        bool whole = !aborting && (at == 0 || at == 9 || at == 10);
        // A new switch refuses a journal that is still to be played back.
        bool hot = aborting ? at == 11 || at == 12 : at > 2 && at != 9 && at != 10;
        int fd = open(path.c_str(), O_RDWR), jfd = open((path + "-journal").c_str(), O_RDWR);
        btree_switch sw;
        std::string err;
        EXPECT_EQ(btree_switch_begin(&sw, fd, jfd, -1, false, &err), hot ? -1 : 0) << err;
        close(fd);
        close(jfd);
        std::vector<record> rows = kovtest::read_kov(path);
        EXPECT_EQ(rows.size(), whole ? recs.size() : 0u);
        EXPECT_TRUE(!whole || rows == recs);
        db = kov_open(path.c_str(), 0, 0, O_RDONLY, 0);
        EXPECT_TRUE(db && kov_close(db) == 0) << kov_errorstr(nullptr);
    }
}

}  // namespace
