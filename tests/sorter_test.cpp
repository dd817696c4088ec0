// SPDX-License-Identifier: MIT
// Tests of the key-order write of new databases: kovrestore and the library
// with buffers small enough to spill many runs, checked against what the
// file holds afterwards.

#include <fcntl.h>
#include <unistd.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_model.h"
#include "kov.h"
#include "sorter.h"
#include "test_support.h"

namespace {

using kovtest::canonical_record;
using kovtest::dump_of;
using kovtest::record;
using kovtest::sort_memory;

// n records with keys in a shuffled order; values long enough that a 64 KiB
// buffer holds a few hundred, and every tenth one long enough to be kept in
// the sorter's file of values.
std::vector<record> shuffled_records(int n)
{
    std::vector<record> recs;
    for (int i = 0; i < n; i++)
        recs.push_back({"key" + std::to_string(i * 7919 % 100003),
                        std::string(i % 10 ? i % 50 + 20 : 1024 + i % 3000, 'a' + i % 26)});
    std::shuffle(recs.begin(), recs.end(), std::mt19937(7));
    return recs;
}

std::vector<record> sorted(std::vector<record> recs)
{
    std::sort(recs.begin(), recs.end());
    return recs;
}

// Values of 20 to 220 KB, about 12 MB in all: many pieces of the value file,
// each value different in every byte position.
std::vector<record> large_values()
{
    std::vector<record> recs;
    for (int i = 0; i < 100; i++) {
        std::string v(20000 + i * 2011 % 200000, '\0');
        for (size_t k = 0; k < v.size(); k++)
            v[k] = static_cast<char>((k * 31 + static_cast<size_t>(i) * 7) % 251);
        recs.push_back({"big" + std::to_string(i * 37 % 101), v});
    }
    return recs;
}

// Keys that differ only in length, and keys holding every byte value.
std::vector<record> awkward_keys()
{
    std::vector<record> recs = {{"", "empty key"},
                                {std::string(1, '\0'), "nul"},
                                {std::string(2, '\0'), "two nuls"},
                                {"a", "1"},
                                {std::string("a\0", 2), "2"},
                                {"ab", "3"},
                                {"\xff", "4"},
                                {"\xff\xff", "5"}};
    for (int b = 0; b < 256; b++)
        recs.push_back({"byte" + std::string(1, static_cast<char>(b)) + "x",
                        std::string(1, static_cast<char>(255 - b))});
    return recs;
}

TEST(SortedRestore, OutcomesAndFileContents)
{
    const std::vector<record> many = shuffled_records(3000);
    const std::vector<record> awkward = awkward_keys();
    const std::vector<record> large = large_values();
    // In key order, then one key out of order.
    const std::vector<record> in_order = sorted(many);
    std::vector<record> then_out_of_order = in_order;
    then_out_of_order.push_back({"a", "out of order"});
    struct {
        const char *name;
        const char *cap;              // KOV_SORT_MEMORY, or null for the default
        std::vector<record> records;  // stored before the tail
        std::string tail;             // dump text after the records
        int status;
        std::string err;
    } cases[] = {
        {"empty dump", nullptr, {}, "", 0, "EOF\n"},
        {"one record", nullptr, {{"k", "v"}}, "", 0, "EOF\n"},
        {"awkward keys, one buffer", nullptr, awkward, "", 0, "EOF\n"},
        {"awkward keys, many runs", "64k", awkward, "", 0, "EOF\n"},
        {"many runs", "64k", many, "", 0, "EOF\n"},
        {"runs of several key buckets", "4m", shuffled_records(60000), "", 0, "EOF\n"},
        {"large values in random order", nullptr, large, "", 0, "EOF\n"},
        {"large values in key order", "64k", sorted(large), "", 0, "EOF\n"},
        {"duplicate of a buffered key", nullptr, many, canonical_record(many[2999].first, "again"),
         1, "KOV error: Record exists\n"},
        {"duplicate of a spilled key", "64k", many, canonical_record(many[0].first, "again"), 1,
         "KOV error: Record exists\n"},
        {"key order streamed", "64k", in_order, "", 0, "EOF\n"},
        {"duplicate of the last streamed key", "64k", in_order,
         canonical_record(in_order.back().first, "again"), 1, "KOV error: Record exists\n"},
        {"duplicate of a streamed key after one out of order", "64k", then_out_of_order,
         canonical_record(in_order[2000].first, "again"), 1, "KOV error: Record exists\n"},
        {"malformed record after spills", "64k", many, "{\nkey(2) = \"\\zz\"\n", 1,
         "Invalid hex: z\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sort_memory env(c.cap);
        kovtest::scratch_dir dir;
        std::string db = dir.path("db.kov");
        kovtest::run_result r = kovtest::restore(db, dump_of(c.records) + c.tail);
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(sorted(c.records), kovtest::read_kov(db));
        // The runs had no names: only the database is left.
        EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.dir()),
                                   std::filesystem::directory_iterator()));
    }
}

