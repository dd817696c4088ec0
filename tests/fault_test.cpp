// SPDX-License-Identifier: MIT
// Fault injection on the real kovrestore: a full disk, a file-size limit,
// eight restores racing for one name, and counts
// larger than the memory the process may have.  Every case checks the
// status, the exact message and what the file holds afterwards.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <latch>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "kov.h"
#include "test_support.h"

using kovtest::child;
using kovtest::record;
using kovtest::run_result;

namespace {

// Checks that rows are the first rows.size() records of the generated dump.
void expect_generated_prefix(const std::vector<record> &rows)
{
    for (size_t i = 0; i < rows.size(); i++) {
        if (rows[i] != kovtest::generated_record(i)) {
            ADD_FAILURE() << "row " << i << " (key " << rows[i].first << ") is not record " << i
                          << " of the dump";
            return;
        }
    }
}

// A tmpfs of the given size mounted for the scope of the object, where the
// process may mount (root, and a kernel that lets it).
class small_tmpfs {
  public:
    explicit small_tmpfs(const std::string &dir, const char *size) : dir_(dir)
    {
        std::string options = std::string("size=") + size;
        mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        error_ = mounted_ ? 0 : errno;
    }
    ~small_tmpfs()
    {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    int error() const { return error_; }

  private:
    std::string dir_;
    bool mounted_;
    int error_;
};

// 160 MiB of generated records in key order.  The library commits after
// every 16 MiB of stored data, and the file takes more room than the data,
// so a 100 MiB limit is reached inside a store after several commits and
// well before the end of the dump.
const kovtest::generated_dump &disk_dump()
{
    static const kovtest::generated_dump d = kovtest::generate_dump(160u << 20);
    return d;
}

// Record i of a shuffled dump: a 12-byte key and a value of value_size bytes.
record shuffled_record(size_t i, size_t value_size)
{
    char key[16];
    snprintf(key, sizeof key, "k%011zu", i);
    std::string value = "v" + std::to_string(i) + "-";
    while (value.size() < value_size)
        value += value;
    return {key, value.substr(0, value_size)};
}

// n such records in a shuffled key order, which the library must sort.
std::string shuffled_dump(size_t n, size_t value_size)
{
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::string text;
    for (size_t i : order) {
        record r = shuffled_record(i, value_size);
        text += kovtest::canonical_record(r.first, r.second);
    }
    return text;
}

// Bytes a kov file takes per record of the dump, from a restore with room.
double bytes_per_record(const std::string &dump)
{
    kovtest::scratch_dir scratch;
    std::string db = scratch.path("roomy.kov");
    EXPECT_EQ("EOF\n", kovtest::restore(db, dump).err);
    return static_cast<double>(std::filesystem::file_size(db)) /
           static_cast<double>(kovtest::read_kov(db).size());
}

// Running out of room partway through a dump: a small tmpfs, where this
// process may mount one, and a file-size limit.  Every run ends with status
// 1 and the library's error, which says how many records the file keeps;
// the file is a valid kov database that keeps most of what fits, and only
// records of the dump.  At a 1 MiB cap the sorter's runs fill the disk; at
// the default cap the final write meets it; 2,000-byte values also fill
// the value file.  A dump in key order streams to the file in commits that
// shrink with the room left, so the one a full disk interrupts is small.
TEST(DiskFull, FileKeepsWhatFits)
{
    static const std::string small = shuffled_dump(300000, 104), large = shuffled_dump(15000, 2000),
                             huge = shuffled_dump(80, 280000);
    const struct {
        const char *name;
        const std::string *dump;  // null: disk_dump()
        size_t value_size;        // of a shuffled dump
        const char *cap;
        const char *tmpfs;  // its size; null: a file-size limit of room instead
        size_t room;
        const char *error;
        const char *closing;  // the failure comes at kov_close
        double share;         // least share of what fits that the file keeps
    } cases[] = {
        {"small, default cap", &small, 104, nullptr, "20m", 20u << 20,
         "KOV error: database or disk is full", "Error closing kov\n", 0.97},
        {"small, 1 MiB cap", &small, 104, "1m", "20m", 20u << 20,
         "KOV error: writing a temporary run: No space left on device", "", 0.95},
        {"2,000-byte values, default cap", &large, 2000, nullptr, "20m", 20u << 20,
         "KOV error: database or disk is full", "Error closing kov\n", 0.95},
        // The value file, given back whole when the rest no longer fits,
        // takes the records of its values not yet written with it.
        {"2,000-byte values, 1 MiB cap", &large, 2000, "1m", "20m", 20u << 20,
         "KOV error: writing a temporary run: No space left on device", "", 0.75},
        // The limit stops the value file's writes first, in their thread:
        // the values of the chunk that failed are still written to the file.
        {"2,000-byte values, file-size limit", &large, 2000, nullptr, nullptr, 20u << 20,
         "KOV error: File too large", "Error closing kov\n", 0.9},
        // Values written ahead to the file keep the room of their cells.
        {"280,000-byte values, default cap", &huge, 280000, nullptr, "20m", 20u << 20,
         "KOV error: database or disk is full", "Error closing kov\n", 0.85},
        {"280,000-byte values, 1 MiB cap", &huge, 280000, "1m", "20m", 20u << 20,
         "KOV error: writing a temporary run: No space left on device", "", 0.85},
        {"280,000-byte values, file-size limit", &huge, 280000, nullptr, nullptr, 20u << 20,
         "KOV error: File too large", "Error closing kov\n", 0.85},
        {"key order", nullptr, 0, nullptr, "100m", 100u << 20,
         "KOV error: database or disk is full", "", 0.97},
        {"key order, file-size limit", nullptr, 0, nullptr, nullptr, 100u << 20,
         "KOV error: File too large", "", 0.97},
    };
    std::map<const void *, double> per_record;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kovtest::scratch_dir scratch;
        std::string mnt = scratch.path("mnt");
        ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
        kovtest::limits lim;
        std::optional<small_tmpfs> fs;
        if (c.tmpfs && !fs.emplace(mnt, c.tmpfs).mounted()) {
            printf("no tmpfs here (%s): skipped\n", strerror(fs->error()));
            continue;
        }
        if (!c.tmpfs)
            lim.file_size = c.room;
        const std::string &text = c.dump ? *c.dump : disk_dump().text;
        std::string db = mnt + "/full.kov";
        kovtest::sort_memory env(c.cap);
        run_result r = kovtest::restore(db, text, lim);
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(1, r.status);
        // The failed close leaves no journal to block the name.
        EXPECT_FALSE(kovtest::file_exists(db + "-journal"));

        std::vector<record> rows = kovtest::read_kov(db);
        kov_handle h = kov_open(db.c_str(), 0, 0, O_RDONLY, 0);
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(static_cast<int>(rows.size()),
                  kov_traverse(
                      h, [](kov_handle, datum, datum, void *) { return 0; }, nullptr));
        kov_close(h);
        std::smatch m;
        std::regex message(std::string(c.error) +
                           "(; the last [0-9]+ records stored before it were rolled back)?"
                           "; the file keeps ([0-9]+) of the ([0-9]+) records stored\n" +
                           c.closing);
        ASSERT_TRUE(std::regex_match(r.err, m, message)) << r.err;
        EXPECT_EQ(std::to_string(rows.size()), m[2].str());
        if (!c.dump)
            expect_generated_prefix(rows);
        for (size_t i = 0; c.dump && i < rows.size(); i++) {
            if (rows[i] != shuffled_record(std::stoul(rows[i].first.substr(1)), c.value_size)) {
                ADD_FAILURE() << "row " << rows[i].first << " is not that record of the dump";
                break;
            }
        }
        if (!per_record.count(&text))
            per_record[&text] = bytes_per_record(text);
        double fits = static_cast<double>(c.room) / per_record[&text];
        printf("%s: the file keeps %zu records of about %.0f that fit (%.1f%%)\n", c.name,
               rows.size(), fits, 100 * static_cast<double>(rows.size()) / fits);
        EXPECT_GE(static_cast<double>(rows.size()), c.share * fits);
    }
}

// One write or sync failing once in a new file's first write or its close:
// the file keeps every record with a copy elsewhere (not values written
// ahead, which the failed writer held), the text counts them (or, for the
// close's sync, says they may not all be on the disk), and no journal is
// left.  A build of over 16 MiB has passed a checkpoint: a failed write
// keeps the tree up to it, a failed sync none of it; a dump in key order
// streams past the sorter and loses what it streamed after the checkpoint.
// A text that counts records lost counts exactly those the file lacks.
TEST(FailedIo, FileKeepsWhatItCan)
{
    std::string chained;
    for (int i = 0; i < 16; i++)
        chained += kovtest::canonical_record("k" + std::to_string(i),
                                             std::string(i < 10 ? 5 : 300000, 'v'));
    static const std::string sorted = shuffled_dump(20000, 100), big = shuffled_dump(40000, 1000),
                             ordered = kovtest::generate_dump(40u << 20).text;
    const std::string lost =
        "; the ([1-6]) records whose values were written ahead were lost with it";
    const struct {
        const std::string *dump;
        kovtest::io_fault fault;
        std::string error;  // a pattern; its group, if any, counts the records lost
        size_t kept;        // at least
        const char *cap = nullptr;
        std::string end = "Error closing kov\n";
        bool counted = true;  // the text ends with the records the file keeps
    } cases[] = {
        {&chained, {"pwrite", ".kov", 3}, "cannot write page 3: Input/output error" + lost, 10},
        {&chained,
         {"pwrite", ".kov", 4, 1, ENOSPC},
         "cannot write page 19: No space left on device" + lost,
         10},
        {&sorted, {"pwrite", ".kov", 4}, "cannot write page [0-9]+: Input/output error", 20000},
        // The switch cannot be undone either: the connection plays the
        // journal back.
        {&sorted,
         {"pwrite", ".kov", 5, 2},
         "cannot write page [0-9]+: Input/output error; cannot restore page 1: Input/output error",
         0},
        {&sorted, {"fsync", ".kov"}, "cannot sync the database: Input/output error", 20000},
        {&sorted, {"fsync", "-journal", 2}, "cannot sync the journal: Input/output error", 20000},
        // The close's own sync: the file holds every record, the disk may not.
        {&sorted,
         {"fsync", ".kov", 2},
         "cannot sync the database: Input/output error; the 20000 records stored may not all be "
         "on the disk",
         20000,
         nullptr,
         "Error closing kov\n",
         false},
        {&big, {"pwrite", ".kov", 24}, "cannot write page [0-9]+: Input/output error", 40000, "8m"},
        {&big,
         {"fsync", ".kov"},
         "cannot sync the database: Input/output error; the ([0-9]+) records written to the file "
         "were lost: after a failed sync, no page the build wrote can be trusted",
         1},
        {&ordered,
         {"pwrite", ".kov", 30},
         "cannot write page [0-9]+: Input/output error; the ([0-9]+) records written to the "
         "file after its last checkpoint were lost",
         1000, nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        kovtest::scratch_dir scratch;
        std::string db = scratch.path("failed.kov");
        kovtest::with_env env(kovtest::fail_io_env(c.fault));
        kovtest::sort_memory cap(c.cap);
        run_result r = kovtest::restore(db, *c.dump);
        std::smatch m;
        std::string tail =
            c.counted ? "; the file keeps ([0-9]+) of the ([0-9]+) records stored" : "";
        std::regex message("KOV error: " + c.error + tail + "\n" + c.end);
        ASSERT_TRUE(r.status == 1 && std::regex_match(r.err, m, message)) << r.err;
        // Before SQLite opens the file, which would play a journal back.
        EXPECT_FALSE(kovtest::file_exists(db + "-journal"));
        std::vector<record> rows = kovtest::read_kov(db);
        EXPECT_GE(rows.size(), c.kept);
        if (!c.counted)
            continue;
        size_t groups = m.size() - 1, lost = groups > 2 ? std::stoul(m[1].str()) : 0;
        EXPECT_EQ(m[groups - 1].str(), std::to_string(rows.size()));
        if (groups > 2) {
            EXPECT_EQ(m[groups].str(), std::to_string(rows.size() + lost));
        }
        if (c.dump == &ordered)
            expect_generated_prefix(rows);
        else
            EXPECT_EQ(m[groups].str(),
                      std::to_string(std::count(c.dump->begin(), c.dump->end(), '{')));
    }
}

TEST(Concurrency, EightRestoresOneName)
{
    constexpr int n = 8;
    kovtest::scratch_dir scratch;
    std::string db = scratch.path("race.kov");
    // Each run has its own records, so the file tells which run wrote it.
    std::string dumps[n];
    std::vector<record> records[n];
    for (int w = 0; w < n; w++) {
        for (int i = 0; i < 300; i++) {
            record rec{"run" + std::to_string(w) + "-" + std::to_string(1000 + i),
                       std::string(200 + i, static_cast<char>('a' + w))};
            dumps[w] += kovtest::canonical_record(rec.first, rec.second);
            records[w].push_back(rec);
        }
    }
    run_result results[n];
    std::latch ready(n);
    std::vector<std::thread> threads;
    for (int w = 0; w < n; w++) {
        threads.emplace_back([&, w] {
            ready.arrive_and_wait();
            results[w] = kovtest::restore(db, dumps[w]);
        });
    }
    for (auto &t : threads)
        t.join();

    int winner = -1;
    for (int w = 0; w < n; w++) {
        ASSERT_TRUE(results[w].exited) << "run " << w << ": signal " << results[w].signal;
        EXPECT_EQ("", results[w].out);
        if (results[w].status == 0) {
            EXPECT_EQ(-1, winner) << "runs " << winner << " and " << w << " both succeeded";
            winner = w;
            EXPECT_EQ("EOF\n", results[w].err);
        } else {
            EXPECT_EQ(1, results[w].status);
            EXPECT_EQ("kov_open: File exists\nFailed to open " + db + "\n", results[w].err);
        }
    }
    ASSERT_NE(-1, winner) << "no run succeeded";
    EXPECT_EQ(records[winner], kovtest::read_kov(db));
    // The losers left nothing beside the database (no journal, no copy).
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch.dir()),
                               std::filesystem::directory_iterator()));
}

