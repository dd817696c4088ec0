// The progress line of kovrestore on a real pseudo-terminal.  The test feeds
// the dump through a pipe, record by record, watching the terminal, so the
// restore lasts as long as the test needs; nothing waits on a clock.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

using namespace kovtest;

namespace {

// What a terminal shows after out: carriage returns go back to the start
// of the line, blanks at the ends of lines are not seen.
std::vector<std::string> screen(const std::string &out)
{
    std::vector<std::string> lines(1);
    size_t col = 0;
    for (char ch : out) {
        if (ch == '\r') {
            col = 0;
        } else if (ch == '\n') {
            lines.emplace_back();
            col = 0;
        } else {
            std::string &line = lines.back();
            if (col >= line.size())
                line.resize(col + 1, ' ');
            line[col++] = ch;
        }
    }
    for (std::string &line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// kovrestore restoring db with its standard input a pipe fed by the test
// and its terminal a new pseudo-terminal; standard error goes to the
// terminal, or to err_fd when that is not -1.
struct fed_restore {
    child_proc c;
    int feed = -1;           // write end of the child's standard input
    size_t records = 0;      // records fed so far
};

fed_restore start_restore(const std::string &db, int err_fd)
{
    fed_restore r;
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return r;
    r.c = start_on_pty([&] {
        if (dup2(in[0], 0) < 0 || (err_fd >= 0 && dup2(err_fd, 2) < 0))
            _exit(98);
        execl(KOVRESTORE_PATH, KOVRESTORE_PATH, db.c_str(), static_cast<char *>(nullptr));
        _exit(99);
    });
    close(in[0]);
    r.feed = in[1];
    r.c.deadline = clock_type::now() + std::chrono::seconds(120);
    return r;
}

// Feeds records until done() holds, reading the terminal between records.
void feed_until(fed_restore &r, const std::function<bool()> &done)
{
    while (!done() && ms_left(r.c) > 0) {
        write_all(r.feed, dump_record("key " + std::to_string(r.records++), "value"));
        struct pollfd p = {r.c.term, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && !read_some(r.c, r.c.term, r.c.out))
            break;
    }
}

TEST(Progress, LineOnTerminalErasedBeforeLastMessage)
{
    const struct {
        const char *tail;   // fed after the line has appeared
        int status;
        const char *last;   // the message that stays on the screen
    } cases[] = {
        {"", 0, "EOF"},
        {"{\nkey(3) = \"ab", 1, "Unexpected EOF in data"},
        {"{\nkey(1) = \"\\4x", 1, "Invalid hex: x"},
    };
    const std::regex reading("kovrestore: [0-9.]+ (B|KiB|MiB), ([0-9]+) records, "
                             "[0-9.]+ (B|KiB|MiB)/s");
    const std::regex writing("kovrestore: writing [0-9]+ of [0-9]+ records \\([0-9]+%\\).*");
    for (const auto &t : cases) {
        SCOPED_TRACE(t.last);
        scratch_dir dir;
        fed_restore r = start_restore(dir.path("db.kov"), -1);
        ASSERT_GT(r.c.pid, 0);
        feed_until(r, [&] { return r.c.out.find(" records") != std::string::npos; });
        write_all(r.feed, t.tail);
        close(r.feed);
        outcome o = finish(r.c);
        EXPECT_EQ(o.status, t.status);
        EXPECT_EQ(screen(o.out), std::vector<std::string>{t.last}) << o.out;

        // Every line drawn is a progress line, counting records already fed.
        bool seen_reading = false;
        std::string drawn = o.out.substr(0, o.out.rfind(t.last));
        for (size_t at = 0; (at = drawn.find("kovrestore: ", at)) != std::string::npos; at++) {
            std::string line = drawn.substr(at, drawn.find('\r', at) - at);
            std::smatch m;
            if (std::regex_match(line, m, reading)) {
                seen_reading = true;
                EXPECT_LE(std::stoul(m[2]), r.records);
            } else {
                EXPECT_TRUE(std::regex_match(line, writing)) << line;
            }
        }
        EXPECT_TRUE(seen_reading) << o.out;
        if (t.status == 0) {
            EXPECT_EQ(read_kov(dir.path("db.kov")).size(), r.records);
        }
    }
}

// With standard error a pipe, a restore that lasts well over a second
// writes exactly what it always wrote, and nothing reaches the terminal.
TEST(Progress, NothingExtraWithoutTerminal)
{
    scratch_dir dir;
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    fed_restore r = start_restore(dir.path("db.kov"), err[1]);
    close(err[1]);
    ASSERT_GT(r.c.pid, 0);
    auto until = clock_type::now() + std::chrono::milliseconds(2500);
    feed_until(r, [&] { return clock_type::now() > until; });
    close(r.feed);
    outcome o = finish(r.c);
    std::string err_text;
    while (read_some(r.c, err[0], err_text)) {
    }
    close(err[0]);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(err_text, "EOF\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_kov(dir.path("db.kov")).size(), r.records);
}

}  // namespace
