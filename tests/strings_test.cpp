// SPDX-License-Identifier: MIT
// Unit tests of the string and error-text replacements.  Every destination
// sits between guard bytes so that a write past its size shows up as a
// changed byte.
#include "portability.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr size_t guard_len = 16;
constexpr char fill = '#';

// A destination of `size` bytes with guard bytes on both sides, all filled
// with `fill`; `initial`, if given, is stored at the start with its
// terminator (it may run past `size`, as a destination beyond its size does).
struct guarded {
    std::string bytes;

    guarded(size_t size, const char *initial = nullptr) : bytes(guard_len + size + guard_len, fill)
    {
        if (initial != nullptr) {
            size_t len = strlen(initial);
            bytes.resize(std::max(bytes.size(), guard_len + len + 1 + guard_len), fill);
            bytes.replace(guard_len, len + 1, initial, len + 1);
        }
    }
    char *dst() { return bytes.data() + guard_len; }
};

// What the guarded buffer must look like when `written` (plus a terminator)
// was stored at the destination, or when nothing was written at all.
std::string expected_image(const guarded &before, const char *written)
{
    std::string image = before.bytes;
    if (written != nullptr)
        image.replace(guard_len, strlen(written) + 1, written, strlen(written) + 1);
    return image;
}

// ---------------------------------------------------------------- strlcpy

struct strlcpy_case {
    const char *src;
    size_t size;
    size_t result;
    const char *written;  // nullptr: nothing may be written
};

constexpr strlcpy_case strlcpy_cases[] = {
    {"abc", 0, 0, nullptr}, {"", 0, 0, nullptr},
    {"abc", 1, 3, ""},      {"abc", 2, 3, "a"},
    {"abc", 3, 3, "ab"},    {"abc", 4, 3, "abc"},
    {"abc", 10, 3, "abc"},  {"", 1, 0, ""},
    {"", 5, 0, ""},         {"\xff\x80\x01", 3, 3, "\xff\x80"},
};

TEST(Strlcpy, Table)
{
    for (const strlcpy_case &c : strlcpy_cases) {
        SCOPED_TRACE(testing::Message() << "src \"" << c.src << "\" size " << c.size);
        guarded buf(c.size);
        std::string want = expected_image(buf, c.written);
        EXPECT_EQ(rep_strlcpy(buf.dst(), c.src, c.size), c.result);
        EXPECT_EQ(buf.bytes, want);
    }
}

// ---------------------------------------------------------------- strlcat

struct strlcat_case {
    const char *dst;
    const char *src;
    size_t size;
    size_t result;
    const char *written;  // nullptr: nothing may be written
};

constexpr strlcat_case strlcat_cases[] = {
    {"xy", "abc", 10, 5, "xyabc"}, {"xy", "abc", 6, 5, "xyabc"}, {"xy", "abc", 5, 5, "xyab"},
    {"xy", "abc", 4, 5, "xya"},    {"xy", "abc", 3, 5, nullptr},  // only room for the terminator
    {"xy", "abc", 2, 5, nullptr},                                 // destination fills the size
    {"xy", "abc", 1, 5, nullptr},                                 // destination runs past the size
    {"xy", "abc", 0, 5, nullptr},  {"xy", "", 10, 2, nullptr},   {"", "abc", 10, 3, "abc"},
    {"", "abc", 1, 3, nullptr},    {"", "", 0, 0, nullptr},      {"abcdefgh", "ij", 4, 10, nullptr},
};

TEST(Strlcat, Table)
{
    for (const strlcat_case &c : strlcat_cases) {
        SCOPED_TRACE(testing::Message()
                     << "dst \"" << c.dst << "\" src \"" << c.src << "\" size " << c.size);
        guarded buf(c.size, c.dst);
        std::string want = expected_image(buf, c.written);
        EXPECT_EQ(rep_strlcat(buf.dst(), c.src, c.size), c.result);
        EXPECT_EQ(buf.bytes, want);
    }
}

