// Tests of the terminal password prompt.  Each prompt runs in a child process
// whose controlling terminal is a fresh pseudo-terminal; the test plays the
// user on the master side and the child reports what it saw through a pipe.
// Every wait has a deadline, and a child still running at the deadline is
// killed and reaped.
#include "portability.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::chrono::seconds time_limit{10};

// Child side: the write end of the report pipe.
int report_fd = -1;
// Child side: a descriptor whose state is reported at exit, or -1.
int watched_fd = -1;

void write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

// Child side: sends one field of the report; fields end with a zero byte,
// which no answer can contain.
void report(std::string_view field)
{
    std::string record(field);
    record += '\0';
    write_all(report_fd, record);
}

void report_echo()
{
    struct termios t;
    if (tcgetattr(0, &t) != 0)
        report("no terminal");
    else
        report(t.c_lflag & ECHO ? "echo on" : "echo off");
}

void report_sigint_action()
{
    struct sigaction sa;
    sigaction(SIGINT, nullptr, &sa);
    report(sa.sa_handler == SIG_DFL ? "SIGINT default" : "SIGINT not default");
}

// Child side, run by exit() when an interrupted prompt ends the process.
void report_at_exit()
{
    if (watched_fd != -1)
        report(fcntl(watched_fd, F_GETFD) != -1 ? "open" : "closed");
    report_echo();
}

struct child_proc {
    pid_t pid = -1;
    int term = -1;      // pty master, or the read end of the child's stderr
    int reports = -1;   // read end of the report pipe
    std::string out;    // everything read from term so far
    clock_type::time_point deadline = clock_type::now() + time_limit;
};

struct outcome {
    bool exited = false;
    int status = -1;
    std::string out;
    std::vector<std::string> reports;
};

int ms_left(const child_proc &c)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        c.deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what fd has to buf, waiting at most until the deadline.  Returns
// false at end of file (EIO from a master whose slave is closed) or timeout.
bool read_some(const child_proc &c, int fd, std::string &buf)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, ms_left(c));
    if (r < 0 && errno == EINTR)
        return true;
    if (r <= 0)
        return false;
    char chunk[512];
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    buf.append(chunk, static_cast<size_t>(n));
    return true;
}

// Waits until the child has written text on its terminal.
bool wait_for(child_proc &c, std::string_view text)
{
    while (c.out.find(text) == std::string::npos)
        if (!read_some(c, c.term, c.out))
            return false;
    return true;
}

void type(const child_proc &c, std::string_view keys) { write_all(c.term, keys); }

void run_child(int report_write, const std::function<void()> &body)
{
    report_fd = report_write;
    body();
    _exit(0);
}

// Runs body in a child whose standard streams and controlling terminal are
// a new pseudo-terminal.
child_proc start_on_pty(const std::function<void()> &body)
{
    child_proc c;
    int fds[2];
    if (pipe(fds) != 0)
        return c;
    fflush(nullptr);
    c.pid = forkpty(&c.term, nullptr, nullptr, nullptr);
    if (c.pid == 0) {
        close(fds[0]);
        run_child(fds[1], body);
    }
    close(fds[1]);
    c.reports = fds[0];
    return c;
}