// A run that cannot be written fails the store that needed it, with the
// cause and the number of records the file keeps, whether it holds small
// values or large ones that could not go to the value file; the file stays
// a valid database.
TEST(SortedRestore, RunThatCannotBeWrittenIsReported)
{
    for (const std::vector<record> &records : {shuffled_records(30000), large_values()}) {
        SCOPED_TRACE(records.size());
        sort_memory env("1m");
        kovtest::scratch_dir dir;
        std::string db = dir.path("db.kov");
        kovtest::limits lim;
        lim.file_size = 256u << 10;
        kovtest::run_result r = kovtest::restore(db, dump_of(records), lim);
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(1, r.status);
        // The file keeps what fits within the limit, whole records of the
        // dump, and the message says how many.
        std::vector<record> rows = kovtest::read_kov(db);
        EXPECT_GT(rows.size(), 0u);
        EXPECT_EQ(0u, r.err.rfind("KOV error: writing a temporary run: File too large; the "
                                  "file keeps " +
                                      std::to_string(rows.size()) + " of the ",
                                  0))
            << r.err;
        for (const record &rec : rows)
            EXPECT_NE(records.end(), std::find(records.begin(), records.end(), rec));
    }
}

// A sanitizer's runtime adds its own memory to a peak resident set.
#ifdef KOV_SANITIZE
constexpr bool peak_rss_is_ours = false;
#else
constexpr bool peak_rss_is_ours = true;
#endif

// Small records in shuffled order, like the benchmark's: keys of 20 bytes,
// values of 100 bytes of text with one byte in ten outside it.
std::vector<record> small_records(int n)
{
    std::vector<record> recs;
    for (int i = 0; i < n; i++) {
        std::string v = "val" + std::to_string(i) + "-";
        while (v.size() < 100)
            v += v;
        v.resize(100);
        for (size_t k = 0; k < v.size(); k += 10)
            v[k] = static_cast<char>(i + k);
        recs.push_back({"record-key-" + std::to_string(1000000000 + i * 7919LL % 1000003), v});
    }
    std::shuffle(recs.begin(), recs.end(), std::mt19937(5));
    return recs;
}

