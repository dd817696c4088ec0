// The page cache of a kov handle is capped: storing any amount of data into
// an existing file needs no more than the cap, whatever its page size.

#include <fcntl.h>

#include <string>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "kov.h"
#include "test_support.h"

namespace {

// kov_cache_kib in kov/kov.cpp: 96 MiB.
constexpr sqlite3_int64 cache_cap = 96LL << 20;

// Stores more than twice the cap into a file and checks SQLite's own
// count of the memory it held at most.  A cap given in KiB before the file's
// page size is set is worth four times as many bytes afterwards.
TEST(KovCache, StoresStayWithinTheCap)
{
    kovtest::scratch_dir dir;
    std::string path = dir.path("big.kov");
    // A handle on an existing file stores at once, through the cache; a
    // handle that creates its file defers its stores to kov_close.
    kov_handle db = kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(kov_close(db), 0);
    db = kov_open(path.c_str(), 0, 0, O_RDWR, 0);
    ASSERT_NE(db, nullptr);

    sqlite3_int64 current, highest;
    ASSERT_EQ(sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &current, &highest, 1),
              SQLITE_OK);
    std::string value(64 * 1024, 'v');
    const int records = static_cast<int>(cache_cap * 5 / 2 / value.size());
    for (int i = 0; i < records; i++) {
        std::string key = "key" + std::to_string(i);
        value[0] = static_cast<char>(i);
        datum k = {reinterpret_cast<unsigned char *>(key.data()), key.size()};
        datum v = {reinterpret_cast<unsigned char *>(value.data()), value.size()};
        ASSERT_EQ(kov_store(db, k, v, KOV_INSERT), 0) << kov_errorstr(db);
    }
    ASSERT_EQ(sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &current, &highest, 0),
              SQLITE_OK);
    ASSERT_EQ(kov_close(db), 0);

    // The cap, plus a record being built and SQLite's bookkeeping.
    EXPECT_LE(highest, cache_cap + (8 << 20));
    // And the cache was really used, or the test would prove nothing.
    EXPECT_GE(highest, cache_cap / 2);
}

}  // namespace