// A database removed, renamed or replaced during the restore is not reported
// as restored, and leaves no journal that would block its name.
TEST(Concurrency, DatabaseMovedDuringTheRestore)
{
    for (int how : {0, 1, 2}) {
        SCOPED_TRACE(how);
        kovtest::scratch_dir scratch;
        std::string db = scratch.path("moved.kov");
        child c = kovtest::start({KOVRESTORE_PATH, db});
        kovtest::feed(c, kovtest::canonical_record("k", "v"));
        // The tool reads its input only once the database is open.
        int unread = 1;
        for (int ms = 0; ms < 10000 && ioctl(c.in, FIONREAD, &unread) == 0 && unread > 0; ms++)
            poll(nullptr, 0, 1);
        if (how == 0)
            unlink(db.c_str());
        else
            rename(db.c_str(), scratch.path("elsewhere.kov").c_str());
        if (how == 2)
            kovtest::write_file(db, "another file");
        run_result r = kovtest::finish(c);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("KOV error: " + db +
                      " no longer leads to the database written: the file was removed or renamed "
                      "while it was open\nError closing kov\n",
                  r.err);
        EXPECT_FALSE(kovtest::file_exists(db + "-journal"));
    }
}

// Runs under a lowered address-space limit.  The sanitizers' runtimes
// reserve terabytes of address space and cannot start under it.
#ifdef KOV_SANITIZE
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "address-space limit with a sanitizer"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