// At small caps: runs hold about a cap's worth each, the restore's own peak
// resident set stays within the cap plus 3 bytes per record plus the stated
// overhead, it needs few descriptors, and the file holds every record.
TEST(SortedRestore, SmallCapsHoldTheirBounds)
{
    const size_t overhead_kib = 12 << 10;
    struct {
        const char *cap;
        size_t cap_bytes;
        int records;
    } cases[] = {// About 217 runs, which leaves 14 merged and 7 spilled runs for
                 // the last merge, one more pass at a fan-in of 15.
                 {"64k", 64 << 10, 74000},
                 {"1m", 1 << 20, 100000},
                 {"32m", 32 << 20, 300000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cap);
        std::vector<record> records = small_records(c.records);
        std::string dump = dump_of(records);
        kovtest::scratch_dir dir;
        {
            int dir_fd = open(dir.dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(dir_fd, 0);
            kov_sorter sorter(dir_fd, c.cap_bytes);
            std::string error;
            for (const record &r : records) {
                auto *k = reinterpret_cast<const unsigned char *>(r.first.data());
                auto *v = reinterpret_cast<const unsigned char *>(r.second.data());
                ASSERT_EQ(0, sorter.add(k, r.first.size(), v, r.second.size(), true, &error))
                    << error;
            }
            // Runs are full: each holds the records that fill the cap but
            // for the share kept for I/O buffers and a last block (a
            // sixteenth of the rest), the records counted with their cost
            // in the buffer.  Input is the records' keys and values.
            size_t input = 0;
            for (const record &r : records)
                input += r.first.size() + r.second.size() + kov_sorter_buffer_record_cost;
            size_t io = std::max<size_t>(c.cap_bytes / 16, 8 << 10);
            size_t run = (c.cap_bytes - io) / 16 * 15;
            EXPECT_LE(sorter.runs_written(), (input + run - 1) / run + 1);
            // The merge hands out every key once, in order, through as many
            // passes as its fan-in needs.
            ASSERT_EQ(0, sorter.merge_begin(true, &error)) << error;
            const unsigned char *k, *v;
            size_t ks, vs;
            uint64_t done, handed = 0;
            std::string previous;
            while (sorter.merge_next(&k, &ks, &v, &vs, &done, &error) == 1) {
                std::string key(reinterpret_cast<const char *>(k), ks);
                ASSERT_LT(previous, key);
                previous = key;
                handed++;
            }
            EXPECT_EQ(records.size(), handed) << error;
            close(dir_fd);
        }
        sort_memory env(c.cap);
        setenv("KOVRESTORE_PEAK_RSS_FILE", dir.path("rss").c_str(), 1);
        std::string db = dir.path("db.kov");
        kovtest::limits lim;
        lim.open_files = 64;
        kovtest::run_result r = kovtest::restore(db, dump, lim);
        unsetenv("KOVRESTORE_PEAK_RSS_FILE");
        EXPECT_EQ(0, r.status) << r.err;
        long rss_kib = std::stol(kovtest::read_file(dir.path("rss")));
        if (peak_rss_is_ours) {
            EXPECT_LE(rss_kib, (c.cap_bytes + 3 * records.size()) / 1024 + overhead_kib);
        }
        EXPECT_EQ(sorted(records), kovtest::read_kov(db));
    }
}

// Peak memory follows what the buffer holds, not its cap: a dump in key
// order streams through, far below the 80 MB it would take in the buffer,
// and a small dump in random order, its keys in each of the 1024 buckets
// of a 1 GiB buffer, gets few pages faulted in ahead of its records, not
// the 64 MiB of the buckets' chunks.
TEST(SortedRestore, PeakMemoryFollowsWhatIsHeld)
{
    std::vector<record> spread = small_records(20000);
    std::mt19937 rng(3);
    for (record &r : spread)
        r.first = std::string{static_cast<char>(rng()), static_cast<char>(rng())} + r.first;
    struct {
        std::vector<record> records;
        const char *cap;
        long bound_kib;
    } cases[] = {{sorted(small_records(450000)), nullptr, 32 << 10}, {spread, "1g", 28 << 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.records.size());
        sort_memory env(c.cap);
        kovtest::scratch_dir dir(kovtest::memory_fs);
        setenv("KOVRESTORE_PEAK_RSS_FILE", dir.path("rss").c_str(), 1);
        std::string db = dir.path("db.kov");
        kovtest::run_result r = kovtest::restore(db, dump_of(c.records));
        unsetenv("KOVRESTORE_PEAK_RSS_FILE");
        EXPECT_EQ("EOF\n", r.err);
        if (peak_rss_is_ours) {
            EXPECT_LT(std::stol(kovtest::read_file(dir.path("rss"))), c.bound_kib);
        }
        EXPECT_EQ(sorted(c.records), kovtest::read_kov(db));
    }
}

// A KOV_SORT_MEMORY that is not a size fails the open, naming the variable,
// before the file exists.
TEST(SortedRestore, InvalidSortMemoryIsRefused)
{
    for (const char *value : {"", "0", "-5", "abc", "1x", "99999999999999999999", "17179869184g"}) {
        SCOPED_TRACE(value);
        sort_memory env(value);
        kovtest::scratch_dir dir;
        std::string db = dir.path("db.kov");
        kovtest::run_result r = kovtest::restore(db, dump_of({{"k", "v"}}));
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("kov_open: Invalid argument\nFailed to open " + db + "\nKOV_SORT_MEMORY: \"" +
                      value +
                      "\" is not a size (a number of bytes above 0 that fits in memory, "
                      "optionally followed by k, m or g)\n",
                  r.err);
        EXPECT_FALSE(kovtest::file_exists(db));
    }
}

using kovtest::as_datum;

// A spill inside kov_store, and the sort of a write at kov_close, call the
// progress handler with none of the records held done yet.
TEST(SortedStore, SpillsCallTheProgressHandler)
{
    sort_memory env("4m");
    kovtest::scratch_dir dir;
    kov_handle db = kov_open(dir.path("db.kov").c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_NE(nullptr, db);
    std::vector<std::pair<unsigned long long, unsigned long long>> calls;
    kov_progress_handler(
        db,
        [](void *ctx, unsigned long long done, unsigned long long total) {
            static_cast<decltype(calls) *>(ctx)->emplace_back(done, total);
        },
        &calls);
    std::mt19937 rng(5);
    for (int i = 0; i < 200000; i++)
        ASSERT_EQ(0,
                  kov_store(db, as_datum("k" + std::to_string(rng())), as_datum("v"), KOV_REPLACE));
    ASSERT_GT(calls.size(), 0u) << "no call during the spills";
    for (auto [done, total] : calls)
        EXPECT_TRUE(done == 0 && total >= 1 << 16 && total <= 200000) << done << " " << total;
    calls.clear();
    ASSERT_EQ(0, kov_close(db));
    ASSERT_GT(calls.size(), 2u);
    EXPECT_EQ(calls[0].first, 0u);
    EXPECT_EQ(calls.back().first, calls.back().second);
}

// Random stores of every mode, fetches (which write what the sorter holds)
// and traversals on a new file with a tiny buffer, each result compared with
// a map: a refusal or acceptance the map disagrees with is a wrong answer of
// the exact duplicate check.
TEST(SortedStore, EveryModeAgreesWithAMap)
{
    for (const char *cap : {"64k", "1m", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(cap ? cap : "default");
        sort_memory env(cap);
        kovtest::scratch_dir dir;
        std::string path = dir.path("db.kov");
        kov_handle db = kov_open(path.c_str(), 0, 0, O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_NE(nullptr, db);
        unsigned long long last_done = 0, last_total = 0;
        int calls = 0;
        struct progress_state {
            unsigned long long *done, *total;
            int *calls;
        } ps{&last_done, &last_total, &calls};
        kov_progress_handler(
            db,
            [](void *ctx, unsigned long long done, unsigned long long total) {
                auto *p = static_cast<progress_state *>(ctx);
                EXPECT_LE(done, total);
                if (total == *p->total) {
                    EXPECT_GE(done, *p->done);
                }
                *p->done = done;
                *p->total = total;
                ++*p->calls;
            },
            &ps);

        std::map<std::string, std::string> model;
        std::mt19937 rng(11);
        for (int i = 0; i < 20000; i++) {
            // Ascending keys first, which stream, then random ones.
            std::string key =
                i < 3000 ? "j" + std::to_string(100000 + i) : "k" + std::to_string(rng() % 6000);
            std::string value(rng() % 8 ? rng() % 200 : 1000 + rng() % 3000,
                              static_cast<char>('a' + i % 26));
            int op = static_cast<int>(rng() % 1000);
            if (op < 1) {
                datum v = kov_fetch(db, as_datum(key));
                auto it = model.find(key);
                ASSERT_EQ(it != model.end(), v.data != nullptr) << "fetch " << key;
                if (v.data) {
                    EXPECT_EQ(it->second, std::string(reinterpret_cast<char *>(v.data), v.size));
                    free(v.data);
                }
                ASSERT_EQ(last_done, last_total) << "the write did not end with done == total";
                continue;
            }
            int flag = op < 600 ? KOV_INSERT : op < 850 ? KOV_REPLACE : KOV_MODIFY;
            bool held = model.count(key);
            int want = (flag == KOV_INSERT && held) || (flag == KOV_MODIFY && !held) ? -1 : 0;
            ASSERT_EQ(want, kov_store(db, as_datum(key), as_datum(value), flag))
                << "store " << flag << " " << key << " at step " << i << ": " << kov_errorstr(db);
            if (want == 0)
                model[key] = value;
            else
                EXPECT_STREQ(flag == KOV_INSERT ? "Record exists" : "Record not found",
                             kov_errorstr(db));
        }
        std::vector<record> want(model.begin(), model.end());
        std::vector<record> seen;
        ASSERT_EQ(static_cast<int>(want.size()),
                  kov_traverse(
                      db,
                      [](kov_handle, datum k, datum v, void *ctx) {
                          static_cast<std::vector<record> *>(ctx)->push_back(
                              {std::string(reinterpret_cast<char *>(k.data), k.size),
                               std::string(reinterpret_cast<char *>(v.data), v.size)});
                          return 0;
                      },
                      &seen));
        EXPECT_EQ(want, seen);
        EXPECT_GT(calls, 0);
        ASSERT_EQ(0, kov_close(db));
        EXPECT_EQ(want, kovtest::read_kov(path));
    }
}

}  // namespace
