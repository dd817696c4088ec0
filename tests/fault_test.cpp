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

#include <filesystem>
#include <iterator>
#include <latch>
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

// 160 MiB of generated records.  The library commits after 16, 32, 64 and
// 128 MiB of stored data, and the file takes more room than the data, so a
// 100 MiB limit is reached inside a store after one commit or more and well
// before the end of the dump.
const kovtest::generated_dump &disk_dump()
{
    static const kovtest::generated_dump d = kovtest::generate_dump(160u << 20);
    return d;
}

// Two ways to run out of room partway through the dump: a 100 MiB tmpfs,
// where this process may mount one, and a 100 MiB file-size limit.  Both
// end with status 1 and the library's error, keeping the records of the
// commits before.
TEST(DiskFull, CommittedRecordsSurvive)
{
    kovtest::scratch_dir scratch;
    std::string mnt = scratch.path("mnt");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
    small_tmpfs fs(mnt, "100m");
    kovtest::limits file_size;
    file_size.file_size = 100u << 20;
    const struct {
        std::string db;
        kovtest::limits lim;
        const char *error;
    } cases[] = {
        {mnt + "/full.kov", {}, "KOV error: database or disk is full"},
        {scratch.path("limited.kov"), file_size, "KOV error: disk I/O error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.db);
        if (c.lim.file_size == RLIM_INFINITY && !fs.mounted()) {
            printf("no tmpfs here (%s): only the file-size limit fills the disk\n",
                   strerror(fs.error()));
            continue;
        }
        run_result r = kovtest::restore(c.db, disk_dump().text, c.lim);
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.err.rfind(c.error, 0)) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("EOF")) << r.err;
        std::vector<record> rows = kovtest::read_kov(c.db);
        EXPECT_GT(rows.size(), 0u) << "nothing of the first commit survived";
        EXPECT_LT(rows.size(), disk_dump().ends.size());
        expect_generated_prefix(rows);
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
    // The field itself fits, but the engine needs a copy of it to build the
    // row: the library reports that it ran out of memory.
    size_t size = 300u << 20;
    child c = kovtest::start({KOVRESTORE_PATH, db}, {}, lim);
    kovtest::feed(c, three_records() + "{\nkey(3) = \"big\"\nvalue(" + std::to_string(size) +
                         ") = \"");
    std::string chunk(1u << 20, 'v');
    for (size_t i = 0; i < size / chunk.size(); i++)
        if (!kovtest::feed(c, chunk))
            break;
    kovtest::feed(c, "\"\n}\n");
    run_result r = kovtest::finish(c);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("KOV error: out of memory\n", r.err);
    // The failed store must not take the records stored before it along.
    std::vector<record> want = {{"one", "1"}, {"three", "333"}, {"two", "22"}};
    EXPECT_EQ(want, kovtest::read_kov(db));
}

}  // namespace