constexpr rlim_t memory_limit = 512u << 20;

std::string three_records()
{
    return kovtest::canonical_record("one", "1") + kovtest::canonical_record("two", "22") +
           kovtest::canonical_record("three", "333");
}

TEST(MemoryLimit, CountBeyondMemoryFailsWithoutMessage)
{
    SKIP_UNDER_SANITIZER();
    kovtest::scratch_dir scratch;
    std::string db = scratch.path("count.kov");
    kovtest::limits lim;
    lim.address_space = memory_limit;
    // The buffer for the declared count cannot be allocated: the field fails
    // like any other the reader refuses, and the records before it stay.
    std::string dump = three_records() + "{\nkey(3) = \"big\"\nvalue(2000000000) = \"abc\"\n}\n";
    run_result r = kovtest::restore(db, dump, lim);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.err);
    std::vector<record> want = {{"one", "1"}, {"three", "333"}, {"two", "22"}};
    EXPECT_EQ(want, kovtest::read_kov(db));
}

TEST(MemoryLimit, StoreBeyondMemoryIsAnError)
{
    SKIP_UNDER_SANITIZER();
    kovtest::scratch_dir scratch;
    std::string db = scratch.path("store.kov");
    kovtest::limits lim;
    lim.address_space = memory_limit;
    // The field itself fits, but the library needs a copy of the key to hold
    // it until the close: it reports that it ran out of memory.  (A value as
    // large goes to the file as it is stored, and needs no copy.)
    size_t size = 300u << 20;
    child c = kovtest::start({KOVRESTORE_PATH, db}, {}, lim);
    kovtest::feed(c, three_records() + "{\nkey(" + std::to_string(size) + ") = \"");
    std::string chunk(1u << 20, 'v');
    for (size_t i = 0; i < size / chunk.size(); i++)
        if (!kovtest::feed(c, chunk))
            break;
    kovtest::feed(c, "\"\nvalue(1) = \"x\"\n}\n");
    run_result r = kovtest::finish(c);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("KOV error: out of memory\n", r.err);
    // The failed store must not take the records stored before it along.
    std::vector<record> want = {{"one", "1"}, {"three", "333"}, {"two", "22"}};
    EXPECT_EQ(want, kovtest::read_kov(db));
}

