// SPDX-License-Identifier: MIT
// Tests of the B-tree writer and the switch: files of many shapes read back
// through the real SQLite library, and processes killed at each point of a
// build made live over an empty kov database.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "btree_switch.h"
#include "btree_writer.h"
#include "kov.h"
#include "test_support.h"

namespace {

using kovtest::record;

// Largest payload an index page of the given size keeps in the cell.
size_t max_local(size_t page)
{
    return (page - 12) * 64 / 255 - 23;
}

// Record i of n: a 4-byte big-endian number padded to ksize bytes (keys of
// 0 and 1 byte come first), and a value of vsize pseudo-random bytes.
record make_record(size_t i, size_t ksize, size_t vsize)
{
    std::string key;
    for (int s = 24; s >= 0; s -= 8)
        key += static_cast<char>(i >> s);
    key.resize(std::max<size_t>(ksize, 4), 'k');
    std::string value(vsize, '\0');
    for (size_t k = 0; k < vsize; k++)
        value[k] = static_cast<char>((i * 131 + k * 7) ^ (k >> 3));
    return {key, value};
}

// Pages between the root and a leaf, plus one.
int depth(const std::string &path, uint32_t page_size)
{
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<uint8_t> page(page_size);
    uint32_t pgno = 2;
    int levels = 0;
    while (levels < 10 && pread(fd, page.data(), page_size, off_t(pgno - 1) * page_size) > 0) {
        levels++;
        if (page[0] != 0x02)
            break;
        uint32_t first = page[12] << 8 | page[13];
        pgno = uint32_t(page[first]) << 24 | page[first + 1] << 16 | page[first + 2] << 8 |
               page[first + 3];
    }
    close(fd);
    return levels;
}

// The size of the file SQLite itself makes of the records, in order.
off_t sqlite_size(const std::string &path, uint32_t page_size, const std::vector<record> &recs)
{
    sqlite3 *db;
    sqlite3_stmt *st;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql = "PRAGMA page_size=" + std::to_string(page_size) + ";" + btree_table_sql +
                      "; BEGIN";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_prepare_v2(db, "INSERT INTO kov VALUES (?, ?)", -1, &st, nullptr);
    for (const record &r : recs) {
        sqlite3_bind_blob(st, 1, r.first.data(), int(r.first.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 2, r.second.data(), int(r.second.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    struct stat s;
    stat(path.c_str(), &s);
    return s.st_size;
}

int count(kov_handle, datum, datum, void *)
{
    return 0;
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
    const shape shapes[] = {
        {"empty and one record", 4096, 0, 1, fixed(0), fixed(0), 1},
        {"keys of 0 and 1 byte", 4096, 3, 3, [](size_t i) { return i; }, fixed(1), 1},
        {"key of 4 MiB", 4096, 3, 3, [](size_t i) { return i == 1 ? 4u << 20 : 4; },
         fixed(9), 1},
        {"values around the local limit, 512", 512, 40, 40, fixed(4),
         [](size_t i) { return max_local(512) - 27 + i; }, 0},
        {"values around the local limit, 4096", 4096, 40, 40, fixed(4),
         [](size_t i) { return max_local(4096) - 27 + i; }, 0},
        {"values around the local limit, 65536", 65536, 40, 40, fixed(4),
         [](size_t i) { return max_local(65536) - 27 + i; }, 0},
        {"overflowing dividers", 512, 300, 300, fixed(6),
         [](size_t i) { return 300 + i * 37 % 2000; }, 3},
        {"every tail, two levels", 512, 2, 60, fixed(20), fixed(80), 2},
        {"every tail, three levels", 512, 180, 330, fixed(20), fixed(80), 3},
        {"four levels", 512, 2000, 2000, fixed(20), fixed(80), 4},
        {"five levels of large keys", 1024, 1500, 1500, fixed(200), fixed(0), 5},
    };
    kovtest::scratch_dir dir;
    for (const shape &sh : shapes) {
        for (size_t n = sh.first; n <= sh.last; n++) {
            SCOPED_TRACE(std::string(sh.name) + ", " + std::to_string(n) + " records");
            std::vector<record> recs;
            for (size_t i = 0; i < n; i++)
                recs.push_back(make_record(i, sh.ksize(i), sh.vsize(i)));
            std::string path = dir.path("db"), ref = dir.path("ref");
            unlink(path.c_str());
            unlink(ref.c_str());
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
            struct stat st;
            stat(path.c_str(), &st);
            EXPECT_EQ(st.st_size, off_t(pages) * sh.page_size);
            EXPECT_LE(st.st_size, sqlite_size(ref, sh.page_size, recs));
            if (n == sh.last && sh.levels) {
                EXPECT_EQ(depth(path, sh.page_size), sh.levels);
            }
            kov_handle db = kov_open(path.c_str(), 0, 0, O_RDONLY, 0);
            ASSERT_NE(db, nullptr);
            EXPECT_EQ(kov_traverse(db, count, nullptr), int(n));
            kov_close(db);
        }
    }
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
    for (size_t i = 0; i < recs.size(); i++) {
        die_here(int(100 + i));
        if (w.add(recs[i].first.data(), recs[i].first.size(), recs[i].second.data(),
                  recs[i].second.size(), &err))
            return 3;
    }
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
    const int commit_points[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 100, 101, 150, 600, 1099, 200};
    const int abort_points[] = {0, 11, 12, 13, 14, 200};
    kovtest::scratch_dir dir;
    for (int aborting = 0; aborting < 2; aborting++) {
        for (int at : aborting ? std::vector<int>(std::begin(abort_points), std::end(abort_points))
                               : std::vector<int>(std::begin(commit_points), std::end(commit_points))) {
            SCOPED_TRACE((aborting ? "abort, point " : "commit, point ") + std::to_string(at));
            std::string path = dir.path("db" + std::to_string(aborting) + "-" + std::to_string(at));
            kov_handle db = kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
            ASSERT_NE(db, nullptr);
            ASSERT_EQ(kov_close(db), 0);
            kill_at = at;
            kovtest::child c = kovtest::start_function(
                [&] { return build_and_switch(path, recs, aborting); });
            kovtest::run_result r = kovtest::finish(c);
            if (at == 0) {
                EXPECT_TRUE(r.exited && r.status == 0) << r.status;
            } else {
                EXPECT_EQ(r.signal, SIGKILL);
            }
            bool whole = !aborting && (at == 0 || at == 9 || at == 10);
            std::vector<record> rows = kovtest::read_kov(path);
            EXPECT_EQ(rows.size(), whole ? recs.size() : 0u);
            EXPECT_TRUE(!whole || rows == recs);
            db = kov_open(path.c_str(), 0, 0, O_RDONLY, 0);
            ASSERT_NE(db, nullptr) << kov_errorstr(nullptr);
            EXPECT_EQ(kov_traverse(db, count, nullptr), int(rows.size()));
            kov_close(db);
        }
    }
}

}  // namespace
