// SPDX-License-Identifier: MIT
// Tests of the terminal password prompt.  Each prompt runs in a child process
// whose controlling terminal is a fresh pseudo-terminal; the test plays the
// user on the master side and the child reports what it saw through a pipe.
// Every wait has a deadline, and a child still running at the deadline is
// killed and reaped.
#include "portability.h"
#include "test_support.h"

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

using namespace kovtest;

// Child side: a descriptor whose state is reported at exit, or -1.
int watched_fd = -1;

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

// Runs body in a child in a new session without a controlling terminal,
// with standard input from stdin_path and standard error (and output) on a
// pipe.
child_proc start_without_tty(const std::string &stdin_path, const std::function<void()> &body)
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
    EXPECT_EQ(o.reports, (std::vector<std::string>{"pa ss\tword!", "echo on", "SIGINT default"}));
}

TEST(RepGetpass, EmptyAndUnterminatedAnswers)
{
    const struct {
        const char *keys, *answer;
    } cases[] = {
        {"\n", ""},                // empty line
        {"\x04", ""},              // end of input before any byte
        {"last\x04\x04", "last"},  // last line without a line feed
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
        EXPECT_EQ(o.reports, (std::vector<std::string>{pattern(len < 255 ? len : 255), "next\n"}));
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

// The other signals that end a process by default still end it, by the
// same signal, but only once echo is back on.
TEST(RepGetpass, EndingSignalRestoresTerminalFirst)
{
    for (int sig : {SIGHUP, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        START_ON_PTY(c, [] {
            struct rlimit no_core = {};
            setrlimit(RLIMIT_CORE, &no_core);
            rep_getpass("Password: ");
        });
        ASSERT_TRUE(wait_for(c, "Password: "));
        kill(c.pid, sig);
        EXPECT_TRUE(finish(c, sig).echo);
    }
}

// A caller's own action for an ending signal is left alone: its handler
// runs when the signal arrives during the prompt, which goes on, and an
// ignored signal stays ignored.  Both are still in place after the call;
// SIGINT has the default action.
volatile sig_atomic_t caller_caught = 0;

TEST(RepGetpass, CallersOwnSignalActionsStay)
{
    for (bool ignore : {false, true}) {
        for (int sig : {SIGHUP, SIGQUIT, SIGTERM}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (ignore ? ", ignored" : ", caught"));
            START_ON_PTY(c, ([sig, ignore] {
                void (*own)(int) = [](int s) { caller_caught = s; };
                signal(sig, ignore ? SIG_IGN : own);
                report(rep_getpass("Password: "));
                report(caller_caught == sig ? "caller's handler ran" : "caller's handler idle");
                struct sigaction sa;
                sigaction(sig, nullptr, &sa);
                report(sa.sa_handler == (ignore ? SIG_IGN : own) ? "action kept"
                                                                 : "action changed");
                report_sigint_action();
            }));
            ASSERT_TRUE(wait_for(c, "Password: "));
            kill(c.pid, sig);
            type(c, "secret\n");
            outcome o = finish(c);
            EXPECT_TRUE(o.exited);
            EXPECT_EQ(o.status, 0);
            EXPECT_EQ(o.reports, (std::vector<std::string>{
                                     "secret",
                                     ignore ? "caller's handler idle" : "caller's handler ran",
                                     "action kept", "SIGINT default"}));
        }
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

}  // namespace