// Runs body in a child in a new session without a controlling terminal,
// with standard input from stdin_path and standard error (and output) on a
// pipe.
child_proc start_without_tty(const std::string &stdin_path,
                             const std::function<void()> &body)
{
    child_proc c;
    int rep[2], err[2];
    if (pipe(rep) != 0 || pipe(err) != 0)
        return c;
    fflush(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        setsid();
        int in = open(stdin_path.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(err[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(99);
        close(in);
        close(rep[0]);
        close(err[0]);
        close(err[1]);
        run_child(rep[1], body);
    }
    close(rep[1]);
    close(err[1]);
    c.reports = rep[0];
    c.term = err[0];
    return c;
}

// Collects the rest of the child's output and reports and reaps it; a child
// still running at the deadline is killed.
outcome finish(child_proc &c)
{
    std::string reports;
    bool term_open = true, reports_open = true;
    while ((term_open || reports_open) && ms_left(c) > 0) {
        struct pollfd p[2] = {{c.term, POLLIN, 0}, {c.reports, POLLIN, 0}};
        if (poll(p, 2, ms_left(c)) <= 0)
            continue;
        if (term_open && p[0].revents)
            term_open = read_some(c, c.term, c.out);
        if (reports_open && p[1].revents)
            reports_open = read_some(c, c.reports, reports);
    }
    if (term_open || reports_open) {
        ADD_FAILURE() << "child did not finish in time; output so far: " << c.out;
        kill(c.pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR)
        ;
    close(c.term);
    close(c.reports);

    outcome o;
    o.exited = WIFEXITED(status);
    o.status = o.exited ? WEXITSTATUS(status) : -1;
    EXPECT_FALSE(WIFSIGNALED(status)) << "child killed by signal " << WTERMSIG(status);
    o.out = c.out;
    for (size_t at = 0; at < reports.size();) {
        size_t end = reports.find('\0', at);
        if (end == std::string::npos)
            end = reports.size();
        o.reports.push_back(reports.substr(at, end - at));
        at = end + 1;
    }
    return o;
}

#define START_ON_PTY(c, body)                                      \
    child_proc c = start_on_pty(body);                             \
    if (c.pid < 0)                                                 \
        GTEST_SKIP() << "no pseudo-terminal: " << strerror(errno)

// Waits until pid has a handler installed for sig.
bool wait_until_caught(const child_proc &c, int sig)
{
    std::string path = "/proc/" + std::to_string(c.pid) + "/status";
    while (ms_left(c) > 0) {
        std::ifstream status(path);
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("SigCgt:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1))
                return true;
        poll(nullptr, 0, 1);
    }
    return false;
}

std::string pattern(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += static_cast<char>('a' + i % 26);
    return s;
}

TEST(RepGetpass, PromptsWithoutEchoAndRestoresTerminal)
{
    START_ON_PTY(c, [] {
        signal(SIGINT, [](int) {});
        report(rep_getpass("Password: "));
        report_echo();
        report_sigint_action();
    });
    ASSERT_TRUE(wait_for(c, "Password: "));
    type(c, "pa ss\tword!\n");
    outcome o = finish(c);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0);
    // The prompt, no echo of the answer, then the line feed.
    EXPECT_EQ(o.out, "Password: \r\n");
    EXPECT_EQ(o.reports,
              (std::vector<std::string>{"pa ss\tword!", "echo on", "SIGINT default"}));
}

TEST(RepGetpass, EmptyAndUnterminatedAnswers)
{
    const struct {
        const char *keys, *answer;
    } cases[] = {
        {"\n", ""},               // empty line
        {"\x04", ""},             // end of input before any byte
        {"last\x04\x04", "last"}, // last line without a line feed
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.keys);
        START_ON_PTY(c, [] {
            report(rep_getpass("Password: "));
            report_echo();
        });
        ASSERT_TRUE(wait_for(c, "Password: "));
        type(c, t.keys);
        outcome o = finish(c);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, "Password: \r\n");
        EXPECT_EQ(o.reports, (std::vector<std::string>{t.answer, "echo on"}));
    }
}

// A line is cut to 255 bytes without losing a byte to line feed removal, and
// the rest of it does not stay behind for the next reader of the terminal.
TEST(RepGetpass, LongAnswerIsCutAndItsRestDropped)
{
    for (size_t len : {254, 255, 256, 300}) {
        SCOPED_TRACE(len);
        START_ON_PTY(c, [] {
            report(rep_getpass("Password: "));
            char next[512] = "";
            if (fgets(next, sizeof(next), stdin) == nullptr)
                report("no next line");
            report(next);
        });
        ASSERT_TRUE(wait_for(c, "Password: "));
        type(c, pattern(len) + "\nnext\n");
        outcome o = finish(c);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.reports,
                  (std::vector<std::string>{pattern(len < 255 ? len : 255), "next\n"}));
    }
}

TEST(RepGetpass, InterruptRestoresTerminalAndExits)
{
    for (bool from_keyboard : {false, true}) {
        SCOPED_TRACE(from_keyboard ? "^C typed" : "kill()");
        START_ON_PTY(c, [] {
            atexit(report_at_exit);
            rep_getpass("Password: ");
            report("returned");
        });
        ASSERT_TRUE(wait_for(c, "Password: "));
        if (from_keyboard)
            type(c, "\x03");
        else
            kill(c.pid, SIGINT);
        // Nothing more is typed: the read must end by itself.
        outcome o = finish(c);
        EXPECT_TRUE(o.exited);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "Password: \r\nInterrupted by signal.\r\n");
        EXPECT_EQ(o.reports, (std::vector<std::string>{"echo on"}));
    }
}