// "Nothing written" must hold literally: the destination may be read-only
// memory.  A store, even of the zero byte already there, kills the child.
TEST(Strlcat, NoStoreWhenNothingToAppend)
{
    long page = sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *dst = static_cast<char *>(map);
    strcpy(dst, "xy");
    ASSERT_EQ(mprotect(map, page, PROT_READ), 0);

    EXPECT_EXIT(
        {
            size_t r = rep_strlcat(dst, "abc", 3) + rep_strlcat(dst, "abc", 2) +
                       rep_strlcat(dst, "abc", 0) + rep_strlcat(dst, "", 10) +
                       rep_strlcpy(dst, "abc", 0);
            _exit(r == 17 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_STREQ(dst, "xy");
    munmap(map, page);
}

// ------------------------------------------------- randomized comparison

// Byte-at-a-time models of the copy and the append, written as plainly as
// possible, working on a copy of the whole guarded buffer.
size_t model_strlcpy(std::string &image, const std::string &src, size_t size)
{
    if (size == 0)
        return 0;
    size_t i = 0;
    for (; i + 1 < size && i < src.size(); i++)
        image[guard_len + i] = src[i];
    image[guard_len + i] = '\0';
    return src.size();
}

size_t model_strlcat(std::string &image, const std::string &src, size_t size)
{
    size_t dlen = 0;
    while (image[guard_len + dlen] != '\0')
        dlen++;
    size_t at = dlen, copied = 0;
    while (copied < src.size() && at + 1 < size)
        image[guard_len + at++] = src[copied++];
    if (copied > 0)
        image[guard_len + at] = '\0';
    return dlen + src.size();
}

std::string random_string(std::mt19937 &rng, size_t len)
{
    std::uniform_int_distribution<int> byte(1, 255);
    std::string s(len, '\0');
    for (char &ch : s)
        ch = static_cast<char>(byte(rng));
    return s;
}

TEST(StrlcpyStrlcat, MatchModelOnRandomInputs)
{
    // STRINGS_TEST_SEED reruns a failing seed.
    const char *env = getenv("STRINGS_TEST_SEED");
    unsigned seed = env != nullptr ? strtoul(env, nullptr, 10) : std::random_device{}();
    SCOPED_TRACE(testing::Message()
                 << "seed " << seed << " (rerun with STRINGS_TEST_SEED=" << seed << ")");
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> len(0, 40);

    for (int round = 0; round < 20000; round++) {
        // Sizes 0 and 1 and destinations at or past the size come up
        // often with these small ranges.
        std::string src = random_string(rng, len(rng));
        std::string old = random_string(rng, len(rng));
        size_t size = len(rng);
        bool append = round % 2 == 1;
        SCOPED_TRACE(testing::Message()
                     << "round " << round << (append ? " strlcat" : " strlcpy") << " dst len "
                     << old.size() << " src len " << src.size() << " size " << size);

        guarded buf(size, old.c_str());
        std::string want = buf.bytes;
        size_t want_result, result;
        if (append) {
            want_result = model_strlcat(want, src, size);
            result = rep_strlcat(buf.dst(), src.c_str(), size);
        } else {
            want_result = model_strlcpy(want, src, size);
            result = rep_strlcpy(buf.dst(), src.c_str(), size);
        }
        ASSERT_EQ(result, want_result);
        ASSERT_EQ(buf.bytes, want);
    }
}

// -------------------------------------------------------------- strerror_r

struct strerror_case {
    int errnum;
    const char *text;
};

constexpr strerror_case strerror_cases[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {EACCES, "Permission denied"},
    {ERANGE, "Numerical result out of range"},
    {0, "Success"},
    {12345, "Unknown error 12345"},
    {-1, "Unknown error -1"},
};

TEST(StrerrorR, ExactFitOneShortAndLarger)
{
    for (const strerror_case &c : strerror_cases) {
        size_t len = strlen(c.text);
        SCOPED_TRACE(testing::Message() << "errnum " << c.errnum);

        // Exact fit: text and terminator fill the buffer.  errno is
        // left as the caller had it.
        guarded exact(len + 1);
        std::string want = expected_image(exact, c.text);
        errno = EINTR;
        EXPECT_EQ(rep_strerror_r(c.errnum, exact.dst(), len + 1), 0);
        EXPECT_EQ(errno, EINTR);
        EXPECT_EQ(exact.bytes, want);

        // One byte short, and no room at all: ERANGE, buffer unchanged.
        for (size_t size : {len, size_t{1}, size_t{0}}) {
            guarded shortbuf(size);
            std::string before = shortbuf.bytes;
            errno = 0;
            EXPECT_EQ(rep_strerror_r(c.errnum, shortbuf.dst(), size), -1) << "size " << size;
            EXPECT_EQ(errno, ERANGE) << "size " << size;
            EXPECT_EQ(shortbuf.bytes, before) << "size " << size;
        }

        // Larger: every byte after the text up to the size is zero.
        const size_t extra = 9;
        guarded large(len + 1 + extra);
        want = expected_image(large, c.text);
        want.replace(guard_len + len + 1, extra, extra, '\0');
        EXPECT_EQ(rep_strerror_r(c.errnum, large.dst(), len + 1 + extra), 0);
        EXPECT_EQ(large.bytes, want);
    }
}

TEST(StrerrorR, NullBufferOfSizeZeroIsNotTouched)
{
    errno = 0;
    EXPECT_EQ(rep_strerror_r(ENOENT, nullptr, 0), -1);
    EXPECT_EQ(errno, ERANGE);
}

}  // namespace
