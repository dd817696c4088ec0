// SPDX-License-Identifier: MIT
// The progress line of kovrestore on a real pseudo-terminal.  The test feeds
// the dump through a pipe, record by record, watching the terminal, so the
// restore lasts as long as the test needs; nothing waits on a clock.
#include "dump_model.h"
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

using namespace kovtest;

namespace {

// The line a terminal shows after out, text written on one line and ended by
// a line feed: a carriage return goes back to its start, blanks at its end
// are not seen.
std::string last_line(std::string out)
{
    if (!out.ends_with("\r\n"))
        return "not a line: " + out;
    out.resize(out.size() - 2);
    std::string line;
    size_t col = 0;
    for (char ch : out) {
        if (ch == '\r')
            col = 0;
        else if (col < line.size())
            line[col++] = ch;
        else
            line += ch, col++;
    }
    return line.erase(line.find_last_not_of(' ') + 1);
}

// Starts kovrestore restoring db with its standard input a pipe whose write
// end goes to *feed and its terminal a new pseudo-terminal; standard error
// goes to the terminal, or to err_fd when that is not -1.
child_proc start_restore(const std::string &db, int err_fd, int *feed)
{
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return child_proc();
    child_proc c = start_on_pty([&] {
        if (dup2(in[0], 0) < 0 || (err_fd >= 0 && dup2(err_fd, 2) < 0))
            _exit(98);
        execl(KOVRESTORE_PATH, KOVRESTORE_PATH, db.c_str(), static_cast<char *>(nullptr));
        _exit(99);
    });
    close(in[0]);
    *feed = in[1];
    c.deadline = clock_type::now() + std::chrono::seconds(120);
    return c;
}

// The line shows on a terminal and is erased before the last message; with
// standard error on a pipe, a restore of over two seconds writes exactly
// what it always wrote, and nothing reaches the terminal.
TEST(Progress, OnTerminalOnlyAndErasedBeforeLastMessage)
{
    const struct {
        const char *tail;  // fed after the line has appeared
        int status;
        const char *last;  // the message that stays on the screen
        bool err_on_pipe;
    } cases[] = {
        {"", 0, "EOF", false},
        {"{\nkey(3) = \"ab", 1, "Unexpected EOF in data", false},
        {"{\nkey(1) = \"\\4x", 1, "Invalid hex: x", false},
        {"", 0, "EOF", true},
    };
    const std::regex reading("kovrestore: reading [0-9.]+ (B|KiB|MiB), "
                             "[0-9]+ records, [0-9.]+ (B|KiB|MiB)/s, 0:0[1-9] elapsed\r");
    for (const auto &t : cases) {
        SCOPED_TRACE(std::string(t.last) + (t.err_on_pipe ? " on a pipe" : ""));
        scratch_dir dir;
        int err[2] = {-1, -1};
        ASSERT_TRUE(!t.err_on_pipe || pipe2(err, O_CLOEXEC) == 0);
        int feed = -1;
        child_proc c = start_restore(dir.path("db.kov"), err[1], &feed);
        ASSERT_GT(c.pid, 0);
        close(err[1]);
        // Records go in one by one, the terminal read between them, until
        // the line shows (or, without it, for two and a half seconds).
        auto until = clock_type::now() + std::chrono::milliseconds(2500);
        size_t records = 0;
        while (ms_left(c) > 0 && (t.err_on_pipe ? clock_type::now() < until
                                                : c.out.find(" records") == std::string::npos)) {
            write_all(feed, canonical_record("key " + std::to_string(records++), "value"));
            struct pollfd p = {c.term, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && !read_some(c, c.term, c.out))
                break;
        }
        write_all(feed, t.tail);
        close(feed);
        outcome o = finish(c);
        EXPECT_EQ(o.status, t.status);
        if (t.err_on_pipe) {
            std::string text;
            while (read_some(c, err[0], text)) {
            }
            close(err[0]);
            EXPECT_EQ(text, std::string(t.last) + "\n");
            EXPECT_EQ(o.out, "");
        } else {
            EXPECT_EQ(last_line(o.out), t.last) << o.out;
            EXPECT_TRUE(std::regex_search(o.out, reading)) << o.out;
        }
        if (t.status == 0) {
            EXPECT_EQ(read_kov(dir.path("db.kov")).size(), records);
            // The writing step shows as soon as it starts, with all the
            // records read.
            std::regex writing("\rkovrestore: writing [0-9]+ of " + std::to_string(records) +
                               " records, 0:0[1-9] elapsed");
            EXPECT_EQ(std::regex_search(o.out, writing), !t.err_on_pipe) << o.out;
        }
    }
}

}  // namespace
