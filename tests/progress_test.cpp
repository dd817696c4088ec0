// SPDX-License-Identifier: MIT
// The progress line of kovrestore on a real pseudo-terminal.  The test feeds
// the dump through a pipe, record by record, watching the terminal, so the
// restore lasts as long as the test needs.  A dump in a regular file cannot
// be paced: ptrace holds that restore once, at a set point of its input.
#include "dump_model.h"
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

using namespace kovtest;

namespace {

// The last line a terminal shows after out, ended by a line feed or not: a
// carriage return goes back to its start, blanks at its end are not seen.
std::string last_line(std::string out)
{
    if (out.ends_with("\r\n"))
        out.resize(out.size() - 2);
    out.erase(0, out.find_last_of('\n') + 1);
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

// Checks every frame of the line in out, from a carriage return to the next
// control character or echoed "^C": it fits in a terminal of cols columns,
// blanks over an older frame included, and ends with the elapsed time.
// Returns the number of frames.
int check_frames(const std::string &out, size_t cols, const char *prog = "kovrestore: ")
{
    int frames = 0;
    for (size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        std::string frame = out.substr(at + 1, out.find_first_of("\r\n^", at + 1) - at - 1);
        if (!frame.starts_with(prog))
            continue;
        frames++;
        EXPECT_LT(frame.size(), cols) << frame;
        EXPECT_TRUE(frame.erase(frame.find_last_not_of(' ') + 1).ends_with(" elapsed")) << frame;
    }
    return frames;
}

// Starts kovrestore restoring db with its standard input a pipe whose write
// end goes to *feed (or the file open as file, traced: it stops at its exec)
// and its terminal a new pseudo-terminal of cols columns; standard error
// goes to the terminal, or to err_fd when that is not -1.
child_proc start_restore(const std::string &db, int err_fd, int *feed, int file, int cols)
{
    int in[2] = {file, -1};
    if (file < 0 && pipe2(in, O_CLOEXEC) != 0)
        return child_proc();
    child_proc c = start_on_pty([&] {
        struct winsize size = {24, static_cast<unsigned short>(cols), 0, 0};
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        if (ioctl(1, TIOCSWINSZ, &size) != 0 || dup2(in[0], 0) < 0 ||
            (err_fd >= 0 && dup2(err_fd, 2) < 0) ||
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

// The line shows on a terminal, fitted to its width, and is erased before
// the last message, or by a SIGINT (typed) or SIGTERM that ends the run;
// with standard error on a pipe, a restore of over two seconds writes
// exactly what it always wrote, and nothing reaches the terminal.  With the
// dump in a regular file the reading shows the time left: the whole job's
// when the records, in key order, are written as they are read, else its
// own.  An 80-column terminal leaves out the rate and the record count.
TEST(Progress, OnTerminalOnlyAndErasedBeforeLastMessage)
{
    enum { fed, in_order, reversed };  // a pipe fed record by record, or a file
    const std::string rate = ", [0-9]+ records, [0-9.]+ (B|KiB|MiB)/s, ", of = " of 8.0 MiB";
    const std::string fed_line =
        "kovrestore: reading [0-9.]+ (B|KiB|MiB)" + rate + "0:0[1-9] elapsed(\\^C)?\r";
    const struct {
        int input;
        const char *tail;  // fed after the line has appeared
        int status;        // -1: ended by sig
        const char *last;  // the message that stays on the screen
        bool err_on_pipe;
        int cols;
        std::string line;  // a frame of the reading
        int sig = 0;       // sent once the line has appeared
    } cases[] = {
        {fed, "", 0, "EOF", false, 80, fed_line},
        {fed, "{\nkey(3) = \"ab", 1, "Unexpected EOF in data", false, 80, fed_line},
        {fed, "{\nkey(1) = \"\\4x", 1, "Invalid hex: x", false, 80, fed_line},
        {fed, "", 0, "EOF", true, 80, ""},
        {fed, "", -1, "", false, 80, fed_line, SIGINT},
        {fed, "", -1, "", false, 80, fed_line, SIGTERM},
        {in_order, "", 0, "EOF", false, 80,
         "reading and writing [0-9.]+ MiB \\([6-9][0-9]%\\), 0:0[0-9] left, 0:0[0-9] elapsed\r"},
        {reversed, "", 0, "EOF", false, 200,
         "reading [0-9.]+ MiB" + of + " \\([6-9][0-9]%\\)" + rate + "0:0[0-9] left to read, "},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(std::to_string(t.input) + t.last + (t.err_on_pipe ? " on a pipe" : "") +
                     std::to_string(t.sig));
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
        child_proc c = start_restore(dir.path("db.kov"), err[1], &feed, file, t.cols);
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
        if (t.sig == SIGINT)
            type(c, "\x03");
        else if (t.sig)
            kill(c.pid, t.sig);
        write_all(feed, t.tail);
        if (!t.sig)
            close(feed);
        outcome o = finish(c, t.sig);  // the dump ends only with the run
        if (t.sig)
            close(feed);
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
            EXPECT_TRUE(std::regex_search(o.out, std::regex(t.line))) << o.out;
            EXPECT_GT(check_frames(o.out, t.cols), 0);
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

// kovdump's line, on an 80-column terminal, shows the share of the database
// file read.  The test reads the dump slowly until the line shows.
TEST(Progress, DumpShowsTheShareOfTheFileRead)
{
    scratch_dir dir;
    std::string dump;
    for (int i = 0; dump.size() < 8u << 20; i++)
        dump += canonical_record(std::to_string(100000 + i), std::string(1000, 'v'));
    ASSERT_EQ(restore(dir.path("db.kov"), dump).status, 0);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    child_proc c = start_on_pty([&] {
        struct winsize size = {24, 80, 0, 0};
        if (ioctl(2, TIOCSWINSZ, &size) != 0 || dup2(out[1], 1) < 0)
            _exit(98);
        execl(KOVDUMP_PATH, KOVDUMP_PATH, dir.path("db.kov").c_str(), static_cast<char *>(nullptr));
        _exit(99);
    });
    ASSERT_GT(c.pid, 0);
    close(out[1]);
    std::string text, part(1 << 16, '\0');
    for (ssize_t n = 1; n > 0 && ms_left(c) > 0;) {
        n = read(out[0], part.data(), part.size());
        text.append(part, 0, n > 0 ? static_cast<size_t>(n) : 0);
        struct pollfd p = {c.term, POLLIN, 0};
        if (c.out.find(" elapsed") == std::string::npos && poll(&p, 1, 20) > 0)
            read_some(c, c.term, c.out);
    }
    close(out[0]);
    outcome o = finish(c);
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(text == dump) << "the dump differs";
    EXPECT_TRUE(std::regex_search(
        o.out,
        std::regex("\rkovdump: reading [0-9.]+ MiB of [0-9.]+ MiB \\([1-9][0-9]%\\), 0:0[0-9] "
                   "left, 0:0[1-9] elapsed\r")))
        << o.out;
    EXPECT_GT(check_frames(o.out, 80, "kovdump: "), 0);
}

}  // namespace