TEST(RepGetpass, WithoutTerminalReadsStandardInput)
{
    char path[] = "/tmp/getpass_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    write_all(fd, "first line\nsecond line\n");
    close(fd);

    child_proc c = start_without_tty(path, [] {
        report(rep_getpass("Name: "));
        // Only the answer's line may have been taken from standard input.
        std::string rest;
        char buf[64];
        ssize_t n;
        while ((n = read(0, buf, sizeof(buf))) > 0)
            rest.append(buf, static_cast<size_t>(n));
        report(rest);
    });
    ASSERT_GT(c.pid, 0);
    outcome o = finish(c);
    unlink(path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "Name: \n");
    EXPECT_EQ(o.reports, (std::vector<std::string>{"first line", "second line\n"}));
}

TEST(RepGetpass, TwoPromptsInOneProcess)
{
    START_ON_PTY(c, [] {
        report(rep_getpass("First: "));
        int fd = open("/dev/null", O_RDONLY);
        report(rep_getpass("Second: "));
        report(fcntl(fd, F_GETFD) != -1 ? "open" : "closed");
        report_echo();
    });
    ASSERT_TRUE(wait_for(c, "First: "));
    type(c, "one\n");
    ASSERT_TRUE(wait_for(c, "Second: "));
    type(c, "two\n");
    outcome o = finish(c);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "First: \r\nSecond: \r\n");
    EXPECT_EQ(o.reports, (std::vector<std::string>{"one", "two", "open", "echo on"}));
}

// An interrupt that reaches the second prompt before it reads must not close
// the descriptor left over from the first one, which by then belongs to
// someone else.  Output is stopped (^S) so that the second prompt is held in
// its set-up, before the read, while the interrupt arrives.
TEST(RepGetpass, InterruptBeforeSecondReadSparesOtherDescriptor)
{
    START_ON_PTY(c, [] {
        rep_getpass("First: ");
        watched_fd = open("/dev/null", O_RDONLY);
        atexit(report_at_exit);
        write_all(1, "ready\n");
        char go[16];
        if (read(0, go, sizeof(go)) <= 0)
            _exit(98);
        rep_getpass("Second: ");
        report("returned");
    });
    ASSERT_TRUE(wait_for(c, "First: "));
    type(c, "one\n");
    ASSERT_TRUE(wait_for(c, "ready\r\n"));
    type(c, "\x13go\n");
    ASSERT_TRUE(wait_until_caught(c, SIGINT));
    kill(c.pid, SIGINT);
    type(c, "\x11");
    outcome o = finish(c);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.out.ends_with("Second: \r\nInterrupted by signal.\r\n")) << o.out;
    EXPECT_EQ(o.reports, (std::vector<std::string>{"open", "echo on"}));
}

} // namespace
