// SPDX-License-Identifier: MIT
// The progress line of kovrestore on a real pseudo-terminal.  The test feeds
// the dump through a pipe, record by record, watching the terminal, so the
// restore lasts as long as the test needs.  A dump in a regular file cannot
// be paced: ptrace holds that restore once, at a set point of its input.
#include "dump_model.h"
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
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
// end goes to *feed (or the file open as file, traced: it stops at its exec)
// and its terminal a new pseudo-terminal; standard error goes to the
// terminal, or to err_fd when that is not -1.
child_proc start_restore(const std::string &db, int err_fd, int *feed, int file = -1)
{
    int in[2] = {file, -1};
    if (file < 0 && pipe2(in, O_CLOEXEC) != 0)
        return child_proc();
    child_proc c = start_on_pty([&] {
        if (dup2(in[0], 0) < 0 || (err_fd >= 0 && dup2(err_fd, 2) < 0) ||
            (file >= 0 && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0))
            _exit(98);
        execl(KOVRESTORE_PATH, KOVRESTORE_PATH, db.c_str(), static_cast<char *>(nullptr));
        _exit(99);
    });
    close(in[0]);
    *feed = in[1];
    c.deadline = clock_type::now() + std::chrono::seconds(120);
    return c;
}

// Holds a traced child, from its first system call once it has read at
// bytes of its input, for longer than the line waits before it shows.
void hold_at(const child_proc &c, long long at)
{
    std::string fdinfo = "/proc/" + std::to_string(c.pid) + "/fdinfo/0";
    int status, sig = 0;
    waitpid(c.pid, &status, 0);  // the stop at the exec
    while (std::stoll(read_file(fdinfo).substr(4)) < at &&
           ptrace(PTRACE_SYSCALL, c.pid, nullptr, sig) == 0 && waitpid(c.pid, &status, 0) > 0 &&
           WIFSTOPPED(status))
        sig = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
    poll(nullptr, 0, 1200);
    ptrace(PTRACE_DETACH, c.pid, nullptr, sig);
}

// The line shows on a terminal and is erased before the last message; with
// standard error on a pipe, a restore of over two seconds writes exactly
// what it always wrote, and nothing reaches the terminal.  With the dump in
// a regular file the reading shows the time left: the whole job's when the
// records, in key order, are written as they are read, else its own.
TEST(Progress, OnTerminalOnlyAndErasedBeforeLastMessage)
{
    enum { fed, in_order, reversed };  // a pipe fed record by record, or a file
    const struct {
        int input;
        const char *tail;  // fed after the line has appeared
        int status;
        const char *last;  // the message that stays on the screen
        bool err_on_pipe;
    } cases[] = {
        {fed, "", 0, "EOF", false},
        {fed, "{\nkey(3) = \"ab", 1, "Unexpected EOF in data", false},
        {fed, "{\nkey(1) = \"\\4x", 1, "Invalid hex: x", false},
        {fed, "", 0, "EOF", true},
        {in_order, "", 0, "EOF", false},
        {reversed, "", 0, "EOF", false},
    };
    const std::string rate = ", [0-9]+ records, [0-9.]+ (B|KiB|MiB)/s, ", of = " of 8.0 MiB \\(";
    const std::regex reading[] = {
        std::regex("kovrestore: reading [0-9.]+ (B|KiB|MiB)" + rate + "0:0[1-9] elapsed\r"),
        std::regex("reading and writing [0-9.]+ MiB" + of + "[6-9][0-9]%\\)" + rate +
                   "0:0[0-9] left, "),
        std::regex("reading [0-9.]+ MiB" + of + "[6-9][0-9]%\\)" + rate +
                   "0:0[0-9] left to read, ")};
    for (const auto &t : cases) {
        SCOPED_TRACE(std::to_string(t.input) + t.last + (t.err_on_pipe ? " on a pipe" : ""));
        scratch_dir dir;
        int err[2] = {-1, -1}, feed = -1, file = -1;
        ASSERT_TRUE(!t.err_on_pipe || pipe2(err, O_CLOEXEC) == 0);
        size_t records = 0;
        std::string dump;  // 8 MiB, mostly past the records held to choose the page size
        for (; t.input != fed && dump.size() + 1100 < 8u << 20; records++)
            dump += canonical_record(
                std::to_string(t.input == in_order ? 100000 + records : 900000 - records),
                std::string(1000, 'v'));
        if (t.input != fed) {
            write_file(dir.path("dump"), dump);
            file = open(dir.path("dump").c_str(), O_RDONLY | O_CLOEXEC);
        }
        child_proc c = start_restore(dir.path("db.kov"), err[1], &feed, file);
        ASSERT_GT(c.pid, 0);
        close(err[1]);
        if (file >= 0)
            hold_at(c, 6 << 20);
        // Records go in one by one, the terminal read between them, until
        // the line shows (or, without it, for two and a half seconds).
        auto until = clock_type::now() + std::chrono::milliseconds(2500);
        while (feed >= 0 && ms_left(c) > 0 &&
               (t.err_on_pipe ? clock_type::now() < until
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
            EXPECT_TRUE(std::regex_search(o.out, reading[t.input])) << o.out;
        }
        if (t.status == 0) {
            EXPECT_EQ(read_kov(dir.path("db.kov")).size(), records);
            // The writing step shows as soon as it starts, with all the
            // records read.
            std::regex writing("\rkovrestore: writing [0-9]+ of " + std::to_string(records) +
                               " records, 0:0[1-9] elapsed");
            EXPECT_EQ(std::regex_search(o.out, writing), !t.err_on_pipe && t.input != in_order);
        }
    }
}

}  // namespace
