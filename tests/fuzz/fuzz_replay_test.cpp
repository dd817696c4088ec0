// SPDX-License-Identifier: MIT
// Replays the committed fuzz inputs through the same checks as the fuzz
// targets, with the normal compiler and no fuzzing engine: the seed corpus,
// and every input that ever made a target fail (regressions/).  A file's
// name says which check it is for: reader-* for the reader primitives,
// restore-* for the record loop, btree-* for the B-tree writer; seed files
// go through all three.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_checks.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> files_in(const char *sub)
{
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(fs::path(FUZZ_DIR) / sub))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string bytes_of(const fs::path &p)
{
    return kovtest::read_file(p.string());
}

// The checks a file goes through.
struct targets {
    bool reader, restore, btree;
};

void replay(const fs::path &file, targets t, const kovtest::scratch_dir &dir)
{
    std::string input = bytes_of(file);
    const uint8_t *data = reinterpret_cast<const uint8_t *>(input.data());
    if (t.reader) {
        EXPECT_EQ("", kovfuzz::check_reader(data, input.size())) << file;
    }
    if (t.restore) {
        EXPECT_EQ("", kovfuzz::check_restore(data, input.size(), dir.path("replay.kov"))) << file;
    }
    if (t.btree) {
        EXPECT_EQ("", kovfuzz::check_btree(data, input.size(), dir.path("btree.kov"))) << file;
    }
}

TEST(FuzzReplay, SeedCorpus)
{
    kovtest::scratch_dir dir;
    auto files = files_in("corpus");
    ASSERT_GE(files.size(), 10u);
    for (const auto &f : files)
        replay(f, {true, true, true}, dir);
}

TEST(FuzzReplay, Regressions)
{
    kovtest::scratch_dir dir;
    auto files = files_in("regressions");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files) {
        std::string name = f.filename().string();
        auto is = [&](const char *prefix) { return name.rfind(prefix, 0) == 0; };
        targets t = {is("reader-"), is("restore-"), is("btree-")};
        ASSERT_TRUE(t.reader || t.restore || t.btree) << "regression input of no known target: " << f;
        replay(f, t, dir);
    }
}

}  // namespace