// The syncs a restore makes, in order, from the log of the preloaded
// fail_io library: each fsync or fdatasync named by what it syncs (db,
// journal, dir, or the path itself), with a run of syncs of the database
// (the writeback's, then the commit's) counted once.
std::vector<std::string> syncs(const std::string &log, const std::string &db,
                               const std::string &dir)
{
    std::vector<std::string> seen;
    for (const std::string &line : kovtest::read_lines(log)) {
        size_t call_end = line.find(' '), kind_end = line.find(' ', call_end + 1);
        std::string call = line.substr(0, call_end);
        std::string path = line.substr(kind_end + 1);
        if (call != "fsync" && call != "fdatasync")
            continue;
        std::string what = path == db                ? "db"
                           : path == db + "-journal" ? "journal"
                           : path == dir             ? "dir"
                                                     : path;
        if (what != "db" || seen.empty() || seen.back() != "db")
            seen.push_back(what);
    }
    return seen;
}

// A new file is switched to and closed with its syncs in the order that
// makes every step durable before the next one relies on it: the journal,
// then its directory entry, before the file is written over; the file,
// then the journal's header cleared, at the switch; the file, then the
// journal's removal in the directory, at the close.  SQLite opens the file
// by its name once: its connection is never closed and opened again after
// the build, which would leave the file unlocked for a moment.  Nor is any
// other client let in from the file's creation to the close: its first
// lock, taken before SQLite's own, write-locks SQLite's reserved byte, which
// stays so until the connection's last unlock.
TEST(Syncs, OrderAtTheSwitchAndTheClose)
{
    std::string large_values;
    for (size_t i = 0; i < 4; i++)
        large_values += kovtest::canonical_record("big" + std::to_string(3 - i),
                                                  std::string(300000 + i, 'a' + i));
    const struct {
        const char *name;
        std::string dump;
    } cases[] = {
        {"key order", kovtest::read_file(SAMPLE_DUMP_PATH)},
        {"sorted", shuffled_dump(2000, 100)},
        {"values written ahead", large_values},
        {"key order left", kovtest::generate_dump(6 << 20).text +
                               kovtest::canonical_record("0", "out of order")},
    };
    const std::vector<std::string> want = {"journal", "dir", "db", "journal", "db", "dir"};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kovtest::scratch_dir scratch;
        std::string db = scratch.path("synced.kov"), log = scratch.path("syncs.log");
        std::string opens = scratch.path("opens.log"), locks = scratch.path("locks.log");
        kovtest::with_env env(
            kovtest::fail_io_env({.sync_log = log, .open_log = opens, .lock_log = locks}));
        run_result r = kovtest::restore(db, c.dump);
        EXPECT_EQ("EOF\n", r.err);
        EXPECT_EQ(want, syncs(log, db, scratch.dir()));
        std::vector<std::string> lines = kovtest::read_lines(opens);
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
                      std::error_code ec;
                      std::string name = line.substr(strlen("open "));
                      return name.rfind("/proc/", 0) != 0 && std::filesystem::equivalent(name, db, ec);
                  }));
        int state = 0;  // 0: not locked yet, 1: locked, 2: let go
        constexpr long long reserved_byte = (1LL << 30) + 1;
        for (const std::string &line : kovtest::read_lines(locks)) {
            std::istringstream in(line);
            std::string call, type, path;
            long long start = 0, len = 0;
            in >> call >> type >> start >> len >> std::ws;
            std::getline(in, path);
            bool reserved = start <= reserved_byte && (len == 0 || reserved_byte < start + len);
            if (path != db)
                continue;
            ASSERT_TRUE(type == "un" ? state > 0 : state == 1 || (!state && reserved && type == "wr"))
                << line;
            if (reserved)
                state = type == "wr" ? 1 : 2;
        }
        EXPECT_EQ(2, state);
    }
}

}  // namespace
