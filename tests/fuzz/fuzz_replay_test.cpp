// SPDX-License-Identifier: MIT
// Replays the committed fuzz inputs through the same checks as the fuzz
// targets, with the normal compiler and no fuzzing engine: the seed corpus,
// and every input that ever made a target fail (regressions/).  A file's
// name says which check it is for: reader-* for the reader primitives,
// restore-* for the record loop; seed files go through both.

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

void replay(const fs::path &file, bool reader, bool restore, const kovtest::scratch_dir &dir)
{
    std::string input = bytes_of(file);
    const uint8_t *data = reinterpret_cast<const uint8_t *>(input.data());
    if (reader) {
        EXPECT_EQ("", kovfuzz::check_reader(data, input.size())) << file;
    }
    if (restore) {
        EXPECT_EQ("", kovfuzz::check_restore(data, input.size(), dir.path("replay.kov"))) << file;
    }
}

TEST(FuzzReplay, SeedCorpus)
{
    kovtest::scratch_dir dir;
    auto files = files_in("corpus");
    ASSERT_GE(files.size(), 10u);
    for (const auto &f : files)
        replay(f, true, true, dir);
}

TEST(FuzzReplay, Regressions)
{
    kovtest::scratch_dir dir;
    auto files = files_in("regressions");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files) {
        std::string name = f.filename().string();
        bool reader = name.rfind("reader-", 0) == 0;
        bool restore = name.rfind("restore-", 0) == 0;
        ASSERT_TRUE(reader || restore) << "regression input of no known target: " << f;
        replay(f, reader, restore, dir);
    }
}

}  // namespace
