// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char **environ;

namespace kovtest {

stdin_source from_data(std::string data)
{
    stdin_source s;
    s.data = std::move(data);
    return s;
}

stdin_source from_file(std::string path)
{
    stdin_source s;
    s.kind = stdin_source::file;
    s.path = std::move(path);
    return s;
}

stdin_source closed_stdin()
{
    stdin_source s;
    s.kind = stdin_source::closed;
    return s;
}

namespace {

// The one way a child is started: fork, then in the child only
// async-signal-safe calls (limits, descriptors) before exec_or_run, which
// execs a program or runs a test's function and never returns.
child spawn(const stdin_source &in, const limits &lim, const std::function<void()> &exec_or_run)
{
    // A reader that stops early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2] = {-1, -1}, out_pipe[2], err_pipe[2];
    if ((in.kind == stdin_source::pipe_data && pipe2(in_pipe, O_CLOEXEC)) ||
        pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe");
    // Opened before the fork, so that the child does not allocate.
    int file_fd = -1;
    if (in.kind == stdin_source::file &&
        (file_fd = open(in.path.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
        throw std::runtime_error("open " + in.path);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        if (lim.file_size != RLIM_INFINITY) {
            struct rlimit r = {lim.file_size, lim.file_size};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &r);
        }
        if (lim.address_space != RLIM_INFINITY) {
            struct rlimit r = {lim.address_space, lim.address_space};
            setrlimit(RLIMIT_AS, &r);
        }
        if (lim.open_files != RLIM_INFINITY) {
            struct rlimit r = {lim.open_files, lim.open_files};
            setrlimit(RLIMIT_NOFILE, &r);
        }
        if (in.kind == stdin_source::closed)
            close(0);
        else
            dup2(in.kind == stdin_source::file ? file_fd : in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        // Close-on-exec does not help a child that runs a function.
        for (int fd :
             {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], file_fd})
            if (fd > 2)
                close(fd);
        exec_or_run();
        _exit(127);
    }
    if (file_fd >= 0)
        close(file_fd);
    if (in_pipe[0] >= 0)
        close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    return child{pid, in_pipe[1], out_pipe[0], err_pipe[0]};
}

// Writes data to the child's input while collecting its output, until the
// data is written (or refused) and both output streams are at their end;
// then waits for the child.
run_result pump(child &c, const std::string &data)
{
    run_result r;
    size_t written = 0;
    if (c.in >= 0 && data.empty()) {
        close(c.in);
        c.in = -1;
    }
    std::string *sinks[2] = {&r.out, &r.err};
    int *fds[2] = {&c.out, &c.err};
    while (*fds[0] >= 0 || *fds[1] >= 0 || c.in >= 0) {
        pollfd p[3];
        int n = 0;
        for (int i = 0; i < 2; i++)
            if (*fds[i] >= 0)
                p[n++] = {*fds[i], POLLIN, 0};
        if (c.in >= 0)
            p[n++] = {c.in, POLLOUT, 0};
        if (poll(p, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll");
        }
        for (int k = 0; k < n; k++) {
            if (!p[k].revents)
                continue;
            if (p[k].fd == c.in) {
                ssize_t w = write(c.in, data.data() + written,
                                  std::min<size_t>(data.size() - written, 65536));
                if (w > 0)
                    written += static_cast<size_t>(w);
                if ((w < 0 && errno != EINTR && errno != EAGAIN) || written == data.size()) {
                    close(c.in);
                    c.in = -1;
                }
                continue;
            }
            for (int i = 0; i < 2; i++) {
                if (p[k].fd != *fds[i])
                    continue;
                char buf[65536];
                ssize_t got = read(*fds[i], buf, sizeof buf);
                if (got > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    close(*fds[i]);
                    *fds[i] = -1;
                }
            }
        }
    }
    int status;
    struct rusage usage;
    while (wait4(c.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.max_rss_kib = usage.ru_maxrss;
    return r;
}

}  // namespace

child start(const std::vector<std::string> &argv, const stdin_source &in, const limits &lim)
{
    std::vector<char *> args;
    if (!lim.empty_argv)
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    return spawn(in, lim, [&] { execve(argv[0].c_str(), args.data(), environ); });
}

child start_function(const std::function<int()> &body)
{
    // exit, not _exit: the child ends as a program would, atexit hooks
    // included.
    return spawn(from_data(""), {}, [&] { exit(body()); });
}

bool feed(child &c, const void *bytes, size_t size)
{
    const char *p = static_cast<const char *>(bytes);
    while (size > 0) {
        ssize_t w = write(c.in, p, size);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

bool feed(child &c, const std::string &bytes)
{
    return feed(c, bytes.data(), bytes.size());
}

run_result finish(child &c)
{
    return pump(c, "");
}

run_result run(const std::vector<std::string> &argv, const stdin_source &in, const limits &lim)
{
    child c = start(argv, in, lim);
    return pump(c, in.kind == stdin_source::pipe_data ? in.data : std::string());
}

run_result restore(const std::string &db, const std::string &dump, const limits &lim)
{
    return run({KOVRESTORE_PATH, db}, from_data(dump), lim);
}

with_env::with_env(const env_vars &vars)
{
    for (const auto &[name, value] : vars) {
        const char *old = getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
}

with_env::~with_env()
{
    // In reverse, so that a name given twice gets its first value back.
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

env_vars fail_io_env(const io_fault &fault)
{
    return {{"LD_PRELOAD", FAIL_IO_PATH},
            {"FAIL_IO_CALL", fault.call},
            {"FAIL_IO_SUFFIX", fault.suffix},
            {"FAIL_IO_NTH", std::to_string(fault.nth)},
            {"FAIL_IO_TIMES", std::to_string(fault.times)},
            {"FAIL_IO_ERRNO", std::to_string(fault.error)},
            {"FAIL_IO_SYNC_LOG", fault.sync_log},
            {"FAIL_IO_OPEN_LOG", fault.open_log},
            {"FAIL_IO_LOCK_LOG", fault.lock_log}};
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string text = file_exists(path) ? read_file(path) : std::string();
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

scratch_dir::scratch_dir(const char *parent)
{
    const char *tmp = getenv("TMPDIR");
    std::string fallback = tmp && *tmp ? tmp : "/tmp";
    for (const std::string &dir : {std::string(parent ? parent : ""), fallback}) {
        if (dir.empty())
            continue;
        std::string pattern = dir + "/kovtest.XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) {
            dir_ = buf.data();
            return;
        }
    }
    throw std::runtime_error("mkdtemp");
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<record> read_kov(const std::string &path)
{
    std::vector<record> rows;
    std::string err = read_rows(path, &rows);
    if (!err.empty())
        ADD_FAILURE() << err;
    return rows;
}

std::string dump_of(const std::vector<record> &records)
{
    std::string out;
    for (const record &r : records)
        out += canonical_record(r.first, r.second);
    return out;
}

static uint64_t splitmix(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

record generated_record(size_t i)
{
    static const char printable[] = "abcdefghijklmnopqrstuvwxyz0123456789 .,-";
    char key[16];
    snprintf(key, sizeof key, "%09zu", i);
    uint64_t state = i;
    size_t size = 1000 + splitmix(state) % 7001;
    std::string value(size, '\0');
    for (size_t k = 0; k < size; k++) {
        uint64_t r = splitmix(state);
        value[k] =
            r % 10 == 0 ? static_cast<char>(r >> 8) : printable[(r >> 8) % (sizeof printable - 1)];
    }
    return {key, value};
}

generated_dump generate_dump(size_t size)
{
    generated_dump d;
    d.text.reserve(size + 32768);
    for (size_t i = 0; d.text.size() < size; i++) {
        record r = generated_record(i);
        d.text += canonical_record(r.first, r.second);
        d.ends.push_back(d.text.size());
    }
    return d;
}

datum as_datum(const std::string &s)
{
    return {reinterpret_cast<unsigned char *>(const_cast<char *>(s.data())), s.size()};
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int report_fd = -1;

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

void report(std::string_view field)
{
    std::string record(field);
    record += '\0';
    write_all(report_fd, record);
}

int ms_left(const child_proc &c)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

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

bool wait_for(child_proc &c, std::string_view text)
{
    while (c.out.find(text) == std::string::npos)
        if (!read_some(c, c.term, c.out))
            return false;
    return true;
}

void type(const child_proc &c, std::string_view keys)
{
    write_all(c.term, keys);
}

void run_child(int report_write, const std::function<void()> &body)
{
    report_fd = report_write;
    body();
    _exit(0);
}

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

outcome finish(child_proc &c, int end_signal)
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
    outcome o;
    // The master reads the attributes of the terminal's slave side.
    struct termios t;
    o.echo = tcgetattr(c.term, &t) == 0 && (t.c_lflag & ECHO);
    close(c.term);
    close(c.reports);

    o.exited = WIFEXITED(status);
    o.status = o.exited ? WEXITSTATUS(status) : -1;
    EXPECT_EQ(end_signal, WIFSIGNALED(status) ? WTERMSIG(status) : 0) << "child killed by signal";
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

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace kovtest
